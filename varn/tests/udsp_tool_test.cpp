// The front end's udsp and tunables commands, run as a user runs them:
// under the simulator's launcher, checking exit status and exact output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>

namespace
{

struct Result {
	int status = -1;
	std::string out, err;
};

class UdspTool : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/varn-tool.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = tmpl;
	}
	void TearDown() override
	{
		std::error_code ec;
		std::filesystem::remove_all(dir_, ec);
	}
	// zorvel ARGS under the simulator with state directory STATE.
	Result zorvel(const std::string &args, const std::string &state = "s")
	{
		std::string out = dir_ + "/out", err = dir_ + "/err";
		std::string cmd =
		        std::string("env -u ZVSIM_STATE -u ZVSIM_MOUNT ") +
		        ZVSIM_LAUNCHER + " run --state " + dir_ + "/" + state +
		        " -- " + ZORVEL_TOOL + " " + args + " >" + out + " 2>" +
		        err;
		Result r;
		int st = system(cmd.c_str());
		r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
		r.out = slurp(out);
		r.err = slurp(err);
		return r;
	}
	std::string slurp(const std::string &path)
	{
		std::ifstream in(path);
		return std::string(std::istreambuf_iterator<char>(in), {});
	}
	std::string file(const std::string &name, const std::string &text)
	{
		std::string path = dir_ + "/" + name;
		std::ofstream(path) << text;
		return path;
	}
	std::string dir_;
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
	EXPECT_EQ(zorvel("udsp add --src '192.168.1.[1-3]@tcp' --priority 3")
	                  .status,
	          0);
	EXPECT_EQ(zorvel("udsp add --src tcp1 --dst '10.0.0.*@o2ib' --pref")
	                  .status,
	          0);
	Result add = zorvel("udsp add --rte '[5-9]@gni' --pref");
	EXPECT_EQ(add.status, 0);
	EXPECT_EQ(add.out, "");
	Result show = zorvel("udsp show");
	EXPECT_EQ(show.status, 0);
	EXPECT_EQ(show.out, three);
	EXPECT_EQ(zorvel("udsp del 1").status, 0);
	show = zorvel("udsp show 1");
	EXPECT_EQ(show.status, 0);
	EXPECT_EQ(show.out, "udsp:\n- idx: 1\n  src: NA\n  dst: NA\n"
	                    "  rte: \"[5-9]@gni\"\n");
	EXPECT_EQ(zorvel("udsp add --src tcp2 --priority 1 --idx 0").status, 0);
	EXPECT_EQ(zorvel("udsp show 0").out.find("src: tcp2"), 17u);
}

TEST_F(UdspTool, ShowOutputImportsBack)
{
	std::string policies = file("policies.yaml", three);
	Result imp = zorvel("udsp import " + policies);
	EXPECT_EQ(imp.status, 0) << imp.err;
	Result show = zorvel("udsp show");
	EXPECT_EQ(show.out, three);
	// and the shown text feeds a fresh layer to the same list again
	std::string again = file("again.yaml", show.out);
	EXPECT_EQ(zorvel("udsp import " + again, "t").status, 0);
	EXPECT_EQ(zorvel("udsp show", "t").out, three);
}

TEST_F(UdspTool, FailuresPrintTheErrorTree)
{
	Result del = zorvel("udsp del 4");
	EXPECT_EQ(del.status, 2);
	EXPECT_EQ(del.err, "del:\n- udsp:\n    rc: -2\n    seq_no: 0\n"
	                   "    descr: 'cannot del udsp: No such file or "
	                   "directory'\n");
	Result add = zorvel("udsp add --src 1.2.3@tcp --pref");
	EXPECT_EQ(add.status, 22);
	EXPECT_NE(add.err.find("descr: failed to parse src parameter"),
	          std::string::npos);
	Result combo = zorvel("udsp add --src tcp --rte gni --pref");
	EXPECT_EQ(combo.status, 1);
	EXPECT_NE(combo.err.find("is not supported"), std::string::npos);
	Result bad = zorvel("udsp import " + file("bad.yaml", "udsp: [\n"));
	EXPECT_EQ(bad.status, 22);
	EXPECT_NE(bad.err.find("line 2, column 1"), std::string::npos)
	        << bad.err;
}

