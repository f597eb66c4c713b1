// FID requests: FID to path, parent, target index, striping-device name.
#include "helpers.h"

#include <cerrno>
#include <fcntl.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zvtest;

class Fid2Path : public Sim
{
      protected:
	void SetUp() override
	{
		Sim::SetUp();
		ASSERT_EQ(mkdir(mnt("b").c_str(), 0755), 0);
		ASSERT_EQ(mkdir(mnt("a").c_str(), 0755), 0);
		write_file(mnt("b/one"));
		ASSERT_EQ(link(mnt("b/one").c_str(), mnt("a/two").c_str()), 0);
		ASSERT_EQ(link(mnt("b/one").c_str(), mnt("zz").c_str()), 0);
		f_ = fid(mnt("b/one"));
	}
	zo_fid f_{};
};

TEST_F(Fid2Path, WalksEveryHardLinkInSortedOrder)
{
	EXPECT_EQ(all_links(f_),
	          (std::vector<std::string>{"a/two", "b/one", "zz"}));
}

TEST_F(Fid2Path, LastLinkLeavesLinknoUnchangedAndRecnoIsEchoed)
{
	unsigned linkno = 2;
	std::string path;
	unsigned long long recno = 0;
	ASSERT_EQ(fid2path(f_, linkno, path, 4096, 77, &recno).rc, 0);
	EXPECT_EQ(path, "zz");
	EXPECT_EQ(linkno, 2u);
	EXPECT_EQ(recno, 77u);
}

TEST_F(Fid2Path, RootIsTheEmptyPath)
{
	zo_fid root{FID_SEQ_ROOT, 1, 0};
	unsigned linkno = 0;
	std::string path = "x";
	ASSERT_EQ(fid2path(root, linkno, path).rc, 0);
	EXPECT_EQ(path, "");
}

TEST_F(Fid2Path, FollowsRenames)
{
	ASSERT_EQ(rename(mnt("zz").c_str(), mnt("a/moved").c_str()), 0);
	EXPECT_EQ(all_links(f_),
	          (std::vector<std::string>{"a/moved", "a/two", "b/one"}));
}

TEST_F(Fid2Path, Errors)
{
	unsigned linkno = 0;
	std::string path;
	zo_fid igif{0x12345, 1, 0};
	Res r = fid2path(igif, linkno, path);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, EINVAL);

	zo_fid missing{FID_SEQ_NORMAL, 0x7ffffff0, 0};
	r = fid2path(missing, linkno, path);
	EXPECT_EQ(r.err, ENOENT);

	linkno = 3;
	r = fid2path(f_, linkno, path);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, ENOENT);

	for (unsigned bad : {0u, 65537u}) {
		linkno = 0;
		r = fid2path(f_, linkno, path, bad);
		EXPECT_EQ(r.err, EINVAL) << bad;
	}
}

TEST_F(Fid2Path, PathAndNulMustFit)
{
	unsigned linkno = 0;
	std::string path;
	// "a/two" needs 6 bytes.
	Res r = fid2path(f_, linkno, path, 5);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, EOVERFLOW);
	r = fid2path(f_, linkno, path, 6);
	EXPECT_EQ(r.rc, 0);
	EXPECT_EQ(path, "a/two");
}

TEST_F(Fid2Path, DeletedObjectIsUnknown)
{
	write_file(mnt("gone"));
	zo_fid g = fid(mnt("gone"));
	ASSERT_EQ(unlink(mnt("gone").c_str()), 0);
	unsigned linkno = 0;
	std::string path;
	EXPECT_EQ(fid2path(g, linkno, path).err, ENOENT);
}

class GetParent : public Sim
{
};

TEST_F(GetParent, EachLinkGivesItsParentAndName)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(mnt("d/f"));
	ASSERT_EQ(link(mnt("d/f").c_str(), mnt("top").c_str()), 0);
	zo_fid parent;
	std::string name;
	ASSERT_EQ(getparent(mnt("d/f"), 0, parent, name).rc, 0);
	EXPECT_EQ(name, "f");
	EXPECT_TRUE(same_fid(parent, fid(mnt("d"))));
	ASSERT_EQ(getparent(mnt("d/f"), 1, parent, name).rc, 0);
	EXPECT_EQ(name, "top");
	EXPECT_EQ(fid_text(parent), "[0x200000007:0x1:0x0]");
	Res r = getparent(mnt("d/f"), 2, parent, name);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, ENODATA);
}

TEST_F(GetParent, NameMustFitWithItsNul)
{
	write_file(mnt("abc"));
	zo_fid parent;
	std::string name;
	Res r = getparent(mnt("abc"), 0, parent, name, 3);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, EOVERFLOW);
	EXPECT_EQ(getparent(mnt("abc"), 0, parent, name, 4).rc, 0);
	EXPECT_EQ(name, "abc");
}

TEST_F(GetParent, RootHasNoParent)
{
	zo_fid parent;
	std::string name;
	Res r = getparent(mnt(), 0, parent, name);
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, ENODATA);
}

class MdtIndex : public Sim
{
};

