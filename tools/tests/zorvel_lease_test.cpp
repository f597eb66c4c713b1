// Lease subcommands: get, check, put on the command's own open.
#include "tool_fixture.h"

#include <cerrno>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

TEST_F(ZorvelTool, LeaseModes)
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

	/* the older kernel: the by-mode fallback, after one message */
	ASSERT_EQ(under_sim({ZVSIM_BIN, "lease", "by-mode-only", "on"}).status,
	          0);
	r = zorvel({"lease", "get", "--write", m("f")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "write\n");
	EXPECT_NE(r.err, "");
}

TEST_F(ZorvelTool, LeaseFailures)
{
	run_result r = zorvel({"lease", "check", m("missing")});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err, "zorvel: cannot open '" + m("missing") +
	                         "': No such file or directory (2)\n");
	r = zorvel({"lease", "get", m("")});
	EXPECT_EQ(r.status, EINVAL) << "a directory holds no lease";
	EXPECT_NE(r.err.find("cannot get READ lease"), std::string::npos)
	        << r.err;
	EXPECT_EQ(zorvel({"lease", "take", m("f")}).status, 1);
	EXPECT_EQ(zorvel({"lease", "get", "--exclusive", m("f")}).status, 1);
	EXPECT_EQ(zorvel({"lease", "check"}).status, 1);
}

} // namespace
