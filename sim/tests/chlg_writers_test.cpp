// Writers of the change logs. Killed inside an operation at an exact point
// (just before the system call that makes the change, or just after it
// returned), the record a writer wrote ahead must be committed or dropped,
// by the next writer or by a reader, from what the namespace shows. Alive,
// a writer must not hold a log where it would cost or block others.
#include "chlg_helpers.h"
#include "tracee.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_changelog.h>

using namespace zvtest;

namespace
{

constexpr const char *MDT0 = "demo-MDT0000";
constexpr const char *MDT1 = "demo-MDT0001";

enum Kind {
	Create,
	Mkdir,
	Mknod,
	Softlink,
	Hardlink,
	Unlink,
	Rmdir,
	Rename
};
constexpr Kind ALL[] = {Create,   Mkdir,  Mknod, Softlink,
                        Hardlink, Unlink, Rmdir, Rename};
constexpr uint32_t TYPE[] = {CL_CREATE,   CL_MKDIR,  CL_MKNOD, CL_SOFTLINK,
                             CL_HARDLINK, CL_UNLINK, CL_RMDIR, CL_RENAME};

bool exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

} // namespace

class ChlgWriters : public Sim
{
      protected:
	void SetUp() override
	{
		Sim::SetUp();
		register_user(MDT0);
	}

	// The storage header's pending mark (see Storage in the README).
	uint64_t pending_mark(const std::string &target)
	{
		uint64_t mark = 0;
		int fd = open((state() + "/changelog/" + target).c_str(),
		              O_RDONLY);
		EXPECT_EQ(pread(fd, &mark, sizeof mark, 560), 8);
		close(fd);
		return mark;
	}

	// What a change needs beforehand; the object a removal removes.
	zo_fid prepare(Kind k, const std::string &n)
	{
		if (k == Hardlink)
			write_file(mnt(n + ".src"));
		if (k == Unlink || k == Rename)
			write_file(mnt(n));
		if (k == Rmdir) {
			EXPECT_EQ(mkdir(mnt(n).c_str(), 0755), 0);
		}
		return k == Unlink || k == Rmdir ? fid(mnt(n)) : zo_fid{};
	}

	// The change, named by the path mnt(n) in its system call.
	void change(Kind k, const std::string &n)
	{
		std::string p = mnt(n);
		switch (k) {
		case Create:
			close(open(p.c_str(), O_CREAT | O_EXCL | O_WRONLY,
			           0644));
			break;
		case Mkdir:
			mkdir(p.c_str(), 0755);
			break;
		case Mknod:
			mknod(p.c_str(), S_IFIFO | 0644, 0);
			break;
		case Softlink:
			symlink("target", p.c_str());
			break;
		case Hardlink:
			link(mnt(n + ".src").c_str(), p.c_str());
			break;
		case Unlink:
			unlink(p.c_str());
			break;
		case Rmdir:
			rmdir(p.c_str());
			break;
		case Rename:
			rename(p.c_str(), (p + ".new").c_str());
			break;
		}
	}

	bool took_effect(Kind k, const std::string &n)
	{
		if (k == Unlink || k == Rmdir)
			return !exists(mnt(n));
		return exists(mnt(k == Rename ? n + ".new" : n));
	}

	// A writer of the change killed before or after its system call,
	// leaving its record pending in target's log.
	void kill_writer(Kind k, const std::string &n, bool after,
	                 const std::string &target = MDT0)
	{
		Tracee t([&] { change(k, n); });
		if (!t.ok())
			GTEST_SKIP() << "no ptrace here";
		ASSERT_TRUE(t.stop_at(mnt(n), after)) << n;
		t.kill();
		EXPECT_NE(pending_mark(target), 0u) << n;
		EXPECT_EQ(took_effect(k, n), after) << n;
	}

	void expect_record(const Rec &r, Kind k, const std::string &n,
	                   const zo_fid &removed)
	{
		EXPECT_EQ(r.type, TYPE[k]) << n;
		std::string now = mnt(k == Rename ? n + ".new" : n);
		zo_fid t = k == Unlink || k == Rmdir ? removed : fid(now);
		EXPECT_TRUE(same_fid(r.tfid, t)) << n;
		EXPECT_TRUE(same_fid(r.pfid, fid(mnt()))) << n;
		EXPECT_EQ(r.name, k == Rename ? n + ".new" : n);
		if (k == Rename) {
			EXPECT_TRUE(same_fid(r.sfid, t)) << n;
			EXPECT_TRUE(same_fid(r.spfid, fid(mnt()))) << n;
		}
	}
};

