// Namespace calls in a simulated mount beyond the plain ones: every way the
// C library makes a node is seen, and the file system's own directories
// cannot be removed, renamed or replaced.
#include "chlg_helpers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_changelog.h>

using namespace zvtest;

namespace
{
constexpr const char *MDT0 = "demo-MDT0000";
}

class NamespaceCalls : public Sim
{
      protected:
	void SetUp() override
	{
		Sim::SetUp();
		register_user(MDT0);
	}
};

TEST_F(NamespaceCalls, NodesMadeInsideTheCLibraryAreRecorded)
{
	ASSERT_EQ(mkfifo(mnt("fifo").c_str(), 0600), 0);
	int dir = open(mnt().c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_GE(dir, 0);
	ASSERT_EQ(mkfifoat(dir, "fifo2", 0600), 0);
	close(dir);
	std::string tmpl = mnt("tmpXXXXXX");
	int fd = mkstemp(tmpl.data());
	ASSERT_GE(fd, 0);
	close(fd);
	std::string dtmpl = mnt("dirXXXXXX");
	ASSERT_NE(mkdtemp(dtmpl.data()), nullptr);

	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 4u);
	EXPECT_EQ(recs[0].type, unsigned(CL_MKNOD));
	EXPECT_EQ(recs[0].name, "fifo");
	EXPECT_TRUE(same_fid(recs[0].tfid, fid(mnt("fifo"))));
	EXPECT_EQ(recs[1].type, unsigned(CL_MKNOD));
	EXPECT_EQ(recs[1].name, "fifo2");
	EXPECT_EQ(recs[2].type, unsigned(CL_CREATE));
	EXPECT_EQ(recs[2].name, tmpl.substr(tmpl.rfind('/') + 1));
	EXPECT_TRUE(same_fid(recs[2].tfid, fid(tmpl)));
	EXPECT_TRUE(same_fid(recs[2].pfid, fid(mnt())));
	EXPECT_EQ(recs[3].type, unsigned(CL_MKDIR));
	EXPECT_EQ(recs[3].name, dtmpl.substr(dtmpl.rfind('/') + 1));
}

TEST_F(NamespaceCalls, OwnDirectoriesCannotBeRemovedRenamedOrReplaced)
{
	ASSERT_EQ(mkdir(mnt("empty").c_str(), 0755), 0);
	std::string log_before = std::to_string(read_log(MDT0).size());
	struct Refused {
		const char *what;
		int rc;
	} calls[] = {
	        {"unlink", unlink(mnt(".zorvel/fid").c_str())},
	        {"rmdir fid", rmdir(mnt(".zorvel/fid/").c_str())},
	        {"rmdir .zorvel", rmdir(mnt(".zorvel").c_str())},
	        {"unlinkat",
	         unlinkat(AT_FDCWD, mnt(".zorvel/fid").c_str(), AT_REMOVEDIR)},
	        {"rename away",
	         rename(mnt(".zorvel/fid").c_str(), mnt("stolen").c_str())},
	        {"rename over",
	         rename(mnt("empty").c_str(), mnt(".zorvel/fid").c_str())},
	        {"renameat2", renameat2(AT_FDCWD, mnt(".zorvel").c_str(),
	                                AT_FDCWD, mnt("z").c_str(), 0)},
	};
	for (const Refused &c : calls)
		EXPECT_EQ(c.rc, -1) << c.what;
	// A directory of the same name elsewhere is an ordinary one.
	ASSERT_EQ(mkdir(mnt("fid").c_str(), 0755), 0);
	EXPECT_EQ(rmdir(mnt("fid").c_str()), 0);
	errno = 0;
	EXPECT_EQ(rmdir(mnt(".zorvel/fid").c_str()), -1);
	EXPECT_EQ(errno, EPERM);

	struct stat st;
	EXPECT_EQ(stat(mnt(".zorvel/fid").c_str(), &st), 0);
	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 3u) << "was " << log_before;
	EXPECT_EQ(recs[0].type, unsigned(CL_MKDIR)); // empty
	EXPECT_EQ(recs[1].type, unsigned(CL_MKDIR)); // fid elsewhere
	EXPECT_EQ(recs[2].type, unsigned(CL_RMDIR));

	// find's way of emptying a tree leaves them too.
	run_result r =
	        run_shell(std::string(ZVSIM_LAUNCHER) + " run --state " +
	                  shell_quote(state()) + " -- find " +
	                  shell_quote(mnt()) + " -mindepth 1 -delete 2>&1");
	EXPECT_NE(r.status, 0);
	EXPECT_EQ(stat(mnt(".zorvel/fid").c_str(), &st), 0);
}

TEST_F(NamespaceCalls, SetupRepairsLostOwnDirectories)
{
	// Lost behind the simulator's back (it cannot see raw system calls).
	std::string m = mnt();
	zvsim_teardown();
	ASSERT_EQ(syscall(SYS_rmdir, (m + "/.zorvel/fid").c_str()), 0);
	ASSERT_EQ(syscall(SYS_rmdir, (m + "/.zorvel").c_str()), 0);
	ASSERT_EQ(zvsim_setup(state().c_str(), "demo", 1), 0);
	write_file(mnt("f"), "x");
	zo_fid f = fid(mnt("f"));
	int fd = open(mnt(".zorvel/fid/" + fid_text(f)).c_str(), O_RDONLY);
	EXPECT_GE(fd, 0) << strerror(errno);
	if (fd >= 0)
		close(fd);
}
