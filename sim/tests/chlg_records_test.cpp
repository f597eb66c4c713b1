// Records produced by namespace operations in a simulated mount.
#include "chlg_helpers.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mntent.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_changelog.h>

using namespace zvtest;

namespace
{

constexpr const char *MDT0 = "demo-MDT0000";

uint64_t now_ns()
{
	struct timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	return uint64_t(ts.tv_sec) * 1000000000ULL + uint64_t(ts.tv_nsec);
}

} // namespace

class ChlgRecords : public Sim
{
      protected:
	void SetUp() override
	{
		Sim::SetUp();
		user_ = register_user(MDT0);
	}
	// One record expected: its type, target and parent, name.
	void expect(const Rec &r, uint32_t type, const zo_fid &t,
	            const zo_fid &p, const std::string &name)
	{
		EXPECT_EQ(r.type, type) << changelog_type2str(r.type);
		EXPECT_TRUE(same_fid(r.tfid, t))
		        << fid_text(r.tfid) << " != " << fid_text(t);
		EXPECT_TRUE(same_fid(r.pfid, p))
		        << fid_text(r.pfid) << " != " << fid_text(p);
		EXPECT_EQ(r.name, name);
	}
	std::string user_;
};

TEST_F(ChlgRecords, CreationsCarryFidsNamesAndEveryExtension)
{
	uint64_t before = now_ns();
	int fd = open(mnt("f").c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
	ASSERT_GE(fd, 0);
	close(fd);
	fd = creat(mnt("g").c_str(), 0600);
	ASSERT_GE(fd, 0);
	close(fd);
	// An open of an existing file creates nothing.
	fd = open(mnt("f").c_str(), O_CREAT | O_RDWR, 0644);
	ASSERT_GE(fd, 0);
	close(fd);
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	int dir = open(mnt("d").c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_EQ(mkdirat(dir, "sub", 0755), 0);
	ASSERT_EQ(symlinkat("../f", dir, "ln"), 0);
	close(dir);
	ASSERT_EQ(mknod(mnt("fifo").c_str(), S_IFIFO | 0644, 0), 0);
	ASSERT_EQ(link(mnt("f").c_str(), mnt("d/hard").c_str()), 0);
	uint64_t after = now_ns();

	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 7u);
	zo_fid root = fid(mnt()), d = fid(mnt("d"));
	expect(recs[0], CL_CREATE, fid(mnt("f")), root, "f");
	expect(recs[1], CL_CREATE, fid(mnt("g")), root, "g");
	expect(recs[2], CL_MKDIR, d, root, "d");
	expect(recs[3], CL_MKDIR, fid(mnt("d/sub")), d, "sub");
	expect(recs[4], CL_SOFTLINK, fid(mnt("d/ln")), d, "ln");
	expect(recs[5], CL_MKNOD, fid(mnt("fifo")), root, "fifo");
	expect(recs[6], CL_HARDLINK, fid(mnt("f")), d, "hard");
	EXPECT_EQ(recs[0].oflags, unsigned(O_CREAT | O_WRONLY | O_EXCL));
	EXPECT_EQ(recs[1].oflags, unsigned(O_CREAT | O_WRONLY | O_TRUNC));
	for (size_t i = 0; i < recs.size(); ++i) {
		const Rec &r = recs[i];
		EXPECT_EQ(r.index, i + 1);
		EXPECT_EQ(r.prev, i);
		EXPECT_GE(r.time, before);
		EXPECT_LE(r.time, after);
		EXPECT_EQ(r.flags, 0xF000);
		EXPECT_EQ(r.extra, 0xFu);
		EXPECT_EQ(r.uid, geteuid());
		EXPECT_EQ(r.gid, getegid());
		EXPECT_EQ(r.nid, 0x00020000C0A8000AULL); // 192.168.0.10@tcp
		EXPECT_EQ(r.jobid, "zvsim_tests." + std::to_string(getuid()));
		EXPECT_TRUE(same_fid(r.sfid, zo_fid{}));
		EXPECT_EQ(r.xattr, "");
		if (r.type != CL_CREATE) {
			EXPECT_EQ(r.oflags, 0u);
		}
	}
}

TEST_F(ChlgRecords, StreamsCreatingFilesAreRecorded)
{
	FILE *fp = fopen(mnt("s").c_str(), "w");
	ASSERT_NE(fp, nullptr);
	fclose(fp);
	fp = fopen(mnt("s").c_str(), "a+"); // exists: no creation
	ASSERT_NE(fp, nullptr);
	fclose(fp);
	fp = fopen64(mnt("t").c_str(), "a+e");
	ASSERT_NE(fp, nullptr);
	fclose(fp);
	EXPECT_EQ(fopen(mnt("missing/u").c_str(), "w"), nullptr);

	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 2u);
	expect(recs[0], CL_CREATE, fid(mnt("s")), fid(mnt()), "s");
	EXPECT_EQ(recs[0].oflags, unsigned(O_WRONLY | O_CREAT | O_TRUNC));
	expect(recs[1], CL_CREATE, fid(mnt("t")), fid(mnt()), "t");
	EXPECT_EQ(recs[1].oflags,
	          unsigned(O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC));
}

