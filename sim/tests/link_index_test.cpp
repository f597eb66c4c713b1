// The link index behind every lookup by FID: answers stay the walk's
// across renames, hard links, removals, changes the simulator never saw,
// concurrent and killed processes, and damaged index files.
#include "churn.h"
#include "helpers.h"
#include "tracee.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <map>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace zvtest;

namespace
{

using Links = std::vector<std::string>;

std::map<ino_t, std::string> *objects_found;

// Every object of the mount (but .zorvel) by inode, with one of its paths.
std::map<ino_t, std::string> objects(const std::string &mount)
{
	std::map<ino_t, std::string> found;
	objects_found = &found;
	nftw(
	        mount.c_str(),
	        [](const char *p, const struct stat *st, int, struct FTW *) {
		        if (!strstr(p, "/.zorvel"))
			        objects_found->emplace(st->st_ino, p);
		        return 0;
	        },
	        16, FTW_PHYS);
	return found;
}

void append_bytes(const std::string &path, const std::string &bytes)
{
	int fd = open(path.c_str(), O_WRONLY | O_APPEND);
	ASSERT_GE(fd, 0) << path;
	ASSERT_EQ(write(fd, bytes.data(), bytes.size()),
	          static_cast<ssize_t>(bytes.size()));
	close(fd);
}

} // namespace

class LinkIndex : public Sim
{
      protected:
	std::string index_dir() const
	{
		return state() + "/links";
	}
	// The index's generation: the number of its journal (0: none).
	unsigned generation() const
	{
		unsigned gen = 0;
		DIR *d = opendir(index_dir().c_str());
		while (struct dirent *de = d ? readdir(d) : nullptr)
			if (strncmp(de->d_name, "journal.", 8) == 0)
				gen = std::max<unsigned>(gen,
				                         atoi(de->d_name + 8));
		if (d)
			closedir(d);
		return gen;
	}
	std::string journal() const
	{
		return index_dir() + "/journal." + std::to_string(generation());
	}
	Links links(const std::string &rel)
	{
		return all_links(fid(mnt(rel)));
	}
	// The same answer from a walk of the tree.
	Links walked(const zo_fid &f)
	{
		setenv("ZVSIM_LINK_INDEX", "off", 1);
		Links l = all_links(f);
		unsetenv("ZVSIM_LINK_INDEX");
		return l;
	}
	int lookup_errno(const zo_fid &f)
	{
		unsigned linkno = 0;
		std::string path;
		Res r = fid2path(f, linkno, path);
		return r.rc == 0 ? 0 : r.err;
	}
	// The links a new process gets (its own copy of the index).
	std::string child_links(const zo_fid &f)
	{
		return run_shell(std::string(ZVSIM_LAUNCHER) + " run --state " +
		                 shell_quote(state()) + " -- " + ZVSIM_LINKS +
		                 " links " + shell_quote(fid_text(f)))
		        .out;
	}
	// An exclusive creation of a new file, by its absolute path.
	void create(const std::string &rel)
	{
		int fd = open(mnt(rel).c_str(), O_WRONLY | O_CREAT | O_EXCL,
		              0644);
		ASSERT_GE(fd, 0) << rel;
		close(fd);
	}
	// Every object's links, through the index and through the walk.
	void expect_index_agrees_with_walk()
	{
		for (const auto &[ino, path] : objects(mnt())) {
			if (path == mnt())
				continue;
			zo_fid f = fid(path);
			EXPECT_EQ(all_links(f), walked(f)) << path;
		}
	}
};

TEST_F(LinkIndex, NothingIsKeptUntilAFidIsLookedUp)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(mnt("d/f"));
	ASSERT_EQ(rename(mnt("d/f").c_str(), mnt("d/g").c_str()), 0);
	struct stat st;
	EXPECT_EQ(stat(index_dir().c_str(), &st), -1);

	EXPECT_EQ(links("d/g"), Links{"d/g"});
	EXPECT_EQ(generation(), 1u);
	ASSERT_EQ(stat(journal().c_str(), &st), 0);
	EXPECT_EQ(st.st_size, 0);
	write_file(mnt("d/h"));
	ASSERT_EQ(stat(journal().c_str(), &st), 0);
	EXPECT_GT(st.st_size, 0);
}

