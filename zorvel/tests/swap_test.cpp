/* Data versions, volatile files, layout swaps and group locks through the
 * simulated kernel client: what the caller gets and what the kernel
 * received (records built here byte by byte). */
#include "fid_words.h"
#include "wire_words.h"
#include "zvtest/alloc_sweep.h"
#include "zvtest/child.h"
#include "zvtest/fds.h"
#include "zvtest/files.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using zvtest::fd_owner;
using zvtest::in_child;
using zvtest::read_file;
using zvtest::stderr_capture;
using zvtest::write_file;

using wiretest::operator+;
using wiretest::prog;
using wiretest::u32s;
using wiretest::u64;

uint64_t u64_at(const std::vector<unsigned char> &b, size_t off)
{
	uint64_t v = 0;
	for (int i = 7; i >= 0; i--)
		v = v << 8 | b.at(off + i);
	return v;
}

std::vector<std::string> entries(const std::string &dir)
{
	std::vector<std::string> out;
	DIR *d = opendir(dir.c_str());
	while (struct dirent *de = d ? readdir(d) : nullptr)
		if (strcmp(de->d_name, ".") && strcmp(de->d_name, ".."))
			out.push_back(de->d_name);
	if (d)
		closedir(d);
	return out;
}

class Swap : public zvtest::sim_fixture
{
      protected:
	int open_rw(const std::string &rel, int extra = 0)
	{
		int fd = open(in_mount(rel).c_str(), O_RDWR | extra);
		EXPECT_GE(fd, 0) << rel;
		return fd;
	}
	uint64_t dv(int fd)
	{
		uint64_t v = 0;
		EXPECT_EQ(zvapi_get_data_version(fd, &v, 0), 0);
		return v;
	}
	zo_fid fid_of(const std::string &rel)
	{
		return fidtest::fid_of(in_mount(rel));
	}
};

/* ---- data versions ----------------------------------------------------- */

TEST_F(Swap, DataVersionOnTheWire)
{
	write_file(in_mount("f"), "data");
	fd_owner f(open_rw("f"));
	clear_requests();
	uint64_t v = 0, untouched = 0x5a5a;
	ASSERT_EQ(zvapi_get_data_version(f.fd, &v, 0x1234567800000003ULL), 0);
	EXPECT_NE(v, 0U);
	uint32_t lv = 77;
	ASSERT_EQ(zvapi_get_ost_layout_version(f.fd, &lv), 0);
	EXPECT_EQ(lv, 0U) << "no stored layout, never swapped";

	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 2U);
	EXPECT_EQ(reqs[0].code, 0x801066DAUL);
	EXPECT_EQ(reqs[0].size, 16U);
	ASSERT_EQ(reqs[0].bytes.size(), 16U);
	/* only the low 32 bits of the flags travel */
	EXPECT_EQ(std::vector<unsigned char>(reqs[0].bytes.begin() + 12,
	                                     reqs[0].bytes.end()),
	          u32s({3}));
	EXPECT_EQ(reqs[1].bytes, std::vector<unsigned char>(16, 0))
	        << "the layout version asks with an all-zero record";

	/* a failed request leaves the caller's value alone */
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_DATA_VERSION, EIO, 0), 0);
	EXPECT_EQ(zvapi_get_data_version(f.fd, &untouched, 0), -EIO);
	EXPECT_EQ(untouched, 0x5a5aU);
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_DATA_VERSION, ENOTTY, 0), 0);
	EXPECT_EQ(zvapi_get_ost_layout_version(f.fd, &lv), -ENOTTY);
	EXPECT_EQ(zvapi_get_data_version(f.fd, nullptr, 0), -EINVAL);
}

/* A positive answer carries no errno: it must not pass for success with
 * the version left unset, nor return a stale errno. */
TEST_F(Swap, DataVersionPositiveAnswerIsAProtocolError)
{
	write_file(in_mount("f"), "data");
	fd_owner f(open_rw("f"));
	std::string reply(16, '\x11');
	ASSERT_EQ(zvsim_inject_reply(ZV_IOC_DATA_VERSION, reply.data(),
	                             reply.size(), 1),
	          0);
	uint64_t v = 9;
	errno = 0;
	EXPECT_EQ(zvapi_get_data_version(f.fd, &v, 0), -EPROTO);
	EXPECT_EQ(v, 9U);
}

/* ---- volatile files ---------------------------------------------------- */