TEST_F(ChlgRecords, RemovalsNameTheObjectAsItWasBefore)
{
	write_file(mnt("f"));
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	ASSERT_EQ(mkdir(mnt("d/e").c_str(), 0755), 0);
	ASSERT_EQ(mkdir(mnt("x").c_str(), 0755), 0);
	zo_fid f = fid(mnt("f")), d = fid(mnt("d")), e = fid(mnt("d/e")),
	       x = fid(mnt("x")), root = fid(mnt());
	ASSERT_EQ(zvsim_changelog_deregister(MDT0, user_.c_str()), 0);
	register_user(MDT0);

	ASSERT_EQ(unlink(mnt("f").c_str()), 0);
	int dir = open(mnt("d").c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_EQ(unlinkat(dir, "e", AT_REMOVEDIR), 0);
	close(dir);
	ASSERT_EQ(rmdir(mnt("d").c_str()), 0);
	ASSERT_EQ(unlinkat(AT_FDCWD, mnt("x").c_str(), AT_REMOVEDIR), 0);
	// Failures leave no record.
	EXPECT_EQ(unlink(mnt("f").c_str()), -1);
	EXPECT_EQ(rmdir(mnt().c_str()), -1);

	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 4u);
	expect(recs[0], CL_UNLINK, f, root, "f");
	expect(recs[1], CL_RMDIR, e, d, "e");
	expect(recs[2], CL_RMDIR, d, root, "d");
	expect(recs[3], CL_RMDIR, x, root, "x");
}

TEST_F(ChlgRecords, RenameCarriesOldParentInItsExtension)
{
	ASSERT_EQ(mkdir(mnt("a").c_str(), 0755), 0);
	ASSERT_EQ(mkdir(mnt("b").c_str(), 0755), 0);
	write_file(mnt("a/f"));
	zo_fid a = fid(mnt("a")), b = fid(mnt("b")), f = fid(mnt("a/f"));
	ASSERT_EQ(zvsim_changelog_deregister(MDT0, user_.c_str()), 0);
	register_user(MDT0);

	ASSERT_EQ(rename(mnt("a/f").c_str(), mnt("b/g").c_str()), 0);
	int da = open(mnt("a").c_str(), O_RDONLY | O_DIRECTORY);
	int db = open(mnt("b").c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_EQ(renameat(db, "g", da, "h"), 0);
	ASSERT_EQ(renameat2(da, "h", da, "i", RENAME_NOREPLACE), 0);
	close(da);
	close(db);
	EXPECT_EQ(rename(mnt("a/missing").c_str(), mnt("b/x").c_str()), -1);

	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 3u);
	expect(recs[0], CL_RENAME, f, b, "g");
	EXPECT_TRUE(same_fid(recs[0].sfid, f));
	EXPECT_TRUE(same_fid(recs[0].spfid, a));
	expect(recs[1], CL_RENAME, f, a, "h");
	EXPECT_TRUE(same_fid(recs[1].spfid, b));
	expect(recs[2], CL_RENAME, f, a, "i");
	EXPECT_TRUE(same_fid(recs[2].spfid, a));
}

