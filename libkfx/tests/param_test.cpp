/* Parameter path lookup over the simulated parameter trees, and the
 * once-per-process check of the debug file system. */
#include "zvtest/files.h"
#include "zvtest/run.h"
#include "zvtest/sim_fixture.h"

#include <libkfx/util/param.h>
#include <zvsim/zvsim.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

class ParamPathSim : public zvtest::sim_fixture
{
      protected:
	std::vector<std::string> lookup(const char *name, int *rc)
	{
		glob_t paths;
		errno = 0;
		*rc = kfx_get_param_paths(&paths, "%s", name);
		std::vector<std::string> out;
		if (*rc == 0) {
			for (size_t i = 0; i < paths.gl_pathc; i++)
				out.emplace_back(paths.gl_pathv[i]);
			globfree(&paths);
		}
		return out;
	}
};

TEST_F(ParamPathSim, TreeOrderAndMisses)
{
	set_param("/proc/fs/zorvel/both/p", "proc\n");
	set_param("/sys/fs/zorvel/both/p", "sys\n");
	set_param("/sys/kernel/debug/zorvel/both/p", "debug\n");
	set_param("/sys/fs/varn/both/p", "varn\n");
	int rc;
	auto paths = lookup("both/p", &rc);
	ASSERT_EQ(rc, 0);
	EXPECT_EQ(paths, (std::vector<std::string>{
	                         "/sys/fs/varn/both/p", "/sys/fs/zorvel/both/p",
	                         "/sys/kernel/debug/zorvel/both/p",
	                         "/proc/fs/zorvel/both/p"}));

	set_param("/sys/fs/zorvel/many/b", "");
	set_param("/sys/fs/zorvel/many/a", "");
	paths = lookup("many/*", &rc);
	EXPECT_EQ(paths, (std::vector<std::string>{"/sys/fs/zorvel/many/a",
	                                           "/sys/fs/zorvel/many/b"}));

	paths = lookup("no/such/parameter", &rc);
	EXPECT_EQ(rc, -1);
	EXPECT_EQ(errno, ENOENT);
}

TEST_F(ParamPathSim, NameAndPatternLimits)
{
	int rc;
	lookup(std::string(4096, 'n').c_str(), &rc);
	EXPECT_EQ(rc, -1);
	EXPECT_EQ(errno, EINVAL);
	/* the name fits, the pattern around it does not */
	lookup(std::string(4095, 'n').c_str(), &rc);
	EXPECT_EQ(rc, -1);
	EXPECT_EQ(errno, E2BIG);
}

class ParamCheck : public ParamPathSim
{
      protected:
	/* Runs the probe in a new process; its standard error. */
	std::string probe(const char *name, std::string *out)
	{
		auto r = zvtest::run_program({PARAM_PROBE, name});
		*out = r.out;
		EXPECT_EQ(r.status, 0) << r.err;
		return r.err;
	}
	bool mount_attempted()
	{
		for (unsigned long c : request_codes())
			if (c == ZVSIM_REQ_MOUNT)
				return true;
		return false;
	}
};

TEST_F(ParamCheck, AlreadyMountedNothingIsDone)
{
	std::string out;
	ASSERT_EQ(zvsim_debugfs(1, 0), 0);
	ASSERT_EQ(zvsim_mtab(ZVSIM_MTAB_REGULAR), 0);
	std::string before = zvtest::read_file(zvsim_mtab_path());
	EXPECT_EQ(probe("version", &out), "");
	EXPECT_EQ(out, "rc=0 errno=0 n=1\nrc=0 errno=0 n=1\n");
	EXPECT_FALSE(mount_attempted());
	EXPECT_EQ(zvtest::read_file(zvsim_mtab_path()), before);
}

TEST_F(ParamCheck, MountedAndRecordedOnce)
{
	std::string out;
	ASSERT_EQ(zvsim_debugfs(0, 0), 0);
	ASSERT_EQ(zvsim_mtab(ZVSIM_MTAB_REGULAR), 0);
	std::string before = zvtest::read_file(zvsim_mtab_path());
	EXPECT_EQ(probe("version", &out), "");
	EXPECT_TRUE(mount_attempted());
	EXPECT_EQ(
	        zvtest::read_file(zvsim_mtab_path()),
	        before + "debugfs /sys/kernel/debug debugfs rw,relatime 0 0\n");

	/* a symbolic link is not written */
	ASSERT_EQ(zvsim_debugfs(0, 0), 0);
	ASSERT_EQ(zvsim_mtab(ZVSIM_MTAB_SYMLINK), 0);
	EXPECT_EQ(probe("version", &out), "");
	EXPECT_EQ(out, "rc=0 errno=0 n=1\nrc=0 errno=0 n=1\n");
}

TEST_F(ParamCheck, MountFailures)
{
	std::string out;
	for (int err : {EPERM, EBUSY}) {
		ASSERT_EQ(zvsim_debugfs(0, err), 0);
		EXPECT_EQ(probe("version", &out), "") << err;
		EXPECT_EQ(out, "rc=0 errno=0 n=1\nrc=0 errno=0 n=1\n");
	}
	ASSERT_EQ(zvsim_debugfs(0, ENODEV), 0);
	ASSERT_EQ(zvsim_log_clear(), 0);
	EXPECT_EQ(probe("no/such", &out),
	          "Warning: failed to mount debug: No such device\n")
	        << "printed once though the lookup ran twice";
	EXPECT_EQ(out, "rc=-1 errno=2 n=0\nrc=-1 errno=2 n=0\n");
	int mounts = 0;
	for (unsigned long c : request_codes())
		mounts += c == ZVSIM_REQ_MOUNT;
	EXPECT_EQ(mounts, 1);
}

TEST_F(ParamCheck, MtabThatCannotBeOpened)
{
	std::string out;
	ASSERT_EQ(zvsim_debugfs(0, 0), 0);
	ASSERT_EQ(zvsim_mtab(ZVSIM_MTAB_REGULAR), 0);
	/* a directory passes the link test but cannot be opened */
	ASSERT_EQ(unlink(zvsim_mtab_path()), 0);
	ASSERT_EQ(mkdir(zvsim_mtab_path(), 0755), 0);
	EXPECT_EQ(probe("version", &out),
	          "could not open /etc/mtab: Is a directory\n");
	EXPECT_EQ(out, "rc=0 errno=0 n=1\nrc=0 errno=0 n=1\n");
}

} // namespace
