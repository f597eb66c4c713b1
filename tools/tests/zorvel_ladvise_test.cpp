// The ladvise subcommand: several advices on byte ranges in one request.
#include "tool_fixture.h"

#include <string>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class LadviseTool : public ZorvelTool
{
};

TEST_F(LadviseTool, LockaheadAndUsage)
{
	const std::string f = m("f");
	zvtest::write_file(f, std::string(8192, 's'));
	run_result r = zorvel({"ladvise", f, "--advice", "lockahead", "--start",
	                       "0", "--end", "100", "--async"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, f + ": lockahead 0-100: result 1\n");
	EXPECT_EQ(zorvel({"ladvise", f, "--start", "0"}).status, 255);
	EXPECT_EQ(zorvel({"ladvise", f, "--advice", "nope"}).status, 255);
}

} // namespace
