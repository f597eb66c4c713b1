// Object identity: FIDs from name_to_handle_at, and opening objects by FID.
#include "helpers.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zvtest;

class Fid : public Sim
{
};

TEST_F(Fid, RootHasTheRootFid)
{
	zo_fid f = fid(mnt());
	EXPECT_EQ(fid_text(f), "[0x200000007:0x1:0x0]");
}

TEST_F(Fid, NormalFidsFollowTheInodeNumber)
{
	write_file(mnt("a"));
	struct stat st;
	ASSERT_EQ(stat(mnt("a").c_str(), &st), 0);
	zo_fid f = fid(mnt("a"));
	EXPECT_EQ(f.f_seq, FID_SEQ_NORMAL + (st.st_ino >> 32));
	EXPECT_EQ(f.f_oid, static_cast<__u32>(st.st_ino));
	EXPECT_EQ(f.f_ver, 0u);
}

TEST_F(Fid, StableAcrossRenameAndSharedByHardLinks)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(mnt("d/f"));
	zo_fid before = fid(mnt("d/f"));
	ASSERT_EQ(rename(mnt("d/f").c_str(), mnt("g").c_str()), 0);
	EXPECT_TRUE(same_fid(fid(mnt("g")), before));
	ASSERT_EQ(link(mnt("g").c_str(), mnt("d/h").c_str()), 0);
	EXPECT_TRUE(same_fid(fid(mnt("d/h")), before));
	write_file(mnt("other"));
	EXPECT_FALSE(same_fid(fid(mnt("other")), before));
}

TEST_F(Fid, SymlinkHasItsOwnFidUnlessFollowed)
{
	write_file(mnt("target"));
	ASSERT_EQ(symlink("target", mnt("ln").c_str()), 0);
	zo_fid target = fid(mnt("target"));
	EXPECT_FALSE(same_fid(fid(mnt("ln")), target));
	EXPECT_TRUE(same_fid(fid(mnt("ln"), true), target));
}

TEST_F(Fid, HandleCarriesTheParentFid)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(mnt("d/f"));
	file_handle_room h;
	ASSERT_EQ(h.take(AT_FDCWD, mnt("d/f").c_str()), 0);
	EXPECT_TRUE(
	        same_fid(h.as<zorvel_file_handle>().zfh_parent, fid(mnt("d"))));
	EXPECT_GE(h.mount_id, 0);
}

TEST_F(Fid, EmptyPathNamesTheDescriptorItself)
{
	write_file(mnt("f"));
	int fd = open(mnt("f").c_str(), O_RDONLY);
	file_handle_room h;
	ASSERT_EQ(h.take(fd, "", AT_EMPTY_PATH), 0);
	close(fd);
	EXPECT_TRUE(same_fid(h.as<zo_fid>(), fid(mnt("f"))));
}

TEST_F(Fid, SmallHandleIsOverflowWithTheSizeNeeded)
{
	write_file(mnt("f"));
	file_handle_room h(31);
	EXPECT_EQ(h.take(AT_FDCWD, mnt("f").c_str()), -1);
	EXPECT_EQ(errno, EOVERFLOW);
	EXPECT_EQ(h.fh.handle_bytes, 32u);
}

TEST_F(Fid, FilesOutsideTheMountKeepTheirRealHandles)
{
	std::string outside = tmp_.path() + "/plain";
	write_file(outside);
	file_handle_room h;
	ASSERT_EQ(h.take(AT_FDCWD, outside.c_str()), 0);
	EXPECT_NE(h.fh.handle_type, FILEID_ZORVEL);
	// And nothing of it reached the simulated kernel.
	zvsim_request *reqs;
	size_t n;
	ASSERT_EQ(zvsim_log_read(&reqs, &n), 0);
	zvsim_log_free(reqs, n);
}

TEST_F(Fid, ChildProcessSeesTheSameFids)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(mnt("d/f"));
	std::string want = fid_text(fid(mnt("d/f")));
	run_result r = run_shell(std::string(ZVSIM_LAUNCHER) + " run --state " +
	                         shell_quote(state()) + " -- " + ZVSIM_PROBE +
	                         " fid " + shell_quote(mnt("d/f")));
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, want + "\n");
}

class OpenByFid : public Sim
{
      protected:
	std::string by_fid(const zo_fid &f)
	{
		return mnt(".zorvel/fid/" + fid_text(f));
	}
};

