// The launcher, run as a user runs it.
#include "helpers.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace zvtest;

namespace
{

std::string zvsim(const std::string &args)
{
	return std::string(ZVSIM_LAUNCHER) + " " + args;
}

bool is_dir(const std::string &p)
{
	struct stat st;
	return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

class Launcher : public ::testing::Test
{
      protected:
	// Temporary state directories land here.
	std::string env()
	{
		return "TMPDIR=" + shell_quote(tmp_.path()) + " ";
	}
	int entries()
	{
		run_result r = run_shell("ls -A " + shell_quote(tmp_.path()) +
		                         " | wc -l");
		return std::stoi(r.out);
	}
	// Sets up a state directory at st with its request log on.
	bool set_up_logged(const std::string &st)
	{
		return run_shell(
		               zvsim("setup --log --state " + shell_quote(st)))
		               .status == 0;
	}
	temp_dir tmp_;
};

TEST_F(Launcher, ExitStatusIsTheCommands)
{
	EXPECT_EQ(run_shell(env() + zvsim("run -- /bin/true")).status, 0);
	EXPECT_EQ(run_shell(env() + zvsim("run -- sh -c 'exit 3'")).status, 3);
	EXPECT_EQ(
	        run_shell(env() + zvsim("run -- sh -c 'kill -TERM $$'")).status,
	        128 + 15);
	EXPECT_EQ(
	        run_shell(env() + zvsim("run -- /nonexistent/cmd 2>/dev/null"))
	                .status,
	        127);
	EXPECT_EQ(entries(), 0) << "temporary state directories removed";
}

TEST_F(Launcher, CommandSeesTheMount)
{
	run_result r = run_shell(
	        env() + zvsim("run --fsname fsx -- " ZVSIM_PROBE " mounts"));
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out.rfind("192.168.0.10@tcp:/fsx ", 0), 0u) << r.out;
	EXPECT_NE(
	        r.out.find("/mnt/fsx zorvel rw,flock,user_xattr,lazystatfs\n"),
	        std::string::npos)
	        << r.out;
	r = run_shell(
	        env() +
	        zvsim("run -- sh -c 'test -d \"$ZVSIM_MOUNT/.zorvel/fid\" "
	              "&& test -f \"$ZVSIM_STATE/config\"'"));
	EXPECT_EQ(r.status, 0);
}

// Other libraries' exit handlers (an MPI library's, the sanitizer's) call
// into the file system after the simulator's static objects would have
// been destroyed: they must still be served.
TEST_F(Launcher, CallsFromExitHandlersAreServed)
{
	run_result r = run_shell(env() + "timeout 60 " +
	                         zvsim("run -- sh -c '" ZVSIM_PROBE
	                               " exit-open \"$ZVSIM_MOUNT/.zorvel\"'"));
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "ok\nok at exit\n") << r.err;
}

TEST_F(Launcher, KeepLeavesTheStateDirectory)
{
	run_result r = run_shell(
	        env() + zvsim("run --keep -- sh -c 'echo $ZVSIM_STATE'") +
	        " 2>/dev/null");
	ASSERT_EQ(r.status, 0);
	std::string state = r.out.substr(0, r.out.size() - 1);
	EXPECT_EQ(state.rfind(tmp_.path(), 0), 0u);
	EXPECT_TRUE(is_dir(state + "/mnt/demo"));
}

TEST_F(Launcher, GivenStateIsReusedAndNeverRemoved)
{
	std::string st = tmp_.path() + "/st";
	run_result r = run_shell(
	        zvsim("setup --state " + shell_quote(st) + " --mdts 2"));
	ASSERT_EQ(r.status, 0);
	EXPECT_EQ(r.out, st + "/mnt/demo\n");
	ASSERT_EQ(run_shell(zvsim("run --state " + shell_quote(st) +
	                          " -- sh -c 'touch \"$ZVSIM_MOUNT/kept\"'"))
	                  .status,
	          0);
	EXPECT_TRUE(is_dir(st + "/mnt/demo"));
	EXPECT_EQ(access((st + "/mnt/demo/kept").c_str(), F_OK), 0);
}

