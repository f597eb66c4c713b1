/* Sparse files, on each file system a test can reach: tmpfs, the one that
 * holds the temporary directory, and a simulated mount. */
#include "zvtest/fds.h"
#include "zvtest/files.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using zvtest::stderr_of;

/* Where the files are made: "tmpfs", "tmp" or "sim". */
class Lseek : public zvtest::sim_fixture,
              public ::testing::WithParamInterface<const char *>
{
      protected:
	void SetUp() override
	{
		sim_fixture::SetUp();
		std::string kind = GetParam();
		if (kind == "sim") {
			dir_ = mount_path();
		} else if (kind == "tmpfs") {
			struct stat st;
			if (stat("/dev/shm", &st) != 0 || !S_ISDIR(st.st_mode))
				GTEST_SKIP() << "no tmpfs at /dev/shm";
			own_ = "/dev/shm/zv-sparse.XXXXXX";
			ASSERT_NE(mkdtemp(own_.data()), nullptr);
			dir_ = own_;
		} else {
			dir_ = tmp_.path();
		}
		probe_holes();
	}
	void TearDown() override
	{
		for (int fd : fds_)
			close(fd);
		if (!own_.empty())
			zvtest::remove_tree(own_);
		sim_fixture::TearDown();
	}

	/* A new file of size bytes with data written over [at, at + len)
	 * for each pair in stretches. */
	int make(const char *name, off_t size,
	         std::initializer_list<std::pair<off_t, size_t>> stretches)
	{
		int fd = open((dir_ + "/" + name).c_str(),
		              O_RDWR | O_CREAT | O_TRUNC, 0644);
		EXPECT_GE(fd, 0);
		fds_.push_back(fd);
		std::string data(1 << 20, 'd');
		for (auto [at, len] : stretches)
			EXPECT_EQ(pwrite(fd, data.data(), len, at),
			          (ssize_t)len);
		EXPECT_EQ(ftruncate(fd, size), 0);
		return fd;
	}

	/* Whether the file system keeps holes (a sparse file's blocks). */
	void probe_holes()
	{
		int fd = make("probe", 1 << 20, {});
		holes_ = lseek(fd, 0, SEEK_DATA) < 0 && errno == ENXIO;
	}

	std::string dir_, own_;
	zvtest::temp_dir tmp_;
	std::vector<int> fds_;
	bool holes_ = false;
};

TEST_P(Lseek, WhatIsSparse)
{
	EXPECT_FALSE(zvapi_file_is_sparse(make("empty", 0, {})));
	EXPECT_FALSE(zvapi_file_is_sparse(make("block", 4096, {{0, 4096}})));
	EXPECT_FALSE(zvapi_file_is_sparse(-1)) << "a failing seek";
	if (!holes_)
		GTEST_SKIP() << "the file system keeps no holes";
	EXPECT_TRUE(zvapi_file_is_sparse(
	        make("middle", 3 << 16, {{0, 4096}, {2 << 16, 1 << 16}})));
	int fd = make("extended", 1 << 20, {{0, 4096}});
	EXPECT_TRUE(zvapi_file_is_sparse(fd));
	EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 4096)
	        << "the offset is left at the first hole";
}

TEST_P(Lseek, DataSeek)
{
	if (!holes_)
		GTEST_SKIP() << "the file system keeps no holes";
	int fd = make("f", 1 << 20, {{1 << 16, 8192}, {3 << 16, 4096}});
	size_t len = 99;
	EXPECT_EQ(zvapi_data_seek(fd, 0, &len), 1 << 16);
	EXPECT_EQ(len, 8192u);
	EXPECT_EQ(zvapi_data_seek(fd, (1 << 16) + 4096, &len),
	          (1 << 16) + 4096);
	EXPECT_EQ(len, 4096u) << "from inside a stretch";
	EXPECT_EQ(zvapi_data_seek(fd, (1 << 16) + 8192, &len), 3 << 16);
	EXPECT_EQ(len, 4096u);
	len = 99;
	EXPECT_EQ(zvapi_data_seek(fd, (3 << 16) + 4096, &len), 1 << 20)
	        << "a trailing hole gives the end";
	EXPECT_EQ(len, 0u);
	len = 99;
	EXPECT_EQ(zvapi_data_seek(fd, 5 << 20, &len), 1 << 20)
	        << "past the end too";
	EXPECT_EQ(len, 0u);
}

TEST_P(Lseek, DataSeekFailures)
{
	int fd = make("f", 4096, {{0, 4096}});
	size_t len = 7;
	std::string err = stderr_of(
	        [&] { EXPECT_EQ(zvapi_data_seek(fd, -1, &len), -EINVAL); });
	EXPECT_NE(err.find("wrong offset: -1"), std::string::npos) << err;
	EXPECT_EQ(len, 7u);

	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	fds_.push_back(fds[0]);
	fds_.push_back(fds[1]);
	err = stderr_of(
	        [&] { EXPECT_EQ(zvapi_data_seek(fds[0], 10, &len), -ESPIPE); });
	EXPECT_NE(err.find("failed SEEK_DATA from 10"), std::string::npos)
	        << err;
	EXPECT_EQ(zvapi_data_seek(fd, 0, nullptr), -EINVAL);
}

TEST_P(Lseek, HolePunch)
{
	int fd = make("f", 4096, {{0, 4096}});
	ASSERT_EQ(zvapi_hole_punch(fd, 0, 4096), 0);
	struct stat st;
	ASSERT_EQ(fstat(fd, &st), 0);
	EXPECT_EQ(st.st_size, 4096);
	char buf[4096];
	ASSERT_EQ(pread(fd, buf, sizeof(buf), 0), 4096);
	EXPECT_EQ(std::string(buf, 4096), std::string(4096, '\0'));
	if (holes_) {
		EXPECT_TRUE(zvapi_file_is_sparse(fd));
	}

	int ro = open((dir_ + "/f").c_str(), O_RDONLY);
	fds_.push_back(ro);
	EXPECT_EQ(zvapi_hole_punch(ro, 0, 4096), -EBADF);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, Lseek,
                         ::testing::Values("tmpfs", "tmp", "sim"));

} // namespace
