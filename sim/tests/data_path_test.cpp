// The data path of the simulated mount: mirrors selected on descriptors,
// heat counted from I/O, advice requests, and nodemaps.
#include "helpers.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_advice.h>
#include <linux/zorvel/zorvel_heat.h>
#include <linux/zorvel/zorvel_mirror.h>
#include <linux/zorvel/zorvel_swap.h>

using namespace zvtest;

namespace
{

class DataPath : public Sim
{
      protected:
	std::string list(const std::string &path)
	{
		char buf[4096];
		int n = zvsim_mirror_list(path.c_str(), buf, sizeof buf);
		EXPECT_GE(n, 0);
		return n < 0 ? "" : std::string(buf, std::min<int>(n, 4096));
	}
	std::string mirror(const std::string &path, unsigned id,
	                   size_t len = 64, int64_t off = 0)
	{
		std::string out(len, '\0');
		int n = zvsim_mirror_read(path.c_str(), id, off, out.data(),
		                          len);
		EXPECT_GE(n, 0);
		out.resize(n < 0 ? 0 : n);
		return out;
	}
	static Res select(int fd, unsigned long id)
	{
		int rc = ioctl(fd, ZV_IOC_MIRROR_SET, id);
		return {rc, rc < 0 ? errno : 0};
	}
	static off_t size_of(int fd)
	{
		struct stat st;
		return fstat(fd, &st) == 0 ? st.st_size : -1;
	}
	/* The file's heat: the first n values. */
	std::vector<uint64_t> heat(int fd, uint32_t n = 4,
	                           uint32_t *flags = nullptr)
	{
		std::vector<uint64_t> buf(1 + n + 1, 0xABABABABABABABABull);
		auto *h = reinterpret_cast<zo_heat *>(buf.data());
		h->zh_count = n;
		EXPECT_EQ(ioctl(fd, ZV_IOC_HEAT_GET, h), 0) << strerror(errno);
		EXPECT_EQ(buf.back(), 0xABABABABABABABABull)
		        << "nothing past the values asked for";
		if (flags)
			*flags = h->zh_flags;
		return std::vector<uint64_t>(buf.begin() + 1, buf.end() - 1);
	}
};

TEST_F(DataPath, EachMirrorHasItsOwnDataHolesAndSize)
{
	std::string f = mnt("m");
	write_file(f, "primary!");
	ASSERT_EQ(zvsim_mirror_count(f.c_str(), 3), 0);
	EXPECT_EQ(list(f), "1 8 0 0+8\n2 0 1 -\n3 0 1 -\n")
	        << "new mirrors start empty and stale";

	Fd fd(open(f.c_str(), O_RDWR));
	ASSERT_GE(fd.fd, 0);
	ASSERT_EQ(select(fd.fd, 2).rc, 0);
	EXPECT_EQ(size_of(fd.fd), 0);
	ASSERT_EQ(pwrite(fd.fd, "mirror-two", 10, 0), 10);
	ASSERT_EQ(lseek(fd.fd, 0, SEEK_SET), 0);
	char buf[32] = {};
	EXPECT_EQ(read(fd.fd, buf, sizeof buf), 10);
	EXPECT_STREQ(buf, "mirror-two");
	EXPECT_EQ(lseek(fd.fd, 0, SEEK_CUR), 10) << "read moved the position";
	EXPECT_EQ(write(fd.fd, "+", 1), 1);
	EXPECT_EQ(lseek(fd.fd, -3, SEEK_END), 8);
	EXPECT_EQ(size_of(fd.fd), 11);

	ASSERT_EQ(select(fd.fd, 3).rc, 0);
	ASSERT_EQ(ftruncate(fd.fd, 1 << 20), 0);
	ASSERT_EQ(pwrite(fd.fd, "x", 1, 512 << 10), 1);
	EXPECT_EQ(lseek(fd.fd, 0, SEEK_DATA), 512 << 10);
	EXPECT_EQ(lseek(fd.fd, 512 << 10, SEEK_HOLE), (512 << 10) + 4096);
	EXPECT_EQ(lseek(fd.fd, (512 << 10) + 4096, SEEK_DATA), -1);
	EXPECT_EQ(errno, ENXIO);
	ASSERT_EQ(fallocate(fd.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
	                    512 << 10, 4096),
	          0);
	EXPECT_EQ(size_of(fd.fd), 1 << 20);

	ASSERT_EQ(select(fd.fd, 0).rc, 0);
	EXPECT_EQ(size_of(fd.fd), 8) << "cleared: the primary again";
	EXPECT_EQ(pread(fd.fd, buf, 8, 0), 8);
	EXPECT_EQ(std::string(buf, 8), "primary!");
	EXPECT_EQ(mirror(f, 2), "mirror-two+");
	EXPECT_EQ(list(f), "1 8 0 0+8\n2 11 0 0+11\n3 1048576 0 -\n")
	        << "a mirror written through a selection is not stale";

	// The primary changed without a selection: the others are stale.
	ASSERT_EQ(pwrite(fd.fd, "P", 1, 0), 1);
	EXPECT_EQ(list(f), "1 8 0 0+8\n2 11 1 0+11\n3 1048576 1 -\n");

	auto reqs = requests();
	ASSERT_FALSE(reqs.empty());
	EXPECT_EQ(reqs[0].code, ZV_IOC_MIRROR_SET);
	EXPECT_EQ(reqs[0].size, 8u);
	ASSERT_EQ(reqs[0].bytes.size(), 8u);
	EXPECT_EQ(reqs[0].bytes[0], 2);
}

TEST_F(DataPath, MirrorOneIsTheFileItself)
{
	std::string f = mnt("one");
	write_file(f, "abc");
	Fd fd(open(f.c_str(), O_RDWR));
	ASSERT_EQ(select(fd.fd, 1).rc, 0) << "every file has mirror 1";
	EXPECT_EQ(size_of(fd.fd), 3);
	EXPECT_EQ(pwrite(fd.fd, "Z", 1, 0), 1);
	ASSERT_EQ(select(fd.fd, 0).rc, 0);
	EXPECT_EQ(read_file(f), "Zbc");
}

TEST_F(DataPath, AMirrorTheFileLacksFailsOnFirstUse)
{
	std::string f = mnt("few");
	write_file(f, "abc");
	ASSERT_EQ(zvsim_mirror_count(f.c_str(), 2), 0);
	Fd fd(open(f.c_str(), O_RDWR));
	ASSERT_EQ(select(fd.fd, 9).rc, 0);
	struct stat st;
	EXPECT_EQ(fstat(fd.fd, &st), -1);
	EXPECT_EQ(errno, ENOENT);
	char c;
	EXPECT_EQ(pread(fd.fd, &c, 1, 0), -1);
	EXPECT_EQ(errno, ENOENT);
	ASSERT_EQ(select(fd.fd, 0).rc, 0);
	EXPECT_EQ(size_of(fd.fd), 3);
	EXPECT_EQ(select(fd.fd, 1ul << 32).err, EINVAL);

	Fd dir(open(mnt().c_str(), O_RDONLY | O_DIRECTORY));
	EXPECT_EQ(select(dir.fd, 1).err, EINVAL) << "not a regular file";
	Fd out(open((tmp_.path() + "/x").c_str(), O_RDWR | O_CREAT, 0644));
	EXPECT_EQ(select(out.fd, 1).err, ENOTTY) << "not in the mount";
}

// A write to a mirror other than the primary left the file's data
// version where it was.
TEST_F(DataPath, AChangeOfAnyMirrorMovesTheDataVersion)
{
	std::string f = mnt("dv");
	write_file(f, "abc");
	ASSERT_EQ(zvsim_mirror_count(f.c_str(), 2), 0);
	Fd fd(open(f.c_str(), O_RDWR));
	auto version = [&] {
		ioc_data_version v{};
		EXPECT_EQ(ioctl(fd.fd, ZV_IOC_DATA_VERSION, &v), 0);
		return v.idv_version;
	};
	uint64_t v = version();
	ASSERT_EQ(select(fd.fd, 2).rc, 0);
	ASSERT_EQ(pwrite(fd.fd, "abc", 3, 0), 3);
	EXPECT_NE(version(), v) << "a write";
	v = version();
	char buf[3];
	ASSERT_EQ(pread(fd.fd, buf, 3, 0), 3);
	EXPECT_EQ(version(), v) << "a read";
	ASSERT_EQ(ftruncate(fd.fd, 3), 0);
	EXPECT_NE(version(), v) << "a truncation";
	v = version();
	ASSERT_EQ(fallocate(fd.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
	                    0, 4096),
	          0);
	EXPECT_NE(version(), v) << "a punch";
}

TEST_F(DataPath, SelectionFollowsTheOpenFileAndRespectsItsMode)
{
	std::string f = mnt("d");
	write_file(f, "abc");
	ASSERT_EQ(zvsim_mirror_count(f.c_str(), 2), 0);
	int before = open_fd_count();
	{
		Fd fd(open(f.c_str(), O_RDONLY));
		ASSERT_EQ(select(fd.fd, 2).rc, 0);
		EXPECT_EQ(pwrite(fd.fd, "x", 1, 0), -1);
		EXPECT_EQ(errno, EBADF);
		EXPECT_EQ(ftruncate(fd.fd, 0), -1);
		EXPECT_EQ(errno, EINVAL);
		Fd copy(dup(fd.fd));
		EXPECT_EQ(size_of(copy.fd), 0) << "the copy has mirror 2 too";
	}
	EXPECT_EQ(open_fd_count(), before) << "closing released the mirror";
}

TEST_F(DataPath, OtherProcessesSeeTheMirrors)
{
	std::string f = mnt("shared");
	write_file(f, "abc");
	ASSERT_EQ(zvsim_mirror_count(f.c_str(), 2), 0);
	pid_t pid = fork();
	if (pid == 0) {
		int fd = open(f.c_str(), O_RDWR);
		bool ok = fd >= 0 && ioctl(fd, ZV_IOC_MIRROR_SET, 2ul) == 0 &&
		          pwrite(fd, "child", 5, 0) == 5;
		_exit(ok ? 0 : 1);
	}
	int status = 0;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	ASSERT_EQ(status, 0);
	Fd fd(open(f.c_str(), O_RDONLY));
	ASSERT_EQ(select(fd.fd, 2).rc, 0);
	char buf[8] = {};
	EXPECT_EQ(pread(fd.fd, buf, sizeof buf, 0), 5);
	EXPECT_STREQ(buf, "child");
	EXPECT_EQ(list(f), "1 3 0 0+3\n2 5 0 0+5\n");
}

TEST_F(DataPath, MirrorSteering)
{
	std::string f = mnt("s");
	write_file(f, "abc");
	EXPECT_EQ(zvsim_mirror_count(f.c_str(), 0), -EINVAL);
	EXPECT_EQ(zvsim_mirror_count(f.c_str(), 33), -EINVAL);
	EXPECT_EQ(zvsim_mirror_count(mnt().c_str(), 2), -EINVAL);
	EXPECT_EQ(zvsim_mirror_count(mnt("none").c_str(), 2), -ENOENT);
	write_file(tmp_.path() + "/out", "x");
	EXPECT_EQ(zvsim_mirror_count((tmp_.path() + "/out").c_str(), 2),
	          -EXDEV);
	EXPECT_EQ(list(f), "1 3 0 0+3\n");
	ASSERT_EQ(zvsim_mirror_count(f.c_str(), 3), 0);
	ASSERT_EQ(zvsim_mirror_count(f.c_str(), 2), 0);
	EXPECT_EQ(list(f), "1 3 0 0+3\n2 0 1 -\n");
	EXPECT_EQ(mirror(f, 1), "abc");
	char c;
	EXPECT_EQ(zvsim_mirror_read(f.c_str(), 3, 0, &c, 1), -EINVAL);

	auto r = run_program(
	        {ZVSIM_LAUNCHER, "--state", state(), "mirror", "list", f});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "1 3 0 0+3\n2 0 1 -\n");
	r = run_program({ZVSIM_LAUNCHER, "--state", state(), "mirror", "read",
	                 f, "1", "1", "5"});
	EXPECT_EQ(r.out, "bc");
	r = run_program({ZVSIM_LAUNCHER, "--state", state(), "mirror", "count",
	                 f, "x"});
	EXPECT_EQ(r.status, 1);
}