TEST_F(OpenByFid, OpensTheObjectWithTheCallersFlags)
{
	write_file(mnt("f"), "hello");
	std::string p = by_fid(fid(mnt("f")));
	char buf[16] = {};
	int fd = open(p.c_str(), O_RDONLY);
	ASSERT_GE(fd, 0) << strerror(errno);
	EXPECT_EQ(read(fd, buf, sizeof buf), 5);
	EXPECT_STREQ(buf, "hello");
	EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
	close(fd);

	fd = openat(AT_FDCWD, p.c_str(), O_WRONLY | O_APPEND);
	ASSERT_GE(fd, 0) << strerror(errno);
	EXPECT_EQ(write(fd, "!", 1), 1);
	close(fd);
	struct stat st;
	ASSERT_EQ(stat(mnt("f").c_str(), &st), 0);
	EXPECT_EQ(st.st_size, 6);
}

TEST_F(OpenByFid, RelativeToAMountDescriptor)
{
	write_file(mnt("f"));
	int root = open(mnt().c_str(), O_RDONLY | O_DIRECTORY);
	int fd =
	        openat(root, (".zorvel/fid/" + fid_text(fid(mnt("f")))).c_str(),
	               O_RDONLY);
	EXPECT_GE(fd, 0) << strerror(errno);
	close(fd);
	close(root);
}

TEST_F(OpenByFid, DirectoriesAndTheRoot)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	int fd = open(by_fid(fid(mnt("d"))).c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_GE(fd, 0) << strerror(errno);
	struct stat a, b;
	fstat(fd, &a);
	stat(mnt("d").c_str(), &b);
	EXPECT_EQ(a.st_ino, b.st_ino);
	close(fd);

	fd = open(mnt(".zorvel/fid/[0x200000007:0x1:0x0]").c_str(),
	          O_RDONLY | O_DIRECTORY);
	ASSERT_GE(fd, 0) << strerror(errno);
	fstat(fd, &a);
	stat(mnt().c_str(), &b);
	EXPECT_EQ(a.st_ino, b.st_ino);
	close(fd);
}

TEST_F(OpenByFid, SymlinkIsNotFollowed)
{
	write_file(mnt("t"));
	ASSERT_EQ(symlink("t", mnt("ln").c_str()), 0);
	std::string p = by_fid(fid(mnt("ln")));
	EXPECT_EQ(open(p.c_str(), O_RDONLY), -1);
	EXPECT_EQ(errno, ELOOP);
	int fd = open(p.c_str(), O_PATH | O_NOFOLLOW);
	ASSERT_GE(fd, 0);
	struct stat st;
	fstat(fd, &st);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	close(fd);
}

TEST_F(OpenByFid, UnknownAndMalformedFids)
{
	EXPECT_EQ(open(mnt(".zorvel/fid/[0x200000400:0x7fffffff:0x0]").c_str(),
	               O_RDONLY),
	          -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(open(mnt(".zorvel/fid/[0x1:0x2:0x0]").c_str(), O_RDONLY), -1);
	EXPECT_EQ(errno, ENOENT);
	for (const char *bad :
	     {"[0x200000400:0x2]", "garbage", "[1:2:3", "[1:2:3]x", "[:1:2]"}) {
		EXPECT_EQ(open(mnt(std::string(".zorvel/fid/") + bad).c_str(),
		               O_RDONLY),
		          -1)
		        << bad;
		EXPECT_EQ(errno, EINVAL) << bad;
	}
}

TEST_F(OpenByFid, FidDirectoryItselfIsAnOrdinaryDirectory)
{
	int fd = open(mnt(".zorvel/fid").c_str(), O_RDONLY | O_DIRECTORY);
	EXPECT_GE(fd, 0);
	close(fd);
	// A look-alike path outside the mount is left to libc.
	EXPECT_EQ(open((tmp_.path() + "/.zorvel/fid/[0x1:0x2:0x0]").c_str(),
	               O_RDONLY),
	          -1);
	EXPECT_EQ(errno, ENOENT);
}

TEST_F(OpenByFid, DelayCreateBitNeverReachesTheBackingFile)
{
	int fd = open(mnt("lazy").c_str(),
	              O_WRONLY | O_CREAT | ZV_O_DELAY_CREATE, 0644);
	ASSERT_GE(fd, 0) << strerror(errno);
	EXPECT_EQ(fcntl(fd, F_GETFL) & 0x1000000, 0);
	close(fd);
}
