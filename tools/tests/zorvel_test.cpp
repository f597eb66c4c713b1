// The front end as a whole: usage, help, unknown commands, lost output.
#include "tool_fixture.h"

#include <cerrno>
#include <unistd.h>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

TEST_F(ZorvelTool, UsageAndHelp)
{
	run_result r = zorvel({});
	EXPECT_EQ(r.status, 255);
	EXPECT_NE(r.err.find("usage: zorvel"), std::string::npos);

	r = zorvel({"nosuch"});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "zorvel: unknown command 'nosuch' (see 'zorvel "
	                 "--help')\n");

	r = zorvel({"fid2path", "--help"});
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(
	        r.out.find(
	                "usage: zorvel fid2path [--json] MOUNT|FSNAME FID..."),
	        std::string::npos);
}

TEST_F(ZorvelTool, OutputThatCannotBeWrittenIsAFailure)
{
	/* standard output closed: the command's output goes nowhere */
	run_result r = under_sim(
	        {"/bin/sh", "-c", "exec \"$0\" version >&-", ZORVEL_BIN});
	EXPECT_EQ(r.status, EBADF) << r.err;
	EXPECT_EQ(r.err,
	          "zorvel version: cannot write standard output: Bad file "
	          "descriptor (9)\n");
	r = under_sim({"/bin/sh", "-c", "exec \"$0\" --help >&-", ZORVEL_BIN});
	EXPECT_EQ(r.status, EBADF) << r.err;

	/* a failing command keeps its own status */
	r = under_sim({"/bin/sh", "-c", "exec \"$0\" path2fid \"$1\" >&-",
	               ZORVEL_BIN, m("missing")});
	EXPECT_EQ(r.status, ENOENT) << r.err;
}

} // namespace
