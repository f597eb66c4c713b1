// Parameter trees: glob, opens, writes, stat and steering; the debug file
// system and the mount-table file.
#include "helpers.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <mntent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

using namespace zvtest;

namespace
{

constexpr const char *TREES =
        "{/sys/{fs,kernel/debug}/{varn,zorvel},/proc/{fs,sys}/{varn,zorvel}}";
constexpr long DEBUGFS = 0x64626720, SYSFS = 0x62656572;

std::vector<std::string> glob_all(const std::string &name, int *rc = nullptr)
{
	glob_t g;
	std::string pattern = std::string(TREES) + "/" + name;
	int r = glob(pattern.c_str(), GLOB_BRACE, nullptr, &g);
	if (rc)
		*rc = r;
	std::vector<std::string> out;
	if (r == 0) {
		for (size_t i = 0; i < g.gl_pathc; ++i)
			out.emplace_back(g.gl_pathv[i]);
		globfree(&g);
	}
	return out;
}

// Whole content through open + read; "" with *err on failure.
std::string read_param(const std::string &path, int *err = nullptr)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (err)
		*err = fd < 0 ? errno : 0;
	std::string out;
	if (fd < 0)
		return out;
	char buf[512];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		out.append(buf, static_cast<size_t>(n));
	close(fd);
	return out;
}

std::string first_line(const std::string &path)
{
	FILE *fp = fopen(path.c_str(), "re");
	if (!fp)
		return "error " + std::to_string(errno);
	char line[256] = "";
	if (!fgets(line, sizeof line, fp))
		line[0] = '\0';
	fclose(fp);
	return line;
}

int open_errno(const std::string &path, int flags)
{
	int fd = open(path.c_str(), flags, 0644);
	if (fd >= 0) {
		close(fd);
		return 0;
	}
	return errno;
}

} // namespace

class Params : public Sim
{
      protected:
	void set(const std::string &path, const std::string &text)
	{
		ASSERT_EQ(
		        zvsim_param_set(path.c_str(), text.data(), text.size()),
		        0)
		        << path;
	}
	std::string inst() const
	{
		return zvsim_instance();
	}
	std::string lov() const
	{
		return "/proc/fs/zorvel/lov/demo-clilov-" + inst();
	}
	// Codes of the logged requests, in order.
	std::vector<unsigned long> codes()
	{
		zvsim_request *reqs;
		size_t n;
		EXPECT_GE(zvsim_log_read(&reqs, &n), 0);
		std::vector<unsigned long> out;
		for (size_t i = 0; i < n; ++i)
			out.push_back(reqs[i].code);
		zvsim_log_free(reqs, n);
		return out;
	}
	std::string last_bytes()
	{
		zvsim_request *reqs;
		size_t n;
		EXPECT_GE(zvsim_log_read(&reqs, &n), 0);
		std::string out;
		if (n)
			out.assign(reinterpret_cast<char *>(reqs[n - 1].bytes),
			           reqs[n - 1].nbytes);
		zvsim_log_free(reqs, n);
		return out;
	}
};

TEST_F(Params, DefaultTreesHoldVersionTargetsPoolsAndNodemap)
{
	EXPECT_EQ(read_param("/proc/fs/zorvel/version"), "zorvel: 2.16.0\n");
	EXPECT_EQ(read_param(lov() + "/target_obd"),
	          "0: demo-OST0000_UUID ACTIVE\n1: demo-OST0001_UUID ACTIVE\n");
	EXPECT_EQ(read_param("/sys/fs/zorvel/lmv/demo-clilmv-" + inst() +
	                     "/target_obd"),
	          "0: demo-MDT0000_UUID ACTIVE\n");
	EXPECT_EQ(read_param("/sys/fs/zorvel/zvlite/demo-" + inst() + "/pcc"),
	          "");
	EXPECT_EQ(read_param("/proc/fs/zorvel/nodemap/default/squash_uid"),
	          "65534\n");
	struct stat st;
	ASSERT_EQ(stat((lov() + "/pools").c_str(), &st), 0);
	EXPECT_TRUE(S_ISDIR(st.st_mode));
	EXPECT_EQ(glob_all("lov/demo-*/pools/*").size(), 0u);
	for (const char *root :
	     {"/sys/fs/varn", "/sys/fs/zorvel", "/sys/kernel/debug/varn",
	      "/sys/kernel/debug/zorvel", "/proc/fs/varn", "/proc/fs/zorvel",
	      "/proc/sys/varn", "/proc/sys/zorvel"}) {
		ASSERT_EQ(stat(root, &st), 0) << root;
		EXPECT_TRUE(S_ISDIR(st.st_mode)) << root;
	}
	// Wherever a tree's name lies in the text of a path.
	std::string dots;
	for (int k = 0; k < 20; ++k, dots += "./")
		for (const char *root : {"sys/fs/zorvel", "proc/fs/varn"}) {
			std::string path = "/" + dots + root;
			EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
		}
}

