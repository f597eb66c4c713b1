/* Mirror I/O and copies through the simulated kernel client: what the
 * caller gets, what each mirror holds afterwards, and that no operation
 * leaves a mirror selected on the descriptor, on any path. */
#include "zvtest/alloc_sweep.h"
#include "zvtest/fds.h"
#include "zvtest/files.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

constexpr size_t PAGE = 4096;

/* Page-aligned memory of n bytes filled with c. */
struct Aligned {
	char *p = nullptr;
	Aligned(size_t n, char c)
	{
		EXPECT_EQ(posix_memalign(reinterpret_cast<void **>(&p), PAGE,
		                         n ? n : 1),
		          0);
		memset(p, c, n);
	}
	~Aligned()
	{
		free(p);
	}
};

class Mirror : public zvtest::sim_fixture
{
      protected:
	void SetUp() override
	{
		sim_fixture::SetUp();
		if (sysconf(_SC_PAGESIZE) != PAGE)
			GTEST_SKIP() << "the cases assume 4096-byte pages";
		path_ = in_mount("m");
	}
	void TearDown() override
	{
		if (fd_ >= 0)
			close(fd_);
		sim_fixture::TearDown();
	}

	/* The file with primary content and n mirrors, open read-write. */
	int make(const std::string &primary, unsigned n, int flags = O_RDWR)
	{
		zvtest::write_file(path_, primary);
		EXPECT_EQ(zvsim_mirror_count(path_.c_str(), n), 0);
		fd_ = open(path_.c_str(), flags);
		EXPECT_GE(fd_, 0);
		fds_ = zvtest::open_fd_count();
		clear_requests();
		return fd_;
	}
	std::string listing()
	{
		char buf[4096];
		int n = zvsim_mirror_list(path_.c_str(), buf, sizeof buf);
		return n < 0 ? "" : std::string(buf, std::min(n, 4096));
	}
	/* One mirror's line of the listing: "<size> <stale> <data>". */
	std::string line(unsigned id)
	{
		std::string all = listing(), want = std::to_string(id) + " ";
		for (size_t at = 0; at < all.size();) {
			size_t end = all.find('\n', at);
			std::string l = all.substr(at, end - at);
			if (l.rfind(want, 0) == 0)
				return l.substr(want.size());
			at = end + 1;
		}
		return "";
	}
	std::string content(unsigned id, size_t len, int64_t off = 0)
	{
		std::string out(len, '\0');
		int n = zvsim_mirror_read(path_.c_str(), id, off, out.data(),
		                          len);
		out.resize(n < 0 ? 0 : n);
		return out;
	}
	/* Writes data to mirror id through a selection of our own. */
	void put(unsigned id, const std::string &data, off_t at = 0)
	{
		int fd = open(path_.c_str(), O_RDWR);
		ASSERT_EQ(ioctl(fd, ZV_IOC_MIRROR_SET, (unsigned long)id), 0);
		ASSERT_EQ(pwrite(fd, data.data(), data.size(), at),
		          (ssize_t)data.size());
		close(fd);
	}
	void truncate_mirror(unsigned id, off_t len)
	{
		int fd = open(path_.c_str(), O_RDWR);
		ASSERT_EQ(ioctl(fd, ZV_IOC_MIRROR_SET, (unsigned long)id), 0);
		ASSERT_EQ(ftruncate(fd, len), 0);
		close(fd);
	}
	/* The ids the requests selected, in order (0: a clear). */
	std::vector<unsigned long> selections()
	{
		std::vector<unsigned long> ids;
		for (const auto &r : requests())
			if (r.code == ZV_IOC_MIRROR_SET &&
			    r.bytes.size() == 8) {
				unsigned long v;
				memcpy(&v, r.bytes.data(), 8);
				ids.push_back(v);
			}
		return ids;
	}
	/* After an operation: nothing selected, nothing left open. */
	void expect_cleared(const char *what, bool log = true)
	{
		auto ids = selections();
		if (log && !ids.empty()) {
			EXPECT_EQ(ids.back(), 0u) << what << ": cleared last";
		}
		struct stat st, real;
		ASSERT_EQ(fstat(fd_, &st), 0) << what;
		ASSERT_EQ(stat(path_.c_str(), &real), 0);
		EXPECT_EQ(st.st_size, real.st_size)
		        << what << ": I/O reaches the file again";
		EXPECT_EQ(zvtest::open_fd_count(), fds_) << what;
	}
	std::vector<uint64_t> heat()
	{
		std::vector<uint64_t> buf(5);
		auto *h = reinterpret_cast<zo_heat *>(buf.data());
		h->zh_count = 4;
		EXPECT_EQ(zvapi_heat_get(fd_, h), 0);
		return {buf.begin() + 1, buf.end()};
	}

