// The udsp subcommand: selection policies added, shown, deleted and
// imported on the simulated networking layer.
#include "tool_fixture.h"

#include <cerrno>
#include <string>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class UdspTool : public ZorvelTool
{
};

const char three[] = "udsp:\n"
                     "- idx: 0\n"
                     "  src: \"192.168.1.[1-3]@tcp\"\n"
                     "  dst: NA\n"
                     "  rte: NA\n"
                     "  action:\n"
                     "    priority: 3\n"
                     "- idx: 1\n"
                     "  src: tcp1\n"
                     "  dst: \"10.0.0.[0-255]@o2ib\"\n"
                     "  rte: NA\n"
                     "- idx: 2\n"
                     "  src: NA\n"
                     "  dst: NA\n"
                     "  rte: \"[5-9]@gni\"\n";

TEST_F(UdspTool, AddShowDelete)
{
	EXPECT_EQ(zorvel_sh("udsp add --src '192.168.1.[1-3]@tcp' --priority 3")
	                  .status,
	          0);
	EXPECT_EQ(zorvel_sh("udsp add --src tcp1 --dst '10.0.0.*@o2ib' --pref")
	                  .status,
	          0);
	run_result add = zorvel_sh("udsp add --rte '[5-9]@gni' --pref");
	EXPECT_EQ(add.status, 0);
	EXPECT_EQ(add.out, "");
	run_result show = zorvel_sh("udsp show");
	EXPECT_EQ(show.status, 0);
	EXPECT_EQ(show.out, three);
	EXPECT_EQ(zorvel_sh("udsp del 1").status, 0);
	show = zorvel_sh("udsp show 1");
	EXPECT_EQ(show.status, 0);
	EXPECT_EQ(show.out, "udsp:\n- idx: 1\n  src: NA\n  dst: NA\n"
	                    "  rte: \"[5-9]@gni\"\n");
	EXPECT_EQ(zorvel_sh("udsp add --src tcp2 --priority 1 --idx 0").status,
	          0);
	EXPECT_EQ(zorvel_sh("udsp show 0").out.find("src: tcp2"), 17u);
}

TEST_F(UdspTool, ShowOutputImportsBack)
{
	std::string policies = file("policies.yaml", three);
	run_result imp = zorvel_sh("udsp import " + policies);
	EXPECT_EQ(imp.status, 0) << imp.err;
	run_result show = zorvel_sh("udsp show");
	EXPECT_EQ(show.out, three);
	// and the shown text feeds a fresh layer to the same list again
	std::string again = file("again.yaml", show.out);
	EXPECT_EQ(zorvel_sh("udsp import " + again, "t").status, 0);
	EXPECT_EQ(zorvel_sh("udsp show", "t").out, three);
}

TEST_F(UdspTool, FailuresPrintTheErrorTree)
{
	run_result del = zorvel_sh("udsp del 4");
	EXPECT_EQ(del.status, 2);
	EXPECT_EQ(del.err, "del:\n- udsp:\n    rc: -2\n    seq_no: 0\n"
	                   "    descr: 'cannot del udsp: No such file or "
	                   "directory'\n");
	run_result add = zorvel_sh("udsp add --src 1.2.3@tcp --pref");
	EXPECT_EQ(add.status, 22);
	EXPECT_NE(add.err.find("descr: failed to parse src parameter"),
	          std::string::npos);
	run_result combo = zorvel_sh("udsp add --src tcp --rte gni --pref");
	EXPECT_EQ(combo.status, 1);
	EXPECT_NE(combo.err.find("is not supported"), std::string::npos);
	run_result bad =
	        zorvel_sh("udsp import " + file("bad.yaml", "udsp: [\n"));
	EXPECT_EQ(bad.status, 22);
	EXPECT_NE(bad.err.find("line 2, column 1"), std::string::npos)
	        << bad.err;
}

TEST_F(UdspTool, ImportChecksLikeTheOptions)
{
	for (const char *prio : {"-5", "1e20", "2.5", "2147483648"}) {
		std::string f = file("p.yaml", std::string("udsp:\n- src: tcp\n"
		                                           "  action:\n"
		                                           "    priority: ") +
		                                       prio + "\n");
		run_result r = zorvel({"udsp", "import", f});
		EXPECT_EQ(r.status, EINVAL) << prio;
		EXPECT_EQ(r.err,
		          "zorvel udsp: " + f +
		                  ": item 0 is no policy (a priority and "
		                  "an idx are whole numbers from 0 to "
		                  "2147483647): Invalid argument (22)\n");
		EXPECT_EQ(zorvel_sh("udsp show").out, "udsp: []\n") << prio;
	}
	std::string f = file("i.yaml", "udsp:\n- src: tcp\n  idx: -1\n");
	EXPECT_EQ(zorvel({"udsp", "import", f}).status, EINVAL);
	/* the status says what the error tree says */
	run_result r = zorvel({"udsp", "import", dir_.path() + "/nope"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_NE(r.err.find("rc: -2"), std::string::npos) << r.err;
}

TEST_F(UdspTool, UsageErrors)
{
	EXPECT_EQ(zorvel_sh("udsp").status, 255);
	EXPECT_EQ(zorvel_sh("udsp add --src tcp").status, 255);
	EXPECT_EQ(zorvel_sh("udsp add --src tcp --pref --priority 2").status,
	          255);
	EXPECT_EQ(zorvel_sh("udsp add --src tcp --priority x").status, 255);
	EXPECT_EQ(zorvel_sh("udsp del").status, 255);
	EXPECT_EQ(zorvel_sh("udsp del -1").status, 255);
	EXPECT_EQ(zorvel_sh("udsp show 1 2").status, 255);
	run_result help = zorvel_sh("udsp --help");
	EXPECT_EQ(help.status, 0);
	EXPECT_NE(help.out.find("usage: zorvel udsp [--json] add"),
	          std::string::npos);
}

TEST_F(UdspTool, MissingDeviceGivesTheHint)
{
	ASSERT_EQ(zorvel_sh("udsp show").status, 0);
	// without the launcher, whose setup would make the device again
	zvtest::remove_tree(state() + "/dev/varn");
	run_result r = zorvel_alone({"udsp", "del", "0"},
	                            {"ZVSIM_STATE=" + state(), "ZVSIM_MOUNT"});
	EXPECT_EQ(r.status, 2);
	EXPECT_NE(r.err.find("hint: the kernel modules may not be loaded"),
	          std::string::npos);
	EXPECT_NE(r.err.find("cannot del udsp: No such file or directory"),
	          std::string::npos);

	/* show must not pass a missing device off as an empty list */
	r = zorvel_alone({"udsp", "show"},
	                 {"ZVSIM_STATE=" + state(), "ZVSIM_MOUNT"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_NE(r.err.find("zorvel udsp: cannot use '"), std::string::npos);
}

} // namespace