TEST_F(Params, TargetListsFollowTheCounts)
{
	resetup(3, 17);
	std::string obd = read_param(lov() + "/target_obd");
	EXPECT_NE(obd.find("16: demo-OST0010_UUID ACTIVE\n"),
	          std::string::npos);
	EXPECT_EQ(std::count(obd.begin(), obd.end(), '\n'), 17);
	EXPECT_EQ(read_param("/sys/fs/zorvel/lmv/demo-clilmv-" + inst() +
	                     "/target_obd"),
	          "0: demo-MDT0000_UUID ACTIVE\n1: demo-MDT0001_UUID ACTIVE\n"
	          "2: demo-MDT0002_UUID ACTIVE\n");
}

TEST_F(Params, GlobListsTreesInOrderAndKeepsKernelPaths)
{
	set("/proc/sys/zorvel/both/p", "8");
	set("/proc/fs/zorvel/both/p", "6");
	set("/sys/kernel/debug/varn/both/p", "3");
	set("/sys/fs/zorvel/both/p", "2");
	EXPECT_EQ(glob_all("both/p"),
	          (std::vector<std::string>{"/sys/fs/zorvel/both/p",
	                                    "/sys/kernel/debug/varn/both/p",
	                                    "/proc/fs/zorvel/both/p",
	                                    "/proc/sys/zorvel/both/p"}));
	EXPECT_EQ(glob_all("lov/demo-*/target_obd"),
	          std::vector<std::string>{lov() + "/target_obd"});
	EXPECT_EQ(glob_all("version"),
	          std::vector<std::string>{"/proc/fs/zorvel/version"});
}

TEST_F(Params, GlobSortsWithinATreeAndExpandsInnerBraces)
{
	for (const char *n : {"c", "a", "b", "ab"})
		set(std::string("/sys/fs/zorvel/many/") + n, "");
	set("/proc/fs/zorvel/many/0", "");
	EXPECT_EQ(glob_all("many/*"),
	          (std::vector<std::string>{
	                  "/sys/fs/zorvel/many/a", "/sys/fs/zorvel/many/ab",
	                  "/sys/fs/zorvel/many/b", "/sys/fs/zorvel/many/c",
	                  "/proc/fs/zorvel/many/0"}));
	EXPECT_EQ(glob_all("many/{c,a}"),
	          (std::vector<std::string>{"/sys/fs/zorvel/many/c",
	                                    "/sys/fs/zorvel/many/a"}));
}

TEST_F(Params, GlobWithoutMatchAndTheCallersGlobTIsLeftIntact)
{
	glob_t g;
	memset(&g, 0, sizeof g);
	auto mark = reinterpret_cast<void *(*)(const char *)>(0x1234);
	g.gl_opendir = mark;
	std::string pattern = std::string(TREES) + "/no/such";
	EXPECT_EQ(glob(pattern.c_str(), GLOB_BRACE, nullptr, &g), GLOB_NOMATCH);
	EXPECT_EQ(g.gl_opendir, mark);
	EXPECT_EQ(g.gl_pathc, 0u);

	memset(&g, 0, sizeof g);
	pattern = std::string(TREES) + "/version";
	ASSERT_EQ(glob(pattern.c_str(), GLOB_BRACE, nullptr, &g), 0);
	EXPECT_EQ(g.gl_opendir, nullptr);
	EXPECT_EQ(g.gl_flags & GLOB_ALTDIRFUNC, 0);
	globfree(&g);
}