TEST_F(Swap, VolatileFileHasNoName)
{
	ASSERT_EQ(mkdir(in_mount("d").c_str(), 0755), 0);
	errno = 1234;
	int fd = zvapi_create_volatile_idx(in_mount("d").c_str(), -1, 0);
	ASSERT_GE(fd, 0);
	fd_owner f(fd);
	EXPECT_EQ(errno, 1234) << "the caller's errno is kept";
	EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
	struct stat st;
	ASSERT_EQ(fstat(fd, &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0600U);
	EXPECT_EQ(st.st_nlink, 0U);
	EXPECT_TRUE(entries(in_mount("d")).empty()) << "no name is left";
	ASSERT_EQ(write(fd, "kept", 4), 4);

	/* the kernel saw the name's form: header, "::", random digits */
	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 1U);
	EXPECT_EQ(reqs[0].code, ZVSIM_REQ_VOLATILE_OPEN);
	std::string path(reqs[0].bytes.begin(), reqs[0].bytes.end());
	std::string head = in_mount("d") + "/.\x1a\x11\x16\x18:VOLATILE::";
	ASSERT_EQ(path.compare(0, head.size(), head), 0) << path;
	std::string digits = path.substr(head.size());
	EXPECT_GE(digits.size(), 4U);
	EXPECT_EQ(digits.find_first_not_of("0123456789ABCDEF"),
	          std::string::npos)
	        << digits;

	/* a write-only request stays write-only; an index goes in the name */
	clear_requests();
	fd_owner w(
	        zvapi_create_volatile_idx(in_mount("d").c_str(), 0, O_WRONLY));
	ASSERT_GE(w.fd, 0);
	EXPECT_EQ(fcntl(w.fd, F_GETFL) & O_ACCMODE, O_WRONLY);
	reqs = requests();
	ASSERT_EQ(reqs.size(), 1U);
	path.assign(reqs[0].bytes.begin(), reqs[0].bytes.end());
	EXPECT_NE(path.find(":VOLATILE:0000:"), std::string::npos) << path;
}

TEST_F(Swap, VolatileFileWithStriping)
{
	zvapi_stripe_param param{};
	param.zsp_stripe_count = 2;
	param.zsp_stripe_offset = -1;
	int fd = zvapi_create_volatile_param(mount_path().c_str(), -1, O_RDWR,
	                                     0640, &param);
	ASSERT_GE(fd, 0);
	fd_owner f(fd);
	uint32_t lv = 0;
	ASSERT_EQ(zvapi_get_ost_layout_version(fd, &lv), 0);
	EXPECT_EQ(lv, 1U) << "a stored layout";
	struct stat st;
	ASSERT_EQ(fstat(fd, &st), 0);
	EXPECT_EQ(st.st_nlink, 0U);
}

/* Regression: a striping the kernel refused left the volatile name in the
 * directory. */
TEST_F(Swap, VolatileFileWithRefusedStripingLeavesNoName)
{
	ASSERT_EQ(mkdir(in_mount("d").c_str(), 0755), 0);
	zvapi_stripe_param param{};
	param.zsp_stripe_count = 1;
	param.zsp_stripe_offset = 7; /* the file system has 2 targets */
	stderr_capture cap;
	EXPECT_EQ(zvapi_create_volatile_param(in_mount("d").c_str(), -1, 0,
	                                      0600, &param),
	          -EINVAL);
	EXPECT_NE(cap.finish().find("Cannot create volatile file '::"),
	          std::string::npos);
	EXPECT_TRUE(entries(in_mount("d")).empty());
}

TEST_F(Swap, VolatileFileFailures)
{
	std::string dir = mount_path();
	/* a target this mount lacks */
	stderr_capture cap;
	int rc = zvapi_create_volatile_idx(dir.c_str(), 5, 0);
	std::string err = cap.finish();
	EXPECT_EQ(rc, -ENODEV);
	EXPECT_EQ(
	        err.rfind(prog() + ": Cannot create volatile file ':0005:", 0),
	        0U)
	        << err;
	EXPECT_NE(err.find("' in '" + dir + "': No such device (19)\n"),
	          std::string::npos)
	        << err;

	/* a directory path so long the name cannot be formed: nothing opened */
	std::string longdir = "/" + std::string(4080, 'd');
	int before = zvtest::open_fd_count();
	stderr_capture quiet;
	EXPECT_EQ(zvapi_create_volatile_idx(longdir.c_str(), -1, 0),
	          -ENAMETOOLONG);
	EXPECT_EQ(quiet.finish(), "") << "no message for a name too long";
	EXPECT_EQ(zvtest::open_fd_count(), before);
	EXPECT_EQ(zvapi_create_volatile_idx(nullptr, -1, 0), -EINVAL);
}