TEST_F(Launcher, ScriptingInjectionAndLog)
{
	std::string st = tmp_.path() + "/st";
	ASSERT_TRUE(set_up_logged(st));
	std::string s = "--state " + shell_quote(st) + " ";
	EXPECT_EQ(
	        run_shell(zvsim(s + "inject FID2PATH ENOENT --always")).status,
	        0);
	EXPECT_EQ(run_shell(zvsim(s + "reply ZV_IOC_FID2MDTIDX 00ff 3")).status,
	          0);
	run_result r = run_shell("cat " + shell_quote(st + "/inject"));
	EXPECT_EQ(r.out, "E c0086696 2 always\nR c01066f8 3 00ff\n");
	EXPECT_EQ(run_shell(zvsim(s + "clear-injections")).status, 0);
	EXPECT_NE(access((st + "/inject").c_str(), F_OK), 0);

	ASSERT_EQ(run_shell(zvsim("run --state " + shell_quote(st) +
	                          " -- " ZVSIM_PROBE " fid " +
	                          shell_quote(st + "/mnt/demo")))
	                  .status,
	          0);
	r = run_shell(zvsim(s + "log"));
	EXPECT_EQ(r.status, 0);
	std::string hex;
	for (unsigned char c : st + "/mnt/demo") {
		char b[3];
		snprintf(b, sizeof b, "%02x", c);
		hex += b;
	}
	EXPECT_EQ(r.out, "0x5a560001 0 " + hex + "\n");
	EXPECT_EQ(run_shell(zvsim(s + "log-clear")).status, 0);
	EXPECT_EQ(run_shell(zvsim(s + "log")).out, "");
}

TEST_F(Launcher, HelpGoesToStandardOutputAndOptionsAreExplained)
{
	run_result r = run_shell(zvsim("--help") + " 2>&1 >/dev/null");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "");
	r = run_shell(zvsim("--help"));
	EXPECT_NE(r.out.find("usage: zvsim run"), std::string::npos);
	EXPECT_NE(r.out.find("zvsim [--state DIR] changelog"),
	          std::string::npos);

	std::string st = shell_quote(tmp_.path() + "/st");
	r = run_shell(
	        zvsim("setup --state " + st + " --fsname toolongname 2>&1"));
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.out.find("--fsname 'toolongname': a file-system name is "
	                     "1 to 8 letters, digits, '_' or '-'"),
	          std::string::npos)
	        << r.out;
	r = run_shell(zvsim("setup --state " + st + " --mdts 65 2>&1"));
	EXPECT_NE(r.out.find("--mdts '65': from 1 to 64 metadata targets"),
	          std::string::npos)
	        << r.out;
	EXPECT_NE(access((tmp_.path() + "/st").c_str(), F_OK), 0);

	// Options that would shape an existing simulation are said to be
	// ignored, and it keeps its shape.
	ASSERT_EQ(run_shell(zvsim("setup --state " + st + " --fsname one"))
	                  .status,
	          0);
	r = run_shell(
	        zvsim("setup --state " + st + " --fsname two --osts 4 2>&1"));
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.out.find("holds a simulation already: --fsname --osts "
	                     "ignored"),
	          std::string::npos)
	        << r.out;
	EXPECT_NE(r.out.find("/mnt/one"), std::string::npos) << r.out;
}

TEST_F(Launcher, UsageErrorsExitOne)
{
	for (const char *args :
	     {"", "bogus", "run", "run --mdts x -- true", "inject",
	      "inject NOPE EIO", "inject FID2PATH NOTANERRNO",
	      "reply FID2PATH zz"}) {
		run_result r = run_shell(env() + zvsim(args) + " 2>/dev/null");
		EXPECT_EQ(r.status, 1) << args;
	}
	EXPECT_EQ(entries(), 0);
}

