/* Parameter lookup and access through the simulated parameter trees. */
#include "support/failalloc.h"
#include "support/test_support.h"
#include "zorvelapi_internal.h"

#include <libkfx/util/param.h>
#include <zvsim/zvsim.h>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using zvtest::stderr_capture;

std::string prog()
{
	return program_invocation_short_name;
}

class ParamSim : public zvtest::sim_fixture
{
      protected:
	void set(const std::string &path, const std::string &content)
	{
		ASSERT_EQ(zvsim_param_set(path.c_str(), content.data(),
		                          content.size()),
		          0)
		        << path;
	}
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

TEST_F(ParamSim, TreeOrderAndMisses)
{
	set("/proc/fs/zorvel/both/p", "proc\n");
	set("/sys/fs/zorvel/both/p", "sys\n");
	set("/sys/kernel/debug/zorvel/both/p", "debug\n");
	set("/sys/fs/varn/both/p", "varn\n");
	int rc;
	auto paths = lookup("both/p", &rc);
	ASSERT_EQ(rc, 0);
	EXPECT_EQ(paths, (std::vector<std::string>{
	                         "/sys/fs/varn/both/p", "/sys/fs/zorvel/both/p",
	                         "/sys/kernel/debug/zorvel/both/p",
	                         "/proc/fs/zorvel/both/p"}));

	set("/sys/fs/zorvel/many/b", "");
	set("/sys/fs/zorvel/many/a", "");
	paths = lookup("many/*", &rc);
	EXPECT_EQ(paths, (std::vector<std::string>{"/sys/fs/zorvel/many/a",
	                                           "/sys/fs/zorvel/many/b"}));

	paths = lookup("no/such/parameter", &rc);
	EXPECT_EQ(rc, -1);
	EXPECT_EQ(errno, ENOENT);
}

TEST_F(ParamSim, NameAndPatternLimits)
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

TEST_F(ParamSim, Filters)
{
	char inst[64];
	ASSERT_EQ(zvapi_get_instance(mount_.c_str(), inst, sizeof(inst)), 0);
	std::string lov = std::string("demo-clilov-") + inst;
	glob_t paths;

	/* by file-system name, by path, by exact instance */
	ASSERT_EQ(get_zorvel_param_path("lov", "demo", FILTER_BY_FS_NAME,
	                                "target_obd", &paths),
	          0);
	ASSERT_GE(paths.gl_pathc, 1U);
	std::string first = paths.gl_pathv[0];
	EXPECT_NE(first.find("/lov/" + lov + "/target_obd"), std::string::npos);
	globfree(&paths);
	ASSERT_EQ(get_zorvel_param_path("lov", mount_.c_str(), FILTER_BY_PATH,
	                                "target_obd", &paths),
	          0);
	EXPECT_EQ(first, paths.gl_pathv[0]);
	globfree(&paths);
	ASSERT_EQ(get_zorvel_param_path("lov", lov.c_str(), FILTER_BY_EXACT,
	                                nullptr, &paths),
	          0);
	EXPECT_EQ(std::string(paths.gl_pathv[0]) + "/target_obd", first)
	        << "without a name the device directories are listed";
	globfree(&paths);

	EXPECT_EQ(get_zorvel_param_path("lov", nullptr, FILTER_BY_FS_NAME,
	                                "target_obd", &paths),
	          -EINVAL);
	EXPECT_EQ(get_zorvel_param_path("lov", "demo", param_filter(7),
	                                "target_obd", &paths),
	          -EINVAL);
	EXPECT_EQ(get_zorvel_param_path("lov", "other", FILTER_BY_FS_NAME,
	                                "target_obd", &paths),
	          -ENOENT);
	std::string huge(4096, 'x');
	EXPECT_EQ(get_zorvel_param_path("lov", huge.c_str(), FILTER_BY_EXACT,
	                                "target_obd", &paths),
	          -E2BIG);
	EXPECT_EQ(get_zorvel_param_path("lov", huge.c_str(), FILTER_BY_FS_NAME,
	                                "target_obd", &paths),
	          -EINVAL);

	zvtest::temp_dir outside;
	stderr_capture cap;
	EXPECT_EQ(get_zorvel_param_path("lov", outside.path().c_str(),
	                                FILTER_BY_PATH, "target_obd", &paths),
	          -ENODEV);
	EXPECT_EQ(cap.finish(), prog() + ": '" + outside.path() +
	                                "' is not on a Zorvel filesystem: No "
	                                "such device (19)\n");
}

TEST_F(ParamSim, FirstLineOfTheFirstMatch)
{
	set("/sys/fs/zorvel/dev/demo-x/p", "first line\nsecond\n");
	set("/proc/fs/zorvel/dev/demo-x/p", "later tree\n");
	char value[64] = "untouched";
	EXPECT_EQ(get_zorvel_param_value("dev", "demo", FILTER_BY_FS_NAME, "p",
	                                 value, sizeof(value)),
	          0);
	EXPECT_STREQ(value, "first line\n");

	set("/sys/fs/zorvel/dev/demo-x/empty", "");
	strcpy(value, "untouched");
	EXPECT_EQ(get_zorvel_param_value("dev", "demo", FILTER_BY_FS_NAME,
	                                 "empty", value, sizeof(value)),
	          0);
	EXPECT_STREQ(value, "untouched");

	EXPECT_EQ(get_zorvel_param_value("dev", "nofs", FILTER_BY_FS_NAME, "p",
	                                 value, sizeof(value)),
	          -ENOENT);
	EXPECT_EQ(get_zorvel_param_value("dev", nullptr, FILTER_BY_FS_NAME, "p",
	                                 value, sizeof(value)),
	          -ENOENT)
	        << "any lookup failure is -ENOENT";

	char small[5];
	EXPECT_EQ(get_zorvel_param_value("dev", "demo", FILTER_BY_FS_NAME, "p",
	                                 small, sizeof(small)),
	          0);
	EXPECT_STREQ(small, "firs");
}

TEST_F(ParamSim, WholeFileInThreeModes)
{
	set("/sys/fs/zorvel/t/ten", "0123456789");
	set("/sys/fs/zorvel/t/zero", "");
	std::string pages(3 * 4096 + 123, 'p');
	set("/sys/fs/zorvel/t/pages", pages);
	const char *ten = "/sys/fs/zorvel/t/ten";

	size_t len = 0;
	EXPECT_EQ(zvapi_param_get_value(ten, nullptr, &len), 0);
	EXPECT_EQ(len, 11U);
	EXPECT_EQ(zvapi_param_get_value("/sys/fs/zorvel/t/zero", nullptr, &len),
	          0);
	EXPECT_EQ(len, 1U);

	char *grown = nullptr;
	EXPECT_EQ(zvapi_param_get_value(ten, &grown, &len), 0);
	EXPECT_EQ(len, 10U);
	EXPECT_STREQ(grown, "0123456789");
	free(grown);
	grown = nullptr;
	EXPECT_EQ(zvapi_param_get_value("/sys/fs/zorvel/t/pages", &grown, &len),
	          0);
	EXPECT_EQ(len, pages.size());
	EXPECT_EQ(std::string(grown), pages);
	free(grown);

	char buf[64];
	char *p = buf;
	len = sizeof(buf);
	EXPECT_EQ(zvapi_param_get_value(ten, &p, &len), 0);
	EXPECT_EQ(len, 11U);
	EXPECT_STREQ(buf, "0123456789");

	len = 4;
	errno = 0;
	EXPECT_EQ(zvapi_param_get_value(ten, &p, &len), -EOVERFLOW);
	EXPECT_EQ(errno, EOVERFLOW);
	EXPECT_EQ(len, 11U);
	EXPECT_STREQ(buf, "012");

	len = 11;
	EXPECT_EQ(zvapi_param_get_value(ten, &p, &len), 0);
	EXPECT_EQ(len, 10U) << "data exactly filling the buffer";

	len = 64;
	EXPECT_EQ(zvapi_param_get_value("/sys/fs/zorvel/t/pages", &p, &len),
	          -EOVERFLOW);
	EXPECT_EQ(len, pages.size() + 1);

	EXPECT_EQ(zvapi_param_get_value(nullptr, &p, &len), -EINVAL);
	EXPECT_EQ(zvapi_param_get_value(ten, &p, nullptr), -EINVAL);
	grown = nullptr;
	EXPECT_EQ(zvapi_param_get_value("/sys/fs/zorvel/t/none", &grown, &len),
	          -ENOENT);
	EXPECT_EQ(grown, nullptr);
	EXPECT_EQ(errno, ENOENT);
}

TEST_F(ParamSim, PathsOfACallersPattern)
{
	set("/sys/fs/zorvel/zvlite/demo-1/pcc", "x");
	glob_t paths;
	ASSERT_EQ(zvapi_param_get_paths("zvlite/*/pcc", &paths), 0);
	EXPECT_STREQ(paths.gl_pathv[0], "/sys/fs/zorvel/zvlite/demo-1/pcc");
	zvapi_param_paths_free(&paths);
	EXPECT_EQ(zvapi_param_get_paths("zvlite/*/nothing", &paths), -ENOENT);
}

TEST_F(ParamSim, NothingLeaksWhenAllocationsFail)
{
	set("/sys/fs/zorvel/t/ten", "0123456789");
	if (!failalloc_active())
		GTEST_SKIP() << "allocator not interposable in this build";
	int before = zvtest::open_fd_count();
	for (int mode = 0; mode < 3; mode++) {
		bool done = false;
		for (unsigned long n = 0; n < 50 && !done; n++) {
			char fixed[4], *buf = fixed;
			size_t len = sizeof(fixed);
			char *grown = nullptr;
			failalloc_arm_in("param_sim_test", n);
			int rc = mode == 0 ? zvapi_param_get_value(
			                             "/sys/fs/zorvel/t/ten",
			                             nullptr, &len)
			         : mode == 1 ? zvapi_param_get_value(
			                               "/sys/fs/zorvel/t/ten",
			                               &grown, &len)
			                     : zvapi_param_get_value(
			                               "/sys/fs/zorvel/t/ten",
			                               &buf, &len);
			done = !failalloc_disarm();
			/* the C library may absorb a failure (a shrinking
			 * realloc); then the result must still be right */
			if (!done && rc != 0) {
				EXPECT_EQ(rc, -ENOMEM) << mode << " " << n;
				EXPECT_EQ(grown, nullptr);
			}
			if (rc == 0 && mode == 1) {
				EXPECT_STREQ(grown, "0123456789");
			}
			free(grown);
			ASSERT_EQ(zvtest::open_fd_count(), before);
		}
		EXPECT_TRUE(done);
	}
}

class ParamCheck : public ParamSim
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
