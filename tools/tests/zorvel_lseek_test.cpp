// The data-extent subcommands: sparse, punch.
#include "tool_fixture.h"

#include <cerrno>
#include <string>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class LseekTool : public ZorvelTool
{
};

TEST_F(LseekTool, SparseAndPunch)
{
	const std::string f = m("f");
	zvtest::write_file(f, std::string(8192, 's'));
	run_result r = zorvel({"sparse", f});
	EXPECT_EQ(r.out, f + ": not sparse, size 8192, data 0+8192\n");
	EXPECT_EQ(zorvel({"punch", f, "0", "4096"}).status, 0);
	r = zorvel({"sparse", f, m("none")});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.out, f + ": sparse, size 8192, data 4096+4096\n");
	EXPECT_EQ(zorvel({"punch", f, "x", "1"}).status, 255);
}

} // namespace
