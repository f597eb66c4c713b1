// The version subcommand.
#include "tool_fixture.h"

#include <string>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class VersionTool : public ZorvelTool
{
};

TEST_F(VersionTool, Version)
{
	run_result r = zorvel({"version"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "2.16.0\n");
}

} // namespace
