"""Python access to a zorvel file system, over the client library.

File identifiers::

    fid = zorvel.path2fid("/mnt/demo/dir/file")   # Fid(0x200000400, 0x5, 0x0)
    zorvel.fid2path("/mnt/demo", fid)             # ['dir/file', 'dir/link']
    zorvel.Fid.parse("[0x200000400:0x5:0x0]") == fid

A change log, as records come::

    with zorvel.ChangeLog("demo-MDT0000", follow=True) as log:
        for rec in log:
            print(rec.index, rec.type, rec.time, rec.tfid, rec.name)
            log.clear("cl1", rec.index)

Files: data_version(), create_volatile(), swap_layouts(); GroupLock and Lease
as context managers; the client cache (pcc_attach, pcc_detach, pcc_state);
mirrors (mirror_read, mirror_write, mirror_copy, mirror_copy_many,
mirror_verify); sparse files (data_extents, punch); ladvise(), heat_get(),
heat_set(), nodemap_exists(); parameters (param_list, param_get).

Every failure raises OSError with its errno, its message and the path or FID
it concerns, so FileNotFoundError and its siblings arise as from the os
module; an argument of the wrong type or range raises TypeError or
ValueError before anything reaches the kernel. Calls that may wait let the
GIL go. The client library's own messages to standard error are turned off
on import (set_message_level() turns them back on).
"""

from __future__ import annotations

import enum
import os
from typing import NamedTuple, Optional, Protocol, Union

from ._zorvel import (
    ChangeLog,
    ChangeLogRecord,
    Fid,
    GroupLock,
    Lease,
    SWAP_CHECK_DV1,
    SWAP_CHECK_DV2,
    SWAP_KEEP_ATIME,
    SWAP_KEEP_MTIME,
    changelog_clear,
    create_volatile,
    data_extents,
    data_version,
    fd2fid,
    fid2path,
    getname,
    heat_set,
    is_sparse,
    ladvise,
    lease_check,
    mirror_copy,
    mirror_copy_many,
    mirror_ids,
    mirror_read,
    mirror_verify,
    mirror_write,
    nodemap_exists,
    open_by_fid,
    param_get,
    param_list,
    path2fid,
    path2parent,
    pcc_attach,
    pcc_detach,
    punch,
    rmfid,
    set_message_level,
    swap_layouts,
    version,
)
from . import _zorvel

__all__ = [
    "Advice",
    "AdviceType",
    "ChangeLog",
    "ChangeLogExtra",
    "ChangeLogRecord",
    "Fid",
    "GroupLock",
    "Heat",
    "HeatFlag",
    "LadviseFlag",
    "Lease",
    "LeaseMode",
    "MessageLevel",
    "PccState",
    "PccType",
    "SWAP_CHECK_DV1",
    "SWAP_CHECK_DV2",
    "SWAP_KEEP_ATIME",
    "SWAP_KEEP_MTIME",
    "changelog_clear",
    "create_volatile",
    "data_extents",
    "data_version",
    "fd2fid",
    "fid2path",
    "getname",
    "heat_get",
    "heat_set",
    "is_sparse",
    "ladvise",
    "lease_check",
    "mirror_copy",
    "mirror_copy_many",
    "mirror_ids",
    "mirror_read",
    "mirror_verify",
    "mirror_write",
    "nodemap_exists",
    "open_by_fid",
    "param_get",
    "param_list",
    "path2fid",
    "path2parent",
    "pcc_attach",
    "pcc_detach",
    "pcc_state",
    "punch",
    "rmfid",
    "set_message_level",
    "swap_layouts",
    "version",
]


class MessageLevel(enum.IntEnum):
    """How much the client library writes to standard error."""

    OFF = 0
    FATAL = 1
    ERROR = 2
    WARN = 3
    NORMAL = 4
    INFO = 5
    DEBUG = 6


class ChangeLogExtra(enum.IntFlag):
    """What a ChangeLog asks for beyond the job (its extra= argument)."""

    NONE = 0
    UIDGID = 0x1  #: user and group of each change
    NID = 0x2  #: the client that made it
    OPEN_MODE = 0x4  #: open flags of creations
    XATTR = 0x8  #: extended attribute names
    ALL = 0xF


class LeaseMode(enum.IntEnum):
    """Lease modes (Lease(fd, mode), lease_check())."""

    NONE = 0
    READ = 1
    WRITE = 2


class PccType(enum.IntEnum):
    """How a file is held in the client cache."""

    NONE = 0
    READWRITE = 1


class PccState(NamedTuple):
    """A file's client cache state (pcc_state())."""

    type: PccType
    open_count: int
    flags: int
    path: Optional[str]  #: the cached copy, None when not attached


class AdviceType(enum.IntEnum):
    """What an Advice asks of the file system."""

    WILLREAD = 1
    DONTNEED = 2
    LOCKNOEXPAND = 3
    LOCKAHEAD = 4


class LadviseFlag(enum.IntFlag):
    """Flags of ladvise()."""

    NONE = 0
    ASYNC = 0x1
    UNSET = 0x2


class Advice(NamedTuple):
    """One access advice for bytes [start, end) of a file (ladvise())."""

    advice: AdviceType
    start: int
    end: int
    value1: int = 0
    value2: int = 0
    value3: int = 0
    value4: int = 0


class HeatFlag(enum.IntFlag):
    """What heat_set() does."""

    CLEAR = 0x1  #: access counts back to 0
    OFF = 0x2  #: stop counting
    ON = 0x4  #: count again


class Heat(NamedTuple):
    """A file's access counts (heat_get())."""

    reads: int
    writes: int
    bytes_read: int
    bytes_written: int
    counting: bool  #: False while counting is stopped


class _HasFileno(Protocol):
    def fileno(self) -> int: ...


_FileArg = Union[int, _HasFileno, str, bytes, "os.PathLike[str]",
                 "os.PathLike[bytes]"]


def pcc_state(file: _FileArg) -> PccState:
    """pcc_state(file) -> PccState

    The client cache state of file (a path, or a descriptor open on it).
    """
    kind, open_count, flags, path = _zorvel._pcc_state(file)
    return PccState(PccType(kind), open_count, flags, path)


def heat_get(fd: Union[int, _HasFileno]) -> Heat:
    """heat_get(fd) -> Heat

    The access counts of the file open on fd.
    """
    reads, writes, bytes_read, bytes_written, flags = _zorvel._heat_get(fd)
    return Heat(reads, writes, bytes_read, bytes_written,
                not flags & HeatFlag.OFF)


# Failures are exceptions: the library's messages would say each twice.
set_message_level(MessageLevel.OFF)