// Exclusive creations mark their directory instead of writing a record:
// the lookup that misses lists the marked directories, nested ones
// included, and journals what it found for the other processes. Where no
// mark can go (more directories than the marks have room for, or one too
// big to list at every lookup), creations write records.
TEST_F(LinkIndex, ExclusiveCreationsMarkTheirDirectories)
{
	auto journal_size = [&] {
		struct stat st;
		return stat(journal().c_str(), &st) == 0 ? st.st_size : -1;
	};
	write_file(mnt("first"));
	EXPECT_EQ(links("first"), Links{"first"});
	unsigned gen = generation();

	std::string rel;
	for (int depth = 0; depth < 20; ++depth) {
		rel += (depth ? "/d" : "d") + std::to_string(depth);
		ASSERT_EQ(mkdir(mnt(rel).c_str(), 0755), 0);
		create(rel + "/f");
	}
	off_t before = journal_size();
	for (std::string dir = rel;; dir.resize(dir.rfind('/'))) {
		create(dir + "/g");
		if (dir.find('/') == std::string::npos)
			break;
	}
	EXPECT_EQ(journal_size(), before);
	EXPECT_EQ(links(rel + "/g"), Links{rel + "/g"});
	EXPECT_EQ(child_links(fid(mnt("d0/f"))), "d0/f\n");
	expect_index_agrees_with_walk();
	EXPECT_EQ(generation(), gen); // nothing walked

	// More directories than the control page has marks for (their
	// records fold the journal into a new base meanwhile).
	for (int i = 0; i < 7200; ++i) {
		std::string dir = "many" + std::to_string(i);
		ASSERT_EQ(mkdir(mnt(dir).c_str(), 0755), 0);
		create(dir + "/f");
	}
	EXPECT_EQ(links("many7199/f"), Links{"many7199/f"});
	EXPECT_EQ(links("many0/f"), Links{"many0/f"});

	// A big directory is listed once.
	ASSERT_EQ(mkdir(mnt("big").c_str(), 0755), 0);
	for (int i = 0; i < 1100; ++i)
		create("big/f" + std::to_string(i));
	EXPECT_EQ(links("big/f7"), Links{"big/f7"});
	before = journal_size();
	create("big/g");
	EXPECT_GT(journal_size(), before);
	EXPECT_EQ(links("big/g"), Links{"big/g"});
}

// The index keeps names: while it is the only one following the
// namespace, a change of modes, owners or times reaches the kernel as it
// would without the simulator, one system call each.
TEST_F(LinkIndex, AttributeChangesAddNoSystemCall)
{
#if defined(__SANITIZE_ADDRESS__)
	GTEST_SKIP() << "sanitized builds copy the caller's paths through "
	                "the kernel, a system call each";
#endif
	write_file(mnt("f"));
	ASSERT_EQ(links("f"), Links{"f"}); // the index is kept from here
	static char path[4096];            // neither stack nor heap
	snprintf(path, sizeof path, "%s", mnt("f").c_str());
	int fd = open(path, O_RDWR);
	ASSERT_GE(fd, 0);
	Tracee t([&] {
		syscall(SYS_getppid);
		chmod(path, 0600);
		fchmod(fd, 0644);
		chown(path, getuid(), getgid());
		fchown(fd, getuid(), getgid());
		utimensat(AT_FDCWD, path, nullptr, 0);
		futimens(fd, nullptr);
		syscall(SYS_getppid);
	});
	close(fd);
	if (!t.ok())
		GTEST_SKIP() << "no ptrace here";
	// getuid and getgid are two calls each time.
	EXPECT_EQ(t.calls_between(SYS_getppid), 6 + 4);
}

TEST_F(LinkIndex, RenamedDirectoriesKeepTheirDescendantsFresh)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	ASSERT_EQ(mkdir(mnt("d/sub").c_str(), 0755), 0);
	std::vector<zo_fid> fids;
	for (int i = 0; i < 20; ++i) {
		std::string rel = "d/sub/f" + std::to_string(i);
		write_file(mnt(rel));
		fids.push_back(fid(mnt(rel)));
	}
	EXPECT_EQ(all_links(fids[0]), Links{"d/sub/f0"});
	unsigned gen = generation();

	ASSERT_EQ(mkdir(mnt("e").c_str(), 0755), 0);
	ASSERT_EQ(rename(mnt("d").c_str(), mnt("e/moved").c_str()), 0);
	for (int i = 0; i < 20; ++i)
		EXPECT_EQ(all_links(fids[i]),
		          Links{"e/moved/sub/f" + std::to_string(i)});
	ASSERT_EQ(rename(mnt("e/moved/sub").c_str(), mnt("up").c_str()), 0);
	EXPECT_EQ(all_links(fids[7]), Links{"up/f7"});
	EXPECT_EQ(links("e/moved"), Links{"e/moved"});
	// Served from the journal: nothing was walked again.
	EXPECT_EQ(generation(), gen);
}