TEST_F(DataPath, HeatCountsTheIoOfEveryProcess)
{
	std::string f = mnt("hot");
	Fd fd(open(f.c_str(), O_RDWR | O_CREAT, 0644));
	ASSERT_GE(fd.fd, 0);
	EXPECT_EQ(heat(fd.fd), (std::vector<uint64_t>{0, 0, 0, 0}));
	char buf[100] = {};
	for (int i = 0; i < 3; i++) {
		ASSERT_EQ(write(fd.fd, buf, 100), 100);
	}
	ASSERT_EQ(pread(fd.fd, buf, 100, 0), 100);
	ASSERT_EQ(pread(fd.fd, buf, 100, 250), 50);
	pid_t pid = fork();
	if (pid == 0) {
		int c = open(f.c_str(), O_RDWR);
		bool ok = c >= 0 && pwrite(c, buf, 7, 0) == 7 &&
		          read(c, buf, 10) == 10;
		_exit(ok ? 0 : 1);
	}
	int status = 0;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	ASSERT_EQ(status, 0);
	uint32_t flags = 99;
	EXPECT_EQ(heat(fd.fd, 4, &flags),
	          (std::vector<uint64_t>{3, 4, 160, 307}));
	EXPECT_EQ(flags, 0u);
	EXPECT_EQ(heat(fd.fd, 6),
	          (std::vector<uint64_t>{3, 4, 160, 307, 0, 0}));
	EXPECT_EQ(heat(fd.fd, 1), (std::vector<uint64_t>{3}));

	Fd other(open(f.c_str(), O_RDONLY));
	EXPECT_EQ(heat(other.fd, 2), (std::vector<uint64_t>{3, 4}))
	        << "the counts are the file's";
	auto reqs = requests();
	ASSERT_FALSE(reqs.empty());
	EXPECT_EQ(reqs.back().code, ZV_IOC_HEAT_GET);
	EXPECT_EQ(reqs.back().bytes.size(), 8u) << "the header is read";
}

