"""The Python change-log iterator against the C reader over the same log,
and against building the same record objects in pure Python from values
already in hand, the three run one after the other in each of several
rounds. The Python side should cost no more than twice the pure-Python
build. Times are processor time (the kernel's work for the process
included), as the machine may be shared. The rows go to the benchmark
report through bench_report.

Run under the simulator by bin/python_chlg_bench (make bench):
    zvsim run -- python3 python_chlg_bench.py --reader bin/chlg_reader \
        --report bin/bench_report
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import os
import struct
import subprocess
import time
from typing import Any, Callable, Optional

import zorvel

TARGET = "demo-MDT0000"
CHUNK = 4096
UTC = datetime.timezone.utc


def fill_log(records: int) -> None:
    """Appends records in the layout the simulated kernel produces (every
    extension, 436 bytes before the name), several to each read."""
    lib = ctypes.CDLL(None)
    lib.zvsim_changelog_append.argtypes = [ctypes.c_char_p, ctypes.c_char_p,
                                           ctypes.c_size_t]
    flags = 0x1000 | 0x2000 | 0x4000 | 0x8000
    now = time.time_ns()
    unit = b""
    for i in range(1, records + 1):
        name = b"file%07d" % i
        rec = struct.pack("<HHIQQQQII QII", len(name), flags, 1, i, i - 1,
                          now + i, 0x200000400, i, 0, 0x200000400, 1, 0)
        rec += bytes(32)  # rename extension, unused
        rec += b"bench.0".ljust(32, b"\0")  # job
        rec += struct.pack("<Q", 0xF)  # extensions: all four
        rec += struct.pack("<QQ", 1000, 1000)  # uid, gid
        rec += struct.pack("<QQI4x", 0x20000C0A8000A, 0, 0)  # NID
        rec += struct.pack("<I", 0o100101)  # open flags
        rec += bytes(256)  # xattr name, none
        rec += name
        if len(unit) + len(rec) > CHUNK:
            if lib.zvsim_changelog_append(TARGET.encode(), unit,
                                          len(unit)) != 0:
                raise OSError("cannot append to the log")
            unit = b""
        unit += rec
    if unit:
        lib.zvsim_changelog_append(TARGET.encode(), unit, len(unit))


def timed(work: Callable[[], int]) -> tuple[int, float]:
    start = time.process_time()
    n = work()
    return n, time.process_time() - start


def python_iterator() -> int:
    n = 0
    with zorvel.ChangeLog(TARGET) as log:
        for _ in log:
            n += 1
    return n


class PyFid:
    """A FID as pure Python would hold it."""
    __slots__ = ("seq", "oid", "ver")

    def __init__(self, seq: int, oid: int, ver: int) -> None:
        self.seq, self.oid, self.ver = seq, oid, ver


class PyRecord:
    """The same record object, built in pure Python."""
    __slots__ = ("index", "type", "time", "time_ns", "flags", "tfid",
                 "pfid", "name", "sfid", "spfid", "jobid", "uid", "gid",
                 "nid", "open_mode", "xattr")

    def __init__(self, index: int, type: str, time_ns: int, flags: int,
                 tfid: PyFid, pfid: PyFid, name: str, sfid: Optional[PyFid],
                 spfid: Optional[PyFid], jobid: Optional[str],
                 uid: Optional[int], gid: Optional[int], nid: Optional[int],
                 open_mode: Optional[int], xattr: Optional[str]) -> None:
        self.index, self.type, self.time_ns, self.flags = (index, type,
                                                           time_ns, flags)
        self.time = datetime.datetime.fromtimestamp(time_ns // 1000 / 1e6,
                                                    UTC)
        self.tfid, self.pfid, self.name = tfid, pfid, name
        self.sfid, self.spfid, self.jobid = sfid, spfid, jobid
        self.uid, self.gid, self.nid = uid, gid, nid
        self.open_mode, self.xattr = open_mode, xattr


def raw_values() -> list[tuple[Any, ...]]:
    """What a pure-Python reader would have decoded, record by record."""
    out: list[tuple[Any, ...]] = []
    with zorvel.ChangeLog(TARGET) as log:
        for r in log:
            out.append((r.index, r.type, r.time_ns, r.flags,
                        (r.tfid.seq, r.tfid.oid, r.tfid.ver),
                        (r.pfid.seq, r.pfid.oid, r.pfid.ver), r.name,
                        r.jobid, r.uid, r.gid, r.nid, r.open_mode, r.xattr))
    return out


def pure_python_build(values: list[tuple[Any, ...]]) -> int:
    n = 0
    for (index, kind, time_ns, flags, t, p, name, jobid, uid, gid, nid,
         mode, xattr) in values:
        PyRecord(index, kind, time_ns, flags, PyFid(*t), PyFid(*p), name,
                 None, None, jobid, uid, gid, nid, mode, xattr)
        n += 1
    return n


def c_reader(reader: str) -> tuple[int, float]:
    out = subprocess.run([reader, TARGET, "1"], check=True,
                         capture_output=True, text=True).stdout.split()
    return int(out[0]), float(out[1])


def add_row(report: str, benchmark: str, unit: str, figures: list[float],
            baselines: list[float], aim: Optional[str] = None) -> None:
    def numbers(values: list[float]) -> str:
        return ",".join(f"{v:.6g}" for v in values)
    cmd = [report, "row", "--benchmark", benchmark, "--unit", unit,
           "--figures", numbers(figures), "--baselines", numbers(baselines)]
    if aim:
        cmd += ["--aim", aim]
    subprocess.run(cmd, check=True)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--reader", required=True, help="chlg_reader")
    parser.add_argument("--report", required=True, help="bench_report")
    parser.add_argument("--records", type=int, default=200000)
    parser.add_argument("--runs", type=int,
                        default=int(os.environ.get("ZV_BENCH_RUNS", "3")))
    args = parser.parse_args()

    if "ZVSIM_STATE" not in os.environ:
        parser.error("run under `zvsim run`")
    fill_log(args.records)
    values = raw_values()

    c_rates, py_rates, py_secs, pure_secs = [], [], [], []
    for _ in range(args.runs):
        c_n, c_time = c_reader(args.reader)
        py_n, py_time = timed(python_iterator)
        pure_n, pure_time = timed(lambda: pure_python_build(values))
        assert c_n == py_n == pure_n == args.records, (c_n, py_n, pure_n)
        c_rates.append(c_n / c_time)
        py_rates.append(py_n / py_time)
        py_secs.append(py_time)
        pure_secs.append(pure_time)

    add_row(args.report, "change-log records, Python iterator against "
            "the C reader", "records/s", py_rates, c_rates)
    add_row(args.report, "change-log records, Python iterator cost "
            "against a pure-Python build", "s", py_secs, pure_secs, "<= 2")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
