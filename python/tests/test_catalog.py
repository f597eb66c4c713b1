"""The catalog example against the tree it describes: random changes made
under the simulator (seed from ZV_TEST_SEED), the catalog kept by the
example as users run it, killed in the middle and restarted; afterwards it
must equal a walk of the tree, hold every record once, and have cleared
them from the log. (Renames of one of several links of an object in one
directory are left out: the record does not say which link moved.)"""

from __future__ import annotations

import ctypes
import os
import random
import signal
import sqlite3
import stat
import subprocess
import sys
import time

import zorvel
from conftest import TARGET, Sim

CATALOG = os.path.join(os.path.dirname(__file__), "..", "examples",
                       "catalog.py")


def catalog(db: str, *args: str) -> str:
    return subprocess.run([sys.executable, CATALOG, db, *args], check=True,
                          capture_output=True, text=True).stdout


class Tree:
    """Random changes of a tree: creations, links, renames (over existing
    names too), removals."""

    def __init__(self, root: str, rng: random.Random) -> None:
        self.root, self.rng = root, rng
        self.dirs = [root]
        self.files: list[str] = []
        self.n = 0

    def name(self) -> str:
        self.n += 1
        return os.path.join(self.rng.choice(self.dirs), f"n{self.n}")

    def step(self) -> None:
        op = self.rng.choice(["mkdir", "create", "create", "link", "symlink",
                              "fifo", "rename", "rename_dir", "unlink",
                              "rmdir", "chmod"])
        if op == "mkdir":
            p = self.name()
            os.mkdir(p)
            self.dirs.append(p)
        elif op == "create" or not self.files:
            p = self.name()
            open(p, "w").close()
            self.files.append(p)
        elif op == "link":
            p = self.name()
            os.link(self.rng.choice(self.files), p)
            self.files.append(p)
        elif op == "symlink":
            p = self.name()
            os.symlink("target", p)
            self.files.append(p)
        elif op == "fifo":
            p = self.name()
            os.mkfifo(p)
            self.files.append(p)
        elif op == "rename":
            src = self.rng.choice(self.files)
            if self.has_sibling_link(src):
                return  # which of the two moved, the log does not say
            if self.rng.random() < 0.3:  # over another file
                dst = self.rng.choice(self.files)
            else:
                dst = self.name()
            if src != dst:
                os.rename(src, dst)
                self.files = [f for f in self.files if f not in (src, dst)]
                self.files.append(dst)
        elif op == "rename_dir" and len(self.dirs) > 1:
            src = self.rng.choice(self.dirs[1:])
            parent = self.rng.choice(self.dirs)
            if not (parent + "/").startswith(src + "/"):
                dst = os.path.join(parent, f"d{self.n}")
                self.n += 1
                os.rename(src, dst)
                self.files = [dst + f[len(src):]
                              if f.startswith(src + "/") else f
                              for f in self.files]
                self.dirs = [dst + d[len(src):]
                             if d == src or d.startswith(src + "/") else d
                             for d in self.dirs]
        elif op == "unlink":
            p = self.rng.choice(self.files)
            os.unlink(p)
            self.files.remove(p)
        elif op == "rmdir" and len(self.dirs) > 1:
            d = self.rng.choice(self.dirs[1:])
            if not os.listdir(d):
                os.rmdir(d)
                self.dirs.remove(d)
        elif op == "chmod":
            os.chmod(self.rng.choice(self.dirs), 0o755)


    @staticmethod
    def has_sibling_link(path: str) -> bool:
        st = os.lstat(path)
        if st.st_nlink < 2:
            return False
        d = os.path.dirname(path)
        return any(os.lstat(os.path.join(d, n)).st_ino == st.st_ino
                   for n in os.listdir(d) if n != os.path.basename(path))


def walk(mount: str) -> set[tuple[str, str, str, str]]:
    """(parent FID, name, FID, type) of every link under the mount."""
    out = set()
    for dirpath, dirnames, filenames in os.walk(mount):
        if dirpath == mount:
            dirnames.remove(".zorvel")
        parent = str(zorvel.path2fid(dirpath))
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            mode = os.lstat(path).st_mode
            kind = ("dir" if stat.S_ISDIR(mode) else
                    "symlink" if stat.S_ISLNK(mode) else
                    "file" if stat.S_ISREG(mode) else "node")
            out.add((parent, name, str(zorvel.path2fid(path)), kind))
    return out


def dumped(db: str) -> set[tuple[str, ...]]:
    return {tuple(line.split("\t")) for line in
            catalog(db, "dump").splitlines()}


def wait_for_progress(db: str, proc: subprocess.Popen[bytes]) -> None:
    """Until the follower has committed something."""
    for _ in range(500):
        assert proc.poll() is None, "the follower ended"
        if os.path.exists(db):
            try:
                with sqlite3.connect(db) as c:
                    if c.execute("SELECT count(*) FROM state").fetchone()[0]:
                        return
            except sqlite3.OperationalError:
                pass  # not made yet, or locked
        time.sleep(0.01)
    raise AssertionError("the follower committed nothing")


def test_catalog_equals_the_tree_after_a_kill(user: str, workdir: str,
                                              mount: str, sim: Sim) -> None:
    seed = int(os.environ.get("ZV_TEST_SEED", random.randrange(1 << 30)))
    rng = random.Random(seed)
    tree = Tree(workdir, rng)
    db = os.path.join(os.environ["ZVSIM_STATE"], "catalog.sqlite")

    follower = subprocess.Popen(
        [sys.executable, CATALOG, "--mount", mount, db, "update", TARGET,
         user, "--follow"])
    try:
        for _ in range(150):
            tree.step()
        wait_for_progress(db, follower)
        for _ in range(rng.randrange(50, 150)):  # the kill lands in here
            tree.step()
        follower.send_signal(signal.SIGKILL)
        follower.wait()
    finally:
        if follower.poll() is None:
            follower.kill()
            follower.wait()
    for _ in range(150):
        tree.step()
    catalog(db, "--mount", mount, "update", TARGET, user)

    assert dumped(db) == walk(mount), f"seed {seed}"
    with sqlite3.connect(db) as c:
        indexes = [r[0] for r in c.execute("SELECT idx FROM changes "
                                           "ORDER BY idx")]
    # every record since the user's registration, once
    assert indexes == list(range(indexes[0], indexes[0] + len(indexes))), \
        f"seed {seed}"
    buf = ctypes.create_string_buffer(4096)
    sim.lib.zvsim_changelog_users(TARGET.encode(), buf, 4096)
    assert buf.value.decode() == f"{user} {indexes[-1]}\n"

    # the questions it answers
    some = tree.files[-1] if tree.files else workdir
    fid = str(zorvel.path2fid(some))
    assert catalog(db, "path", fid).strip() in \
        ["/" + p for p in zorvel.fid2path(mount, fid)]
    who = catalog(db, "who", workdir).splitlines()
    assert who and all(len(line.split("\t")) == 6 for line in who)
    since = catalog(db, "since", str(indexes[-1] - 5)).splitlines()
    assert since and all(int(line.split("\t")[2]) > indexes[-1] - 5
                         for line in since)
