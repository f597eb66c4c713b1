"""Every failure of the kernel raises the OSError subclass of its errno,
naming what it concerns; an interrupted call that no handler stops is made
again."""

from __future__ import annotations

import errno
import os
from typing import Any, Callable

import pytest

import zorvel
from conftest import TARGET, Sim


def test_kernel_failures_raise_their_subclass(workdir: str, mount: str,
                                              sim: Sim, user: str) -> None:
    f = os.path.join(workdir, "f")
    g = os.path.join(workdir, "g")
    for p in (f, g):
        with open(p, "w") as out:
            out.write("x")
    fid = zorvel.path2fid(f)
    fd = os.open(f, os.O_RDWR)
    try:
        # (request, errno, expected class, call, filename, filename2)
        table: list[tuple[str, int, type, Callable[[], Any], Any, Any]] = [
            ("NAME_TO_HANDLE", errno.EACCES, PermissionError,
             lambda: zorvel.path2fid(f), f, None),
            ("FID2PATH", errno.ENOENT, FileNotFoundError,
             lambda: zorvel.fid2path(mount, fid), mount, str(fid)),
            ("GETPARENT", errno.ENOTDIR, NotADirectoryError,
             lambda: zorvel.path2parent(f), f, None),
            ("OPEN_BY_FID", errno.EISDIR, IsADirectoryError,
             lambda: zorvel.open_by_fid(mount, fid), mount, str(fid)),
            ("RMFID", errno.EIO, OSError,
             lambda: zorvel.rmfid(mount, [fid]), mount, None),
            ("GETOBDNAME", errno.ETIMEDOUT, TimeoutError,
             lambda: zorvel.getname(f), f, None),
            ("DATA_VERSION", errno.EAGAIN, BlockingIOError,
             lambda: zorvel.data_version(f), f, None),
            ("SWAP_LAYOUTS", errno.EEXIST, FileExistsError,
             lambda: zorvel.swap_layouts(f, g), f, g),
            ("GROUP_LOCK", errno.EPERM, PermissionError,
             lambda: zorvel.GroupLock(fd, 5).lock(), fd, None),
            ("LEASE_SET", errno.ECHILD, ChildProcessError,
             lambda: zorvel.Lease(fd).acquire(), fd, None),
            ("PCC_STATE", errno.ESRCH, ProcessLookupError,
             lambda: zorvel.pcc_state(fd), fd, None),
            ("MIRROR_SET", errno.EPIPE, BrokenPipeError,
             lambda: zorvel.mirror_read(fd, 1, 10), fd, None),
            ("HEAT_GET", errno.ECONNRESET, ConnectionResetError,
             lambda: zorvel.heat_get(fd), fd, None),
            ("LADVISE", errno.ECONNABORTED, ConnectionAbortedError,
             lambda: zorvel.ladvise(fd, [(1, 0, 1)]), fd, None),
            ("CHLG_CLEAR", errno.ECONNREFUSED, ConnectionRefusedError,
             lambda: zorvel.changelog_clear(TARGET, user, 1), TARGET, None),
            ("VOLATILE_OPEN", errno.EACCES, PermissionError,
             lambda: zorvel.create_volatile(workdir), workdir, None),
        ]
        for request, err, cls, call, filename, filename2 in table:
            sim.inject(request, err)
            with pytest.raises(OSError) as e:
                call()
            assert type(e.value) is cls, request
            assert e.value.errno == err, request
            assert e.value.strerror == os.strerror(err), request
            assert e.value.filename == filename, request
            assert e.value.filename2 == filename2, request

        # a signal whose handler did not raise: the call is made again
        sim.inject("DATA_VERSION", errno.EINTR)
        assert zorvel.data_version(fd) >= 1
    finally:
        os.close(fd)
