// The nodemap subcommand: whether a nodemap exists.
#include "tool_fixture.h"

#include <cerrno>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class NodemapTool : public ZorvelTool
{
};

TEST_F(NodemapTool, Exists)
{
	run_result r = zorvel({"nodemap", "exists", "default"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "default: exists\n");
	r = zorvel({"nodemap", "exists", "lab"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.out, "lab: does not exist\n");
	ASSERT_EQ(zvsim({"nodemap", "add", "lab"}).status, 0);
	EXPECT_EQ(zorvel({"nodemap", "exists", "lab"}).status, 0);
}

} // namespace