TEST_F(DataPath, HeatFlags)
{
	std::string f = mnt("flags");
	Fd fd(open(f.c_str(), O_RDWR | O_CREAT, 0644));
	ASSERT_EQ(write(fd.fd, "abc", 3), 3);
	auto set = [&](uint64_t v) {
		int rc = ioctl(fd.fd, ZV_IOC_HEAT_SET, &v);
		return rc < 0 ? -errno : rc;
	};
	EXPECT_EQ(set(ZO_HEAT_FLAG_OFF), 0);
	ASSERT_EQ(write(fd.fd, "abc", 3), 3);
	uint32_t flags = 0;
	EXPECT_EQ(heat(fd.fd, 4, &flags), (std::vector<uint64_t>{0, 1, 0, 3}))
	        << "not counted while off";
	EXPECT_EQ(flags, ZO_HEAT_FLAG_OFF);
	EXPECT_EQ(set(ZO_HEAT_FLAG_ON | ZO_HEAT_FLAG_CLEAR), 0);
	ASSERT_EQ(pread(fd.fd, &flags, 1, 0), 1);
	EXPECT_EQ(heat(fd.fd, 4, &flags), (std::vector<uint64_t>{1, 0, 1, 0}));
	EXPECT_EQ(flags, 0u);
	EXPECT_EQ(set(0x8), -EINVAL);
	EXPECT_EQ(set(ZO_HEAT_FLAG_ON | ZO_HEAT_FLAG_OFF), -EINVAL);
	std::vector<uint64_t> big(2, 0);
	reinterpret_cast<zo_heat *>(big.data())->zh_count = 100000;
	EXPECT_EQ(ioctl(fd.fd, ZV_IOC_HEAT_GET, big.data()), -1);
	EXPECT_EQ(errno, EINVAL);
}