TEST_F(Params, GlobOutsideTheTreesIsLibcs)
{
	// A directory named "sys" takes the simulated route but must still
	// answer from the real file system.
	std::string dir = tmp_.path() + "/sys";
	ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
	write_file(dir + "/b");
	write_file(dir + "/a");
	glob_t g;
	ASSERT_EQ(glob((dir + "/{b,*}").c_str(), GLOB_BRACE | GLOB_MARK,
	               nullptr, &g),
	          0);
	std::vector<std::string> got(g.gl_pathv, g.gl_pathv + g.gl_pathc);
	globfree(&g);
	EXPECT_EQ(got, (std::vector<std::string>{dir + "/b", dir + "/a",
	                                         dir + "/b"}));
	EXPECT_EQ(glob64((dir + "/?").c_str(), 0, nullptr, nullptr), -1)
	        << "a null glob_t still reaches libc untouched";
}

TEST_F(Params, Glob64MatchesLikeGlob)
{
	glob64_t g;
	std::string pattern = std::string(TREES) + "/lov/*/target_obd";
	ASSERT_EQ(glob64(pattern.c_str(), GLOB_BRACE, nullptr, &g), 0);
	ASSERT_EQ(g.gl_pathc, 1u);
	EXPECT_EQ(std::string(g.gl_pathv[0]), lov() + "/target_obd");
	globfree64(&g);
}

TEST_F(Params, FopenReadsTheFirstLine)
{
	set("/sys/fs/zorvel/dev/x/p", "first\nsecond\n");
	EXPECT_EQ(first_line("/sys/fs/zorvel/dev/x/p"), "first\n");
	EXPECT_EQ(first_line("/sys/fs//zorvel/./dev/y/../x/p"), "first\n");
	// Paths that reach the tree only once normalized, with every
	// component before it an ordinary name.
	for (const char *p :
	     {"/tmp/../sys/fs/zorvel/dev/x/p", "//sys/fs/zorvel/dev/x/p",
	      "/./sys/fs/zorvel/dev/x/p", "/tmp/a/../../sys/fs/zorvel/dev/x/p",
	      "/tmp/a//../../sys/fs/zorvel/dev/x/p"})
		EXPECT_EQ(first_line(p), "first\n") << p;
	EXPECT_EQ(first_line("/sys/fs/zorvel/dev/x/none"),
	          "error " + std::to_string(ENOENT));
	FILE *fp = fopen64("/proc/fs/zorvel/version", "r");
	ASSERT_NE(fp, nullptr);
	fclose(fp);
}

TEST_F(Params, WritesReplaceTheValueAndCreateNothing)
{
	set("/sys/fs/zorvel/zvlite/demo-1/pcc", "a much longer old value\n");
	std::string p = "/sys/fs/zorvel/zvlite/demo-1/pcc";
	int fd = open(p.c_str(), O_WRONLY);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(write(fd, "add 1", 5), 5);
	close(fd);
	EXPECT_EQ(read_param(p), "add 1");

	FILE *fp = fopen(p.c_str(), "w");
	ASSERT_NE(fp, nullptr);
	fputs("del 1", fp);
	fclose(fp);
	char got[32] = "";
	EXPECT_EQ(zvsim_param_get(p.c_str(), got, sizeof got), 5);
	EXPECT_STREQ(got, "del 1");

	EXPECT_EQ(open_errno("/sys/fs/zorvel/zvlite/demo-1/new",
	                     O_WRONLY | O_CREAT),
	          EACCES);
	EXPECT_EQ(open_errno(p, O_WRONLY | O_CREAT | O_EXCL), EEXIST);
	EXPECT_EQ(open_errno(p, O_RDWR | O_CREAT), 0);
	EXPECT_EQ(open_errno("/sys/fs/zorvel/nodir/new", O_WRONLY | O_CREAT),
	          ENOENT);
	errno = 0;
	EXPECT_EQ(fopen("/proc/fs/zorvel/fresh", "w"), nullptr);
	EXPECT_EQ(errno, EACCES);
	EXPECT_EQ(access("/proc/fs/zorvel/fresh", F_OK), -1);
}