TEST_F(Swap, VolatileNameCollisionIsRetriedSilently)
{
	/* the first draw is known: its name taken, the second is used */
	srandom(4242);
	long first = random();
	char name[64];
	snprintf(name, sizeof(name), ".\x1a\x11\x16\x18:VOLATILE::%.4lX",
	         first);
	write_file(in_mount(name), "taken");
	srandom(4242);
	stderr_capture cap;
	int fd = zvapi_create_volatile_idx(mount_path().c_str(), -1, 0);
	EXPECT_EQ(cap.finish(), "");
	ASSERT_GE(fd, 0);
	close(fd);
	EXPECT_EQ(read_file(in_mount(name)), "taken");
}

/* Regression: a kernel that answers EEXIST to every name used to keep the
 * caller drawing names for ever. */
TEST_F(Swap, VolatileCreationGivesUpOnEndlessCollisions)
{
	ASSERT_EQ(zvsim_inject_errno(ZVSIM_REQ_VOLATILE_OPEN, EEXIST, 1), 0);
	ASSERT_EQ(zvsim_log_enable(0), 0); /* thousands of requests */
	int before = zvtest::open_fd_count();
	stderr_capture cap;
	int rc = zvapi_create_volatile_idx(mount_path().c_str(), -1, 0);
	std::string err = cap.finish();
	EXPECT_EQ(rc, -EEXIST);
	EXPECT_NE(err.find(": Cannot create volatile file '::"),
	          std::string::npos)
	        << err;
	EXPECT_NE(err.find("': File exists (17)\n"), std::string::npos) << err;
	EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
	EXPECT_EQ(zvtest::open_fd_count(), before);
}

/* ---- layout swaps ------------------------------------------------------ */

TEST_F(Swap, SwapExchangesDataAndKeepsFids)
{
	write_file(in_mount("a"), "first file, longer");
	write_file(in_mount("b"), "second");
	zo_fid fa = fid_of("a"), fb = fid_of("b");
	fd_owner a(open_rw("a")), b(open_rw("b"));
	uint64_t dva = dv(a.fd), dvb = dv(b.fd);
	clear_requests();
	uint64_t flags = ZV_SWAP_CHECK_DV1 | ZV_SWAP_CHECK_DV2 | 0x100;
	ASSERT_EQ(zvapi_fswap_layouts_grouplock(a.fd, b.fd, dva, dvb, 0x77,
	                                        flags),
	          0);
	EXPECT_EQ(read_file(in_mount("a")), "second");
	EXPECT_EQ(read_file(in_mount("b")), "first file, longer");
	EXPECT_TRUE(fid_of("a") == fa);
	EXPECT_TRUE(fid_of("b") == fb);
	EXPECT_NE(dv(a.fd), dva) << "a swap changes the data version";

	auto reqs = requests();
	ASSERT_GE(reqs.size(), 1U);
	EXPECT_EQ(reqs[0].code, 0x402066DBUL);
	EXPECT_EQ(reqs[0].bytes, u64(flags) + u32s({uint32_t(b.fd), 0x77}) +
	                                 u64(dva) + u64(dvb));
}

TEST_F(Swap, SwapRefusedWhenTheDataMoved)
{
	write_file(in_mount("a"), "aaaa");
	write_file(in_mount("b"), "bbbb");
	fd_owner a(open_rw("a")), b(open_rw("b"));
	uint64_t dva = dv(a.fd);
	EXPECT_EQ(in_child([&] {
		          int fd = open(in_mount("a").c_str(), O_WRONLY);
		          return fd >= 0 && write(fd, "A", 1) == 1 ? 0 : 1;
	          }),
	          0);
	EXPECT_EQ(zvapi_fswap_layouts(a.fd, b.fd, dva, 0, ZV_SWAP_CHECK_DV1),
	          -EAGAIN);
	EXPECT_EQ(read_file(in_mount("a")), "Aaaa") << "nothing exchanged";
	EXPECT_EQ(read_file(in_mount("b")), "bbbb");
	/* unchecked, it goes through */
	EXPECT_EQ(zvapi_fswap_layouts(a.fd, b.fd, dva, 0, 0), 0);
	EXPECT_EQ(read_file(in_mount("a")), "bbbb");
}

