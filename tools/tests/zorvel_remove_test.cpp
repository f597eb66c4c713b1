// The removal subcommands: rmfid, rm-entry.
#include "tool_fixture.h"

#include <cerrno>
#include <unistd.h>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

TEST_F(ZorvelTool, Removals)
{
	zvtest::write_file(m("gone"), "x");
	zvtest::write_file(m("kept"), "y");
	std::string fid = zorvel({"path2fid", m("gone")}).out;
	fid = fid.substr(fid.rfind(' ') + 1);
	fid.pop_back();
	run_result r = zorvel({"rmfid", "demo", fid});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(access(m("gone").c_str(), F_OK), 0);

	r = zorvel({"rmfid", "demo", "[0x200000400:0x7ffffff0:0x0]"});
	EXPECT_EQ(r.status, ENOENT) << r.err;
	EXPECT_EQ(r.err,
	          "zorvel rmfid: cannot remove [0x200000400:0x7ffffff0:0x0]: "
	          "No such file or directory (2)\n");

	r = zorvel({"rm-entry", m("kept")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(access(m("kept").c_str(), F_OK), 0);
	r = zorvel({"rm-entry", m("kept")});
	EXPECT_EQ(r.status, ENOENT);
}

} // namespace