// Exclusive creations by an absolute path name the directory that holds
// the name when they are made, also when another process moved the
// directory away and made another under its name since the last one.
TEST_F(LinkIndex, CreationsFollowADirectoryNameTakenOver)
{
	ASSERT_EQ(mkdir(mnt("a").c_str(), 0755), 0);
	create("a/f0");
	EXPECT_EQ(links("a/f0"), Links{"a/f0"});
	unsigned gen = generation();
	create("a/f1");
	std::string moves = "mv " + shell_quote(mnt("a")) + " " +
	                    shell_quote(mnt("b")) + " && mkdir " +
	                    shell_quote(mnt("a"));
	ASSERT_EQ(run_shell(std::string(ZVSIM_LAUNCHER) + " run --state " +
	                    shell_quote(state()) + " -- sh -c " +
	                    shell_quote(moves))
	                  .status,
	          0);
	create("a/f2");
	EXPECT_EQ(links("a/f2"), Links{"a/f2"});
	ASSERT_EQ(unlink(mnt("a/f2").c_str()), 0);
	ASSERT_EQ(rmdir(mnt("a").c_str()), 0);
	ASSERT_EQ(mkdir(mnt("a").c_str(), 0755), 0);
	create("a/f3");
	EXPECT_EQ(links("b/f1"), Links{"b/f1"});
	EXPECT_EQ(links("a/f3"), Links{"a/f3"});
	// Served from the journal: no record named a directory wrongly.
	EXPECT_EQ(generation(), gen);
}

TEST_F(LinkIndex, HardLinksRemovalsAndRenamesOverEntries)
{
	ASSERT_EQ(mkdir(mnt("a").c_str(), 0755), 0);
	ASSERT_EQ(mkdir(mnt("b").c_str(), 0755), 0);
	write_file(mnt("a/f"));
	zo_fid f = fid(mnt("a/f"));
	EXPECT_EQ(all_links(f), Links{"a/f"});
	unsigned gen = generation();

	ASSERT_EQ(link(mnt("a/f").c_str(), mnt("b/g").c_str()), 0);
	ASSERT_EQ(linkat(AT_FDCWD, mnt("a/f").c_str(), AT_FDCWD,
	                 mnt("z").c_str(), 0),
	          0);
	EXPECT_EQ(all_links(f), (Links{"a/f", "b/g", "z"}));

	// Renamed over: z now names the other object.
	write_file(mnt("a/o"));
	zo_fid o = fid(mnt("a/o"));
	ASSERT_EQ(link(mnt("a/o").c_str(), mnt("b/o2").c_str()), 0);
	ASSERT_EQ(rename(mnt("a/o").c_str(), mnt("z").c_str()), 0);
	EXPECT_EQ(all_links(f), (Links{"a/f", "b/g"}));
	EXPECT_EQ(all_links(o), (Links{"b/o2", "z"}));

	ASSERT_EQ(unlink(mnt("a/f").c_str()), 0);
	EXPECT_EQ(all_links(f), Links{"b/g"});
	ASSERT_EQ(mkdir(mnt("a/d").c_str(), 0755), 0);
	zo_fid d = fid(mnt("a/d"));
	ASSERT_EQ(rename(mnt("a/d").c_str(), mnt("b/d").c_str()), 0);
	EXPECT_EQ(all_links(d), Links{"b/d"});
	EXPECT_EQ(generation(), gen);

	// Gone, and renames the journal cannot tell apart from others: the
	// walk answers.
	ASSERT_EQ(rmdir(mnt("b/d").c_str()), 0);
	EXPECT_EQ(lookup_errno(d), ENOENT);
	ASSERT_EQ(rename(mnt("z").c_str(), mnt("b/o2").c_str()), 0); // same
	EXPECT_EQ(all_links(o), (Links{"b/o2", "z"}));
	write_file(mnt("x"));
	zo_fid x = fid(mnt("x"));
	ASSERT_EQ(renameat2(AT_FDCWD, mnt("x").c_str(), AT_FDCWD,
	                    mnt("b/g").c_str(), RENAME_EXCHANGE),
	          0);
	EXPECT_EQ(all_links(f), Links{"x"});
	EXPECT_EQ(all_links(x), Links{"b/g"});
}