TEST_F(Swap, SwapKeepsTimesAtWholeSeconds)
{
	write_file(in_mount("a"), "a");
	write_file(in_mount("b"), "b");
	struct timespec ta[2] = {{1000, 111}, {2000, 222}};
	struct timespec tb[2] = {{3000, 333}, {4000, 444}};
	ASSERT_EQ(utimensat(AT_FDCWD, in_mount("a").c_str(), ta, 0), 0);
	ASSERT_EQ(utimensat(AT_FDCWD, in_mount("b").c_str(), tb, 0), 0);
	fd_owner a(open_rw("a")), b(open_rw("b"));
	ASSERT_EQ(zvapi_fswap_layouts(a.fd, b.fd, 0, 0, ZV_SWAP_KEEP_MTIME), 0);
	struct stat sa, sb;
	ASSERT_EQ(fstat(a.fd, &sa), 0);
	ASSERT_EQ(fstat(b.fd, &sb), 0);
	/* own modification time, the other's access time; no fractions */
	EXPECT_EQ(sa.st_mtim.tv_sec, 2000);
	EXPECT_EQ(sa.st_mtim.tv_nsec, 0);
	EXPECT_EQ(sa.st_atim.tv_sec, 3000);
	EXPECT_EQ(sb.st_mtim.tv_sec, 4000);
	EXPECT_EQ(sb.st_atim.tv_sec, 1000);
	EXPECT_EQ(sb.st_atim.tv_nsec, 0);

	ASSERT_EQ(zvapi_fswap_layouts(a.fd, b.fd, 0, 0,
	                              ZV_SWAP_KEEP_MTIME | ZV_SWAP_KEEP_ATIME),
	          0);
	ASSERT_EQ(fstat(a.fd, &sa), 0);
	EXPECT_EQ(sa.st_mtim.tv_sec, 2000);
	EXPECT_EQ(sa.st_atim.tv_sec, 3000);
	EXPECT_EQ(read_file(in_mount("a")), "a") << "swapped back";

	/* the swap fails: no time is touched */
	ASSERT_EQ(utimensat(AT_FDCWD, in_mount("a").c_str(), ta, 0), 0);
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_SWAP_LAYOUTS, EPERM, 0), 0);
	EXPECT_EQ(zvapi_fswap_layouts(a.fd, b.fd, 0, 0, ZV_SWAP_KEEP_ATIME),
	          -EPERM);
	ASSERT_EQ(fstat(a.fd, &sa), 0);
	EXPECT_EQ(sa.st_atim.tv_nsec, 111);
	EXPECT_EQ(sa.st_mtim.tv_nsec, 222);
}

TEST_F(Swap, SwapGroupIdsAreNeverZero)
{
	write_file(in_mount("a"), "a");
	write_file(in_mount("b"), "b");
	fd_owner a(open_rw("a")), b(open_rw("b"));
	clear_requests();
	for (int i = 0; i < 20; i++)
		ASSERT_EQ(zvapi_fswap_layouts(a.fd, b.fd, 0, 0, 0), 0);
	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 20U);
	for (const auto &r : reqs)
		EXPECT_NE(u64_at(r.bytes, 8) >> 32, 0U) << "gid";
}

TEST_F(Swap, SwapByPath)
{
	write_file(in_mount("a"), "one");
	write_file(in_mount("b"), "two");
	ASSERT_EQ(zvapi_swap_layouts(in_mount("a").c_str(),
	                             in_mount("b").c_str(), 0, 0, 0),
	          0);
	EXPECT_EQ(read_file(in_mount("a")), "two");

	int before = zvtest::open_fd_count();
	stderr_capture cap;
	EXPECT_EQ(zvapi_swap_layouts(in_mount("a").c_str(),
	                             in_mount("none").c_str(), 0, 0, 0),
	          -ENOENT);
	EXPECT_EQ(cap.finish(), prog() + ": error: cannot open '" +
	                                in_mount("none") +
	                                "' for write: No such file or "
	                                "directory (2)\n");
	EXPECT_EQ(zvtest::open_fd_count(), before);

	uint64_t stale = 1;
	stderr_capture cap2;
	EXPECT_EQ(zvapi_swap_layouts(in_mount("a").c_str(),
	                             in_mount("b").c_str(), stale, 0,
	                             ZV_SWAP_CHECK_DV1),
	          -EAGAIN);
	EXPECT_EQ(cap2.finish(),
	          prog() + ": error: cannot swap layout between '" +
	                  in_mount("a") + "' and '" + in_mount("b") +
	                  "': Resource temporarily unavailable (11)\n");
	EXPECT_EQ(zvtest::open_fd_count(), before);
	EXPECT_EQ(read_file(in_mount("a")), "two");
}

/* ---- group locks ------------------------------------------------------- */

