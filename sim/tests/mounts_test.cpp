// Further mounts of one simulated file system, and the drop-caches
// stand-in.
#include "helpers.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <mntent.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace zvtest;

namespace
{

class Mounts : public Sim
{
};

// Mount directories of the zorvel mounts the table lists, in order.
std::vector<std::string> zorvel_mounts()
{
	std::vector<std::string> dirs;
	FILE *t = setmntent("/etc/mtab", "r");
	if (!t)
		return dirs;
	while (struct mntent *e = getmntent(t))
		if (std::string(e->mnt_type) == "zorvel")
			dirs.push_back(e->mnt_dir);
	endmntent(t);
	return dirs;
}

TEST_F(Mounts, AFurtherMountNamesTheSameObjects)
{
	std::string m2 = tmp_.path() + "/mnt2";
	ASSERT_EQ(zvsim_mount_add(m2.c_str()), 0);
	write_file(mnt("file"), "x");
	struct stat a, b;
	ASSERT_EQ(stat(mnt("file").c_str(), &a), 0);
	ASSERT_EQ(stat((m2 + "/file").c_str(), &b), 0);
	EXPECT_EQ(a.st_dev, b.st_dev);
	EXPECT_EQ(a.st_ino, b.st_ino);
	EXPECT_TRUE(same_fid(fid(mnt("file")), fid(m2 + "/file")));
	// Answers given as paths name the first mount.
	unsigned linkno = 0;
	std::string path;
	ASSERT_EQ(fid2path(fid(m2 + "/file"), linkno, path).rc, 0);
	EXPECT_EQ(path, "file");
	EXPECT_EQ(zorvel_mounts(),
	          (std::vector<std::string>{zvsim_mount_path(), m2}));
}

// Requests and path calls made through a further mount reach the same
// simulated kernel as through the mount.
TEST_F(Mounts, CallsThroughAFurtherMountAreTheFileSystems)
{
	std::string m2 = tmp_.path() + "/mnt2";
	ASSERT_EQ(zvsim_mount_add(m2.c_str()), 0);
	ASSERT_EQ(mkdir((m2 + "/d").c_str(), 0755), 0);
	int fd = open((m2 + "/d/f").c_str(), O_WRONLY | O_CREAT, 0644);
	ASSERT_GE(fd, 0);
	std::string rec(16 + 4, '\0');
	zv_foreign_layout h = {ZV_FOREIGN_FILE_MAGIC, 4,
	                       ZV_FOREIGN_TYPE_SYMLINK, 0};
	memcpy(rec.data(), &h, sizeof h);
	memcpy(rec.data() + 16, "abcd", 4);
	clear_requests();
	ASSERT_EQ(ioctl(fd, ZV_IOC_LOV_SETSTRIPE, rec.data()), 0);
	close(fd);
	char buf[64];
	EXPECT_EQ(
	        getxattr((m2 + "/d/f").c_str(), "zorvel.lov", buf, sizeof buf),
	        static_cast<ssize_t>(rec.size()));
	EXPECT_EQ(std::string(buf, rec.size()), rec);
	EXPECT_EQ(request_codes(),
	          (std::vector<unsigned long>{ZV_IOC_LOV_SETSTRIPE,
	                                      ZVSIM_REQ_GETXATTR}));
	// Opened by FID through the further mount: the same object.
	std::string by_fid = m2 + "/.zorvel/fid/" + fid_text(fid(mnt("d/f")));
	fd = open(by_fid.c_str(), O_RDONLY);
	ASSERT_GE(fd, 0) << by_fid;
	struct stat a, b;
	EXPECT_EQ(fstat(fd, &a), 0);
	close(fd);
	ASSERT_EQ(stat(mnt("d/f").c_str(), &b), 0);
	EXPECT_EQ(a.st_ino, b.st_ino);
	// The parent named from the further mount is the mount's.
	zo_fid parent;
	std::string name;
	ASSERT_EQ(getparent(m2 + "/d/f", 0, parent, name).rc, 0);
	EXPECT_TRUE(same_fid(parent, fid(mnt("d"))));
	EXPECT_EQ(name, "f");
}

TEST_F(Mounts, AddingChecksThePlace)
{
	std::string m2 = tmp_.path() + "/mnt2";
	ASSERT_EQ(zvsim_mount_add(m2.c_str()), 0);
	EXPECT_EQ(zvsim_mount_add(m2.c_str()), 0); // listed once
	char buf[4096];
	int n = zvsim_mounts(buf, sizeof buf);
	EXPECT_EQ(std::string(buf, n), m2 + "\n");
	std::string taken = tmp_.path() + "/taken";
	ASSERT_EQ(mkdir(taken.c_str(), 0755), 0);
	EXPECT_EQ(zvsim_mount_add(taken.c_str()), -EEXIST);
	EXPECT_EQ(zvsim_mount_add("relative"), -EINVAL);
	EXPECT_EQ(zvsim_mount_add(zvsim_mount_path()), -EEXIST);
	ASSERT_EQ(zvsim_mounts_remove(), 0);
	EXPECT_NE(access(m2.c_str(), F_OK), 0);
	EXPECT_EQ(access(taken.c_str(), F_OK), 0); // not ours: left alone
	EXPECT_EQ(zorvel_mounts(),
	          std::vector<std::string>{zvsim_mount_path()});
}

TEST_F(Mounts, TheLauncherMakesNumberedMountsAndTakesThemAway)
{
	std::string prefix = tmp_.path() + "/client";
	run_result r = run_program(
	        {ZVSIM_LAUNCHER, "run", "--numbered-mounts", prefix + ":3",
	         "--", "/bin/sh", "-c",
	         "echo \"$ZVSIM_MOUNTS\"; stat -L -c %i \"$ZVSIM_MOUNT\" "
	         "\"${ZVSIM_MOUNTS%%:*}\""},
	        {"ZVSIM_STATE", "ZVSIM_MOUNT"});
	ASSERT_EQ(r.status, 0) << r.err;
	std::string first = r.out.substr(0, r.out.find('\n'));
	EXPECT_EQ(first, prefix + "0:" + prefix + "1:" + prefix + "2");
	std::string inodes = r.out.substr(first.size() + 1);
	std::string ino = inodes.substr(0, inodes.find('\n'));
	EXPECT_EQ(inodes, ino + "\n" + ino + "\n");
	for (int k = 0; k < 3; k++)
		EXPECT_NE(access((prefix + std::to_string(k)).c_str(), F_OK),
		          0);
	// A mount that cannot be made stops the run before the command.
	std::string taken = tmp_.path() + "/taken";
	write_file(taken);
	r = run_program(
	        {ZVSIM_LAUNCHER, "run", "--mount", taken, "--", "/bin/true"},
	        {"ZVSIM_STATE", "ZVSIM_MOUNT"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "zvsim: mount " + taken + ": File exists\n");
}

class DropCaches : public Sim
{
      protected:
	// Opens the stand-in, never the host's control file.
	int open_drop_caches(int flags)
	{
		int fd = open("/proc/sys/vm/drop_caches", flags);
		if (fd < 0)
			return fd;
		char target[PATH_MAX];
		std::string link = "/proc/self/fd/" + std::to_string(fd);
		ssize_t n = readlink(link.c_str(), target, sizeof target);
		std::string want = state() + "/vm/drop_caches";
		if (n < 0 || std::string(target, n) != want) {
			close(fd);
			ADD_FAILURE() << "not the stand-in";
			return -1;
		}
		return fd;
	}
};

TEST_F(DropCaches, WritesAreCheckedAndCounted)
{
	EXPECT_EQ(zvsim_drop_caches_count(), 0);
	int fd = open_drop_caches(O_WRONLY);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(write(fd, "3\n", 2), 2);
	EXPECT_EQ(write(fd, "1", 1), 1);
	EXPECT_EQ(write(fd, "4\n", 2), -1);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(write(fd, "33", 2), -1);
	EXPECT_EQ(errno, EINVAL);
	int copy = dup(fd);
	EXPECT_EQ(write(copy, "2", 1), 1);
	close(copy);
	close(fd);
	EXPECT_EQ(zvsim_drop_caches_count(), 3);
	EXPECT_EQ(open("/proc/sys/vm/drop_caches", O_RDONLY), -1);
	EXPECT_EQ(errno, EACCES);
	// The number, reused for an ordinary file, is an ordinary file.
	fd = open(mnt("f").c_str(), O_WRONLY | O_CREAT, 0644);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(write(fd, "7", 1), 1);
	close(fd);
	EXPECT_EQ(read_file(mnt("f")), "7");
	EXPECT_EQ(zvsim_drop_caches_count(), 3);
}

// Streams write through the C library's own calls, which pass no wrapper:
// the stand-in must still take them (sysctl -w writes this way).
TEST_F(DropCaches, StreamsAreTheStandInToo)
{
	FILE *f = fopen("/proc/sys/vm/drop_caches", "w");
	ASSERT_NE(f, nullptr);
	// The stand-in's stream has no descriptor; a stream on the host's
	// file would, and is closed without a write.
	if (fileno(f) >= 0) {
		fclose(f);
		FAIL() << "the host's control file was opened";
	}
	EXPECT_GT(fprintf(f, "3\n"), 0);
	EXPECT_EQ(fflush(f), 0);
	EXPECT_EQ(zvsim_drop_caches_count(), 1);
	EXPECT_GT(fprintf(f, "9\n"), 0);
	EXPECT_EQ(fclose(f), EOF);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(zvsim_drop_caches_count(), 1);
	errno = 0;
	EXPECT_EQ(fopen("/proc/sys/vm/drop_caches", "r"), nullptr);
	EXPECT_EQ(errno, EACCES);
	EXPECT_EQ(fopen("/proc/sys/vm/drop_caches", "w+"), nullptr);
	EXPECT_EQ(errno, EACCES);
}

} // namespace