TEST_F(LinkIndex, ChangesBehindTheSimulatorsBackEndInTheWalksAnswer)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(mnt("d/f"));
	zo_fid f = fid(mnt("d/f"));
	EXPECT_EQ(all_links(f), Links{"d/f"});

	// The directory moves and a symbolic link takes its old name: the
	// index's path would still reach the file, but not as the walk does.
	ASSERT_EQ(syscall(SYS_renameat2, AT_FDCWD, mnt("d").c_str(), AT_FDCWD,
	                  mnt("e").c_str(), 0),
	          0);
	ASSERT_EQ(syscall(SYS_symlinkat, "e", AT_FDCWD, mnt("d").c_str()), 0);
	EXPECT_EQ(all_links(f), Links{"e/f"});

	ASSERT_EQ(syscall(SYS_linkat, AT_FDCWD, mnt("e/f").c_str(), AT_FDCWD,
	                  mnt("g").c_str(), 0),
	          0);
	EXPECT_EQ(all_links(f), (Links{"e/f", "g"}));
	ASSERT_EQ(syscall(SYS_unlinkat, AT_FDCWD, mnt("e/f").c_str(), 0), 0);
	EXPECT_EQ(all_links(f), Links{"g"});

	int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD,
	                                  mnt("e/new").c_str(),
	                                  O_WRONLY | O_CREAT, 0644));
	ASSERT_GE(fd, 0);
	close(fd);
	EXPECT_EQ(links("e/new"), Links{"e/new"});

	// A program that does not run under the simulator.
	run_result r = run_shell("mv " + shell_quote(mnt("e")) + " " +
	                         shell_quote(mnt("h")));
	ASSERT_EQ(r.status, 0);
	EXPECT_EQ(links("h/new"), Links{"h/new"});

	// Under .zorvel nothing is a link, with or without the index.
	write_file(mnt(".zorvel/hidden"));
	zo_fid hidden = fid(mnt(".zorvel/hidden"));
	EXPECT_EQ(lookup_errno(hidden), ENOENT);
}

TEST_F(LinkIndex, AgreesWithTheWalkAfterRandomChanges)
{
	unsigned seed = 20240611;
	for (int i = 0; i < 300; ++i) {
		std::string p = churn_path(mnt(), seed);
		std::string q = churn_path(mnt(), seed);
		struct stat st;
		if (!churn_change(p, q, seed, rand_r(&seed) % 4 == 0) &&
		    lstat(p.c_str(), &st) == 0) {
			EXPECT_EQ(lookup_errno(fid(p)), 0) << p;
		}
		if (i % 50 == 49)
			expect_index_agrees_with_walk();
	}
}

TEST_F(LinkIndex, OtherRequestsFollowTheIndex)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(mnt("d/f"), "data");
	zo_fid f = fid(mnt("d/f"));
	EXPECT_EQ(all_links(f), Links{"d/f"});
	ASSERT_EQ(rename(mnt("d").c_str(), mnt("e").c_str()), 0);

	int fd = open(mnt(".zorvel/fid/" + fid_text(f)).c_str(), O_RDONLY);
	ASSERT_GE(fd, 0) << strerror(errno);
	char buf[8] = {};
	EXPECT_EQ(read(fd, buf, sizeof buf), 4);
	close(fd);

	zo_fid parent;
	std::string name;
	ASSERT_EQ(getparent(mnt("e/f"), 0, parent, name).rc, 0);
	EXPECT_TRUE(same_fid(parent, fid(mnt("e"))));
	EXPECT_EQ(name, "f");
	EXPECT_EQ(fid2mdtidx(f).rc, 0);

	ASSERT_EQ(link(mnt("e/f").c_str(), mnt("g").c_str()), 0);
	std::vector<char> arr(sizeof(fid_array) + sizeof(zo_fid));
	auto *fa = reinterpret_cast<fid_array *>(arr.data());
	fa->fa_nr = 1;
	memcpy(arr.data() + sizeof(fid_array), &f, sizeof f);
	int dir = open(mnt().c_str(), O_RDONLY | O_DIRECTORY);
	EXPECT_EQ(ioctl(dir, ZV_IOC_RMFID, arr.data()), 0);
	close(dir);
	struct stat st;
	EXPECT_EQ(lstat(mnt("g").c_str(), &st), -1);
	EXPECT_EQ(lookup_errno(f), ENOENT);
}

