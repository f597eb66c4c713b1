"""Change logs: records against what the C reader gives for the same log
(through the front end's JSON output), the layouts asked for, a follower
stopped by a signal and resumed, purging, and malformed records."""

from __future__ import annotations

import datetime
import errno
import json
import os
import signal
import subprocess
import threading
import time
from typing import Any, Callable

import pytest

import zorvel
from conftest import TARGET, Sim

ZORVEL = os.path.join(os.environ.get("ZV_BIN_DIR", "build/bin"), "zorvel")


def make_changes(d: str) -> None:
    """One change of each kind the simulated kernel records."""
    os.mkdir(os.path.join(d, "sub"))
    f = os.path.join(d, "sub", "file")
    with open(f, "w") as out:
        out.write("x")
    os.link(f, os.path.join(d, "hard"))
    os.symlink("sub/file", os.path.join(d, "soft"))
    os.mkfifo(os.path.join(d, "fifo"))
    os.rename(os.path.join(d, "hard"), os.path.join(d, "moved"))
    os.chmod(f, 0o600)
    os.truncate(f, 0)
    os.setxattr(f, "user.tag", b"1")
    os.unlink(os.path.join(d, "moved"))
    os.mkdir(os.path.join(d, "gone"))
    os.rmdir(os.path.join(d, "gone"))


def c_reader_records(start: int = 0) -> list[dict[str, Any]]:
    out = subprocess.run([ZORVEL, "changelog", "--json", TARGET, str(start)],
                         check=True, capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines()]