TEST_F(ChlgRecords, AttributeChangesTruncationsAndXattrs)
{
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(mnt("d/f"), "0123456789");
	ASSERT_EQ(symlink("f", mnt("d/ln").c_str()), 0);
	zo_fid d = fid(mnt("d")), f = fid(mnt("d/f")), ln = fid(mnt("d/ln")),
	       root = fid(mnt());
	ASSERT_EQ(zvsim_changelog_deregister(MDT0, user_.c_str()), 0);
	register_user(MDT0);

	ASSERT_EQ(chmod(mnt("d/ln").c_str(), 0600), 0); // follows the link
	int fd = open(mnt("d/f").c_str(), O_RDWR);
	ASSERT_EQ(fchmod(fd, 0644), 0);
	ASSERT_EQ(fchown(fd, geteuid(), getegid()), 0);
	ASSERT_EQ(ftruncate(fd, 3), 0);
	ASSERT_EQ(futimens(fd, nullptr), 0);
	ASSERT_EQ(truncate(mnt("d/f").c_str(), 1), 0);
	ASSERT_EQ(lchown(mnt("d/ln").c_str(), geteuid(), getegid()), 0);
	ASSERT_EQ(fchownat(AT_FDCWD, mnt("d").c_str(), uid_t(-1), gid_t(-1), 0),
	          0);
	ASSERT_EQ(utimensat(AT_FDCWD, mnt("d/ln").c_str(), nullptr,
	                    AT_SYMLINK_NOFOLLOW),
	          0);
	ASSERT_EQ(fchmodat(AT_FDCWD, mnt("d/f").c_str(), 0640, 0), 0);
	ASSERT_EQ(chown(mnt("d/f").c_str(), uid_t(-1), gid_t(-1)), 0);
	bool xattrs = fsetxattr(fd, "user.zv", "1", 1, 0) == 0;
	close(fd);

	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), xattrs ? 12u : 11u);
	expect(recs[0], CL_SETATTR, f, d, "f");
	expect(recs[1], CL_SETATTR, f, d, "f");
	expect(recs[2], CL_SETATTR, f, d, "f");
	expect(recs[3], CL_TRUNC, f, d, "f");
	expect(recs[4], CL_SETATTR, f, d, "f");
	expect(recs[5], CL_TRUNC, f, d, "f");
	expect(recs[6], CL_SETATTR, ln, d, "ln");
	expect(recs[7], CL_SETATTR, d, root, "d");
	expect(recs[8], CL_SETATTR, ln, d, "ln");
	expect(recs[9], CL_SETATTR, f, d, "f");
	expect(recs[10], CL_SETATTR, f, d, "f");
	if (!xattrs) {
		GTEST_LOG_(INFO) << "no user xattrs here: " << strerror(errno);
		return;
	}
	expect(recs[11], CL_SETXATTR, f, d, "f");
	EXPECT_EQ(recs[11].xattr, "user.zv");
	ASSERT_EQ(setxattr(mnt("d/f").c_str(), "user.two", "2", 1, 0), 0);
	recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 13u);
	EXPECT_EQ(recs[12].type, unsigned(CL_SETXATTR));
	EXPECT_EQ(recs[12].xattr, "user.two");
}

TEST_F(ChlgRecords, NothingWithoutUsersOrOutsideTheMountOrMaskedOut)
{
	ASSERT_EQ(zvsim_changelog_deregister(MDT0, user_.c_str()), 0);
	ASSERT_EQ(mkdir(mnt("quiet").c_str(), 0755), 0);
	EXPECT_TRUE(read_log(MDT0).empty());

	register_user(MDT0);
	std::string outside = tmp_.path() + "/outside";
	ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
	int fd = open((outside + "/f").c_str(), O_CREAT | O_WRONLY, 0644);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(write(fd, "abc", 3), 3);
	EXPECT_EQ(ftruncate(fd, 1), 0);
	close(fd);
	ASSERT_EQ(rename((outside + "/f").c_str(), (outside + "/g").c_str()),
	          0);
	ASSERT_EQ(unlink((outside + "/g").c_str()), 0);
	ASSERT_EQ(rmdir(outside.c_str()), 0);
	EXPECT_TRUE(read_log(MDT0).empty());

	ASSERT_EQ(zvsim_changelog_mask(MDT0, 1u << CL_MKDIR), 0);
	write_file(mnt("skipped"));
	ASSERT_EQ(mkdir(mnt("kept").c_str(), 0755), 0);
	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 1u);
	EXPECT_EQ(recs[0].type, unsigned(CL_MKDIR));
	EXPECT_EQ(recs[0].index, 1u); // masked types take no index
}