TEST_F(LinkIndex, DamagedIndexFilesFallBackToTheWalk)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(mnt("d/f"));
	zo_fid f = fid(mnt("d/f"));
	EXPECT_EQ(all_links(f), Links{"d/f"});

	// Garbage in the journal, with a real change after it.
	append_bytes(journal(), std::string("ZVLJ\x40\0\0\0garbage", 15));
	ASSERT_EQ(rename(mnt("d/f").c_str(), mnt("d/g").c_str()), 0);
	EXPECT_EQ(all_links(f), Links{"d/g"});
	EXPECT_EQ(child_links(f), "d/g\n");

	// A record cut short, as by a writer that died.
	ASSERT_EQ(rename(mnt("d/g").c_str(), mnt("d/h").c_str()), 0);
	struct stat st;
	ASSERT_EQ(stat(journal().c_str(), &st), 0);
	ASSERT_EQ(truncate(journal().c_str(), st.st_size - 5), 0);
	EXPECT_EQ(all_links(f), Links{"d/h"});

	// The base, as the current generation wrote it: garbage, cut short,
	// its rows scrambled.
	std::string base = index_dir() + "/base";
	std::string (*const damages[])(const std::string &) = {
	        [](const std::string &) { return std::string("not an index"); },
	        [](const std::string &b) { return b.substr(0, b.size() / 2); },
	        [](const std::string &b) { return b.substr(0, 40); },
	        [](const std::string &b) {
		        std::string out = b;
		        unsigned seed = 7;
		        for (size_t i = 64; i < out.size(); ++i)
			        out[i] = static_cast<char>(rand_r(&seed));
		        return out;
	        },
	};
	for (auto damage : damages) {
		write_file(base, damage(read_file(base)));
		EXPECT_EQ(child_links(f), "d/h\n");
		EXPECT_EQ(all_links(f), Links{"d/h"});
	}
	remove_tree(index_dir());
	EXPECT_EQ(all_links(f), Links{"d/h"});
	EXPECT_EQ(child_links(f), "d/h\n");
}

TEST_F(LinkIndex, ConcurrentAndKilledProcessesLeaveItRight)
{
	for (const char *d : {"w0", "w1", "shared"})
		ASSERT_EQ(mkdir(mnt(d).c_str(), 0755), 0);
	struct Job {
		const char *dir;
		int seed;
		long n;
		const char *die_after; // killed by SIGALRM mid-run, or null
	};
	const Job jobs[] = {{"w0", 1, 300, nullptr},
	                    {"w1", 2, 300, nullptr},
	                    {"shared", 3, 300, nullptr},
	                    {"shared", 4, 300, nullptr},
	                    {"shared", 5, 1000000, "0.3"}};
	std::vector<pid_t> pids;
	for (const Job &j : jobs) {
		std::string cmd = std::string(ZVSIM_LAUNCHER) +
		                  " run --state " + shell_quote(state()) +
		                  " -- ";
		if (j.die_after)
			cmd += "timeout -s ALRM --preserve-status " +
			       std::string(j.die_after) + " ";
		cmd += std::string(ZVSIM_LINKS) + " churn " +
		       shell_quote(mnt(j.dir)) + " " + std::to_string(j.seed) +
		       " " + std::to_string(j.n);
		pid_t pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0) {
			execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
			_exit(127);
		}
		pids.push_back(pid);
	}
	for (pid_t pid : pids) {
		int ws;
		ASSERT_EQ(waitpid(pid, &ws, 0), pid);
	}
	expect_index_agrees_with_walk();
	for (const auto &[ino, path] : objects(mnt("shared"))) {
		zo_fid f = fid(path);
		std::string want;
		for (const auto &l : walked(f))
			want += l + "\n";
		EXPECT_EQ(child_links(f), want) << path;
	}
}
