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
		return "TMPDIR=" + quote(tmp_.path()) + " ";
	}
	int entries()
	{
		Output r = run("ls -A " + quote(tmp_.path()) + " | wc -l");
		return std::stoi(r.out);
	}
	TempDir tmp_;
};

TEST_F(Launcher, ExitStatusIsTheCommands)
{
	EXPECT_EQ(run(env() + zvsim("run -- /bin/true")).status, 0);
	EXPECT_EQ(run(env() + zvsim("run -- sh -c 'exit 3'")).status, 3);
	EXPECT_EQ(run(env() + zvsim("run -- sh -c 'kill -TERM $$'")).status,
	          128 + 15);
	EXPECT_EQ(run(env() + zvsim("run -- /nonexistent/cmd 2>/dev/null"))
	                  .status,
	          127);
	EXPECT_EQ(entries(), 0) << "temporary state directories removed";
}

TEST_F(Launcher, CommandSeesTheMount)
{
	Output r = run(env() +
	               zvsim("run --fsname fsx -- " ZVSIM_PROBE " mounts"));
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out.rfind("192.168.0.10@tcp:/fsx ", 0), 0u) << r.out;
	EXPECT_NE(
	        r.out.find("/mnt/fsx zorvel rw,flock,user_xattr,lazystatfs\n"),
	        std::string::npos)
	        << r.out;
	r = run(env() +
	        zvsim("run -- sh -c 'test -d \"$ZVSIM_MOUNT/.zorvel/fid\" "
	              "&& test -f \"$ZVSIM_STATE/config\"'"));
	EXPECT_EQ(r.status, 0);
}

TEST_F(Launcher, KeepLeavesTheStateDirectory)
{
	Output r =
	        run(env() + zvsim("run --keep -- sh -c 'echo $ZVSIM_STATE'") +
	            " 2>/dev/null");
	ASSERT_EQ(r.status, 0);
	std::string state = r.out.substr(0, r.out.size() - 1);
	EXPECT_EQ(state.rfind(tmp_.path(), 0), 0u);
	EXPECT_TRUE(is_dir(state + "/mnt/demo"));
}

TEST_F(Launcher, GivenStateIsReusedAndNeverRemoved)
{
	std::string st = tmp_.path() + "/st";
	Output r = run(zvsim("setup --state " + quote(st) + " --mdts 2"));
	ASSERT_EQ(r.status, 0);
	EXPECT_EQ(r.out, st + "/mnt/demo\n");
	ASSERT_EQ(run(zvsim("run --state " + quote(st) +
	                    " -- sh -c 'touch \"$ZVSIM_MOUNT/kept\"'"))
	                  .status,
	          0);
	EXPECT_TRUE(is_dir(st + "/mnt/demo"));
	EXPECT_EQ(access((st + "/mnt/demo/kept").c_str(), F_OK), 0);
}

TEST_F(Launcher, ScriptingInjectionAndLog)
{
	std::string st = tmp_.path() + "/st";
	ASSERT_EQ(run(zvsim("setup --state " + quote(st))).status, 0);
	std::string s = "--state " + quote(st) + " ";
	EXPECT_EQ(run(zvsim(s + "inject FID2PATH ENOENT --always")).status, 0);
	EXPECT_EQ(run(zvsim(s + "reply ZV_IOC_FID2MDTIDX 00ff 3")).status, 0);
	Output r = run("cat " + quote(st + "/inject"));
	EXPECT_EQ(r.out, "E c0086696 2 always\nR c01066f8 3 00ff\n");
	EXPECT_EQ(run(zvsim(s + "clear-injections")).status, 0);
	EXPECT_NE(access((st + "/inject").c_str(), F_OK), 0);

	ASSERT_EQ(
	        run(zvsim("run --state " + quote(st) +
	                  " -- " ZVSIM_PROBE " fid " + quote(st + "/mnt/demo")))
	                .status,
	        0);
	r = run(zvsim(s + "log"));
	EXPECT_EQ(r.status, 0);
	std::string hex;
	for (unsigned char c : st + "/mnt/demo") {
		char b[3];
		snprintf(b, sizeof b, "%02x", c);
		hex += b;
	}
	EXPECT_EQ(r.out, "0x5a560001 0 " + hex + "\n");
	EXPECT_EQ(run(zvsim(s + "log-clear")).status, 0);
	EXPECT_EQ(run(zvsim(s + "log")).out, "");
}

TEST_F(Launcher, UsageErrorsExitOne)
{
	for (const char *args :
	     {"", "bogus", "run", "run --mdts x -- true", "inject",
	      "inject NOPE EIO", "inject FID2PATH NOTANERRNO",
	      "reply FID2PATH zz"}) {
		Output r = run(env() + zvsim(args) + " 2>/dev/null");
		EXPECT_EQ(r.status, 1) << args;
	}
	EXPECT_EQ(entries(), 0);
}
