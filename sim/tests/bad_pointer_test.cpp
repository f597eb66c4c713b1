// A bad pointer handed to any interposed entry point gets the kernel's
// EFAULT and never faults the simulator, in the mount and outside it.
// (Functions whose C library code reads the memory itself before any
// system call, such as opendir, glob and mkstemp, fault as they would
// without the simulator.)
#include "chlg_helpers.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <mntent.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_changelog.h>

extern "C" int __xmknod(int, const char *, mode_t, dev_t *);
extern "C" int __open_2(const char *, int);
extern "C" int __open64_2(const char *, int);
extern "C" int __openat_2(int, const char *, int);
extern "C" int __openat64_2(int, const char *, int);
extern "C" ssize_t __read_chk(int, void *, size_t, size_t);

using namespace zvtest;

namespace
{

struct Call {
	const char *what;
	std::function<long()> run;
};

} // namespace

class BadPointer : public Sim
{
      protected:
	void SetUp() override
	{
		Sim::SetUp();
		// A log user, so that namespace calls look at their paths.
		register_user("demo-MDT0000");
		void *none = mmap(nullptr, 4096, PROT_NONE,
		                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		ASSERT_NE(none, MAP_FAILED);
		none_ = static_cast<char *>(none);
		void *gone = mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
		                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		ASSERT_NE(gone, MAP_FAILED);
		ASSERT_EQ(munmap(gone, 4096), 0);
		gone_ = static_cast<char *>(gone);
		write_file(mnt("f"), "data");
	}
	void TearDown() override
	{
		munmap(none_, 4096);
		Sim::TearDown();
	}
	// Each call fails with EFAULT for each bad pointer.
	void expect_efault(const std::vector<Call> &calls)
	{
#if defined(__SANITIZE_ADDRESS__)
		GTEST_SKIP() << "the address sanitizer's own wrappers of these "
		                "calls read the pointers before the simulator "
		                "sees them";
#endif
		for (char *bad :
		     {none_, gone_, reinterpret_cast<char *>(0xDEADC0DEUL)}) {
			bad_ = bad;
			for (const Call &c : calls) {
				errno = 0;
				long rc = c.run();
				EXPECT_EQ(rc, -1) << c.what;
				EXPECT_EQ(errno, EFAULT) << c.what;
			}
		}
	}
	char *none_ = nullptr, *gone_ = nullptr, *bad_ = nullptr;
};

TEST_F(BadPointer, PathsOfOpensAndNamespaceCalls)
{
	std::string f = mnt("f"), d = mnt();
	int dir = open(d.c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_GE(dir, 0);
	auto p = [&] { return static_cast<const char *>(bad_); };
	expect_efault({
	        {"open", [&] { return long(open(p(), O_RDONLY)); }},
	        {"open O_CREAT",
	         [&] { return long(open(p(), O_CREAT, 0600)); }},
	        {"open64", [&] { return long(open64(p(), O_RDONLY)); }},
	        {"openat", [&] { return long(openat(dir, p(), O_RDONLY)); }},
	        {"openat64", [&] { return long(openat64(dir, p(), 0)); }},
	        {"__open_2", [&] { return long(__open_2(p(), O_RDONLY)); }},
	        {"__open64_2", [&] { return long(__open64_2(p(), 0)); }},
	        {"__openat_2", [&] { return long(__openat_2(dir, p(), 0)); }},
	        {"__openat64_2",
	         [&] { return long(__openat64_2(dir, p(), 0)); }},
	        {"creat", [&] { return long(creat(p(), 0600)); }},
	        {"creat64", [&] { return long(creat64(p(), 0600)); }},
	        {"fopen", [&] { return fopen(p(), "r") ? 0L : -1L; }},
	        {"fopen64", [&] { return fopen64(p(), "w") ? 0L : -1L; }},
	        {"mkdir", [&] { return long(mkdir(p(), 0700)); }},
	        {"mkdirat", [&] { return long(mkdirat(dir, p(), 0700)); }},
	        {"mknod", [&] { return long(mknod(p(), S_IFIFO | 0600, 0)); }},
	        {"mknodat",
	         [&] { return long(mknodat(dir, p(), S_IFIFO | 0600, 0)); }},
	        {"mkfifo", [&] { return long(mkfifo(p(), 0600)); }},
	        {"mkfifoat", [&] { return long(mkfifoat(dir, p(), 0600)); }},
	        {"__xmknod dev",
	         [&] {
		         return long(__xmknod(1, mnt("n").c_str(),
		                              S_IFIFO | 0600,
		                              reinterpret_cast<dev_t *>(bad_)));
	         }},
	        {"symlink target",
	         [&] { return long(symlink(p(), f.c_str())); }},
	        {"symlink path", [&] { return long(symlink("x", p())); }},
	        {"symlinkat", [&] { return long(symlinkat("x", dir, p())); }},
	        {"link from",
	         [&] { return long(link(p(), mnt("l").c_str())); }},
	        {"link to", [&] { return long(link(f.c_str(), p())); }},
	        {"linkat", [&] { return long(linkat(dir, "f", dir, p(), 0)); }},
	        {"unlink", [&] { return long(unlink(p())); }},
	        {"unlinkat", [&] { return long(unlinkat(dir, p(), 0)); }},
	        {"rmdir", [&] { return long(rmdir(p())); }},
	        {"rename from", [&] { return long(rename(p(), f.c_str())); }},
	        {"rename to", [&] { return long(rename(f.c_str(), p())); }},
	        {"renameat",
	         [&] { return long(renameat(dir, "f", dir, p())); }},
	        {"renameat2",
	         [&] { return long(renameat2(dir, p(), dir, "g", 0)); }},
	});
	close(dir);
	struct stat st;
	EXPECT_EQ(stat(f.c_str(), &st), 0); // nothing happened to it
}

TEST_F(BadPointer, PathsAndBuffersOfMetadataCalls)
{
	std::string f = mnt("f");
	int fd = open(f.c_str(), O_RDWR);
	ASSERT_GE(fd, 0);
	auto p = [&] { return static_cast<const char *>(bad_); };
	auto st = [&] { return reinterpret_cast<struct stat *>(bad_); };
	struct stat sb;
	struct stat64 sb64;
	struct statfs sfs;
	expect_efault({
	        {"stat path", [&] { return long(stat(p(), &sb)); }},
	        {"stat buf", [&] { return long(stat(f.c_str(), st())); }},
	        {"stat buf of a parameter",
	         [&] { return long(stat("/proc/fs/zorvel/version", st())); }},
	        {"lstat", [&] { return long(lstat(f.c_str(), st())); }},
	        {"stat64",
	         [&] {
		         return long(stat64(
		                 p(), reinterpret_cast<struct stat64 *>(bad_)));
	         }},
	        {"lstat64 path", [&] { return long(lstat64(p(), &sb64)); }},
	        {"fstatat",
	         [&] { return long(fstatat(AT_FDCWD, p(), &sb, 0)); }},
	        {"fstatat64 buf",
	         [&] {
		         return long(fstatat64(
		                 AT_FDCWD, "/etc/mtab",
		                 reinterpret_cast<struct stat64 *>(bad_), 0));
	         }},
	        {"statx path",
	         [&] {
		         struct statx sx;
		         return long(statx(AT_FDCWD, p(), 0, STATX_BASIC_STATS,
		                           &sx));
	         }},
	        {"statx buf",
	         [&] {
		         return long(
		                 statx(AT_FDCWD, "/proc/fs/zorvel/version", 0,
		                       STATX_BASIC_STATS,
		                       reinterpret_cast<struct statx *>(bad_)));
	         }},
	        {"access", [&] { return long(access(p(), F_OK)); }},
	        {"faccessat",
	         [&] { return long(faccessat(AT_FDCWD, p(), F_OK, 0)); }},
	        {"statfs path", [&] { return long(statfs(p(), &sfs)); }},
	        {"statfs buf of the debug file system",
	         [&] {
		         return long(statfs(
		                 "/sys/kernel/debug",
		                 reinterpret_cast<struct statfs *>(bad_)));
	         }},
	        {"statfs64 buf of the debug file system",
	         [&] {
		         return long(statfs64(
		                 "/sys/kernel/debug",
		                 reinterpret_cast<struct statfs64 *>(bad_)));
	         }},
	        {"chmod", [&] { return long(chmod(p(), 0600)); }},
	        {"fchmodat",
	         [&] { return long(fchmodat(AT_FDCWD, p(), 0600, 0)); }},
	        {"chown", [&] { return long(chown(p(), -1, -1)); }},
	        {"lchown", [&] { return long(lchown(p(), -1, -1)); }},
	        {"fchownat",
	         [&] { return long(fchownat(AT_FDCWD, p(), -1, -1, 0)); }},
	        {"utimensat path",
	         [&] { return long(utimensat(AT_FDCWD, p(), nullptr, 0)); }},
	        {"utimensat times",
	         [&] {
		         return long(utimensat(
		                 AT_FDCWD, f.c_str(),
		                 reinterpret_cast<struct timespec *>(bad_), 0));
	         }},
	        {"futimens",
	         [&] {
		         return long(futimens(
		                 fd,
		                 reinterpret_cast<struct timespec *>(bad_)));
	         }},
	        {"truncate", [&] { return long(truncate(p(), 0)); }},
	        {"truncate64", [&] { return long(truncate64(p(), 0)); }},
	        {"setxattr path",
	         [&] { return long(setxattr(p(), "user.a", "v", 1, 0)); }},
	        {"setxattr value",
	         [&] {
		         return long(setxattr(f.c_str(), "user.a", p(), 1, 0));
	         }},
	        {"lsetxattr name",
	         [&] { return long(lsetxattr(f.c_str(), p(), "v", 1, 0)); }},
	        {"fsetxattr name",
	         [&] { return long(fsetxattr(fd, p(), "v", 1, 0)); }},
	        {"setmntent", [&] { return setmntent(p(), "r") ? 0L : -1L; }},
	        {"mount target",
	         [&] {
		         return long(mount("none", p(), "debugfs", 0, nullptr));
	         }},
	        {"mount source",
	         [&] {
		         return long(mount(p(), "/sys/kernel/debug", "debugfs",
		                           0, nullptr));
	         }},
	});
	close(fd);
}

TEST_F(BadPointer, RequestArgumentsAndDeviceBuffers)
{
	int fd = open(mnt("f").c_str(), O_RDONLY);
	int dir = open(mnt().c_str(), O_RDONLY | O_DIRECTORY);
	int log = open("/dev/changelog-demo-MDT0000", O_RDWR);
	int net = open((state() + "/dev/varn").c_str(), O_RDWR);
	ASSERT_TRUE(fd >= 0 && dir >= 0 && log >= 0 && net >= 0);
	auto ioc = [&](int on, unsigned long code) {
		return [=, this] { return long(ioctl(on, code, bad_)); };
	};
	expect_efault({
	        {"FID2PATH", ioc(fd, ZV_IOC_FID2PATH)},
	        {"GETPARENT", ioc(fd, ZV_IOC_GETPARENT)},
	        {"FID2MDTIDX", ioc(fd, ZV_IOC_FID2MDTIDX)},
	        {"GETOBDNAME", ioc(fd, ZV_IOC_GETOBDNAME)},
	        {"LOV_SETSTRIPE", ioc(fd, ZV_IOC_LOV_SETSTRIPE)},
	        {"LOV_GETSTRIPE", ioc(fd, ZV_IOC_LOV_GETSTRIPE)},
	        {"LMV_SETSTRIPE", ioc(dir, ZV_IOC_LMV_SETSTRIPE)},
	        {"LMV_GETSTRIPE", ioc(dir, ZV_IOC_LMV_GETSTRIPE)},
	        {"RMFID", ioc(dir, ZV_IOC_RMFID)},
	        {"REMOVE_ENTRY", ioc(dir, ZV_IOC_REMOVE_ENTRY)},
	        {"network request", ioc(net, 0xc0b8656bUL)},
	        {"name_to_handle_at path",
	         [&] {
		         int mid;
		         return long(name_to_handle_at(AT_FDCWD, bad_, nullptr,
		                                       &mid, 0));
	         }},
	        {"name_to_handle_at handle",
	         [&] {
		         int mid;
		         return long(name_to_handle_at(
		                 AT_FDCWD, mnt("f").c_str(),
		                 reinterpret_cast<file_handle *>(bad_), &mid,
		                 0));
	         }},
	        {"name_to_handle_at mount id",
	         [&] {
		         char h[8 + 128];
		         reinterpret_cast<file_handle *>(h)->handle_bytes = 128;
		         return long(name_to_handle_at(
		                 AT_FDCWD, mnt("f").c_str(),
		                 reinterpret_cast<file_handle *>(h),
		                 reinterpret_cast<int *>(bad_), 0));
	         }},
	        {"read of a log", [&] { return long(read(log, bad_, 4096)); }},
	        {"__read_chk of a log",
	         [&] { return long(__read_chk(log, bad_, 4096, 4096)); }},
	        {"write to a log", [&] { return long(write(log, bad_, 16)); }},
	        {"read of a file", [&] { return long(read(fd, bad_, 4)); }},
	});
	for (int d : {fd, dir, log, net})
		close(d);
}

// A reply written where the caller's buffer is, and only there: a path
// that fits before an unmapped page is answered, one that reaches into it
// fails with EFAULT.
TEST_F(BadPointer, RepliesStopAtTheCallersMemory)
{
	write_file(mnt("a-rather-long-name-for-a-file"), "x");
	zo_fid f = fid(mnt("f")), g = fid(mnt("a-rather-long-name-for-a-file"));
	char *pages =
	        static_cast<char *>(mmap(nullptr, 8192, PROT_READ | PROT_WRITE,
	                                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
	ASSERT_NE(pages, MAP_FAILED);
	ASSERT_EQ(munmap(pages + 4096, 4096), 0);
	// Header and room for 8 bytes of path before the gap.
	auto *req = reinterpret_cast<getinfo_fid2path *>(pages + 4096 - 40);
	int fd = open(mnt().c_str(), O_RDONLY);
	ASSERT_GE(fd, 0);
	for (const auto &[fid, rc] : {std::pair{f, 0}, std::pair{g, -1}}) {
		memset(req, 0, 40);
		req->gf_fid = fid;
		req->gf_pathlen = 4096; // more than is there
		errno = 0;
		EXPECT_EQ(ioctl(fd, ZV_IOC_FID2PATH, req), rc);
		if (rc == 0)
			EXPECT_STREQ(reinterpret_cast<char *>(req + 1), "f");
		else
			EXPECT_EQ(errno, EFAULT);
	}
	close(fd);
	munmap(pages, 4096);
}

// A text in the caller's loaded objects is read where it lies up to the
// end of its page, past the end of its segment too (segments are mapped
// in whole pages), with no copy through the kernel: that would cost two
// system calls a path.
TEST_F(BadPointer, TextsAtTheEndOfASegmentAreReadInPlace)
{
#if defined(__SANITIZE_ADDRESS__)
	GTEST_SKIP() << "under the address sanitizer every text is copied "
	                "through the kernel";
#endif
	run_result r = run_shell(std::string(ZVSIM_LAUNCHER) + " run --state " +
	                         shell_quote(state()) + " -- " + ZVSIM_PROBE +
	                         " in-place");
	if (r.out == "aligned\n")
		GTEST_SKIP() << "the probe's data segment ends at a page's end";
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "ok\n");
}