TEST_F(Swap, GroupLockIdsOnTheWire)
{
	write_file(in_mount("f"), "x");
	fd_owner f(open_rw("f"));
	clear_requests();
	EXPECT_EQ(zvapi_group_lock(f.fd, -1), 0);
	EXPECT_EQ(zvapi_group_unlock(f.fd, -1), 0);
	EXPECT_EQ(zvapi_group_lock64(f.fd, ~0ULL), 0);
	EXPECT_EQ(zvapi_group_unlock64(f.fd, ~0ULL), 0);
	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 4U);
	EXPECT_EQ(reqs[0].code, 0x4008669EUL);
	EXPECT_EQ(reqs[1].code, 0x4008669FUL);
	EXPECT_EQ(reqs[0].bytes, u64(0xFFFFFFFFULL))
	        << "a 32-bit id is not sign-extended";
	EXPECT_EQ(reqs[1].bytes, u64(0xFFFFFFFFULL));
	EXPECT_EQ(reqs[2].bytes, u64(~0ULL));
	EXPECT_EQ(reqs[3].bytes, u64(~0ULL));
}

TEST_F(Swap, GroupLockRefusalsAreReported)
{
	write_file(in_mount("f"), "x");
	fd_owner f(open_rw("f"));
	ASSERT_EQ(zvapi_group_lock(f.fd, 7), 0);
	stderr_capture cap;
	EXPECT_EQ(zvapi_group_lock(f.fd, 7), -EINVAL) << "one per descriptor";
	EXPECT_EQ(zvapi_group_unlock(f.fd, 8), -EINVAL) << "not held";
	EXPECT_EQ(zvapi_group_lock(f.fd, 0), -EINVAL);
	EXPECT_EQ(cap.finish(),
	          prog() + ": cannot get group lock: Invalid argument (22)\n" +
	                  prog() +
	                  ": cannot put group lock: Invalid argument (22)\n" +
	                  prog() +
	                  ": cannot get group lock: Invalid argument (22)\n");
	EXPECT_EQ(zvapi_group_unlock(f.fd, 7), 0);
}

/* ---- every request failing, every allocation failing ------------------- */

TEST_F(Swap, InjectedFailuresLeakNothing)
{
	write_file(in_mount("a"), "a");
	write_file(in_mount("b"), "b");
	fd_owner a(open_rw("a")), b(open_rw("b"));
	int before = zvtest::open_fd_count();
	uint64_t v;
	uint32_t lv;
	struct {
		unsigned long code;
		std::function<int()> call;
	} cases[] = {
	        {ZV_IOC_DATA_VERSION,
	         [&] { return zvapi_get_data_version(a.fd, &v, 0); }},
	        {ZV_IOC_DATA_VERSION,
	         [&] { return zvapi_get_ost_layout_version(a.fd, &lv); }},
	        {ZV_IOC_SWAP_LAYOUTS,
	         [&] {
		         return zvapi_swap_layouts(in_mount("a").c_str(),
		                                   in_mount("b").c_str(), 0, 0,
		                                   ZV_SWAP_KEEP_ATIME);
	         }},
	        {ZV_IOC_GROUP_LOCK, [&] { return zvapi_group_lock(a.fd, 1); }},
	        {ZV_IOC_GROUP_UNLOCK,
	         [&] { return zvapi_group_unlock(a.fd, 1); }},
	        {ZVSIM_REQ_VOLATILE_OPEN,
	         [&] {
		         return zvapi_create_volatile_idx(mount_path().c_str(),
		                                          -1, 0);
	         }},
	};
	for (auto &c : cases) {
		ASSERT_EQ(zvsim_inject_errno(c.code, ESTALE, 0), 0);
		stderr_capture cap;
		EXPECT_EQ(c.call(), -ESTALE) << std::hex << c.code;
		cap.finish();
		EXPECT_EQ(zvtest::open_fd_count(), before)
		        << std::hex << c.code;
	}
}

TEST_F(Swap, AllocationFailures)
{
	write_file(in_mount("a"), "a");
	write_file(in_mount("b"), "b");
	zvtest::each_allocation_fails("libzorvelapi", [&] {
		return zvapi_swap_layouts(in_mount("a").c_str(),
		                          in_mount("b").c_str(), 0, 0,
		                          ZV_SWAP_KEEP_MTIME);
	});
	zvtest::each_allocation_fails("libzorvelapi", [&] {
		int fd = zvapi_create_volatile_idx(mount_path().c_str(), -1, 0);
		if (fd >= 0)
			close(fd);
		return fd < 0 ? fd : 0;
	});
}

} // namespace
