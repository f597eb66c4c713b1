// Client cache subcommands: attach, detach, state, and the areas.
#include "tool_fixture.h"

#include <cerrno>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class PccTool : public ZorvelTool
{
};

TEST_F(PccTool, Cycle)
{
	zvtest::write_file(m("f"), "cached");
	zvtest::write_file(m("g"), "other");
	run_result r = zorvel({"pcc", "add", mount_, "5"});
	ASSERT_EQ(r.status, 0) << r.err;
	std::string area = state() + "/pcc/5";
	EXPECT_EQ(zorvel({"pcc", "list", mount_}).out,
	          "archive_id=5 root=" + area + "\n");

	r = zorvel({"pcc", "attach", "--id", "5", m("f")});
	ASSERT_EQ(r.status, 0) << r.err;
	std::string fid = fid_of(m("f"));
	std::string copy = area + "/" + fid.substr(1, fid.size() - 2);
	EXPECT_EQ(zvtest::read_file(copy), "cached");

	r = zorvel({"pcc", "state", m("f"), m("g")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, m("f") +
	                         ": type=readwrite open_count=0 flags=0 "
	                         "path=" +
	                         copy + "\n" + m("g") + ": type=none\n");
	EXPECT_EQ(zorvel({"pcc", "state", "--fid", mount_, fid}).out,
	          fid + ": type=readwrite open_count=0 flags=0 path=" + copy +
	                  "\n");

	r = zorvel({"pcc", "detach", "--fid", mount_, fid});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(zorvel({"pcc", "state", m("f")}).out,
	          m("f") + ": type=none\n");
	r = zorvel({"pcc", "detach", m("f")});
	EXPECT_EQ(r.status, ENODATA);
	EXPECT_EQ(r.err, "zorvel pcc: cannot detach '" + m("f") +
	                         "': No data available (61)\n");

	EXPECT_EQ(zorvel({"pcc", "clear", mount_}).status, 0);
	EXPECT_EQ(zorvel({"pcc", "list", mount_}).out, "");
}

TEST_F(PccTool, Refusals)
{
	zvtest::write_file(m("f"), "x");
	run_result r = zorvel({"pcc", "attach", "--id", "9", m("f")});
	EXPECT_EQ(r.status, ENOENT) << "no area 9";
	EXPECT_EQ(r.err, "zorvel pcc: cannot attach '" + m("f") +
	                         "' to cache area 9: No such file or directory "
	                         "(2)\n");
	r = zorvel({"pcc", "del", mount_, "9"});
	EXPECT_EQ(r.status, ENOENT);
	r = zorvel({"pcc", "detach", "--fid", mount_, "[0x200000400:0x2:0x1]"});
	EXPECT_EQ(r.status, EINVAL) << "not a FID of this file system";
	EXPECT_EQ(r.err, "zorvel pcc: cannot detach [0x200000400:0x2:0x1] "
	                 "under '" +
	                         mount_ + "': Invalid argument (22)\n");
	r = zorvel({"pcc", "state", "--fid", mount_, "0x1:2"});
	EXPECT_EQ(r.status, EINVAL);
	EXPECT_EQ(r.err.find("zorvel pcc: bad FID '0x1:2'"), 0u) << r.err;

	EXPECT_EQ(zorvel({"pcc", "attach", m("f")}).status, 255) << "no --id";
	EXPECT_EQ(zorvel({"pcc", "attach", "--id", "x", m("f")}).status, 255);
	EXPECT_EQ(zorvel({"pcc", "add", mount_, "4294967296"}).status, 255);
	EXPECT_EQ(zorvel({"pcc", "list"}).status, 255);
	EXPECT_EQ(zorvel({"pcc", "sync", mount_}).status, 255);
}

} // namespace