def time_text(ns: int) -> str:
    t = time.gmtime(ns // 10**9)
    return time.strftime("%Y-%m-%dT%H:%M:%S", t) + ".%09dZ" % (ns % 10**9)


def test_records_agree_with_the_c_reader(workdir: str, user: str) -> None:
    make_changes(workdir)
    with zorvel.ChangeLog(TARGET) as log:
        records = list(log)
    expected = c_reader_records()
    assert len(records) == len(expected) >= 12
    types = {r.type for r in records}
    assert {"CREATE", "MKDIR", "HARDLINK", "SOFTLINK", "MKNOD", "RENAME",
            "SETATTR", "TRUNC", "SETXATTR", "UNLINK", "RMDIR"} <= types
    for rec, want in zip(records, expected):
        got = {
            "index": rec.index, "type": rec.type,
            "time": time_text(rec.time_ns), "flags": rec.flags,
            "tfid": str(rec.tfid), "pfid": str(rec.pfid), "name": rec.name,
            "uid": rec.uid, "gid": rec.gid,
        }
        optional = {"sfid": rec.sfid, "spfid": rec.spfid,
                    "jobid": rec.jobid, "nid": rec.nid,
                    "openmode": rec.open_mode, "xattr": rec.xattr}
        got.update({k: v if isinstance(v, (int, str)) else str(v)
                    for k, v in optional.items() if v is not None})
        assert got == want
        assert rec.time.tzinfo is datetime.timezone.utc
        assert rec.time == datetime.datetime.fromtimestamp(
            rec.time_ns // 1000 / 10**6, datetime.timezone.utc)
        assert rec.as_dict()["name"] == rec.name
    rename = next(r for r in records if r.type == "RENAME")
    assert rename.sfid == rename.tfid and rename.name == "moved"
    assert repr(rename).startswith("ChangeLogRecord(index=")


def test_layout_asked_for(workdir: str, user: str) -> None:
    open(os.path.join(workdir, "f"), "w").close()
    with zorvel.ChangeLog(TARGET) as log:
        full = list(log)[-1]
    assert full.type == "CREATE" and full.open_mode is not None
    with zorvel.ChangeLog(TARGET, start=full.index, jobid=False,
                          extra=zorvel.ChangeLogExtra.UIDGID) as log:
        (some,) = list(log)
    assert some.index == full.index and some.name == "f"
    assert some.jobid is None and full.jobid is not None
    assert (some.uid, some.gid) == (os.geteuid(), os.getegid())
    assert some.nid is None and some.open_mode is None and some.xattr is None
    with zorvel.ChangeLog(TARGET, start=full.index, extra=0) as log:
        bare = next(log)
    assert bare.uid is None and bare.jobid == full.jobid
    with pytest.raises(ValueError):
        zorvel.ChangeLog(TARGET, start=-1)
    with pytest.raises(ValueError):
        zorvel.ChangeLog(TARGET, extra=0x10)


def follow_until_signal(log: zorvel.ChangeLog, sig: int,
                        then: Callable[[], None]) -> zorvel.ChangeLogRecord:
    """next(log) while another thread sends sig to this process, then
    calls then()."""
    def later() -> None:
        time.sleep(0.2)
        os.kill(os.getpid(), sig)
        time.sleep(0.2)
        then()
    t = threading.Thread(target=later)
    t.start()
    try:
        return next(log)
    finally:
        t.join()


def test_follower_stops_on_a_signal_and_resumes(workdir: str,
                                                user: str) -> None:
    with zorvel.ChangeLog(TARGET, follow=True) as log:
        def create(name: str) -> None:
            open(os.path.join(workdir, name), "w").close()
        create("first")
        assert next(log).name == "first"
        # Ctrl-C: the wait ends with KeyboardInterrupt... (pressed again
        # until it does: the simulated device sees a signal only while it
        # sleeps between its looks at the log)
        pressed: list[int] = []
        def ctrl_c(sig: int, frame: object) -> None:
            if not pressed:
                pressed.append(sig)
                raise KeyboardInterrupt
        def press() -> None:
            while not pressed:
                os.kill(os.getpid(), signal.SIGINT)
                time.sleep(0.1)
        old_int = signal.signal(signal.SIGINT, ctrl_c)
        try:
            with pytest.raises(KeyboardInterrupt):
                follow_until_signal(log, signal.SIGINT, press)
        finally:
            signal.signal(signal.SIGINT, old_int)
        # ...and the reader goes on where it was
        create("second")
        assert next(log).name == "second"

        # a handler that does not raise: the wait goes on
        seen: list[int] = []
        old = signal.signal(signal.SIGUSR1, lambda s, f: seen.append(s))
        try:
            rec = follow_until_signal(log, signal.SIGUSR1,
                                      lambda: create("third"))
        finally:
            signal.signal(signal.SIGUSR1, old)
        assert rec.name == "third" and seen == [signal.SIGUSR1]

        # one thread at a time: another is refused while this one waits
        refused: list[BaseException] = []
        def other() -> None:
            deadline = time.monotonic() + 60
            while not refused and time.monotonic() < deadline:
                try:
                    log.buffered
                    time.sleep(0.01)
                except RuntimeError as e:
                    refused.append(e)
            create("fourth")
        t = threading.Thread(target=other)
        t.start()
        assert next(log).name == "fourth"
        t.join()
        assert len(refused) == 1


def test_clear_purges_for_a_user(workdir: str, sim: Sim, user: str) -> None:
    for name in "ab":
        open(os.path.join(workdir, name), "w").close()
    with zorvel.ChangeLog(TARGET) as log:
        records = list(log)
        log.clear(user, records[0].index)
    zorvel.changelog_clear(TARGET, user + "-suffix", records[-1].index)
    with pytest.raises(FileNotFoundError):
        zorvel.changelog_clear(TARGET, "cl99", 1)
    with pytest.raises(ValueError):
        zorvel.changelog_clear(TARGET, user, -1)
    with zorvel.ChangeLog(TARGET) as log:
        assert list(log) == []  # every user cleared everything


def test_malformed_record_and_closed_reader(user: str, sim: Sim) -> None:
    with zorvel.ChangeLog(TARGET) as log:
        list(log)
        # a header whose name runs past the bytes the read returned
        sim.append(b"\xff\x00" + b"\x00" * 62)
        with pytest.raises(OSError) as e:
            next(log)
        assert e.value.errno == errno.EPROTO and e.value.filename == TARGET
        with pytest.raises(StopIteration):
            next(log)
    assert log.closed
    with pytest.raises(ValueError):
        next(log)
    log.close()
    with pytest.raises(FileNotFoundError):
        zorvel.ChangeLog("demo-MDT00ff")
