#!/usr/bin/env python3
"""A catalog of a zorvel file system in SQLite, kept from its change log.

Every object's FID, its links (parent directory and name), its type and its
last change (record, time, job) live in one SQLite file, with the changes
themselves, so that questions a walk of a large tree would take hours to
answer come from the catalog at once:

    catalog.py DB update TARGET USER [--follow]  apply the new records
    catalog.py DB since INDEX|TIME                what changed since
    catalog.py DB who DIR                         who changed a directory
    catalog.py DB path FID                        the path of a FID
    catalog.py DB dump                            every link it holds

TARGET is a metadata target ('demo-MDT0000'), USER a log user registered on
it ('cl1'); DIR is a FID or a path in the file system. The catalog follows
the log from the user's registration on (an empty file system, or a tree
whose earlier objects it does not need to know).

Records are applied in transactions, each committed with the last record
number it holds; only then are those records cleared from the log. Killed at
any moment, a restart goes on after the last record committed: nothing is
lost (what was not committed is still in the log) and nothing is applied
twice (what was committed is skipped).

A rename record names the new link only. When the object has several links
in the old directory, the catalog takes the one the file system no longer
has (given --mount), which a catalog far behind the file system may get
wrong.
"""

from __future__ import annotations

import argparse
import datetime
import os
import sqlite3
import sys
from typing import Iterable, Optional

import zorvel

ROOT = "[0x200000007:0x1:0x0]"
CREATED = {"CREATE": "file", "MKDIR": "dir", "SOFTLINK": "symlink",
           "MKNOD": "node"}
COMMIT_EVERY = 1000

SCHEMA = """
CREATE TABLE IF NOT EXISTS objects(
    fid TEXT PRIMARY KEY, type TEXT, last_index INTEGER, last_time TEXT,
    jobid TEXT);
CREATE TABLE IF NOT EXISTS entries(
    parent TEXT, name TEXT, fid TEXT, PRIMARY KEY(parent, name));
CREATE INDEX IF NOT EXISTS entries_fid ON entries(fid);
CREATE TABLE IF NOT EXISTS changes(
    idx INTEGER PRIMARY KEY, time TEXT, type TEXT, tfid TEXT, pfid TEXT,
    name TEXT, spfid TEXT, jobid TEXT, uid INTEGER);
CREATE INDEX IF NOT EXISTS changes_pfid ON changes(pfid);
CREATE TABLE IF NOT EXISTS state(target TEXT PRIMARY KEY, last INTEGER);
"""