TEST_F(MdtIndex, TwoTargetsSplitByInodeNumber)
{
	resetup(2);
	std::set<int> seen;
	// Each file may take a fixed number of inodes of the host's file
	// system, and other processes take some too: go on until both targets
	// were seen, one more inode outside the mount every other try changing
	// the stride, and so the parity.
	for (int i = 0; i < 1000 && seen.size() < 2; ++i) {
		if (i % 2 == 1)
			write_file(state() + "/shift" + std::to_string(i));
		std::string p = mnt("f" + std::to_string(i));
		write_file(p);
		struct stat st;
		ASSERT_EQ(stat(p.c_str(), &st), 0);
		zo_fid f = fid(p);
		int idx = static_cast<int>(st.st_ino % 2);
		EXPECT_EQ(f.f_seq,
		          FID_SEQ_NORMAL + (st.st_ino >> 32) * 2 + idx);
		Res r = fid2mdtidx(f);
		EXPECT_EQ(r.rc, idx) << fid_text(f);
		seen.insert(r.rc);
	}
	EXPECT_EQ(seen.size(), 2u);
	EXPECT_EQ(fid2mdtidx(zo_fid{FID_SEQ_ROOT, 1, 0}).rc, 0);
}

TEST_F(MdtIndex, Errors)
{
	Res r = fid2mdtidx(zo_fid{0x5, 1, 0});
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, EINVAL);
	r = fid2mdtidx(zo_fid{FID_SEQ_NORMAL, 0x7ffffff0, 0});
	EXPECT_EQ(r.rc, -1);
	EXPECT_EQ(r.err, ENOENT);
}

class Requests : public Sim
{
};

TEST_F(Requests, ObdNameOnAnyDescriptorInTheMount)
{
	write_file(mnt("f"));
	int fd = open(mnt("f").c_str(), O_RDONLY);
	char name[ZV_OBD_UUID_LEN];
	memset(name, 'x', sizeof name);
	ASSERT_EQ(ioctl(fd, ZV_IOC_GETOBDNAME, name), 0);
	close(fd);
	EXPECT_EQ(std::string(name),
	          std::string("demo-clilov-") + zvsim_instance());
	std::string inst = zvsim_instance();
	EXPECT_EQ(inst.size(), 16u);
	EXPECT_EQ(inst.find_first_not_of("0123456789abcdef"),
	          std::string::npos);
}

TEST_F(Requests, UnknownFileSystemRequestIsNotATty)
{
	write_file(mnt("f"));
	int fd = open(mnt("f").c_str(), O_RDONLY);
	long arg = 0;
	EXPECT_EQ(ioctl(fd, _IOW('f', 242, long), &arg), -1);
	EXPECT_EQ(errno, ENOTTY);
	close(fd);
}

TEST_F(Requests, DescriptorsOutsideTheMountAreUntouched)
{
	std::string outside = tmp_.path() + "/plain";
	write_file(outside);
	int fd = open(outside.c_str(), O_RDONLY);
	char name[ZV_OBD_UUID_LEN];
	EXPECT_EQ(ioctl(fd, ZV_IOC_GETOBDNAME, name), -1);
	EXPECT_EQ(errno, ENOTTY);
	close(fd);
	zvsim_request *reqs;
	size_t n;
	ASSERT_EQ(zvsim_log_read(&reqs, &n), 0);
	zvsim_log_free(reqs, n);
}

// The same inode met before through an open for reading.
TEST_F(Requests, PathOnlyDescriptorIsBad)
{
	write_file(mnt("f"));
	char name[ZV_OBD_UUID_LEN];
	int fd = open(mnt("f").c_str(), O_RDONLY);
	EXPECT_EQ(ioctl(fd, ZV_IOC_GETOBDNAME, name), 0);
	close(fd);
	fd = open(mnt("f").c_str(), O_PATH);
	EXPECT_EQ(ioctl(fd, ZV_IOC_GETOBDNAME, name), -1);
	EXPECT_EQ(errno, EBADF);
	close(fd);
}

// What a descriptor names is known from its first request on; a file the
// host moves out of the mount is no longer served.
TEST_F(Requests, ADescriptorFollowsItsFileOutOfTheMount)
{
	write_file(mnt("f"));
	std::string outside = tmp_.path() + "/moved";
	Fd fd(open(mnt("f").c_str(), O_RDONLY));
	char name[ZV_OBD_UUID_LEN];
	ASSERT_EQ(ioctl(fd.fd, ZV_IOC_GETOBDNAME, name), 0);
	ASSERT_EQ(rename(mnt("f").c_str(), outside.c_str()), 0);
	EXPECT_EQ(ioctl(fd.fd, ZV_IOC_GETOBDNAME, name), -1);
	EXPECT_EQ(errno, ENOTTY);
	ASSERT_EQ(rename(outside.c_str(), mnt("g").c_str()), 0);
	EXPECT_EQ(ioctl(fd.fd, ZV_IOC_GETOBDNAME, name), 0);
}

TEST_F(Requests, OpenButDeletedFileStillAnswers)
{
	write_file(mnt("f"));
	int fd = open(mnt("f").c_str(), O_RDONLY);
	ASSERT_EQ(unlink(mnt("f").c_str()), 0);
	char name[ZV_OBD_UUID_LEN];
	EXPECT_EQ(ioctl(fd, ZV_IOC_GETOBDNAME, name), 0);
	close(fd);
}