TEST_F(Params, StatAccessAndOpendirSeeTheSimulatedTree)
{
	set("/proc/sys/varn/d/one", "1");
	set("/proc/sys/varn/d/two", "2");
	struct stat st;
	ASSERT_EQ(lstat("/proc/sys/varn/d", &st), 0);
	EXPECT_TRUE(S_ISDIR(st.st_mode));
	ASSERT_EQ(stat("/proc/sys/varn/d/one", &st), 0);
	EXPECT_EQ(st.st_size, 1);
	EXPECT_EQ(fstatat(AT_FDCWD, "/proc/sys/varn/d/two", &st, 0), 0);
	EXPECT_EQ(access("/proc/sys/varn/d/one", R_OK | W_OK), 0);
	EXPECT_EQ(faccessat(AT_FDCWD, "/proc/sys/varn/d/one", F_OK, 0), 0);
	EXPECT_EQ(stat("/proc/sys/varn/d/one/", &st), -1);
	EXPECT_EQ(errno, ENOTDIR);
	EXPECT_EQ(open_errno("/proc/sys/varn/d/one/", O_RDONLY), ENOTDIR);

	DIR *d = opendir("/proc/sys/varn/d");
	ASSERT_NE(d, nullptr);
	std::vector<std::string> names;
	while (struct dirent *de = readdir(d))
		if (de->d_name[0] != '.')
			names.emplace_back(de->d_name);
	closedir(d);
	std::sort(names.begin(), names.end());
	EXPECT_EQ(names, (std::vector<std::string>{"one", "two"}));
	errno = 0;
	EXPECT_EQ(opendir("/proc/sys/varn/none"), nullptr);
	EXPECT_EQ(errno, ENOENT);
}

