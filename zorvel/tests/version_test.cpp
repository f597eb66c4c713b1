/* The kernel client's version, read from its simulated parameter. */
#include "zvtest/alloc_sweep.h"
#include "zvtest/fds.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cerrno>

namespace
{

using zvtest::stderr_capture;

/* The version parameter, wherever the simulator keeps it. */
std::string version_path()
{
	glob_t paths;
	if (zvapi_param_get_paths("version", &paths) != 0)
		return {};
	std::string p = paths.gl_pathv[0];
	zvapi_param_paths_free(&paths);
	return p;
}

class Version : public zvtest::sim_fixture
{
};

TEST_F(Version, VersionText)
{
	std::string path = version_path();
	ASSERT_FALSE(path.empty());
	char v[64];
	set_param(path, "zorvel:  \t2.16.3\n");
	EXPECT_EQ(zvapi_get_version_string(v, sizeof(v)), 0);
	EXPECT_STREQ(v, "2.16.3");
	set_param(path, "2.17.0-rc1\n");
	EXPECT_EQ(zvapi_get_version_string(v, sizeof(v)), 0);
	EXPECT_STREQ(v, "2.17.0-rc1");

	set_param(path, "zorvel: \n");
	errno = 0;
	EXPECT_EQ(zvapi_get_version_string(v, sizeof(v)), -1);
	EXPECT_EQ(errno, ENODATA);

	set_param(path, "2.16.0\n");
	char small[4];
	EXPECT_EQ(zvapi_get_version_string(small, sizeof(small)), -1);
	EXPECT_EQ(errno, EOVERFLOW);
	EXPECT_STREQ(small, "2.1");

	EXPECT_EQ(zvapi_get_version_string(nullptr, 10), -1);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(zvapi_get_version_string(v, 0), -1);
	EXPECT_EQ(errno, EINVAL);

	ASSERT_EQ(zvsim_param_remove(path.c_str()), 0);
	EXPECT_EQ(zvapi_get_version_string(v, sizeof(v)), -1);
	EXPECT_EQ(errno, ENOENT);
}

/* Regression: every read failure came back as EPERM (the -1 of the
 * parameter read taken for an errno value). */
TEST_F(Version, ReadFailureKeepsItsErrno)
{
	std::string path = version_path();
	ASSERT_EQ(zvsim_param_remove(path.c_str()), 0);
	ASSERT_EQ(zvsim_param_mkdir(path.c_str()), 0);
	char v[64];
	errno = 0;
	EXPECT_EQ(zvapi_get_version_string(v, sizeof(v)), -1);
	EXPECT_EQ(errno, EISDIR);
}

TEST_F(Version, DeprecatedVersionNoticeOnce)
{
	set_param(version_path(), "zorvel: 2.16.0\n");
	char buf[64], *version = nullptr;
	stderr_capture cap;
	for (int i = 0; i < 3; i++) {
		EXPECT_EQ(zvapi_get_version(buf, sizeof(buf), &version), 0);
		EXPECT_EQ(version, buf);
	}
	std::string err = cap.finish();
	/* earlier tests in this process may have had the notice already */
	EXPECT_TRUE(err == "" || err == "zvapi_get_version deprecated, use "
	                                "zvapi_get_version_string()\n")
	        << err;
	EXPECT_STREQ(buf, "2.16.0");
}

TEST_F(Version, AllocationFailures)
{
	zvtest::each_allocation_fails("libzorvelapi",
	                              [] {
		                              char v[64];
		                              return zvapi_get_version_string(
		                                      v, sizeof(v));
	                              },
	                              {.limit = 100, .until_done = true});
}

} // namespace
