// dropcache_race run as a harness runs it: under the simulator, which
// stands in for the drop-caches control file, one file reached through two
// mounts; and through a second mount that answers a stale value. The
// program runs until it is stopped: the fsfault preload stops it with
// SIGTERM at a set write of its counter, so no test waits on a clock.
#include "fstests_fixture.h"

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace fstests
{
namespace
{

using zvtest::run_result;

// The counter's writes the program makes before it is stopped.
constexpr int STOP_AT = 200;
const std::string STOP = "term-at:" + std::to_string(STOP_AT);

class Dropcache : public FsTest
{
      protected:
	// dropcache_race under zvsim run with a further mount m2, given
	// faults ("term-at:N" stops it). A run that hangs is cut off after a
	// minute and reads as status 124.
	run_result race(const std::string &a, const std::string &b,
	                const std::string &faults = "")
	{
		std::vector<std::string> env = {"ZVSIM_STATE", "ZVSIM_MOUNT"};
		if (!faults.empty()) {
			const char *asan = getenv("ASAN_OPTIONS");
			env.push_back("FSFAULT=" + faults);
			env.push_back("FSFAULT_PROG=dropcache_race");
			env.push_back(std::string("LD_PRELOAD=") + FSFAULT_LIB);
			env.push_back(std::string("ASAN_OPTIONS=") +
			              (asan ? asan : "") +
			              ":verify_asan_link_order=0");
		}
		return zvtest::run_program({"/usr/bin/timeout", "-s", "KILL",
		                            "60", ZVSIM_BIN, "run", "--state",
		                            state(), "--mount", m2(), "--",
		                            bin("dropcache_race"), a, b},
		                           env);
	}
	std::string m2()
	{
		return dir(Place::Tmp) + "/mnt2";
	}
	long long drops()
	{
		return std::stoll(zvsim({"drops"}));
	}
};

constexpr int STOPPED = 128 + SIGTERM;

TEST_F(Dropcache, RunsUntilStoppedThroughTwoMounts)
{
	run_result r = race(mount() + "/t/f", m2() + "/t/f", STOP);
	EXPECT_EQ(r.status, STOPPED) << r.err;
	EXPECT_EQ(r.err, "");
	// A drop for each counter written after the first, but the last.
	EXPECT_EQ(drops(), STOP_AT - 2);
	// The further mount stays with a state directory that stays.
	struct stat st {
	};
	EXPECT_EQ(lstat(m2().c_str(), &st), 0);
	EXPECT_EQ(zvsim({"mount", "list"}), m2() + "\n");
}

// Under the simulator the drop-caches file is the stand-in wherever the
// file lies; the second path reaches it through a link, as a mount would.
TEST_F(Dropcache, RunsOnOtherFileSystemsUnderTheSimulator)
{
	for (Place p : {Place::Tmpfs, Place::Tmp}) {
		std::string link = path(p, "again");
		ASSERT_EQ(symlink(dir(p).c_str(), link.c_str()), 0);
		long long before = drops();
		run_result r = race(path(p, "f"), link + "/f", STOP);
		EXPECT_EQ(r.status, STOPPED) << place_name(p) << r.err;
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(drops(), before + STOP_AT - 2);
	}
}

TEST_F(Dropcache, CatchesAStaleValueThroughTheSecondMount)
{
	run_result r = race(mount() + "/t/f", m2() + "/t/f", "stale:" + m2());
	EXPECT_EQ(r.status, 128 + SIGABRT);
	// The value read through the second mount stays the first it read.
	unsigned long long u, v, w;
	int used = 0;
	ASSERT_EQ(sscanf(r.err.c_str(), "error: u = %llu, v = %llu, %llu\n%n",
	                 &u, &v, &w, &used),
	          3)
	        << r.err;
	EXPECT_EQ(used, static_cast<int>(r.err.size())) << r.err;
	EXPECT_GT(v, w);
	EXPECT_GE(u, v);
}

TEST_F(Dropcache, RefusesTwoFilesAndBadUsage)
{
	run_result r = race(mount() + "/t/a", m2() + "/t/b");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "file mismatch\n");
	r = run_sim({}, "dropcache_race", {"only-one"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Usage: " + bin("dropcache_race") +
	                         " /mnt/zorvel/file0 /mnt/zorvel2/file0\n");
	r = race(mount() + "/t/no/such", m2() + "/t/f");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "open: No such file or directory\n");
}

// Without the simulator the real control file is refused to a user
// without privilege; the program is never run with it otherwise.
TEST_F(Dropcache, StopsWhenTheControlFileCannotBeOpened)
{
	std::vector<std::string> argv;
	if (geteuid() == 0) {
		if (access("/usr/bin/setpriv", X_OK) != 0)
			GTEST_SKIP() << "setpriv (util-linux) not found";
		argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
		        "--clear-groups"};
	}
	argv.push_back(bin("dropcache_race"));
	argv.push_back("/nonexistent/a");
	argv.push_back("/nonexistent/b");
	run_result r =
	        zvtest::run_program(argv, {"ZVSIM_STATE", "ZVSIM_MOUNT"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "!(drop_caches_fd < 0): Permission denied\n");
}

} // namespace
} // namespace fstests
