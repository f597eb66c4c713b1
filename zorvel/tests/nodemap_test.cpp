/* Nodemaps through the simulated kernel client's parameter tree. */
#include "zvtest/fds.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cstring>
#include <string>

namespace
{

class Nodemap : public zvtest::sim_fixture
{
};

TEST_F(Nodemap, ExistsFollowsTheTree)
{
	EXPECT_EQ(zvapi_nodemap_exists("default"), 0);
	EXPECT_EQ(zvapi_nodemap_exists("lab"), 1);
	ASSERT_EQ(zvsim_nodemap_add("lab"), 0);
	EXPECT_EQ(zvapi_nodemap_exists("lab"), 0);
	ASSERT_EQ(zvsim_nodemap_remove("lab"), 0);
	EXPECT_EQ(zvapi_nodemap_exists("lab"), 1);
	EXPECT_EQ(zvapi_nodemap_exists(nullptr), 1);
	int fds = zvtest::open_fd_count();
	std::string longname(4096 - strlen("nodemap/"), 'n');
	EXPECT_EQ(zvapi_nodemap_exists(longname.c_str()), 1);
	EXPECT_EQ(zvapi_nodemap_exists(std::string(10000, 'n').c_str()), 1);
	EXPECT_EQ(zvtest::open_fd_count(), fds);
}

/* Regression: the name was looked up as a pattern, so these all "existed":
 * patterns matching any nodemap, a parameter beside the nodemaps, and
 * paths leading out of the nodemap directory or into one. */
TEST_F(Nodemap, NodemapNamesAreNotPatterns)
{
	ASSERT_EQ(zvapi_nodemap_exists("default"), 0);
	for (const char *name : {"", "*", "?efault", "[d]efault", "{x,default}",
	                         "defaul\\t", "active", ".", "..", "../version",
	                         "default/squash_uid", "default/"})
		EXPECT_EQ(zvapi_nodemap_exists(name), 1) << name;
}

} // namespace
