/* Parameter lookup by device type and instance, and reading parameter
 * files, through the simulated parameter trees. */
#include "wire_words.h"
#include "zvtest/failalloc.h"
#include "zvtest/fds.h"
#include "zvtest/files.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using zvtest::stderr_capture;

using wiretest::prog;

class Param : public zvtest::sim_fixture
{
};

TEST_F(Param, Filters)
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

TEST_F(Param, FirstLineOfTheFirstMatch)
{
	set_param("/sys/fs/zorvel/dev/demo-x/p", "first line\nsecond\n");
	set_param("/proc/fs/zorvel/dev/demo-x/p", "later tree\n");
	char value[64] = "untouched";
	EXPECT_EQ(get_zorvel_param_value("dev", "demo", FILTER_BY_FS_NAME, "p",
	                                 value, sizeof(value)),
	          0);
	EXPECT_STREQ(value, "first line\n");

	set_param("/sys/fs/zorvel/dev/demo-x/empty", "");
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

TEST_F(Param, WholeFileInThreeModes)
{
	set_param("/sys/fs/zorvel/t/ten", "0123456789");
	set_param("/sys/fs/zorvel/t/zero", "");
	std::string pages(3 * 4096 + 123, 'p');
	set_param("/sys/fs/zorvel/t/pages", pages);
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

TEST_F(Param, PathsOfACallersPattern)
{
	set_param("/sys/fs/zorvel/zvlite/demo-1/pcc", "x");
	glob_t paths;
	ASSERT_EQ(zvapi_param_get_paths("zvlite/*/pcc", &paths), 0);
	EXPECT_STREQ(paths.gl_pathv[0], "/sys/fs/zorvel/zvlite/demo-1/pcc");
	zvapi_param_paths_free(&paths);
	EXPECT_EQ(zvapi_param_get_paths("zvlite/*/nothing", &paths), -ENOENT);
}

TEST_F(Param, NothingLeaksWhenAllocationsFail)
{
	set_param("/sys/fs/zorvel/t/ten", "0123456789");
	if (!failalloc_active())
		GTEST_SKIP() << "allocator not interposable in this build";
	int before = zvtest::open_fd_count();
	for (int mode = 0; mode < 3; mode++) {
		bool done = false;
		for (unsigned long n = 0; n < 50 && !done; n++) {
			char fixed[4], *buf = fixed;
			size_t len = sizeof(fixed);
			char *grown = nullptr;
			failalloc_arm_in("libzorvelapi", n);
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

} // namespace