TEST_F(Launcher, ParameterSubcommandsAndWhatACommandSees)
{
	std::string st = tmp_.path() + "/st";
	ASSERT_EQ(run_shell(zvsim("setup --state " + shell_quote(st))).status,
	          0);
	std::string s = "--state " + shell_quote(st) + " ";
	EXPECT_EQ(run_shell(zvsim(s + "param set /proc/sys/varn/x/y 'one two'"))
	                  .status,
	          0);
	EXPECT_EQ(run_shell(zvsim(s + "param get /proc/sys/varn/x/y")).out,
	          "one two");
	EXPECT_EQ(run_shell("printf 'a\\nb\\n' | " +
	                    zvsim(s + "param set /sys/fs/zorvel/z"))
	                  .status,
	          0);
	std::string in_run = zvsim("run --state " + shell_quote(st) + " -- ");
	EXPECT_EQ(run_shell(in_run + ZVSIM_PROBE " param /sys/fs/zorvel/z").out,
	          "a\nb\n");
	EXPECT_EQ(
	        run_shell(in_run + ZVSIM_PROBE " param /proc/fs/zorvel/version")
	                .out,
	        "zorvel: 2.16.0\n");
	EXPECT_EQ(run_shell(in_run + "cat /proc/sys/varn/x/y").out, "one two");

	EXPECT_EQ(run_shell(zvsim(s + "pool fast demo-OST0001_UUID")).status,
	          0);
	run_result r = run_shell(
	        in_run + ZVSIM_PROBE
	        " glob '/proc/fs/zorvel/lov/demo-*/pools/{fast,none}'");
	ASSERT_EQ(r.status, 0);
	EXPECT_EQ(r.out.find("/proc/fs/zorvel/lov/demo-clilov-ffff"), 0u)
	        << r.out;
	EXPECT_EQ(run_shell(in_run +
	                    "sh -c 'cat /proc/fs/zorvel/lov/*/pools/fast'")
	                  .out,
	          "demo-OST0001_UUID\n");

	EXPECT_EQ(run_shell(zvsim(s + "param rm /proc/sys/varn/x")).status, 0);
	EXPECT_EQ(
	        run_shell(in_run + ZVSIM_PROBE " param /proc/sys/varn/x/y").out,
	        "error ENOENT\n");
	EXPECT_EQ(
	        run_shell(zvsim(s + "param get /proc/sys/varn/x/y 2>/dev/null"))
	                .status,
	        1);
	EXPECT_EQ(run_shell(zvsim(s + "param mkdir /proc/sys/varn/new")).status,
	          0);
	EXPECT_TRUE(is_dir(st + "/params/proc/sys/varn/new"));
}

TEST_F(Launcher, DebugfsAndMtabSubcommands)
{
	std::string st = tmp_.path() + "/st";
	ASSERT_TRUE(set_up_logged(st));
	std::string s = "--state " + shell_quote(st) + " ";
	EXPECT_EQ(run_shell(zvsim(s + "debugfs unmounted EPERM")).status, 0);
	EXPECT_EQ(run_shell("cat " + shell_quote(st + "/debugfs")).out,
	          "mounted 0\nerrno 1\n");
	EXPECT_EQ(run_shell(zvsim(s + "mtab regular")).status, 0);
	run_result r =
	        run_shell(zvsim("run --state " + shell_quote(st) +
	                        " -- sh -c 'test -L /etc/mtab || echo plain; "
	                        "stat -f -c %t /sys/kernel/debug'"));
	EXPECT_EQ(r.out, "plain\n62656572\n");
	EXPECT_EQ(run_shell(zvsim(s + "mtab none")).status, 0);
	EXPECT_NE(access((st + "/etc/mtab").c_str(), F_OK), 0);
	EXPECT_EQ(run_shell(zvsim(s + "log")).out,
	          "0x5a560003 0 " +
	                  std::string("2f7379732f6b65"
	                              "726e656c2f6465"
	                              "627567") +
	                  "\n");
	for (const char *args :
	     {"debugfs", "debugfs maybe", "mtab", "mtab x", "param",
	      "param frob /sys/fs/zorvel/x", "param get", "pool"}) {
		run_result u = run_shell(zvsim(s + args) + " 2>/dev/null");
		EXPECT_EQ(u.status, 1) << args;
	}
	EXPECT_EQ(run_shell(zvsim(s + "param set /etc/x y 2>/dev/null")).status,
	          1);
	EXPECT_EQ(run_shell(zvsim(s + "inject RMFID EIO")).status, 0);
	EXPECT_EQ(run_shell(zvsim(s + "inject MOUNT EPERM")).status, 0);
}
