// Data versions, layout swaps, volatile names and group locks as the
// simulated kernel answers them, across processes: what another process's
// reads, writes and locks do to this one's open file.
#include "helpers.h"
#include "zvtest/child.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_mirror.h>
#include <linux/zorvel/zorvel_swap.h>

using namespace zvtest;

namespace
{

class SwapRequests : public Sim
{
      protected:
	int open_in(const std::string &rel, int flags = O_RDWR)
	{
		int fd = open(mnt(rel).c_str(), flags);
		EXPECT_GE(fd, 0) << rel;
		return fd;
	}
	Res versions(int fd, ioc_data_version &v)
	{
		v = {};
		int rc = ioctl(fd, ZV_IOC_DATA_VERSION, &v);
		return {rc, rc < 0 ? errno : 0};
	}
	Res swap(int fd1, int fd2, uint64_t flags = 0, uint64_t dv1 = 0,
	         uint64_t dv2 = 0, uint32_t gid = 1)
	{
		zorvel_swap_layouts sl{flags, uint32_t(fd2), gid, dv1, dv2};
		int rc = ioctl(fd1, ZV_IOC_SWAP_LAYOUTS, &sl);
		return {rc, rc < 0 ? errno : 0};
	}
	Res lock(int fd, unsigned long gid, bool unlock = false)
	{
		int rc = ioctl(fd,
		               unlock ? ZV_IOC_GROUP_UNLOCK : ZV_IOC_GROUP_LOCK,
		               gid);
		return {rc, rc < 0 ? errno : 0};
	}
	std::string locks(const std::string &rel)
	{
		char buf[512];
		int n = zvsim_grouplock_show(mnt(rel).c_str(), buf, sizeof buf);
		return n < 0 ? "error" : std::string(buf, size_t(n));
	}
};

std::string pattern(size_t n, char seed)
{
	std::string s(n, '\0');
	for (size_t i = 0; i < n; ++i)
		s[i] = char(seed + i * 7 % 251);
	return s;
}

TEST_F(SwapRequests, VersionsMoveWithDataAndLayouts)
{
	write_file(mnt("f"), "data");
	Fd f(open_in("f"));
	ioc_data_version v1, v2;
	ASSERT_EQ(versions(f.fd, v1).rc, 0);
	EXPECT_EQ(v1.idv_layout_version, 0U);
	ASSERT_EQ(versions(f.fd, v2).rc, 0);
	EXPECT_EQ(v2.idv_version, v1.idv_version);

	// A set-stripe changes the layout version, not the data version.
	zv_layout_v1 lum{};
	lum.lmm_magic = ZV_LAYOUT_MAGIC_V1;
	lum.lmm_stripe_count = 2;
	ASSERT_EQ(ioctl(f.fd, ZV_IOC_LOV_SETSTRIPE, &lum), 0);
	ASSERT_EQ(versions(f.fd, v2).rc, 0);
	EXPECT_EQ(v2.idv_version, v1.idv_version);
	EXPECT_GT(v2.idv_layout_version, v1.idv_layout_version);

	// Directories and other objects have none.
	Fd d(open(mnt().c_str(), O_RDONLY | O_DIRECTORY));
	EXPECT_EQ(versions(d.fd, v1).err, EINVAL);
}

TEST_F(SwapRequests, VersionsOfAReusedInodeStartAfresh)
{
	write_file(mnt("f"), "one");
	ioc_data_version v;
	for (int i = 0; i < 3; ++i) {
		Fd f(open_in("f"));
		ASSERT_EQ(ioctl(f.fd, ZV_IOC_DATA_VERSION, &v), 0);
		ASSERT_EQ(write(f.fd, "x", 1), 1);
	}
	Fd f(open_in("f"));
	ASSERT_EQ(versions(f.fd, v).rc, 0);
	uint64_t counted = v.idv_version;
	EXPECT_GE(counted, 3U);
	ASSERT_EQ(unlink(mnt("f").c_str()), 0);
	write_file(mnt("g"), "two");
	Fd g(open_in("g"));
	ASSERT_EQ(versions(g.fd, v).rc, 0);
	EXPECT_EQ(v.idv_version, 1U) << "a new file has its own count";
}

TEST_F(SwapRequests, VersionsFollowWritesOfOtherProcesses)
{
	write_file(mnt("f"), "0123456789");
	Fd f(open_in("f"));
	ioc_data_version before, v;
	ASSERT_EQ(versions(f.fd, before).rc, 0);
	ASSERT_EQ(versions(f.fd, v).rc, 0);
	EXPECT_EQ(v.idv_version, before.idv_version)
	        << "asking changes nothing";

	// another process reads: no change
	std::string path = mnt("f");
	EXPECT_EQ(in_child([&] {
		          char buf[4];
		          int fd = open(path.c_str(), O_RDONLY);
		          return fd >= 0 && read(fd, buf, 4) == 4 ? 0 : 1;
	          }),
	          0);
	ASSERT_EQ(versions(f.fd, v).rc, 0);
	EXPECT_EQ(v.idv_version, before.idv_version);

	// another process overwrites in place (same size): a change
	EXPECT_EQ(in_child([&] {
		          int fd = open(path.c_str(), O_WRONLY);
		          return fd >= 0 && pwrite(fd, "x", 1, 3) == 1 ? 0 : 1;
	          }),
	          0);
	ioc_data_version after_write;
	ASSERT_EQ(versions(f.fd, after_write).rc, 0);
	EXPECT_NE(after_write.idv_version, before.idv_version);

	ASSERT_EQ(ftruncate(f.fd, 4), 0);
	ASSERT_EQ(versions(f.fd, v).rc, 0);
	EXPECT_NE(v.idv_version, after_write.idv_version)
	        << "a truncation is a change";
}

TEST_F(SwapRequests, SwapExchangesContentSizeAndLayouts)
{
	// Large enough for several copy rounds, with a hole in the middle.
	std::string big = pattern(3 << 20, 'a');
	write_file(mnt("big"), big);
	Fd big_fd(open_in("big"));
	ASSERT_EQ(pwrite(big_fd.fd, "tail", 4, 40 << 20), 4);
	write_file(mnt("small"), "small");
	zv_layout_v1 lum{};
	lum.lmm_magic = ZV_LAYOUT_MAGIC_V1;
	lum.lmm_stripe_count = 2;
	Fd small_fd(open_in("small"));
	ASSERT_EQ(ioctl(small_fd.fd, ZV_IOC_LOV_SETSTRIPE, &lum), 0);
	zo_fid fb = fid(mnt("big")), fs = fid(mnt("small"));
	ioc_data_version vb0, vs0, vb1, vs1;
	ASSERT_EQ(versions(big_fd.fd, vb0).rc, 0);
	ASSERT_EQ(versions(small_fd.fd, vs0).rc, 0);

	ASSERT_EQ(swap(big_fd.fd, small_fd.fd).rc, 0);
	EXPECT_EQ(read_file(mnt("big")), "small");
	std::string moved = read_file(mnt("small"));
	ASSERT_EQ(moved.size(), size_t(40 << 20) + 4);
	EXPECT_EQ(moved.substr(0, big.size()), big);
	EXPECT_EQ(moved.substr(40 << 20), "tail");
	struct stat st;
	ASSERT_EQ(stat(mnt("small").c_str(), &st), 0);
	EXPECT_LT(st.st_blocks * 512, 8 << 20) << "the hole stays a hole";
	EXPECT_TRUE(same_fid(fid(mnt("big")), fb));
	EXPECT_TRUE(same_fid(fid(mnt("small")), fs));

	// The stored striping went with the data.
	std::vector<char> buf(ZV_LAYOUT_MAX_SIZE);
	ASSERT_EQ(ioctl(big_fd.fd, ZV_IOC_LOV_GETSTRIPE, buf.data()), 0);
	EXPECT_EQ(
	        reinterpret_cast<zv_layout_v1 *>(buf.data())->lmm_stripe_count,
	        2);
	ASSERT_EQ(ioctl(small_fd.fd, ZV_IOC_LOV_GETSTRIPE, buf.data()), 0);
	EXPECT_EQ(
	        reinterpret_cast<zv_layout_v1 *>(buf.data())->lmm_stripe_count,
	        1)
	        << "the default";

	ASSERT_EQ(versions(big_fd.fd, vb1).rc, 0);
	ASSERT_EQ(versions(small_fd.fd, vs1).rc, 0);
	EXPECT_NE(vb1.idv_version, vb0.idv_version);
	EXPECT_NE(vs1.idv_version, vs0.idv_version);
	EXPECT_NE(vb1.idv_layout_version, vb0.idv_layout_version);
	EXPECT_NE(vs1.idv_layout_version, vs0.idv_layout_version);
}

TEST_F(SwapRequests, SwapChecksVersionsFirst)
{
	write_file(mnt("a"), "aa");
	write_file(mnt("b"), "bb");
	Fd a(open_in("a")), b(open_in("b"));
	ioc_data_version va, vb;
	ASSERT_EQ(versions(a.fd, va).rc, 0);
	ASSERT_EQ(versions(b.fd, vb).rc, 0);
	EXPECT_EQ(
	        swap(a.fd, b.fd, ZV_SWAP_CHECK_DV2, 0, vb.idv_version + 1).err,
	        EAGAIN);
	EXPECT_EQ(swap(a.fd, b.fd, ZV_SWAP_CHECK_DV1, va.idv_version + 1).err,
	          EAGAIN);
	EXPECT_EQ(read_file(mnt("a")), "aa");
	ioc_data_version again;
	ASSERT_EQ(versions(a.fd, again).rc, 0);
	EXPECT_EQ(again.idv_version, va.idv_version) << "nothing changed";
	EXPECT_EQ(swap(a.fd, b.fd, ZV_SWAP_CHECK_DV1 | ZV_SWAP_CHECK_DV2,
	               va.idv_version, vb.idv_version)
	                  .rc,
	          0);
	EXPECT_EQ(read_file(mnt("a")), "bb");
}

TEST_F(SwapRequests, SwapRefusals)
{
	write_file(mnt("a"), "a");
	write_file(mnt("b"), "b");
	ASSERT_EQ(mkdir(mnt("d").c_str(), 0755), 0);
	write_file(tmp_.path() + "/outside", "o");
	Fd a(open_in("a")), b(open_in("b"));
	Fd ro(open_in("b", O_RDONLY));
	Fd d(open(mnt("d").c_str(), O_RDONLY | O_DIRECTORY));
	Fd out(open((tmp_.path() + "/outside").c_str(), O_RDWR));
	EXPECT_EQ(swap(a.fd, out.fd).err, EXDEV);
	EXPECT_EQ(swap(a.fd, 9999).err, EBADF);
	EXPECT_EQ(swap(a.fd, d.fd).err, EINVAL);
	EXPECT_EQ(swap(d.fd, a.fd).err, EINVAL);
	EXPECT_EQ(swap(a.fd, a.fd).err, EINVAL);
	EXPECT_EQ(swap(a.fd, ro.fd).err, EBADF);
	// Locked under another id: busy; under the swap's own id: fine.
	ASSERT_EQ(lock(b.fd, 42).rc, 0);
	EXPECT_EQ(swap(a.fd, b.fd, 0, 0, 0, 41).err, EBUSY);
	EXPECT_EQ(swap(a.fd, b.fd, 0, 0, 0, 42).rc, 0);
	EXPECT_EQ(read_file(mnt("a")), "b");
	EXPECT_EQ(read_file(tmp_.path() + "/outside"), "o");
}

// A swap exchanged mirror 1 only: mirrors 2 and up kept the old file's
// data, marked current.
TEST_F(SwapRequests, SwapMovesEveryMirrorWithItsFile)
{
	write_file(mnt("a"), "a1");
	write_file(mnt("b"), "b1");
	ASSERT_EQ(zvsim_mirror_count(mnt("a").c_str(), 3), 0);
	ASSERT_EQ(zvsim_mirror_count(mnt("b").c_str(), 2), 0);
	auto put = [&](const char *rel, unsigned long id, const char *data) {
		Fd fd(open_in(rel));
		ASSERT_EQ(ioctl(fd.fd, ZV_IOC_MIRROR_SET, id), 0);
		ASSERT_EQ(pwrite(fd.fd, data, strlen(data), 0),
		          ssize_t(strlen(data)));
	};
	put("a", 2, "a-two");
	put("a", 3, "a-three");
	put("b", 2, "b2");
	auto list = [&](const char *rel) {
		char buf[512];
		int n = zvsim_mirror_list(mnt(rel).c_str(), buf, sizeof buf);
		return n < 0 ? "error" : std::string(buf, size_t(n));
	};
	Fd a(open_in("a")), b(open_in("b"));
	ASSERT_EQ(swap(a.fd, b.fd).rc, 0);
	EXPECT_EQ(list("a"), "1 2 0 0+2\n2 2 0 0+2\n");
	EXPECT_EQ(list("b"), "1 2 0 0+2\n2 5 0 0+5\n3 7 0 0+7\n");
	char got[8] = {};
	ASSERT_EQ(zvsim_mirror_read(mnt("a").c_str(), 2, 0, got, 8), 2);
	EXPECT_STREQ(got, "b2");
	ASSERT_EQ(zvsim_mirror_read(mnt("b").c_str(), 3, 0, got, 8), 7);
	EXPECT_STREQ(got, "a-three");
	// Stale marks go with the mirrors.
	ASSERT_EQ(pwrite(b.fd, "B", 1, 0), 1);
	ASSERT_EQ(swap(a.fd, b.fd).rc, 0);
	EXPECT_EQ(list("a"), "1 2 0 0+2\n2 5 1 0+5\n3 7 1 0+7\n");
	EXPECT_EQ(list("b"), "1 2 0 0+2\n2 2 0 0+2\n");
}

TEST_F(SwapRequests, VolatileNames)
{
	const std::string hdr = ".\x1a\x11\x16\x18:VOLATILE";
	auto create = [&](const std::string &dir, const std::string &suffix) {
		int fd = open((dir + "/" + hdr + suffix).c_str(),
		              O_CREAT | O_EXCL | O_RDWR, 0600);
		Res r{fd, fd < 0 ? errno : 0};
		if (fd >= 0) {
			unlink((dir + "/" + hdr + suffix).c_str());
			close(fd);
		}
		return r;
	};
	EXPECT_EQ(create(mnt(), "::1A2B").rc >= 0, true);
	EXPECT_EQ(create(mnt(), ":0000:7FFFFFFF").rc >= 0, true);
	EXPECT_EQ(create(mnt(), ":0001:1234").err, ENODEV) << "one target";
	for (const char *bad : {"::1a2b", "::12", ":0:1234", "", ":",
	                        "::123456789", ":0000:", "::12 4"})
		EXPECT_EQ(create(mnt(), bad).err, EINVAL) << bad;
	// Outside the mount the name means nothing.
	EXPECT_GE(create(tmp_.path(), ":0009:1").rc, 0);

	resetup(4);
	EXPECT_GE(create(mnt(), ":0003:ABCD").rc, 0);
	EXPECT_EQ(create(mnt(), ":0004:ABCD").err, ENODEV);
}

TEST_F(SwapRequests, GroupLocksPerOpenFile)
{
	write_file(mnt("f"), "x");
	Fd f(open_in("f"));
	ASSERT_EQ(lock(f.fd, 9).rc, 0);
	int pid = getpid();
	EXPECT_EQ(locks("f"), "gid=9 pid=" + std::to_string(pid) + "\n");

	// A duplicate shares it: closing the original keeps the lock.
	int dup_fd = dup(f.fd);
	close(f.fd);
	f.fd = -1;
	EXPECT_EQ(locks("f"), "gid=9 pid=" + std::to_string(pid) + "\n");
	EXPECT_EQ(lock(dup_fd, 9, true).rc, 0) << "unlocked through the dup";
	EXPECT_EQ(locks("f"), "");
	ASSERT_EQ(lock(dup_fd, 9).rc, 0);

	// A child's close of an inherited descriptor releases nothing.
	EXPECT_EQ(in_child([&] { return close(dup_fd) == 0 ? 0 : 1; }), 0);
	EXPECT_EQ(locks("f"), "gid=9 pid=" + std::to_string(pid) + "\n");
	close(dup_fd);
	EXPECT_EQ(locks("f"), "") << "the last close releases";

	Fd d(open(mnt().c_str(), O_RDONLY | O_DIRECTORY));
	EXPECT_EQ(lock(d.fd, 1).err, EINVAL) << "a directory";
}

TEST_F(SwapRequests, GroupLocksAcrossProcesses)
{
	write_file(mnt("f"), "x");
	Fd f(open_in("f"));
	ASSERT_EQ(lock(f.fd, 5).rc, 0);
	// the same id is shared; another one is refused at once without
	// blocking
	std::string path = mnt("f");
	EXPECT_EQ(in_child([&] {
		          int fd = open(path.c_str(), O_RDWR);
		          return lock(fd, 5).rc == 0 ? 0 : 1;
	          }),
	          0);
	EXPECT_EQ(in_child([&] {
		          int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
		          return lock(fd, 6).err;
	          }),
	          EAGAIN);
	// a blocking lock of another id gets it once the holder closes (the
	// child's inherited copy names the holder's open file too)
	child waiter([&] {
		close(f.fd);
		int fd = open(path.c_str(), O_RDWR);
		return lock(fd, 6).rc == 0 ? 0 : 1;
	});
	usleep(50 * 1000);
	close(f.fd);
	f.fd = -1;
	EXPECT_EQ(waiter.wait(), 0);
}

TEST_F(SwapRequests, GroupLockOfAKilledHolderGoes)
{
	write_file(mnt("f"), "x");
	std::string path = mnt("f");
	child holder([&] {
		int fd = open(path.c_str(), O_RDWR);
		if (ioctl(fd, ZV_IOC_GROUP_LOCK, 3UL) != 0)
			return 1;
		pause();
		return 0;
	});
	for (int i = 0; i < 500 && locks("f").empty(); ++i)
		usleep(10000);
	ASSERT_NE(locks("f"), "");
	Fd f(open_in("f", O_RDWR | O_NONBLOCK));
	EXPECT_EQ(lock(f.fd, 4).err, EAGAIN);
	kill(holder.pid(), SIGKILL);
	holder.wait();
	EXPECT_EQ(lock(f.fd, 4).rc, 0) << "a dead process holds nothing";
	EXPECT_EQ(locks("f"), "gid=4 pid=" + std::to_string(getpid()) + "\n");
}

TEST_F(SwapRequests, LauncherShowsGroupLocks)
{
	write_file(mnt("f"), "x");
	Fd f(open_in("f"));
	ASSERT_EQ(lock(f.fd, 12).rc, 0);
	run_result r = run_program({ZVSIM_LAUNCHER, "--state", state(),
	                            "grouplock", "show", mnt("f")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "gid=12 pid=" + std::to_string(getpid()) + "\n");
	r = run_program({ZVSIM_LAUNCHER, "--state", state(), "grouplock",
	                 "show", tmp_.path()});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("Invalid argument"), std::string::npos) << r.err;
}

} // namespace