	std::string path_;
	int fd_ = -1, fds_ = 0;
};

TEST_F(Mirror, SelectAndClear)
{
	make("abc", 2);
	EXPECT_EQ(zvapi_mirror_set(fd_, 2), 0);
	struct stat st;
	ASSERT_EQ(fstat(fd_, &st), 0);
	EXPECT_EQ(st.st_size, 0) << "mirror 2 is empty";
	EXPECT_EQ(zvapi_mirror_clear(fd_), 0);
	EXPECT_EQ(selections(), (std::vector<unsigned long>{2, 0}));
	expect_cleared("clear");

	/* An id the file lacks: the selection stands, its fstat fails. */
	clear_requests();
	EXPECT_EQ(zvapi_mirror_set(fd_, 7), -ENOENT);
	EXPECT_EQ(selections(), (std::vector<unsigned long>{7, 0}));
	expect_cleared("missing id");

	clear_requests();
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_MIRROR_SET, EPERM, 0), 0);
	EXPECT_EQ(zvapi_mirror_set(fd_, 2), -EPERM);
	EXPECT_EQ(selections(), (std::vector<unsigned long>{2}))
	        << "a failed selection needs no clearing";
	expect_cleared("refused", false);

	int pipefd[2];
	ASSERT_EQ(pipe(pipefd), 0);
	EXPECT_EQ(zvapi_mirror_set(pipefd[0], 1), -ENOTTY);
	close(pipefd[0]);
	close(pipefd[1]);
}

TEST_F(Mirror, ReadWriteTruncatePunchSeek)
{
	make("primary", 3);
	Aligned data(3 * PAGE, 'w');
	EXPECT_EQ(zvapi_mirror_write(fd_, 2, data.p, 3 * PAGE, PAGE),
	          (ssize_t)(3 * PAGE));
	expect_cleared("write");
	EXPECT_EQ(line(2), "16384 0 4096+12288");
	EXPECT_EQ(content(1, 64), "primary") << "the primary untouched";

	Aligned in(8 * PAGE, 0);
	EXPECT_EQ(zvapi_mirror_read(fd_, 2, in.p, 8 * PAGE, 0),
	          (ssize_t)(4 * PAGE));
	EXPECT_EQ(std::string(in.p + PAGE, 3 * PAGE),
	          std::string(3 * PAGE, 'w'));
	EXPECT_EQ(zvapi_mirror_read(fd_, 1, in.p, 100, 0), 7);
	EXPECT_EQ(std::string(in.p, 7), "primary");
	expect_cleared("read");

	EXPECT_TRUE(zvapi_mirror_is_sparse(fd_, 2)) << "a hole at 0";
	EXPECT_FALSE(zvapi_mirror_is_sparse(fd_, 1));
	EXPECT_FALSE(zvapi_mirror_is_sparse(fd_, 3)) << "empty";
	EXPECT_FALSE(zvapi_mirror_is_sparse(fd_, 9));
	size_t len = 0;
	EXPECT_EQ(zvapi_mirror_data_seek(fd_, 2, 0, &len), (off_t)PAGE);
	EXPECT_EQ(len, 3 * PAGE);
	EXPECT_EQ(zvapi_mirror_punch(fd_, 2, 2 * PAGE, PAGE), 0);
	EXPECT_EQ(line(2), "16384 0 4096+4096,12288+4096");
	EXPECT_EQ(zvapi_mirror_truncate(fd_, 2, 5000), 0);
	EXPECT_EQ(line(2), "5000 0 4096+904");
	EXPECT_EQ(zvapi_mirror_data_seek(fd_, 2, 8192, &len), 5000);
	EXPECT_EQ(len, 0u);
	expect_cleared("probes");
	EXPECT_EQ(line(3), "0 1 -") << "only mirror 2 changed";
}