// Killed after its system call, the change is in the namespace and its
// record is committed; killed before, neither (and no index is taken).
TEST_F(ChlgWriters, TheNextWriterSettlesEachChangeByWhatItLeft)
{
	for (bool after : {true, false})
		for (Kind k : ALL) {
			std::string n =
			        (after ? "done" : "undone") + std::to_string(k);
			zo_fid removed = prepare(k, n);
			size_t before = read_log(MDT0).size();
			kill_writer(k, n, after);
			if (HasFatalFailure() || IsSkipped())
				return;
			ASSERT_EQ(mkdir(mnt(n + ".next").c_str(), 0755), 0);
			EXPECT_EQ(pending_mark(MDT0), 0u);

			std::vector<Rec> recs = read_log(MDT0);
			ASSERT_EQ(recs.size(), before + 1 + after) << n;
			if (after)
				expect_record(recs[before], k, n, removed);
			EXPECT_EQ(recs.back().name, n + ".next");
			for (size_t i = before; i < recs.size(); ++i)
				EXPECT_EQ(recs[i].index, i + 1);
		}
}

TEST_F(ChlgWriters, ReadersSettleOnlyOnceTheWriterIsGone)
{
	{
		// Alive inside its change, the writer holds the log: a reader
		// neither waits for it nor takes its record.
		Tracee t([&] { change(Create, "alive"); });
		if (!t.ok())
			GTEST_SKIP() << "no ptrace here";
		ASSERT_TRUE(t.stop_at(mnt("alive"), true));
		EXPECT_TRUE(read_log(MDT0).empty());
		EXPECT_NE(pending_mark(MDT0), 0u);
		t.kill();
	}
	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 1u);
	EXPECT_EQ(recs[0].name, "alive");
	EXPECT_TRUE(same_fid(recs[0].tfid, fid(mnt("alive"))));
	EXPECT_EQ(pending_mark(MDT0), 0u);

	kill_writer(Create, "never", false);
	EXPECT_EQ(read_log(MDT0).size(), 1u);
	EXPECT_EQ(pending_mark(MDT0), 0u);

	// A follower waiting at the end of the log settles it too.
	Tracee t([&] { change(Mkdir, "followed"); });
	ASSERT_TRUE(t.stop_at(mnt("followed"), true));
	int ready[2], result[2];
	ASSERT_EQ(pipe(ready), 0);
	ASSERT_EQ(pipe(result), 0);
	pid_t follower = fork();
	ASSERT_GE(follower, 0);
	if (follower == 0) {
		int fd = open(dev_path(MDT0).c_str(), O_RDONLY);
		ioctl(fd, ZV_IOC_CHLG_FOLLOW, 1L);
		lseek(fd, 2, SEEK_SET);
		(void)!write(ready[1], "r", 1);
		char buf[4096];
		ssize_t n = read(fd, buf, sizeof buf);
		std::string name = n > 0 ? decode(buf).name : "error";
		(void)!write(result[1], name.data(), name.size());
		_exit(0);
	}
	char c;
	ASSERT_EQ(read(ready[0], &c, 1), 1);
	usleep(30000); // most likely waiting by now; either way it must see it
	t.kill();
	struct pollfd p = {result[0], POLLIN, 0};
	EXPECT_EQ(poll(&p, 1, 10000), 1) << "the follower never saw it";
	char name[64] = {};
	EXPECT_GT(read(result[0], name, sizeof name - 1), 0);
	EXPECT_STREQ(name, "followed");
	kill(follower, SIGKILL);
	waitpid(follower, nullptr, 0);
	for (int fd : {ready[0], ready[1], result[0], result[1]})
		close(fd);
}