TEST_F(DataPath, AdviceIsCheckedAndLockAheadAnswered)
{
	std::string f = mnt("adv");
	write_file(f, "abc");
	Fd fd(open(f.c_str(), O_RDWR));
	auto request = [&](uint32_t n) {
		std::vector<char> r(32 + 32 * size_t(n));
		auto *h = reinterpret_cast<zvapi_ladvise_hdr *>(r.data());
		h->zah_magic = LADVISE_MAGIC;
		h->zah_count = n;
		for (uint32_t i = 0; i < n; i++) {
			h->zah_advise[i].zla_advice = 1 + i % 4;
			h->zah_advise[i].zla_value3 = 77;
			h->zah_advise[i].zla_end = i;
		}
		return r;
	};
	auto send = [&](std::vector<char> &r) {
		int rc = ioctl(fd.fd, ZV_IOC_LADVISE, r.data());
		return rc < 0 ? -errno : rc;
	};
	auto r = request(1023);
	ASSERT_EQ(send(r), 0);
	auto *h = reinterpret_cast<zvapi_ladvise_hdr *>(r.data());
	EXPECT_EQ(h->zah_advise[3].zla_value3, 1u) << "lock-ahead answered";
	EXPECT_EQ(h->zah_advise[0].zla_value3, 77u);
	EXPECT_EQ(h->zah_advise[1022].zla_value3, 77u);
	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 1u);
	EXPECT_EQ(reqs[0].code, ZV_IOC_LADVISE);
	EXPECT_EQ(reqs[0].bytes.size(), 32768u);

	r = request(2);
	h = reinterpret_cast<zvapi_ladvise_hdr *>(r.data());
	h->zah_magic = 1;
	EXPECT_EQ(send(r), -EINVAL) << "magic";
	for (uint32_t n : {0u, 1024u}) {
		r = request(2);
		reinterpret_cast<zvapi_ladvise_hdr *>(r.data())->zah_count = n;
		EXPECT_EQ(send(r), -EINVAL) << n;
	}
	for (uint16_t type : {0, 5}) {
		r = request(2);
		reinterpret_cast<zvapi_ladvise_hdr *>(r.data())
		        ->zah_advise[1]
		        .zla_advice = type;
		EXPECT_EQ(send(r), -EINVAL) << type;
	}
	r = request(1);
	reinterpret_cast<zvapi_ladvise_hdr *>(r.data())->zah_flags = 4;
	EXPECT_EQ(send(r), -EINVAL) << "flags";
}