TEST_F(Mirror, WriteAlignment)
{
	make("abc", 2);
	Aligned data(2 * PAGE, 'x');
	EXPECT_EQ(zvapi_mirror_write(fd_, 2, data.p, PAGE, 100), -EINVAL);
	EXPECT_EQ(zvapi_mirror_write(fd_, 2, data.p + 1, PAGE, 0), -EINVAL);
	EXPECT_TRUE(selections().empty()) << "nothing selected for those";
	EXPECT_EQ(zvapi_mirror_write(fd_, 2, data.p, 0, 0), 0);
	EXPECT_EQ(selections(), (std::vector<unsigned long>{2, 0}));
	EXPECT_EQ(zvapi_mirror_write(fd_, 2, data.p, 100, 0), 100)
	        << "a short count is written whole";
	EXPECT_EQ(line(2), "100 0 0+100");
}

/* Each step of each operation failing: the error comes back and the
 * selection is gone. */
TEST_F(Mirror, SelectionClearedOnEveryFailure)
{
	make("abc", 2, O_RDONLY);
	Aligned buf(PAGE, 'x');
	EXPECT_EQ(zvapi_mirror_write(fd_, 2, buf.p, PAGE, 0), -EBADF);
	expect_cleared("write refused");
	EXPECT_EQ(zvapi_mirror_truncate(fd_, 2, 0), -EINVAL);
	expect_cleared("truncate refused");
	EXPECT_EQ(zvapi_mirror_punch(fd_, 2, 0, PAGE), -EBADF);
	expect_cleared("punch refused");
	size_t len;
	EXPECT_EQ(zvapi_mirror_data_seek(fd_, 2, -1, &len), -EINVAL);
	expect_cleared("data seek refused");
	for (unsigned id : {5u, 6u}) {
		clear_requests();
		EXPECT_EQ(zvapi_mirror_read(fd_, id, buf.p, PAGE, 0), -ENOENT);
		EXPECT_EQ(zvapi_mirror_truncate(fd_, id, 0), -ENOENT);
		EXPECT_EQ(zvapi_mirror_data_seek(fd_, id, 0, &len), -ENOENT);
		expect_cleared("missing mirror");
	}
	close(fd_);
	fd_ = open(path_.c_str(), O_WRONLY);
	fds_ = zvtest::open_fd_count();
	EXPECT_EQ(zvapi_mirror_read(fd_, 2, buf.p, PAGE, 0), -EBADF);
	expect_cleared("read refused");
	for (auto op : {0, 1, 2, 3}) {
		clear_requests();
		ASSERT_EQ(zvsim_inject_errno(ZV_IOC_MIRROR_SET, EIO, 0), 0);
		long rc = op == 0   ? zvapi_mirror_read(fd_, 2, buf.p, PAGE, 0)
		          : op == 1 ? zvapi_mirror_write(fd_, 2, buf.p, PAGE, 0)
		          : op == 2 ? zvapi_mirror_truncate(fd_, 2, 0)
		                    : zvapi_mirror_punch(fd_, 2, 0, 1);
		EXPECT_EQ(rc, -EIO) << op;
		EXPECT_EQ(selections(), (std::vector<unsigned long>{2}));
		expect_cleared("selection refused", false);
	}
	EXPECT_EQ(line(2), "0 1 -") << "nothing reached mirror 2";
}