// A pending creation whose entry or directory moves before it is settled,
// with two targets: the root on 0, d on 1.
TEST_F(ChlgWriters, PendingCreationsFollowTheirEntryAcrossTargets)
{
	resetup(2);
	register_user(MDT0);
	register_user(MDT1);
	// A directory on target 1 (odd inode). Each mkdir may take a fixed
	// number of inodes of the host's file system: one more inode outside
	// the mount every other try changes the stride, and so the parity.
	std::string d;
	for (int i = 0; i < 1000 && d.empty(); ++i) {
		std::string name = "d" + std::to_string(i);
		ASSERT_EQ(mkdir(mnt(name).c_str(), 0755), 0);
		if (fid(mnt(name)).f_seq % 2 == 1)
			d = name;
		else if (i % 2 == 1)
			write_file(state() + "/shift" + std::to_string(i));
	}
	ASSERT_FALSE(d.empty());
	size_t on0 = read_log(MDT0).size();
	zo_fid root = fid(mnt()), dir = fid(mnt(d));

	// The rename out of the root holds the root's log too, so it settles
	// the creation before the entry leaves.
	kill_writer(Create, "f", true, MDT0);
	if (HasFatalFailure() || IsSkipped())
		return;
	ASSERT_EQ(rename(mnt("f").c_str(), mnt(d + "/g").c_str()), 0);
	zo_fid g = fid(mnt(d + "/g"));
	std::vector<Rec> zero = read_log(MDT0), one = read_log(MDT1);
	ASSERT_EQ(zero.size(), on0 + 1);
	EXPECT_EQ(zero.back().type, unsigned(CL_CREATE));
	EXPECT_TRUE(same_fid(zero.back().tfid, g));
	EXPECT_EQ(zero.back().name, "f");
	ASSERT_EQ(one.size(), 1u);
	EXPECT_EQ(one[0].type, unsigned(CL_RENAME));
	EXPECT_TRUE(same_fid(one[0].tfid, g));
	EXPECT_TRUE(same_fid(one[0].spfid, root));

	// A directory renamed away (through the root's log only) is found
	// again by its FID.
	kill_writer(Create, d + "/h", true, MDT1);
	ASSERT_EQ(rename(mnt(d).c_str(), mnt("moved").c_str()), 0);
	EXPECT_NE(pending_mark(MDT1), 0u);
	one = read_log(MDT1);
	ASSERT_EQ(one.size(), 2u);
	EXPECT_EQ(one[1].type, unsigned(CL_CREATE));
	EXPECT_TRUE(same_fid(one[1].tfid, fid(mnt("moved/h"))));
	EXPECT_TRUE(same_fid(one[1].pfid, dir));
	EXPECT_EQ(one[1].name, "h");
	EXPECT_EQ(pending_mark(MDT1), 0u);
}

// Without a log user the namespace calls reach the kernel as they would
// without the simulator: one system call each, wherever their paths are
// (opens are left out: they copy every path in to look at it).
TEST_F(ChlgWriters, WithoutLogUsersNamespaceCallsAddNoSystemCall)
{
#if defined(__SANITIZE_ADDRESS__)
	GTEST_SKIP() << "sanitized builds copy the caller's paths through "
	                "the kernel, a system call each";
#endif
	ASSERT_EQ(zvsim_changelog_deregister(MDT0, "cl1"), 0);
	static char a[4096], b[4096], c[4096]; // neither stack nor heap
	snprintf(a, sizeof a, "%s", mnt("a").c_str());
	snprintf(b, sizeof b, "%s", mnt("b").c_str());
	snprintf(c, sizeof c, "%s", mnt("c").c_str());
	Tracee t([&] {
		syscall(SYS_getppid);
		mkdir(a, 0755);
		rename(a, b);
		symlink("target", c);
		unlink(c);
		mknod(c, S_IFIFO | 0644, 0);
		chmod(c, 0600);
		link(c, a);
		unlink(a);
		unlink(c);
		rmdir(b);
		syscall(SYS_getppid);
	});
	if (!t.ok())
		GTEST_SKIP() << "no ptrace here";
	EXPECT_EQ(t.calls_between(SYS_getppid), 10);
}

// An open with O_CREAT of an existing FIFO waits for a reader, which may
// change the directory first: that open holds no log.
TEST_F(ChlgWriters, AnOpenThatWaitsForAnotherProcessHoldsNoLog)
{
	ASSERT_EQ(mkfifo(mnt("fifo").c_str(), 0644), 0);
	Tracee writer([&] {
		int fd = open(mnt("fifo").c_str(), O_WRONLY | O_CREAT, 0644);
		(void)!write(fd, "x", 1);
	});
	if (!writer.ok())
		GTEST_SKIP() << "no ptrace here";
	ASSERT_TRUE(writer.stop_at(mnt("fifo"), false));
	writer.detach(); // into its open, past everything it locks before

	int done[2];
	ASSERT_EQ(pipe(done), 0);
	pid_t changer = fork();
	ASSERT_GE(changer, 0);
	if (changer == 0)
		_exit(mkdir(mnt("meanwhile").c_str(), 0755) == 0 &&
		                      write(done[1], "m", 1) == 1
		              ? 0
		              : 1);
	struct pollfd p = {done[0], POLLIN, 0};
	EXPECT_EQ(poll(&p, 1, 10000), 1) << "the change waited for the open";
	kill(changer, SIGKILL);
	waitpid(changer, nullptr, 0);
	int fd = open(mnt("fifo").c_str(), O_RDONLY);
	char c = 0;
	EXPECT_EQ(read(fd, &c, 1), 1);
	EXPECT_EQ(c, 'x');
	close(fd);
	for (int d : done)
		close(d);
	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 2u); // the FIFO's, then the directory's
	EXPECT_EQ(recs[1].name, "meanwhile");
}
