/* Target and pool search through the simulated parameter trees. */
#include "zvtest/alloc_sweep.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cerrno>

namespace
{

class Target : public zvtest::sim_fixture
{
};

TEST_F(Target, TargetAndPoolSearch)
{
	EXPECT_EQ(zvapi_search_ost("demo", nullptr, "demo-OST0000_UUID"), 1);
	EXPECT_EQ(zvapi_search_ost("demo", nullptr, "demo-OST0001"), 1)
	        << "a prefix of the name matches";
	EXPECT_EQ(zvapi_search_ost("demo", nullptr, "demo-OST00ff_UUID"), 0);
	EXPECT_EQ(zvapi_search_mdt("demo", nullptr, "demo-MDT0000_UUID"), 1);
	EXPECT_EQ(zvapi_search_mdt("demo", nullptr, "demo-OST0000_UUID"), 0);

	const char *members[] = {"demo-OST0001_UUID"};
	ASSERT_EQ(zvsim_pool_set("flash", members, 1), 0);
	ASSERT_EQ(zvsim_pool_set("empty", nullptr, 0), 0);
	EXPECT_EQ(zvapi_search_ost("demo", "flash", nullptr), 1);
	EXPECT_EQ(zvapi_search_ost("demo", "flash", ""), 1);
	EXPECT_EQ(zvapi_search_ost("demo", "flash", "demo-OST0001_UUID"), 1);
	EXPECT_EQ(zvapi_search_ost("demo", "flash", "demo-OST0000_UUID"), 0);
	EXPECT_EQ(zvapi_search_ost("demo", "empty", nullptr), 0);
	errno = 0;
	EXPECT_EQ(zvapi_search_ost("demo", "nopool", nullptr), -ENOENT);

	errno = 0;
	EXPECT_EQ(zvapi_search_ost("", nullptr, "x"), -EINVAL);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(zvapi_search_ost(nullptr, nullptr, "x"), -EINVAL);
	EXPECT_EQ(zvapi_search_ost("demo", nullptr, ""), -EINVAL);
	errno = 0;
	EXPECT_EQ(zvapi_search_ost("other", nullptr, "x"), -ENOENT);
	EXPECT_EQ(errno, ENOENT);
}

TEST_F(Target, AllocationFailures)
{
	const char *members[] = {"demo-OST0001_UUID"};
	ASSERT_EQ(zvsim_pool_set("flash", members, 1), 0);
	zvtest::each_allocation_fails("libzorvelapi",
	                              [] {
		                              return zvapi_search_ost(
		                                      "demo", nullptr,
		                                      "demo-OST0001_UUID");
	                              },
	                              {.limit = 100, .until_done = true});
	zvtest::each_allocation_fails(
	        "libzorvelapi",
	        [] { return zvapi_search_ost("demo", "flash", nullptr); },
	        {.limit = 100, .until_done = true});
}

} // namespace