TEST_F(Mirror, CopyOfAPartialPageIsCutBack)
{
	make(std::string(5000, 'a'), 2);
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 2, 0, SIZE_MAX), 5000);
	EXPECT_EQ(line(2), "5000 0 0+5000");
	EXPECT_EQ(content(2, 8192), std::string(5000, 'a'));
	auto h = heat();
	EXPECT_EQ(h[3], 8192u) << "8192 bytes written, then truncated";
	EXPECT_EQ(h[2], 5000u);
	expect_cleared("copy");
}

TEST_F(Mirror, CopyCases)
{
	std::string data;
	for (int i = 0; i < 3 * 4096 + 10; i++)
		data += char('a' + i % 26);
	make(data, 3);
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 2, 0, 0), 0);
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 0, 0, 0), 0);
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 0, 0, PAGE), -EINVAL);
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 2, 100, PAGE), -EINVAL);
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 2, 0, 100), -EINVAL);
	EXPECT_TRUE(selections().empty());

	/* From an offset to the end. */
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 2, PAGE, SIZE_MAX),
	          (ssize_t)data.size() - (ssize_t)PAGE);
	EXPECT_EQ(line(2), "12298 0 4096+8202");
	EXPECT_EQ(content(2, 20000, PAGE), data.substr(PAGE));

	/* Source 0: the file as a whole, read without a selection. */
	clear_requests();
	EXPECT_EQ(zvapi_mirror_copy(fd_, 0, 3, 0, 2 * PAGE),
	          (ssize_t)(2 * PAGE));
	for (unsigned long id : selections()) {
		EXPECT_TRUE(id == 3 || id == 0) << id;
	}
	EXPECT_EQ(content(3, 20000), data.substr(0, 2 * PAGE));
	expect_cleared("copy from 0");

	/* Failures: reading a missing mirror, writing one. */
	EXPECT_EQ(zvapi_mirror_copy(fd_, 9, 2, 0, SIZE_MAX), -ENOENT);
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 9, 0, SIZE_MAX), -ENOENT);
	expect_cleared("failed copies");
}

/* A thread's first copy allocates its buffer (each in a thread of its
 * own here); later copies reuse it. */
TEST_F(Mirror, CopyAllocationFailure)
{
	make("abc", 2);
	if (!failalloc_active())
		GTEST_SKIP() << "allocator not interposable in this build";
	std::thread([&] {
		zvtest::each_allocation_fails(
		        "libzorvelapi",
		        [&] {
			        ssize_t rc = zvapi_mirror_copy(fd_, 1, 2, 0,
			                                       SIZE_MAX);
			        return rc < 0 ? (int)rc : 0;
		        },
		        {2});
	}).join();
	std::thread([&] {
		uint16_t dst[] = {2};
		zvtest::each_allocation_fails(
		        "libzorvelapi",
		        [&] {
			        ssize_t rc =
			                zvapi_mirror_copy_many(fd_, 1, dst, 1);
			        return rc < 0 ? (int)rc : 0;
		        },
		        {2});
		failalloc_arm_in("libzorvelapi", 0);
		EXPECT_EQ(zvapi_mirror_copy_many(fd_, 1, dst, 1), 1);
		EXPECT_FALSE(failalloc_disarm()) << "a buffer reused";
	}).join();
	expect_cleared("allocation failures");
}

