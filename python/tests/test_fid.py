"""File identifiers: the Fid type, and each translation against what the
client library answers for the same call."""

from __future__ import annotations

import copy
import errno
import os
import pickle
from typing import Callable, Union

import pytest

import zorvel
from conftest import CLib, Sim


def test_fid_text_forms_order_and_hash() -> None:
    fid = zorvel.Fid(0x200000400, 2)
    assert (fid.seq, fid.oid, fid.ver) == (0x200000400, 2, 0)
    assert str(fid) == "[0x200000400:0x2:0x0]"
    assert repr(fid) == "Fid(0x200000400, 0x2, 0x0)"
    texts: list[Union[str, bytes]] = [
        "[0x200000400:0x2:0x0]", "0x200000400:0x2:0x0",
        "  [[0x200000400:2:0] ", b"[8589935616:0x2:0]"]
    for text in texts:
        assert zorvel.Fid.parse(text) == fid, text
    assert zorvel.Fid.parse("[0:0:0]") == zorvel.Fid(0, 0, 0)
    assert str(zorvel.Fid(0, 1, 2)) == "[0:0x1:0x2]"

    fids = [zorvel.Fid(2, 1, 0), zorvel.Fid(1, 9, 9), zorvel.Fid(1, 9, 1)]
    assert sorted(fids) == [fids[2], fids[1], fids[0]]
    assert len({zorvel.Fid(1, 2, 3), zorvel.Fid.parse("1:2:3")}) == 1
    assert zorvel.Fid(1, 2, 3) != "[0x1:0x2:0x3]"
    assert pickle.loads(pickle.dumps(fid)) == fid
    assert copy.deepcopy(fid) == fid
    with pytest.raises(AttributeError):
        fid.seq = 1  # type: ignore[misc]
    with pytest.raises(AttributeError):
        fid.other = 1  # type: ignore[attr-defined]


@pytest.mark.parametrize("text", [
    "", "[]", "0x1:2", "[1:2:x]", "[1:2:3", "1:2:3]", "[1:2:3]]",
    "[1:2:3] x", "[0x1:0x100000000:0]", "[-1:0:0]", "[1:2:3\0]"])
def test_fid_parse_refuses(text: str) -> None:
    with pytest.raises(ValueError):
        zorvel.Fid.parse(text)


def test_fid_fields_checked() -> None:
    with pytest.raises(ValueError):
        zorvel.Fid(-1, 0)
    with pytest.raises(ValueError):
        zorvel.Fid(1, 1 << 32)
    with pytest.raises(TypeError):
        zorvel.Fid("1", 2)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        zorvel.Fid.parse(12)  # type: ignore[arg-type]


def test_translations_agree_with_the_library(
        workdir: str, mount: str, clib: CLib) -> None:
    d = os.path.join(workdir, "dir")
    os.mkdir(d)
    f = os.path.join(d, "file")
    with open(f, "w") as out:
        out.write("data")
    os.link(f, os.path.join(workdir, "link"))
    os.symlink("file", os.path.join(d, "sym"))

    for path in (workdir, d, f, os.path.join(d, "sym")):
        fid = zorvel.path2fid(path)
        assert fid == clib.path2fid(path)
        assert zorvel.path2fid(os.fsencode(path)) == fid
        assert sorted(zorvel.fid2path(mount, fid)) == \
            sorted(clib.fid2path(mount, fid))
        assert zorvel.fid2path("demo", str(fid)) == clib.fid2path("demo", fid)
        if not os.path.islink(path):  # the library opens no link
            assert zorvel.path2parent(path) == clib.path2parent(path, 0)
    fid = zorvel.path2fid(f)
    rel = os.path.relpath(f, mount)
    links = zorvel.fid2path(mount, fid)
    assert rel in links and len(links) == 2
    assert zorvel.path2parent(f, 1) == clib.path2parent(f, 1)
    assert zorvel.fid2path(mount, zorvel.path2fid(mount)) == ["/"]

    with open(f) as fobj:
        assert zorvel.fd2fid(fobj) == zorvel.fd2fid(fobj.fileno()) == \
            clib.fd2fid(fobj.fileno()) == fid
    fd = zorvel.open_by_fid(mount, fid)
    try:
        assert os.read(fd, 10) == b"data"
        assert not os.get_inheritable(fd)
        assert zorvel.fd2fid(fd) == fid
    finally:
        os.close(fd)


def test_rmfid_answers_each_fid(workdir: str, mount: str) -> None:
    names = [os.path.join(workdir, n) for n in ("a", "b")]
    for n in names:
        open(n, "w").close()
    fids = [zorvel.path2fid(n) for n in names]
    gone = zorvel.Fid(0x200000400, 0xFFFFFFF0, 0)
    results = zorvel.rmfid(mount, [fids[0], gone, str(fids[1]),
                                   zorvel.path2fid(workdir)])
    assert results == [0, errno.ENOENT, 0, errno.EISDIR]
    assert not any(os.path.exists(n) for n in names)
    assert zorvel.rmfid("demo", []) == []


def test_wrong_arguments_reach_no_kernel(workdir: str, mount: str,
                                         sim: Sim) -> None:
    calls: list[Callable[[], object]] = [
        lambda: zorvel.path2fid(3),  # type: ignore[arg-type]
        lambda: zorvel.fd2fid("x"),  # type: ignore[arg-type]
        lambda: zorvel.fd2fid(-1),
        lambda: zorvel.fd2fid(True),
        lambda: zorvel.path2fid(workdir + "\0x"),
        lambda: zorvel.path2parent(workdir, -1),
        lambda: zorvel.fid2path(mount, "nope"),
        lambda: zorvel.fid2path(mount, 5),  # type: ignore[arg-type]
        lambda: zorvel.open_by_fid(mount, "[1:2:3]", 1 << 40),
        lambda: zorvel.rmfid(mount, ["[1:2:3]", None]),  # type: ignore
    ]
    sim.log(True)
    try:
        before = _log_size(sim)
        for call in calls:
            with pytest.raises((TypeError, ValueError)):
                call()
        assert _log_size(sim) == before
    finally:
        sim.log(False)


def _log_size(sim: Sim) -> int:
    state = os.environ["ZVSIM_STATE"]
    try:
        return os.path.getsize(os.path.join(state, "log"))
    except FileNotFoundError:
        return 0
