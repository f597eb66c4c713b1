// The heat subcommand: a file's access counts, cleared, stopped and restarted.
#include "tool_fixture.h"

#include <string>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class HeatTool : public ZorvelTool
{
};

TEST_F(HeatTool, ClearAndStopCounting)
{
	const std::string f = m("f");
	zvtest::write_file(f, std::string(8192, 's'));
	run_result r = zorvel({"heat", "set", "--clear", f});
	EXPECT_EQ(r.status, 0) << r.err;
	r = zorvel({"heat", "get", f});
	EXPECT_EQ(r.out, f + ": reads 0, writes 0, bytes read 0, bytes "
	                     "written 0\n");
	EXPECT_EQ(zorvel({"heat", "set", "--off", f}).status, 0);
	r = zorvel({"heat", "get", f});
	EXPECT_EQ(r.out.substr(r.out.find("written")),
	          "written 0 (not counting)\n");
	EXPECT_EQ(zorvel({"heat", "set", f}).status, 255);
}

} // namespace