/* The result holds copies of 2 GiB and more. */
TEST_F(Mirror, CopyOfMoreThan2GiBCountsEveryByte)
{
#if defined(__SANITIZE_ADDRESS__)
	GTEST_SKIP() << "2 GiB through the sanitizer's checked copies takes "
	                "minutes; the plain build counts them";
#endif
	const off_t size = (off_t(2) << 30) + 3 * PAGE + 123;
	make("head", 2);
	ASSERT_EQ(truncate(path_.c_str(), size), 0);
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 2, 0, SIZE_MAX), (ssize_t)size);
	EXPECT_EQ(line(2).substr(0, line(2).find(' ')), std::to_string(size));
	EXPECT_EQ(content(2, 4), "head");
	/* The same file to many: its holes are skipped. */
	uint16_t dst[] = {2};
	EXPECT_EQ(zvapi_mirror_copy_many(fd_, 1, dst, 1), 1);
	EXPECT_EQ(line(2), std::to_string(size) + " 0 0+4096");
}

TEST_F(Mirror, CopyManyKeepsHolesAndSize)
{
	make("", 4);
	put(1, std::string(8192, 's'), 64 << 10);
	put(1, std::string(100, 't'), 512 << 10);
	ASSERT_EQ(truncate(path_.c_str(), 2 << 20), 0);
	put(2, std::string(1 << 20, 'z')); /* old data to be replaced */
	uint16_t dst[] = {2, 3, 4};
	EXPECT_EQ(zvapi_mirror_copy_many(fd_, 1, dst, 3), 3);
	std::string want = "2097152 0 65536+8192,524288+4096";
	EXPECT_EQ(line(1), want);
	for (unsigned id : {2u, 3u, 4u}) {
		EXPECT_EQ(line(id), want) << id;
	}
	EXPECT_EQ(content(3, 100, 512 << 10), std::string(100, 't'));
	EXPECT_EQ(content(2, 10), std::string(10, '\0'));
	expect_cleared("copy many");
}

TEST_F(Mirror, CopyManyDropsFailedDestinations)
{
	make(std::string(10000, 'd'), 3);
	uint16_t dst[] = {2, 9, 3};
	EXPECT_EQ(zvapi_mirror_copy_many(fd_, 1, dst, 3), 2);
	EXPECT_EQ(dst[2], 9) << "the bad id moved past the live ones";
	EXPECT_TRUE((dst[0] == 2 && dst[1] == 3) ||
	            (dst[0] == 3 && dst[1] == 2));
	EXPECT_EQ(line(2), "10000 0 0+10000");
	EXPECT_EQ(line(3), "10000 0 0+10000");

	uint16_t bad[] = {8, 9};
	EXPECT_EQ(zvapi_mirror_copy_many(fd_, 1, bad, 2), -ENOENT);
	EXPECT_EQ(zvapi_mirror_copy_many(fd_, 1, bad, 0), 0);
	uint16_t one[] = {2};
	EXPECT_EQ(zvapi_mirror_copy_many(fd_, 7, one, 1), -ENOENT)
	        << "a source that cannot be read";
	expect_cleared("failed destinations");
}

TEST_F(Mirror, FailingDataSeekTurnsTheCopyDense)
{
	make("", 3);
	put(2, std::string(4096, 'q'), 1 << 20);
	truncate_mirror(2, 3 << 20);
	ASSERT_EQ(zvsim_mirror_fail_data_seek(path_.c_str(), EIO), 0);
	uint16_t dst[] = {3};
	std::string err = zvtest::stderr_of(
	        [&] { EXPECT_EQ(zvapi_mirror_copy_many(fd_, 2, dst, 1), 1); });
	EXPECT_NE(err.find("failed SEEK_DATA from 0"), std::string::npos)
	        << err;
	EXPECT_EQ(line(3), "3145728 0 0+3145728") << "written whole";
	EXPECT_EQ(content(3, 4096, 1 << 20), std::string(4096, 'q'));
	expect_cleared("dense copy");
}

