/* The zorvel front end run as a user runs it, under the simulator's
 * launcher. */
#include "support/test_support.h"

#include <zorvel/zorvelapi.h>

#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using zvtest::run_program;
using zvtest::run_result;

class ZorvelTool : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		/* one state directory reused by every run of a test */
		run_result r =
		        run_program({ZVSIM_BIN, "setup", "--state",
		                     state_.path() + "/s", "--fsname", "demo"});
		ASSERT_EQ(r.status, 0) << r.err;
		mount_ = r.out.substr(0, r.out.find('\n'));
		ASSERT_FALSE(mount_.empty());
	}

	run_result zorvel(std::vector<std::string> args)
	{
		std::vector<std::string> argv = {
		        ZVSIM_BIN, "run",     "--state", state_.path() + "/s",
		        "--",      ZORVEL_BIN};
		argv.insert(argv.end(), args.begin(), args.end());
		return run_program(argv);
	}

	std::string m(const std::string &rel)
	{
		return mount_ + "/" + rel;
	}

	zvtest::temp_dir state_;
	std::string mount_;
};

TEST_F(ZorvelTool, FidWalk)
{
	ASSERT_EQ(mkdir(m("d").c_str(), 0755), 0);
	zvtest::write_file(m("d/a"), "content\n");
	ASSERT_EQ(link(m("d/a").c_str(), m("b").c_str()), 0);

	run_result r = zorvel({"path2fid", m("d/a")});
	ASSERT_EQ(r.status, 0) << r.err;
	std::string fid = r.out.substr(0, r.out.size() - 1);
	EXPECT_EQ(fid.front(), '[');
	EXPECT_EQ(r.out.back(), '\n');

	r = zorvel({"path2fid", m("d/a"), m("b")});
	EXPECT_EQ(r.out,
	          m("d/a") + ": " + fid + "\n" + m("b") + ": " + fid + "\n");

	r = zorvel({"fid2path", "demo", fid});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, m("b") + "\n" + m("d/a") + "\n");

	r = zorvel({"fid2path", mount_, fid});
	EXPECT_EQ(r.out, m("b") + "\n" + m("d/a") + "\n");

	r = zorvel({"path2parent", m("d/a")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("/a\n"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("]/b\n"), std::string::npos) << r.out;

	r = zorvel({"cat-fid", mount_, fid});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "content\n");
}

TEST_F(ZorvelTool, UsageHelpAndFailures)
{
	run_result r = zorvel({});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("usage: zorvel"), std::string::npos);

	r = zorvel({"nosuch"});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("unknown command 'nosuch'"), std::string::npos);

	r = zorvel({"fid2path", "--help"});
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.out.find("usage: zorvel fid2path MOUNT|FSNAME FID..."),
	          std::string::npos);

	r = zorvel({"path2fid"});
	EXPECT_EQ(r.status, 1);

	r = zorvel({"path2fid", m("missing")});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err, "zorvel: cannot get FID of '" + m("missing") +
	                         "': No such file or directory (2)\n");

	r = zorvel({"fid2path", "demo", "[0x1:2]"});
	EXPECT_EQ(r.status, EINVAL);
	EXPECT_EQ(r.err, "zorvel: bad FID format '[0x1:2]', should be "
	                 "[seq:oid:ver] (e.g. [0x200000400:0x2:0x0])\n");

	r = zorvel({"fid2path", "nosuchfs", "[0x200000400:0x2:0x0]"});
	EXPECT_EQ(r.status, ENODEV);
}

