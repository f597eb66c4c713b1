"""Files: data versions, volatile files, layout swaps, group locks, leases
and the client cache, against the C library or what the file system holds
afterwards."""

from __future__ import annotations

import errno
import os

import pytest

import zorvel
from conftest import CLib, Sim


def write(path: str, data: bytes) -> None:
    with open(path, "wb") as out:
        out.write(data)


def read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def test_data_version_and_volatile_files(workdir: str, clib: CLib) -> None:
    f = os.path.join(workdir, "f")
    write(f, b"one")
    with open(f, "rb") as fobj:
        dv = zorvel.data_version(fobj)
        assert dv == zorvel.data_version(f) == clib.data_version(fobj.fileno())
        write(f, b"two!")
        assert zorvel.data_version(fobj.fileno()) > dv

    fd = zorvel.create_volatile(workdir)
    try:
        assert os.listdir(workdir) == ["f"]  # no name left behind
        assert not os.get_inheritable(fd)
        os.write(fd, b"hidden")
        assert os.pread(fd, 6, 0) == b"hidden"
    finally:
        os.close(fd)
    with pytest.raises(OSError) as e:
        zorvel.create_volatile(workdir, mdt_index=7)  # 1 target here
    assert e.value.errno == errno.ENODEV and e.value.filename == workdir
    with pytest.raises(ValueError):
        zorvel.create_volatile(workdir, mdt_index=-2)
    with pytest.raises(FileNotFoundError):
        zorvel.data_version(os.path.join(workdir, "missing"))


def test_swap_layouts(workdir: str) -> None:
    a, b = os.path.join(workdir, "a"), os.path.join(workdir, "b")
    write(a, b"AAA")
    write(b, b"BBBBBB")
    fa, fb = zorvel.path2fid(a), zorvel.path2fid(b)
    os.utime(a, (1000, 2000))
    os.utime(b, (3000, 4000))
    zorvel.swap_layouts(a, b, zorvel.SWAP_KEEP_MTIME)
    # each keeps its modification time; access times are exchanged
    assert os.stat(a).st_mtime == 2000 and os.stat(a).st_atime == 3000
    assert (read(a), read(b)) == (b"BBBBBB", b"AAA")
    assert (zorvel.path2fid(a), zorvel.path2fid(b)) == (fa, fb)

    dva, dvb = zorvel.data_version(a), zorvel.data_version(b)
    with open(b, "r+b") as fobj:
        with pytest.raises(BlockingIOError) as e:
            zorvel.swap_layouts(a, fobj, check_dv=(dva, dvb + 1))
        assert e.value.filename == a and e.value.filename2 is fobj
        assert read(a) == b"BBBBBB"
        zorvel.swap_layouts(a, fobj, check_dv=(dva, None))
    assert read(a) == b"AAA"
    with pytest.raises(TypeError):
        zorvel.swap_layouts(a, b, check_dv=(1,))  # type: ignore[arg-type]


def test_group_locks(workdir: str) -> None:
    f = os.path.join(workdir, "f")
    write(f, b"x")
    with open(f, "rb") as one, \
            open(os.open(f, os.O_RDONLY | os.O_NONBLOCK), "rb") as other:
        with zorvel.GroupLock(one, 7) as lock:
            assert lock.held and lock.gid == 7
            with zorvel.GroupLock(other, 7):  # the same id shares it
                pass
            with pytest.raises(BlockingIOError):
                zorvel.GroupLock(other, 8).lock()
        assert not lock.held
        with zorvel.GroupLock(other, 8):
            pass
    with pytest.raises(ValueError):
        zorvel.GroupLock(0, 0)


def test_leases(workdir: str, sim: Sim) -> None:
    f = os.path.join(workdir, "f")
    write(f, b"x")
    with open(f, "r+b") as one, open(f, "rb") as two:
        with zorvel.Lease(one, zorvel.LeaseMode.WRITE) as lease:
            assert lease.check() == zorvel.lease_check(one) == \
                zorvel.LeaseMode.WRITE
            with pytest.raises(OSError) as e:
                zorvel.Lease(two, zorvel.LeaseMode.READ).acquire()
            assert e.value.errno == errno.EBUSY
        assert lease.broken is False
        with zorvel.Lease(one, zorvel.LeaseMode.READ) as lease:
            sim.lease_break(f)
            assert lease.check() == 0
        assert lease.broken is True
    with pytest.raises(ValueError):
        zorvel.Lease(0, 4)


def test_client_cache(workdir: str, mount: str) -> None:
    f = os.path.join(workdir, "f")
    write(f, b"cached")
    (param,) = [p for p in zorvel.param_list("zvlite/*/pcc")]
    fd = os.open("/sys/fs/zorvel/" + param, os.O_WRONLY)
    try:
        os.write(fd, b"add 3")
    finally:
        os.close(fd)

    assert zorvel.pcc_state(f) == zorvel.PccState(zorvel.PccType.NONE, 0, 0,
                                                  None)
    zorvel.pcc_attach(f, 3)
    state = zorvel.pcc_state(f)
    assert state.type == zorvel.PccType.READWRITE and state.path
    assert read(state.path) == b"cached"
    with open(f, "rb") as fobj:
        zorvel.pcc_detach(fobj)
        assert zorvel.pcc_state(fobj).type == zorvel.PccType.NONE
    fid = zorvel.path2fid(f)
    zorvel.pcc_attach(fid, 3, mount=mount)
    zorvel.pcc_detach(str(fid), mount=mount)
    with pytest.raises(OSError) as e:
        zorvel.pcc_detach(f)
    assert e.value.errno == errno.ENODATA and e.value.filename == f
    with pytest.raises(FileNotFoundError):
        zorvel.pcc_attach(f, 4)  # no such area
    with pytest.raises(ValueError):
        zorvel.pcc_attach(f, 1 << 32)
