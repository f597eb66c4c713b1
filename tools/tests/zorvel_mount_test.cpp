// The mount subcommands: getname.
#include "tool_fixture.h"

#include <string>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class MountTool : public ZorvelTool
{
};

TEST_F(MountTool, Getname)
{
	run_result r = zorvel({"getname", mount_});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out.rfind(mount_ + ": demo-", 0), 0U) << r.out;
}

} // namespace
