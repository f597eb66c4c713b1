// The front end as a whole: usage, help, unknown commands, lost output.
#include "tool_fixture.h"

#include <cerrno>
#include <fstream>
#include <sstream>
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

// A manual page as text: the escapes of its literal blocks undone.
std::string page_text(const std::string &name)
{
	std::ifstream in(std::string(ZV_SOURCE_DIR) + "/doc/man/" + name);
	std::stringstream ss;
	ss << in.rdbuf();
	std::string text = ss.str(), out;
	for (size_t i = 0; i < text.size(); i++) {
		if (text.compare(i, 2, "\\e") == 0) {
			out += '\\';
			i++;
		} else if (text.compare(i, 2, "\\&") == 0) {
			i++;
		} else {
			out += text[i];
		}
	}
	return out;
}

TEST_F(ZorvelTool, ManualPagesFollowTheHelp)
{
	std::string page = page_text("zorvel.1");
	ASSERT_FALSE(page.empty());
	std::string overview = zorvel({"--help"}).out;
	int commands = 0;
	size_t start = overview.find("commands:\n");
	ASSERT_NE(start, std::string::npos);
	std::istringstream lines(overview.substr(start + 10));
	for (std::string line; std::getline(lines, line) && !line.empty();) {
		std::string name = line.substr(2, line.find(' ', 2) - 2);
		run_result help = zorvel({name, "--help"});
		EXPECT_EQ(help.status, 0) << name;
		EXPECT_NE(page.find(".SS " + name + "\n.nf\n" + help.out +
		                    ".fi\n"),
		          std::string::npos)
		        << "doc/man/zorvel.1 misses the help of " << name
		        << "; run scripts/man-pages BUILD_DIR";
		commands++;
	}
	EXPECT_GE(commands, 19);

	run_result sim = zvtest::run_program({ZVSIM_BIN, "--help"});
	EXPECT_NE(page_text("zvsim.1").find(".nf\n" + sim.out + sim.err),
	          std::string::npos)
	        << "doc/man/zvsim.1 misses zvsim's usage";
}

} // namespace