TEST_F(ZorvelTool, ParametersVersionAndNames)
{
	run_result r = zorvel({"version"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "2.16.0\n");

	r = zorvel({"getname", mount_});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out.rfind("demo-", 0), 0U) << r.out;

	r = zorvel({"param", "list", "lov/*/target_obd"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("lov/demo-clilov-"), std::string::npos) << r.out;
	EXPECT_EQ(r.out.find("/sys/"), std::string::npos)
	        << "names are relative to their tree";

	r = zorvel({"param", "get", "version"});
	EXPECT_EQ(r.out, "version=zorvel: 2.16.0\n");
	r = zorvel({"param", "get", "lov/*/target_obd"});
	EXPECT_NE(r.out.find("/target_obd=\n0: demo-OST0000_UUID ACTIVE\n"),
	          std::string::npos)
	        << r.out;

	r = zorvel({"param", "get", "no/such"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err, "zorvel: no parameter matches 'no/such': No such "
	                 "file or directory (2)\n");
	r = zorvel({"param", "frob", "x"});
	EXPECT_EQ(r.status, 1);
}

TEST_F(ZorvelTool, Removals)
{
	zvtest::write_file(m("gone"), "x");
	zvtest::write_file(m("kept"), "y");
	std::string fid = zorvel({"path2fid", m("gone")}).out;
	fid.pop_back();
	run_result r = zorvel({"rmfid", "demo", fid});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(access(m("gone").c_str(), F_OK), 0);

	r = zorvel({"rmfid", "demo", "[0x200000400:0x7ffffff0:0x0]"});
	EXPECT_EQ(r.status, ENOENT) << r.err;
	EXPECT_EQ(r.err, "zorvel: cannot remove [0x200000400:0x7ffffff0:0x0]: "
	                 "No such file or directory (2)\n");

	r = zorvel({"rm-entry", m("kept")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(access(m("kept").c_str(), F_OK), 0);
	r = zorvel({"rm-entry", m("kept")});
	EXPECT_EQ(r.status, ENOENT);
}

TEST_F(ZorvelTool, ChangelogPrintClearAndFollow)
{
	run_result reg =
	        run_program({ZVSIM_BIN, "--state", state_.path() + "/s",
	                     "changelog", "register", "demo-MDT0000"});
	ASSERT_EQ(reg.status, 0) << reg.err;
	std::string user = reg.out.substr(0, reg.out.find('\n'));
	auto sim = [&](std::vector<std::string> cmd) {
		std::vector<std::string> argv = {ZVSIM_BIN, "run", "--state",
		                                 state_.path() + "/s", "--"};
		argv.insert(argv.end(), cmd.begin(), cmd.end());
		return run_program(argv);
	};
	ASSERT_EQ(sim({"/bin/mkdir", m("dir")}).status, 0);
	ASSERT_EQ(sim({"/bin/ln", "-s", "dir", m("sym")}).status, 0);

	run_result r = zorvel({"changelog", "demo-MDT0000"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("1 MKDIR "), std::string::npos) << r.out;
	EXPECT_NE(r.out.find(" dir j=mkdir."), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("2 SOFTLINK "), std::string::npos) << r.out;

	r = zorvel({"changelog", "demo-MDT0000", "2"});
	EXPECT_EQ(r.out.find("1 MKDIR"), std::string::npos) << "started at 2";
	EXPECT_NE(r.out.find("2 SOFTLINK"), std::string::npos);

	r = zorvel({"changelog-clear", "demo-MDT0000", user + "-x", "1"});
	EXPECT_EQ(r.status, 0) << r.err;
	r = zorvel({"changelog", "demo-MDT0000"});
	EXPECT_EQ(r.out.find("1 MKDIR"), std::string::npos) << r.out;
	r = zorvel({"changelog-clear", "demo-MDT0000", user, "-1"});
	EXPECT_EQ(r.status, EINVAL);
	EXPECT_EQ(r.err, "zorvel: can't purge negative records\n");
	r = zorvel({"changelog", "nosuch-MDT0000"});
	EXPECT_EQ(r.status, ENOENT);

	/* a follower prints a record made after it started */
	int out[2];
	ASSERT_EQ(pipe(out), 0);
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_adddup2(&fa, out[1], 1);
	posix_spawn_file_actions_addclose(&fa, out[0]);
	std::string state = state_.path() + "/s";
	std::vector<const char *> argv = {
	        ZVSIM_BIN, "run",      "--state",   state.c_str(),
	        "--",      ZORVEL_BIN, "changelog", "demo-MDT0000",
	        "3",       "--follow", nullptr};
	pid_t pid;
	ASSERT_EQ(posix_spawn(&pid, ZVSIM_BIN, &fa, nullptr,
	                      const_cast<char **>(argv.data()), environ),
	          0);
	posix_spawn_file_actions_destroy(&fa);
	close(out[1]);
	usleep(200 * 1000);
	ASSERT_EQ(sim({"/bin/mkdir", m("later")}).status, 0);
	FILE *f = fdopen(out[0], "r");
	char line[1024] = "";
	alarm(10); /* a follower that never prints fails, not hangs */
	char *got = fgets(line, sizeof(line), f);
	alarm(0);
	kill(pid, SIGTERM);
	waitpid(pid, nullptr, 0);
	fclose(f);
	ASSERT_NE(got, nullptr);
	EXPECT_NE(std::string(line).find(" MKDIR "), std::string::npos) << line;
	EXPECT_NE(std::string(line).find(" later "), std::string::npos) << line;
}

} // namespace
