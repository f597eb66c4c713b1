"""The data path: mirrors against a model kept in memory (random sequences,
seed from ZV_TEST_SEED), sparse files, advice and heat."""

from __future__ import annotations

import os
import random

import pytest

import zorvel
from conftest import CLib, Sim

PAGE = os.sysconf("SC_PAGESIZE")


def test_mirrors_follow_a_model(workdir: str, sim: Sim) -> None:
    seed = int(os.environ.get("ZV_TEST_SEED", random.randrange(1 << 30)))
    rng = random.Random(seed)
    path = os.path.join(workdir, "f")
    open(path, "w").close()
    sim.mirror_count(path, 3)
    model = {1: bytearray(), 2: bytearray(), 3: bytearray()}
    fd = os.open(path, os.O_RDWR)
    try:
        assert zorvel.mirror_ids(fd) == [1, 2, 3]
        for step in range(60):
            op = rng.choice(["write", "copy", "copy_many", "punch"])
            ids = list(model)
            where = f"seed {seed}, step {step}: {op}"
            if op == "write":
                mid, at = rng.choice(ids), rng.randrange(4) * PAGE
                data = rng.randbytes(rng.randrange(1, 3 * PAGE))
                assert zorvel.mirror_write(fd, mid, data, at) == len(data)
                m = model[mid]
                m.extend(bytes(max(0, at + len(data) - len(m))))
                m[at:at + len(data)] = data
            elif op == "copy":
                src, dst = rng.sample(ids, 2)
                n = zorvel.mirror_copy(fd, src, dst)
                assert n == len(model[src]), where
                model[dst] = bytearray(model[src])
            elif op == "copy_many":
                src = rng.choice(ids)
                dsts = [i for i in ids if i != src]
                assert sorted(zorvel.mirror_copy_many(fd, src, dsts)) == dsts
                for d in dsts:
                    model[d] = bytearray(model[src])
            else:
                mid = rng.choice(ids)
                at, n = rng.randrange(3) * PAGE, rng.randrange(1, 2 * PAGE)
                zorvel.punch(fd, at, n, mirror=mid)
                m = model[mid]
                end = min(len(m), at + n)
                if at < end:
                    m[at:end] = bytes(end - at)
            for mid, want in model.items():
                got = zorvel.mirror_read(fd, mid, 8 * PAGE)
                assert got == bytes(want), f"{where}: mirror {mid}"
            differ = [i for i in (2, 3) if model[i] != model[1]]
            assert zorvel.mirror_verify(fd) == differ, where
        # ranges go by pages; mirror 0 is the file as a whole
        with pytest.raises(ValueError):
            zorvel.mirror_write(fd, 2, b"x", 100)
        with pytest.raises(ValueError):
            zorvel.mirror_copy(fd, 0, 2, length=100)
        with pytest.raises(ValueError):
            zorvel.mirror_copy(fd, 1, 0)
        with pytest.raises(FileNotFoundError):
            zorvel.mirror_read(fd, 9, 10)
    finally:
        os.close(fd)


def extents_by_seeking(fd: int) -> list[tuple[int, int]]:
    out, pos, end = [], 0, os.fstat(fd).st_size
    while pos < end:
        try:
            data = os.lseek(fd, pos, os.SEEK_DATA)
        except OSError:
            break
        hole = os.lseek(fd, data, os.SEEK_HOLE)
        out.append((data, hole - data))
        pos = hole
    return out


def test_sparse_files(workdir: str) -> None:
    path = os.path.join(workdir, "sparse")
    fd = os.open(path, os.O_RDWR | os.O_CREAT)
    try:
        os.pwrite(fd, b"a" * PAGE, 0)
        os.pwrite(fd, b"b" * PAGE, 8 * PAGE)
        extents = zorvel.data_extents(fd)
        assert extents == extents_by_seeking(fd) and extents[0][0] == 0
        zorvel.punch(fd, 0, PAGE)
        assert os.fstat(fd).st_size == 9 * PAGE
        assert os.pread(fd, PAGE, 0) == bytes(PAGE)
        assert zorvel.data_extents(fd) == extents_by_seeking(fd)
        assert zorvel.is_sparse(fd)
        with pytest.raises(ValueError):
            zorvel.punch(fd, -1, 1)
    finally:
        os.close(fd)


def test_advice_and_heat(workdir: str) -> None:
    path = os.path.join(workdir, "hot")
    fd = os.open(path, os.O_RDWR | os.O_CREAT)
    try:
        A = zorvel.AdviceType
        got = zorvel.ladvise(fd, [zorvel.Advice(A.WILLREAD, 0, PAGE),
                                  (A.LOCKAHEAD, 0, 2 * PAGE, 1)],
                             zorvel.LadviseFlag.ASYNC)
        assert got == [None, 1]
        for bad in ([], [(A.WILLREAD, 0, 1)] * 1024, [(0, 0, 1)], [(5, 0, 1)],
                    [(1, 0)], ["abc"]):
            with pytest.raises((ValueError, TypeError)):
                zorvel.ladvise(fd, bad)  # type: ignore[arg-type]
        with pytest.raises(ValueError):
            zorvel.ladvise(fd, [(1, 0, 1)], 4)

        os.write(fd, b"12345")
        heat = zorvel.heat_get(fd)
        assert (heat.writes, heat.bytes_written, heat.counting) == (1, 5, True)
        zorvel.heat_set(fd, zorvel.HeatFlag.OFF | zorvel.HeatFlag.CLEAR)
        os.write(fd, b"6")
        assert zorvel.heat_get(fd) == zorvel.Heat(0, 0, 0, 0, False)
        with pytest.raises(OSError):
            zorvel.heat_set(fd, zorvel.HeatFlag.ON | zorvel.HeatFlag.OFF)
    finally:
        os.close(fd)


def test_names_and_parameters(mount: str, sim: Sim, clib: CLib) -> None:
    assert zorvel.getname(mount) == clib.text("zvapi_getname", mount)
    assert zorvel.version() == clib.version()
    assert zorvel.param_list("version") == ["version"]
    assert zorvel.param_get("version") == {"version": "zorvel: 2.16.0"}
    with pytest.raises(FileNotFoundError) as e:
        zorvel.param_get("no/such/param")
    assert e.value.filename == "no/such/param"
    sim.nodemap_add("site1")
    for name in ("site1", "default", "other"):
        assert zorvel.nodemap_exists(name) == clib.nodemap_exists(name)
    assert zorvel.nodemap_exists("site1")
    with pytest.raises(FileNotFoundError):
        zorvel.getname(os.path.join(mount, "missing"))