class Catalog:
    """The catalog in an SQLite file."""

    def __init__(self, path: str, mount: Optional[str] = None) -> None:
        self.db = sqlite3.connect(path)
        self.db.executescript(SCHEMA)
        self.mount = mount

    # ---- applying records ----------------------------------------------
    def last(self, target: str) -> int:
        row = self.db.execute("SELECT last FROM state WHERE target = ?",
                              (target,)).fetchone()
        return int(row[0]) if row else 0

    def commit(self, target: str, last: int) -> None:
        self.db.execute("INSERT OR REPLACE INTO state VALUES (?, ?)",
                        (target, last))
        self.db.commit()

    def apply(self, rec: zorvel.ChangeLogRecord) -> None:
        tfid, pfid = str(rec.tfid), str(rec.pfid)
        spfid = str(rec.spfid) if rec.spfid else None
        # a record applied twice is a fault: the primary key refuses it
        self.db.execute(
            "INSERT INTO changes VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (rec.index, rec.time.isoformat(), rec.type, tfid, pfid,
             rec.name, spfid, rec.jobid, rec.uid))
        if rec.type in CREATED:
            self.db.execute(
                "INSERT OR REPLACE INTO objects VALUES (?, ?, NULL, NULL, "
                "NULL)", (tfid, CREATED[rec.type]))
            self.link(pfid, rec.name, tfid)
        elif rec.type == "HARDLINK":
            self.link(pfid, rec.name, tfid)
        elif rec.type in ("UNLINK", "RMDIR"):
            self.unlink(pfid, rec.name, tfid)
        elif rec.type == "RENAME" and spfid is not None:
            self.rename(spfid, pfid, rec.name, tfid)
        for fid in (tfid, pfid):
            self.db.execute(
                "UPDATE objects SET last_index = ?, last_time = ?, "
                "jobid = ? WHERE fid = ?",
                (rec.index, rec.time.isoformat(), rec.jobid, fid))

    def link(self, parent: str, name: str, fid: str) -> None:
        """parent/name now names fid (whatever it named is unlinked)."""
        row = self.db.execute(
            "SELECT fid FROM entries WHERE parent = ? AND name = ?",
            (parent, name)).fetchone()
        if row and row[0] != fid:
            self.unlink(parent, name)
        self.db.execute("INSERT OR REPLACE INTO entries VALUES (?, ?, ?)",
                        (parent, name, fid))

    def rename(self, old_parent: str, parent: str, name: str,
               fid: str) -> None:
        """fid moves from old_parent to parent/name."""
        row = self.db.execute(
            "SELECT fid FROM entries WHERE parent = ? AND name = ?",
            (parent, name)).fetchone()
        if row and row[0] == fid:
            return  # a rename onto another link of itself changes nothing
        old = self.renamed_entry(old_parent, fid)
        if row:
            self.unlink(parent, name)  # replaced
        if old is None:
            self.link(parent, name, fid)
        else:
            self.db.execute(
                "UPDATE entries SET parent = ?, name = ? WHERE parent = ? "
                "AND name = ?", (parent, name, old_parent, old))

    def unlink(self, parent: str, name: str,
               fid: Optional[str] = None) -> None:
        row = self.db.execute(
            "SELECT fid FROM entries WHERE parent = ? AND name = ?",
            (parent, name)).fetchone()
        if fid is not None and (row is None or row[0] != fid):
            # a link of fid in parent known by another name (see
            # renamed_entry) is the one removed
            other = self.db.execute(
                "SELECT name FROM entries WHERE parent = ? AND fid = ? "
                "ORDER BY name LIMIT 1", (parent, fid)).fetchone()
            if other is not None:
                name, row = str(other[0]), (fid,)
        self.db.execute("DELETE FROM entries WHERE parent = ? AND name = ?",
                        (parent, name))
        if row and not self.db.execute(
                "SELECT 1 FROM entries WHERE fid = ?", row).fetchone():
            self.db.execute("DELETE FROM objects WHERE fid = ?", row)

    def renamed_entry(self, parent: str, fid: str) -> Optional[str]:
        """The old name of fid in parent. A rename record names the new
        link only: with several links of fid in parent, the one the file
        system no longer has is taken (with --mount; it looks when the
        record is applied, so a catalog far behind may take the wrong one,
        until a removal of a link by its real name takes the misnamed
        one)."""
        names = [str(r[0]) for r in self.db.execute(
            "SELECT name FROM entries WHERE parent = ? AND fid = ? "
            "ORDER BY name", (parent, fid))]
        if len(names) > 1 and self.mount is not None:
            base = self.path(parent)
            try:
                links = set(zorvel.fid2path(self.mount, fid))
            except OSError:
                links = set()
            for name in names:
                if base is not None and \
                        os.path.join(base, name).lstrip("/") not in links:
                    return name
        return names[0] if names else None

    # ---- questions --------------------------------------------------------
    def path(self, fid: str) -> Optional[str]:
        """The path of fid from the mount's root, as links give it."""
        parts: list[str] = []
        seen = set()
        while fid != ROOT:
            row = self.db.execute(
                "SELECT parent, name FROM entries WHERE fid = ? "
                "ORDER BY parent, name LIMIT 1", (fid,)).fetchone()
            if row is None or fid in seen:
                return None
            seen.add(fid)
            fid, name = str(row[0]), str(row[1])
            parts.append(name)
        return "/" + "/".join(reversed(parts))

    def since(self, when: str) -> Iterable[tuple[str, str, int, str]]:
        """Objects whose last change came after record when (a number)
        or time when (ISO 8601)."""
        if when.isdigit():
            query = "last_index > ?"
            arg: object = int(when)
        else:
            stamp = datetime.datetime.fromisoformat(when)
            if stamp.tzinfo is None:
                stamp = stamp.replace(tzinfo=datetime.timezone.utc)
            query, arg = "last_time > ?", stamp.isoformat()
        for fid, kind, index, time in self.db.execute(
                "SELECT fid, type, last_index, last_time FROM objects "
                f"WHERE {query} ORDER BY last_index", (arg,)):
            yield fid, kind, index, time

    def who(self, directory: str) -> Iterable[tuple[object, ...]]:
        """The changes of entries of directory, oldest first."""
        return self.db.execute(
            "SELECT idx, time, type, name, jobid, uid FROM changes "
            "WHERE pfid = ? OR spfid = ? ORDER BY idx",
            (directory, directory))

    def entries(self) -> Iterable[tuple[str, str, str, str]]:
        return self.db.execute(
            "SELECT e.parent, e.name, e.fid, o.type FROM entries e "
            "LEFT JOIN objects o ON o.fid = e.fid ORDER BY e.parent, e.name")