TEST_F(Params, TheHostTreesAreNeverConsulted)
{
	// Every root answers from the state directory...
	struct stat st, mine;
	std::string own = state() + "/params/sys/fs/zorvel";
	ASSERT_EQ(stat(own.c_str(), &mine), 0);
	ASSERT_EQ(stat("/sys/fs/zorvel", &st), 0);
	EXPECT_EQ(st.st_ino, mine.st_ino);
	EXPECT_EQ(st.st_dev, mine.st_dev);
	// ...and one removed from the simulation is gone, whatever the host
	// has there.
	ASSERT_EQ(zvsim_param_remove("/proc/fs/zorvel"), 0);
	EXPECT_EQ(stat("/proc/fs/zorvel", &st), -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(open_errno("/proc/fs/zorvel/version", O_RDONLY), ENOENT);
	EXPECT_EQ(glob_all("version").size(), 0u);
	// A path that only passes near the trees is the host's.
	EXPECT_EQ(stat("/proc/sys/../self", &st), 0);
}

TEST_F(Params, SteeringChecksItsPaths)
{
	EXPECT_EQ(zvsim_param_set("/tmp/x", "1", 1), -EINVAL);
	EXPECT_EQ(zvsim_param_set("/sys/fs/zorvelx/p", "1", 1), -EINVAL);
	EXPECT_EQ(zvsim_param_set("sys/fs/zorvel/p", "1", 1), -EINVAL);
	EXPECT_EQ(zvsim_param_set("/sys/fs/zorvel", "1", 1), -EISDIR);
	EXPECT_EQ(zvsim_param_set("/proc/fs/zorvel/lov", "1", 1), -EISDIR);
	EXPECT_EQ(zvsim_param_set("/sys/fs/zorvel/../../../etc/passwd", "x", 1),
	          -EINVAL);
	EXPECT_EQ(zvsim_param_mkdir("/proc/sys/zorvel/a/b"), 0);
	EXPECT_EQ(zvsim_param_mkdir("/proc/sys/zorvel/a/b"), 0);
	EXPECT_EQ(zvsim_param_remove("/proc/sys/zorvel/a"), 0);
	EXPECT_EQ(zvsim_param_remove("/proc/sys/zorvel/a"), -ENOENT);
	EXPECT_EQ(zvsim_param_get("/proc/fs/zorvel/version", nullptr, 0), 15);
	EXPECT_EQ(zvsim_param_get("/proc/fs/zorvel", nullptr, 0), -EISDIR);
	const char *bad[] = {"x\ny"};
	EXPECT_EQ(zvsim_pool_set("p", bad, 1), -EINVAL);
	EXPECT_EQ(zvsim_pool_set("a/b", nullptr, 0), -EINVAL);
	EXPECT_EQ(zvsim_pool_set("sixteen_chars_xx", nullptr, 0), -EINVAL);
}

TEST_F(Params, PoolsListTheirMembersOneALine)
{
	const char *members[] = {"demo-OST0001_UUID", "demo-OST0000_UUID"};
	ASSERT_EQ(zvsim_pool_set("flash", members, 2), 0);
	ASSERT_EQ(zvsim_pool_set("empty", nullptr, 0), 0);
	EXPECT_EQ(read_param(lov() + "/pools/flash"),
	          "demo-OST0001_UUID\ndemo-OST0000_UUID\n");
	EXPECT_EQ(read_param(lov() + "/pools/empty"), "");
	EXPECT_EQ(glob_all("lov/demo-*/pools/*"),
	          (std::vector<std::string>{lov() + "/pools/empty",
	                                    lov() + "/pools/flash"}));
}

TEST_F(Params, NothingIsSimulatedWithoutAState)
{
	zvsim_teardown();
	struct stat st;
	// The host has no such tree, and nothing stands in for it now.
	EXPECT_EQ(stat("/proc/fs/zorvel/version", &st), -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(glob_all("version").size(), 0u);
	ASSERT_EQ(zvsim_attach(state().c_str()), 0);
}

// --- debug file system ---------------------------------------------------

TEST_F(Params, DebugfsMountedByDefaultAndLogged)
{
	ASSERT_EQ(zvsim_log_clear(), 0);
	struct statfs sf;
	ASSERT_EQ(statfs("/sys/kernel/debug/", &sf), 0);
	EXPECT_EQ(sf.f_type, DEBUGFS);
	EXPECT_EQ(codes(), std::vector<unsigned long>{ZVSIM_REQ_STATFS});
	EXPECT_EQ(last_bytes(), "/sys/kernel/debug/");
	struct statfs64 sf64;
	ASSERT_EQ(statfs64("/sys/kernel/debug", &sf64), 0);
	EXPECT_EQ(sf64.f_type, DEBUGFS);

	EXPECT_EQ(mount("none", "/sys/kernel/debug", "debugfs", 0, ""), -1);
	EXPECT_EQ(errno, EBUSY);
	EXPECT_EQ(last_bytes(), "none /sys/kernel/debug debugfs");
	EXPECT_EQ(codes().back(), ZVSIM_REQ_MOUNT);
}

TEST_F(Params, UnmountedDebugfsHidesItsTreesUntilMounted)
{
	set("/sys/kernel/debug/zorvel/x", "dbg\n");
	ASSERT_EQ(zvsim_debugfs(0, EPERM), 0);
	struct statfs sf;
	ASSERT_EQ(statfs("/sys/kernel/debug/", &sf), 0);
	EXPECT_EQ(sf.f_type, SYSFS);
	EXPECT_EQ(open_errno("/sys/kernel/debug/zorvel/x", O_RDONLY), ENOENT);
	EXPECT_EQ(glob_all("x").size(), 0u);
	EXPECT_EQ(mount("none", "/sys/kernel/debug", "debugfs", 0, ""), -1);
	EXPECT_EQ(errno, EPERM);

	ASSERT_EQ(zvsim_debugfs(0, 0), 0);
	EXPECT_EQ(mount("none", "/sys/kernel/debug", "debugfs", 0, ""), 0);
	ASSERT_EQ(statfs("/sys/kernel/debug", &sf), 0);
	EXPECT_EQ(sf.f_type, DEBUGFS);
	EXPECT_EQ(read_param("/sys/kernel/debug/zorvel/x"), "dbg\n");
	EXPECT_EQ(glob_all("x"),
	          std::vector<std::string>{"/sys/kernel/debug/zorvel/x"});
}

TEST_F(Params, DebugfsCallsTakeInjections)
{
	ASSERT_EQ(zvsim_inject_errno(ZVSIM_REQ_STATFS, EIO, 0), 0);
	struct statfs sf;
	EXPECT_EQ(statfs("/sys/kernel/debug", &sf), -1);
	EXPECT_EQ(errno, EIO);
	EXPECT_EQ(statfs("/sys/kernel/debug", &sf), 0);
	ASSERT_EQ(zvsim_debugfs(0, 0), 0);
	ASSERT_EQ(zvsim_inject_errno(ZVSIM_REQ_MOUNT, ENODEV, 0), 0);
	EXPECT_EQ(mount("none", "/sys/kernel/debug", "debugfs", 0, ""), -1);
	EXPECT_EQ(errno, ENODEV);
	ASSERT_EQ(statfs("/sys/kernel/debug", &sf), 0);
	EXPECT_EQ(sf.f_type, SYSFS) << "an injected failure mounts nothing";
}

TEST_F(Params, OtherMountsAndStatfsGoToLibc)
{
	ASSERT_EQ(zvsim_log_clear(), 0);
	struct statfs sf;
	EXPECT_EQ(statfs(tmp_.path().c_str(), &sf), 0);
	EXPECT_NE(sf.f_type, DEBUGFS);
	// An unknown type is refused by the kernel (or the call by missing
	// privilege): nothing is mounted either way.
	std::string dir = tmp_.path() + "/m";
	ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
	errno = 0;
	EXPECT_EQ(mount("none", dir.c_str(), "zvsim-no-such-type", 0, ""), -1);
	EXPECT_TRUE(errno == ENODEV || errno == EPERM) << errno;
	EXPECT_TRUE(codes().empty());
}

// --- mount-table file ----------------------------------------------------

TEST_F(Params, MtabIsASymlinkByDefault)
{
	struct stat st, own, target;
	ASSERT_EQ(lstat("/etc/mtab", &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	ASSERT_EQ(lstat(zvsim_mtab_path(), &own), 0);
	EXPECT_EQ(own.st_ino, st.st_ino);
	ASSERT_EQ(stat("/etc/mtab", &target), 0);
	EXPECT_TRUE(S_ISREG(target.st_mode));
}

TEST_F(Params, MtabKindsAndAnAppendedEntry)
{
	struct stat st;
	ASSERT_EQ(zvsim_mtab(ZVSIM_MTAB_NONE), 0);
	EXPECT_EQ(lstat("/etc/mtab", &st), -1);
	EXPECT_EQ(errno, ENOENT);
	errno = 0;
	EXPECT_EQ(setmntent("/etc/mtab", "r+"), nullptr);
	EXPECT_EQ(errno, ENOENT);

	ASSERT_EQ(zvsim_mtab(ZVSIM_MTAB_REGULAR), 0);
	ASSERT_EQ(lstat("/etc/mtab", &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	std::string before = read_param(zvsim_mtab_path());
	EXPECT_NE(before.find(" zorvel "), std::string::npos);
	FILE *fp = setmntent("/etc/mtab", "r+");
	ASSERT_NE(fp, nullptr);
	struct mntent ent = {};
	ent.mnt_fsname = const_cast<char *>("debugfs");
	ent.mnt_dir = const_cast<char *>("/sys/kernel/debug");
	ent.mnt_type = const_cast<char *>("debugfs");
	ent.mnt_opts = const_cast<char *>("rw,relatime");
	EXPECT_EQ(addmntent(fp, &ent), 0);
	endmntent(fp);
	EXPECT_EQ(
	        read_param(zvsim_mtab_path()),
	        before + "debugfs /sys/kernel/debug debugfs rw,relatime 0 0\n");

	ASSERT_EQ(zvsim_mtab(ZVSIM_MTAB_SYMLINK), 0);
	ASSERT_EQ(lstat("/etc/mtab", &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	EXPECT_EQ(zvsim_mtab(7), -EINVAL);
}

TEST_F(Params, ReadingTheMountTableStillListsTheMount)
{
	ASSERT_EQ(zvsim_mtab(ZVSIM_MTAB_NONE), 0);
	FILE *fp = setmntent("/etc/mtab", "r");
	ASSERT_NE(fp, nullptr);
	bool found = false;
	while (struct mntent *m = getmntent(fp))
		found = found || std::string(m->mnt_type) == "zorvel";
	endmntent(fp);
	EXPECT_TRUE(found);
}

TEST_F(Params, AChildProcessSeesWhatSteeringSet)
{
	set("/sys/fs/zorvel/zvlite/demo-" + inst() + "/pcc", "cache 1\n");
	run_result r = run_shell(
	        std::string(ZVSIM_LAUNCHER) + " run --state " +
	        shell_quote(state()) + " -- " ZVSIM_PROBE " param " +
	        shell_quote("/sys/fs/zorvel/zvlite/demo-" + inst() + "/pcc"));
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "cache 1\n");
	set("/proc/fs/zorvel/both", "");
	set("/sys/fs/varn/both", "");
	r = run_shell(std::string(ZVSIM_LAUNCHER) + " run --state " +
	              shell_quote(state()) + " -- " ZVSIM_PROBE " glob '" +
	              TREES + "/both'");
	EXPECT_EQ(r.out, "/sys/fs/varn/both\n/proc/fs/zorvel/both\n");
}