/* The primary written without a selection, then resynchronised. */
TEST_F(Mirror, StaleMirrorsAreResynchronised)
{
	make(std::string(100, 'o'), 3);
	uint16_t dst[] = {2, 3};
	ASSERT_EQ(zvapi_mirror_copy_many(fd_, 1, dst, 2), 2);
	EXPECT_EQ(line(2), "100 0 0+100");
	ASSERT_EQ(pwrite(fd_, "new", 3, 0), 3);
	EXPECT_EQ(line(2), "100 1 0+100") << "the primary changed alone";
	EXPECT_EQ(content(2, 3), "ooo");
	ASSERT_EQ(zvapi_mirror_copy(fd_, 0, 2, 0, SIZE_MAX), 100);
	EXPECT_EQ(line(2), "100 0 0+100");
	EXPECT_EQ(line(3), "100 1 0+100");
	EXPECT_EQ(content(2, 3), "new");
}

/* A copy onto itself was emptied before it was read. */
TEST_F(Mirror, CopyOntoItselfLosesNothing)
{
	make("", 2);
	put(1, std::string(5000, 'k'), 1 << 20);
	std::string want = line(1);
	ASSERT_EQ(want, "1053576 0 1048576+5000");
	uint16_t self[] = {1};
	EXPECT_EQ(zvapi_mirror_copy_many(fd_, 1, self, 1), -EINVAL);
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 1, 0, SIZE_MAX), -EINVAL);
	/* Source 0 is whatever serves the file's reads: mirror 1 here. */
	EXPECT_EQ(zvapi_mirror_copy_many(fd_, 0, self, 1), 1);
	uint16_t both[] = {1, 2};
	EXPECT_EQ(zvapi_mirror_copy_many(fd_, 1, both, 2), 1);
	EXPECT_EQ(both[0], 2);
	EXPECT_EQ(both[1], 1) << "the source moved past the live entries";
	EXPECT_EQ(line(1), want);
	EXPECT_EQ(line(2), want);
	/* The dense copy writes the holes as zeros, and keeps every byte. */
	EXPECT_EQ(zvapi_mirror_copy(fd_, 0, 1, 0, SIZE_MAX), 1053576);
	EXPECT_EQ(line(1), "1053576 0 0+1053576");
	EXPECT_EQ(content(1, 1 << 21),
	          std::string(1 << 20, '\0') + std::string(5000, 'k'));
	expect_cleared("copies onto the source");
}

/* Inside a data stretch longer than the buffer, reads ran past it. */
TEST_F(Mirror, CopyManyOfALongStretchKeepsTheHoleAfterIt)
{
	make("", 2);
	put(1, std::string(6 << 20, 'L'));
	ASSERT_EQ(truncate(path_.c_str(), 12 << 20), 0);
	uint16_t dst[] = {2};
	EXPECT_EQ(zvapi_mirror_copy_many(fd_, 1, dst, 1), 1);
	EXPECT_EQ(line(2), "12582912 0 0+6291456");
}

/* A copy to the end of a source that ends on a page boundary kept the
 * destination's longer tail. */
TEST_F(Mirror, CopyToTheEndLeavesTheSourceSize)
{
	make(std::string(8192, 'e'), 2);
	put(2, std::string(20000, 'o'));
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 2, 0, PAGE), (ssize_t)PAGE);
	EXPECT_EQ(line(2), "20000 0 0+20000") << "a range inside the source";
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 2, 0, SIZE_MAX), 8192);
	EXPECT_EQ(line(2), "8192 0 0+8192");
	put(2, std::string(20000, 'o'));
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 2, PAGE, 4 * PAGE), (ssize_t)PAGE)
	        << "a range past the end";
	EXPECT_EQ(line(2), "8192 0 0+8192");
	put(2, std::string(20000, 'o'), 2 * PAGE);
	EXPECT_EQ(zvapi_mirror_copy(fd_, 1, 2, 4 * PAGE, SIZE_MAX), 0)
	        << "nothing to copy past the end";
	EXPECT_EQ(line(2), "8192 0 0+8192");
	EXPECT_EQ(content(2, 20000),
	          std::string(4096, 'o') + std::string(4096, 'e'));
}

} // namespace