TEST_F(ChlgRecords, LayoutAndJobIdentifierFollowTheSteering)
{
	ASSERT_EQ(zvsim_changelog_layout(MDT0, CLF_VERSION, 0), 0);
	ASSERT_EQ(mkdir(mnt("plain").c_str(), 0755), 0);
	ASSERT_EQ(zvsim_changelog_layout(
	                  MDT0, CLF_VERSION | CLF_JOBID | CLF_EXTRA_FLAGS,
	                  CLFE_NID | CLFE_XATTR),
	          0);
	setenv("ZVSIM_JOBID", "job-with-a-name-longer-than-thirty-one", 1);
	ASSERT_EQ(mkdir(mnt("rich").c_str(), 0755), 0);
	unsetenv("ZVSIM_JOBID");
	EXPECT_EQ(zvsim_changelog_layout(MDT0, 0x10000, 0), -EINVAL);
	EXPECT_EQ(zvsim_changelog_layout(MDT0, CLF_VERSION, 0x10), -EINVAL);

	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 2u);
	EXPECT_EQ(recs[0].flags, CLF_VERSION);
	EXPECT_EQ(recs[0].size, 64u + 5);
	EXPECT_EQ(recs[0].name, "plain");
	EXPECT_EQ(recs[1].flags, CLF_VERSION | CLF_JOBID | CLF_EXTRA_FLAGS);
	EXPECT_EQ(recs[1].extra, unsigned(CLFE_NID | CLFE_XATTR));
	EXPECT_EQ(recs[1].size, 64u + 32 + 8 + 24 + 256 + 4);
	EXPECT_EQ(recs[1].jobid,
	          std::string("job-with-a-name-longer-than-thirty-one")
	                  .substr(0, 31));
	EXPECT_EQ(recs[1].nid, 0x00020000C0A8000AULL);
	EXPECT_EQ(recs[1].name, "rich");
}

// Each host of a cluster sharing the state directory signs its records
// with its own NID; a NID that does not parse is 0, an empty one the
// mount's.
TEST_F(ChlgRecords, ClientNidComesFromTheProcessEnvironment)
{
	const char *names[] = {"h2", "h3", "bad", "empty"};
	const char *nids[] = {"10.99.0.2@tcp", "10.99.0.3@tcp1", "nohost", ""};
	for (int i = 0; i < 4; i++) {
		setenv("ZVSIM_NID", nids[i], 1);
		EXPECT_EQ(mkdir(mnt(names[i]).c_str(), 0755), 0);
	}
	unsetenv("ZVSIM_NID");
	ASSERT_EQ(mkdir(mnt("mount").c_str(), 0755), 0);

	std::vector<Rec> recs = read_log(MDT0);
	ASSERT_EQ(recs.size(), 5u);
	EXPECT_EQ(recs[0].nid, 0x000200000A630002ULL);
	EXPECT_EQ(recs[1].nid, 0x000200010A630003ULL);
	EXPECT_EQ(recs[2].nid, 0u);
	EXPECT_EQ(recs[3].nid, 0x00020000C0A8000AULL);
	EXPECT_EQ(recs[4].nid, 0x00020000C0A8000AULL);
	// The mount table names the servers: the same on every host.
	setenv("ZVSIM_NID", "10.99.0.2@tcp", 1);
	FILE *mt = setmntent("/proc/mounts", "r");
	unsetenv("ZVSIM_NID");
	ASSERT_NE(mt, nullptr);
	std::string sources;
	while (struct mntent *e = getmntent(mt))
		if (std::string(e->mnt_type) == "zorvel")
			sources += e->mnt_fsname;
	endmntent(mt);
	EXPECT_EQ(sources, "192.168.0.10@tcp:/demo");
}

TEST_F(ChlgRecords, EachRecordGoesToTheLogOfItsParentsTarget)
{
	resetup(2);
	register_user("demo-MDT0000");
	register_user("demo-MDT0001");
	// Directories until one lands on each target. Each mkdir may take a
	// fixed number of inodes of the host's file system: one more inode
	// outside the mount every other try changes the stride, and so the
	// parity.
	std::string on[2];
	for (int i = 0; i < 1000 && (on[0].empty() || on[1].empty()); ++i) {
		std::string name = "d" + std::to_string(i);
		ASSERT_EQ(mkdir(mnt(name).c_str(), 0755), 0);
		on[fid(mnt(name)).f_seq % 2 == 0 ? 0 : 1] = name;
		if (i % 2 == 1)
			write_file(state() + "/shift" + std::to_string(i));
	}
	ASSERT_FALSE(on[0].empty() || on[1].empty());
	size_t root_records = read_log("demo-MDT0000").size();
	EXPECT_TRUE(read_log("demo-MDT0001").empty()); // the root is on 0
	write_file(mnt(on[1] + "/f"));
	write_file(mnt(on[0] + "/f"));

	std::vector<Rec> one = read_log("demo-MDT0001");
	ASSERT_EQ(one.size(), 1u);
	EXPECT_EQ(one[0].index, 1u);
	EXPECT_TRUE(same_fid(one[0].pfid, fid(mnt(on[1]))));
	std::vector<Rec> zero = read_log("demo-MDT0000");
	ASSERT_EQ(zero.size(), root_records + 1);
	EXPECT_TRUE(same_fid(zero.back().pfid, fid(mnt(on[0]))));
	EXPECT_EQ(zero.back().index, root_records + 1);
}
