// Lease subcommands: get, check, put on the command's own open.
#include "tool_fixture.h"

#include <cerrno>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class LeaseTool : public ZorvelTool
{
};

TEST_F(LeaseTool, Modes)
{
	zvtest::write_file(m("f"), "x");
	run_result r = zorvel({"lease", "get", m("f")});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "read\n");
	EXPECT_EQ(zorvel({"lease", "get", "--write", m("f")}).out, "write\n");
	EXPECT_EQ(zorvel({"lease", "put", "--write", m("f")}).out, "write\n")
	        << "the release answers the mode still held";
	EXPECT_EQ(zorvel({"lease", "check", m("f")}).out, "none\n")
	        << "the lease went with the command's open";

	/* the older kernel: the by-mode fallback, which is no failure and
	 * says nothing */
	ASSERT_EQ(under_sim({ZVSIM_BIN, "lease", "by-mode-only", "on"}).status,
	          0);
	r = zorvel({"lease", "get", "--write", m("f")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "write\n");
	EXPECT_EQ(r.err, "");
}

TEST_F(LeaseTool, Failures)
{
	run_result r = zorvel({"lease", "check", m("missing")});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err, "zorvel lease: cannot open '" + m("missing") +
	                         "': No such file or directory (2)\n");
	r = zorvel({"lease", "get", m("")});
	EXPECT_EQ(r.status, EINVAL) << "a directory holds no lease";
	EXPECT_EQ(r.err, "zorvel lease: cannot take a read lease on '" + m("") +
	                         "': Invalid argument (22)\n");
	EXPECT_EQ(zorvel({"lease", "take", m("f")}).status, 255);
	r = zorvel({"lease", "get", "--exclusive", m("f")});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "zorvel lease: unknown option '--exclusive' (see "
	                 "'zorvel lease --help')\n");
	EXPECT_EQ(zorvel({"lease", "check", "--write", m("f")}).status, 255)
	        << "check takes no mode";
	EXPECT_EQ(zorvel({"lease", "check"}).status, 255);
}

} // namespace
