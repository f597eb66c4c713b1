"""Fixtures of the zorvel package's tests: the simulated mount they run on
(CTest starts them under `zvsim run`), the simulator's steering interface
and the C library itself, both through ctypes, to compare with."""

from __future__ import annotations

import ctypes
import errno
import os
import shutil
import tempfile
from typing import Iterator

import pytest

import zorvel

TARGET = "demo-MDT0000"


class Sim:
    """The simulator's steering calls (libzvsim is preloaded)."""

    def __init__(self) -> None:
        self.lib = ctypes.CDLL(None)
        self.lib.zvsim_request_code.argtypes = [
            ctypes.c_char_p, ctypes.POINTER(ctypes.c_ulong)]
        self.lib.zvsim_inject_errno.argtypes = [
            ctypes.c_ulong, ctypes.c_int, ctypes.c_int]
        self.lib.zvsim_changelog_append.argtypes = [
            ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]

    def check(self, rc: int, what: str) -> int:
        if rc < 0:
            raise OSError(-rc, os.strerror(-rc), what)
        return rc

    def code(self, name: str) -> int:
        code = ctypes.c_ulong()
        self.check(self.lib.zvsim_request_code(name.encode(),
                                               ctypes.byref(code)), name)
        return code.value

    def inject(self, name: str, err: int, always: bool = False) -> None:
        self.check(self.lib.zvsim_inject_errno(self.code(name), err,
                                               int(always)), name)

    def clear_injections(self) -> None:
        self.check(self.lib.zvsim_clear_injections(), "clear")

    def register(self, target: str = TARGET) -> str:
        buf = ctypes.create_string_buffer(64)
        self.check(self.lib.zvsim_changelog_register(
            target.encode(), buf, ctypes.c_size_t(64)), target)
        return buf.value.decode()

    def deregister(self, user: str, target: str = TARGET) -> None:
        self.check(self.lib.zvsim_changelog_deregister(
            target.encode(), user.encode()), user)

    def append(self, data: bytes, target: str = TARGET) -> None:
        self.check(self.lib.zvsim_changelog_append(
            target.encode(), data, len(data)), target)

    def mirror_count(self, path: str, n: int) -> None:
        self.check(self.lib.zvsim_mirror_count(
            os.fsencode(path), ctypes.c_uint(n)), path)

    def nodemap_add(self, name: str) -> None:
        self.check(self.lib.zvsim_nodemap_add(name.encode()), name)

    def lease_break(self, path: str) -> None:
        self.check(self.lib.zvsim_lease_break(os.fsencode(path), 0), path)

    def log(self, on: bool) -> None:
        self.check(self.lib.zvsim_log_enable(int(on)), "log")


class ZoFid(ctypes.Structure):
    _fields_ = [("f_seq", ctypes.c_uint64), ("f_oid", ctypes.c_uint32),
                ("f_ver", ctypes.c_uint32)]

    def fid(self) -> zorvel.Fid:
        return zorvel.Fid(self.f_seq, self.f_oid, self.f_ver)


class CLib:
    """The client library's own answers, to compare the package's with."""

    def __init__(self) -> None:
        # loaded already, by the extension
        self.lib = ctypes.CDLL("libzorvelapi.so.1")

    def path2fid(self, path: str) -> zorvel.Fid:
        fid = ZoFid()
        rc = self.lib.zvapi_path2fid(os.fsencode(path), ctypes.byref(fid))
        assert rc == 0, rc
        return fid.fid()

    def fd2fid(self, fd: int) -> zorvel.Fid:
        fid = ZoFid()
        assert self.lib.zvapi_fd2fid(fd, ctypes.byref(fid)) == 0
        return fid.fid()

    def path2parent(self, path: str, linkno: int) -> tuple[zorvel.Fid, str]:
        fid = ZoFid()
        name = ctypes.create_string_buffer(4096)
        rc = self.lib.zvapi_path2parent(os.fsencode(path), linkno,
                                        ctypes.byref(fid), name,
                                        ctypes.c_size_t(4096))
        assert rc == 0, rc
        return fid.fid(), os.fsdecode(name.value)

    def fid2path(self, mount: str, fid: zorvel.Fid) -> list[str]:
        out = []
        buf = ctypes.create_string_buffer(4096)
        recno = ctypes.c_longlong(-1)
        linkno = ctypes.c_int(0)
        while True:
            old = linkno.value
            rc = self.lib.zvapi_fid2path(
                os.fsencode(mount), str(fid).encode(), buf, 4096,
                ctypes.byref(recno), ctypes.byref(linkno))
            assert rc == 0, rc
            out.append(os.fsdecode(buf.value))
            if linkno.value == old:
                return out

    def text(self, func: str, path: str) -> str:
        buf = ctypes.create_string_buffer(4096)
        rc = getattr(self.lib, func)(os.fsencode(path), buf,
                                     ctypes.c_size_t(4096))
        assert rc == 0, rc
        return buf.value.decode()

    def version(self) -> str:
        buf = ctypes.create_string_buffer(4096)
        assert self.lib.zvapi_get_version_string(buf, 4096) == 0
        return buf.value.decode()

    def data_version(self, fd: int) -> int:
        dv = ctypes.c_uint64()
        assert self.lib.zvapi_get_data_version(fd, ctypes.byref(dv),
                                               ctypes.c_uint64(0)) == 0
        return dv.value

    def nodemap_exists(self, name: str) -> bool:
        return bool(self.lib.zvapi_nodemap_exists(name.encode()) == 0)


@pytest.fixture(scope="session")
def mount() -> str:
    if "ZVSIM_MOUNT" not in os.environ:
        pytest.skip("not under the simulator: run through `zvsim run`")
    return os.environ["ZVSIM_MOUNT"]


@pytest.fixture(scope="session")
def sim(mount: str) -> Sim:
    return Sim()


@pytest.fixture(scope="session")
def clib(mount: str) -> CLib:
    return CLib()


@pytest.fixture
def workdir(mount: str, sim: Sim) -> Iterator[str]:
    """A fresh directory in the mount, removed afterwards; no injection
    outlives its test."""
    path = tempfile.mkdtemp(dir=mount)
    try:
        yield path
    finally:
        sim.clear_injections()
        shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def user(sim: Sim) -> Iterator[str]:
    """A registered change-log user: the log keeps records meanwhile."""
    name = sim.register()
    try:
        yield name
    finally:
        sim.deregister(name)


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


__all__ = ["TARGET", "Sim", "CLib", "fd_count", "errno"]