TEST_F(DataPath, Nodemaps)
{
	char id[16] = {};
	ASSERT_EQ(zvsim_nodemap_add("lab"), 0);
	EXPECT_EQ(zvsim_param_get("/proc/fs/zorvel/nodemap/lab/id", id,
	                          sizeof id),
	          2);
	EXPECT_STREQ(id, "1\n");
	ASSERT_EQ(zvsim_nodemap_add("lab2"), 0);
	EXPECT_EQ(zvsim_param_get("/proc/fs/zorvel/nodemap/lab2/id", id,
	                          sizeof id),
	          2);
	EXPECT_STREQ(id, "2\n");
	EXPECT_EQ(zvsim_nodemap_add("lab"), -EEXIST);
	for (const char *bad : {"", ".", "..", "a/b", "active", "default"}) {
		EXPECT_EQ(zvsim_nodemap_add(bad), -EINVAL) << bad;
	}
	EXPECT_EQ(zvsim_nodemap_remove("lab"), 0);
	EXPECT_EQ(zvsim_nodemap_remove("lab"), -ENOENT);
	EXPECT_LT(zvsim_param_get("/proc/fs/zorvel/nodemap/lab/id", id,
	                          sizeof id),
	          0);

	auto r = run_program(
	        {ZVSIM_LAUNCHER, "--state", state(), "nodemap", "add", "cli"});
	EXPECT_EQ(r.status, 0) << r.err;
	struct stat st;
	EXPECT_EQ(stat("/proc/fs/zorvel/nodemap/cli", &st), 0);
	EXPECT_TRUE(S_ISDIR(st.st_mode));
}

} // namespace
