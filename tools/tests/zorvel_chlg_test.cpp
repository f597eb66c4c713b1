// The change-log subcommands: changelog, changelog-clear.
#include "tool_fixture.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class ChlgTool : public ZorvelTool
{
};

/* zorvel changelog --follow demo-MDT0000 EXTRA... under the launcher, on
 * state; in a process group of its own when own_group (as a shell runs a
 * job in the foreground). Its standard output to read, or null. */
FILE *start_follower(const std::string &state,
                     const std::vector<const char *> &extra, pid_t &pid,
                     bool own_group = false)
{
	int out[2];
	if (pipe(out) != 0)
		return nullptr;
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_adddup2(&fa, out[1], 1);
	posix_spawn_file_actions_addclose(&fa, out[0]);
	posix_spawnattr_t attr;
	posix_spawnattr_init(&attr);
	if (own_group) {
		/* and with the stopping signals not ignored, whatever this
		 * test inherited */
		sigset_t stops;
		sigemptyset(&stops);
		sigaddset(&stops, SIGINT);
		sigaddset(&stops, SIGTERM);
		posix_spawnattr_setsigdefault(&attr, &stops);
		posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP |
		                                        POSIX_SPAWN_SETSIGDEF);
		posix_spawnattr_setpgroup(&attr, 0);
	}
	std::vector<const char *> argv = {
	        ZVSIM_BIN,  "run",       "--state",  state.c_str(), "--",
	        ZORVEL_BIN, "changelog", "--follow", "demo-MDT0000"};
	argv.insert(argv.end(), extra.begin(), extra.end());
	argv.push_back(nullptr);
	int rc = posix_spawn(&pid, ZVSIM_BIN, &fa, &attr,
	                     const_cast<char **>(argv.data()), environ);
	posix_spawn_file_actions_destroy(&fa);
	posix_spawnattr_destroy(&attr);
	close(out[1]);
	if (rc != 0) {
		close(out[0]);
		return nullptr;
	}
	return fdopen(out[0], "r");
}

TEST_F(ChlgTool, PrintClearAndFollow)
{
	run_result reg = zvsim({"changelog", "register", "demo-MDT0000"});
	ASSERT_EQ(reg.status, 0) << reg.err;
	std::string user = reg.out.substr(0, reg.out.find('\n'));
	auto sim = [&](std::vector<std::string> cmd) { return under_sim(cmd); };
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
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "zorvel changelog-clear: ENDREC is one number, 0 or "
	                 "more (see 'zorvel changelog-clear --help')\n");
	r = zorvel({"changelog", "nosuch-MDT0000"});
	EXPECT_EQ(r.status, ENOENT);

	/* a follower prints a record made after it started */
	pid_t pid;
	FILE *f = start_follower(state(), {"3"}, pid);
	ASSERT_NE(f, nullptr);
	usleep(200 * 1000);
	ASSERT_EQ(sim({"/bin/mkdir", m("later")}).status, 0);
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

/* A follower stopped by SIGINT (from the terminal: its process group) or
 * SIGTERM (passed on by the launcher) ends with status 0, every record it
 * printed whole and once. */
TEST_F(ChlgTool, FollowStopsCleanlyOnSignals)
{
	run_result reg = zvsim({"changelog", "register", "demo-MDT0000"});
	ASSERT_EQ(reg.status, 0) << reg.err;
	int made = 0;
	for (int sig : {SIGINT, SIGTERM}) {
		SCOPED_TRACE(strsignal(sig));
		pid_t pid;
		FILE *f = start_follower(state(), {}, pid, true);
		ASSERT_NE(f, nullptr);
		for (int i = 0; i < 3; i++, made++)
			ASSERT_EQ(under_sim({"/bin/mkdir",
			                     m("d" + std::to_string(made))})
			                  .status,
			          0);
		/* every record printed, then the signal while it waits */
		std::vector<std::string> lines;
		char line[2048];
		alarm(20); /* a follower that never prints fails, not hangs */
		while (int(lines.size()) < made && fgets(line, sizeof line, f))
			lines.push_back(line);
		ASSERT_EQ(int(lines.size()), made);
		kill(sig == SIGINT ? -pid : pid, sig);
		while (fgets(line, sizeof line, f))
			lines.push_back(line);
		alarm(0);
		fclose(f);
		int ws;
		ASSERT_EQ(waitpid(pid, &ws, 0), pid);
		EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << ws;
		ASSERT_EQ(int(lines.size()), made) << "nothing after the stop";
		for (int i = 0; i < made; i++)
			EXPECT_EQ(lines[i].find(std::to_string(i + 1) +
			                        " MKDIR "),
			          0u)
			        << lines[i];
	}
}

TEST_F(ChlgTool, Options)
{
	run_result r = zorvel({"changelog", "demo-MDT0000", "--jsn"});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "zorvel changelog: unknown option '--jsn' (see "
	                 "'zorvel changelog --help')\n");
	r = zorvel({"changelog", "--json"});
	EXPECT_EQ(r.status, 255);
	r = zorvel({"changelog", "demo-MDT0000", "x"});
	EXPECT_EQ(r.status, 255);
	r = zorvel({"changelog", "--help"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out.find("usage: zorvel changelog [--json] [--follow] "
	                     "TARGET [STARTREC]\n  print the change log"),
	          0u);
	/* an empty log prints nothing, until a user is registered */
	r = zorvel({"changelog", "demo-MDT0000"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "");
}

} // namespace