def update(catalog: Catalog, target: str, user: str, follow: bool) -> None:
    """Applies the records after the last one committed, committing before
    each read of the log that may wait, and clears what it committed."""
    last = catalog.last(target)
    if last:
        # a kill between a commit and its clear left these in the log
        zorvel.changelog_clear(target, user, last)
    pending = 0
    with zorvel.ChangeLog(target, start=last + 1, follow=follow) as log:
        for rec in log:
            if rec.index <= last:
                continue
            catalog.apply(rec)
            last, pending = rec.index, pending + 1
            if pending >= COMMIT_EVERY or not log.buffered:
                catalog.commit(target, last)
                log.clear(user, last)
                pending = 0
        if pending:
            catalog.commit(target, last)
            log.clear(user, last)


def fid_argument(text: str) -> str:
    """A FID's text, from a FID or a path in the file system."""
    try:
        return str(zorvel.Fid.parse(text))
    except ValueError:
        return str(zorvel.path2fid(text))


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(
        description="A catalog of a zorvel file system, kept from its "
        "change log.")
    parser.add_argument("db", help="the SQLite file")
    parser.add_argument("--mount", help="the file system's mount, to tell "
                        "apart hard links of one directory when one moves")
    sub = parser.add_subparsers(dest="command", required=True)
    up = sub.add_parser("update", help="apply the log's new records")
    up.add_argument("target")
    up.add_argument("user")
    up.add_argument("--follow", action="store_true",
                    help="wait for new records until interrupted")
    sub.add_parser("since", help="what changed since a record or a "
                   "time").add_argument("when")
    sub.add_parser("who", help="who changed a directory").add_argument(
        "dir")
    sub.add_parser("path", help="the path of a FID").add_argument("fid")
    sub.add_parser("dump", help="every link: parent, name, FID, type")
    args = parser.parse_args(argv)

    catalog = Catalog(args.db, args.mount)
    try:
        if args.command == "update":
            update(catalog, args.target, args.user, args.follow)
        elif args.command == "since":
            for changed in catalog.since(args.when):
                print(*changed, sep="\t")
        elif args.command == "who":
            for change in catalog.who(fid_argument(args.dir)):
                print(*change, sep="\t")
        elif args.command == "path":
            path = catalog.path(fid_argument(args.fid))
            if path is None:
                print(f"catalog: {args.fid}: not in the catalog",
                      file=sys.stderr)
                return 1
            print(path)
        else:
            for entry in catalog.entries():
                print(*entry, sep="\t")
    except KeyboardInterrupt:
        return 130  # what was committed stays; the rest is still in the log
    except OSError as e:
        print(f"catalog: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