TEST_F(UdspTool, UsageErrors)
{
	EXPECT_EQ(zorvel("udsp").status, 1);
	EXPECT_EQ(zorvel("udsp add --src tcp").status, 1);
	EXPECT_EQ(zorvel("udsp add --src tcp --pref --priority 2").status, 1);
	EXPECT_EQ(zorvel("udsp add --src tcp --priority x").status, 1);
	EXPECT_EQ(zorvel("udsp del").status, 1);
	EXPECT_EQ(zorvel("udsp del -1").status, 1);
	EXPECT_EQ(zorvel("udsp show 1 2").status, 1);
	EXPECT_EQ(zorvel("tunables show").status, 1);
	EXPECT_EQ(zorvel("tunables show f --type lo").status, 1);
	Result help = zorvel("udsp --help");
	EXPECT_EQ(help.status, 0);
	EXPECT_NE(help.out.find("usage: zorvel udsp add"), std::string::npos);
}

TEST_F(UdspTool, MissingDeviceGivesTheHint)
{
	ASSERT_EQ(zorvel("udsp show").status, 0);
	// without the launcher, whose setup would make the device again
	std::filesystem::remove(dir_ + "/s/dev/varn");
	std::string cmd = "ZVSIM_STATE=" + dir_ + "/s " + ZORVEL_TOOL +
	                  " udsp del 0 2>" + dir_ + "/err";
	Result r;
	int st = system(cmd.c_str());
	r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
	r.err = slurp(dir_ + "/err");
	EXPECT_EQ(r.status, 2);
	EXPECT_NE(r.err.find("hint: the kernel modules may not be loaded"),
	          std::string::npos);
	EXPECT_NE(r.err.find("cannot del udsp: No such file or directory"),
	          std::string::npos);

	/* show must not pass a missing device off as an empty list */
	cmd = "ZVSIM_STATE=" + dir_ + "/s " + ZORVEL_TOOL + " udsp show 2>" +
	      dir_ + "/err";
	st = system(cmd.c_str());
	EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, ENOENT);
	EXPECT_NE(slurp(dir_ + "/err").find("zorvel udsp: cannot use '"),
	          std::string::npos);
}

TEST_F(UdspTool, TunablesShow)
{
	std::string cfg = file("net.yaml", "net:\n"
	                                   "    - net type: o2ib1\n"
	                                   "      tunables:\n"
	                                   "          peer_timeout: 180\n"
	                                   "          credits: 256\n"
	                                   "      vnd tunables:\n"
	                                   "          ntx: 512\n"
	                                   "          conns_per_peer: 2\n");
	Result o2ib = zorvel("tunables show " + cfg + " --type o2ib");
	EXPECT_EQ(o2ib.status, 0) << o2ib.err;
	EXPECT_EQ(o2ib.out, "tunables:\n"
	                    "  peer_timeout: 180\n"
	                    "  peer_credits: 0\n"
	                    "  peer_buffer_credits: 0\n"
	                    "  credits: 256\n"
	                    "vnd tunables:\n"
	                    "  peercredits_hiw: 0\n"
	                    "  map_on_demand: 0\n"
	                    "  concurrent_sends: 0\n"
	                    "  fmr_pool_size: 0\n"
	                    "  fmr_flush_trigger: 0\n"
	                    "  fmr_cache: 0\n"
	                    "  ntx: 512\n"
	                    "  conns_per_peer: 2\n");
	std::string sock = file("sock.yaml", "vnd tunables:\n"
	                                     "  conns_per_peer: 4\n");
	Result s = zorvel("tunables show --type socket " + sock);
	EXPECT_EQ(s.status, 0);
	EXPECT_EQ(s.out, "vnd tunables:\n  conns_per_peer: 4\n");
	Result missing =
	        zorvel("tunables show " + dir_ + "/nope --type socket");
	EXPECT_EQ(missing.status, 22);
	EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

} // namespace
