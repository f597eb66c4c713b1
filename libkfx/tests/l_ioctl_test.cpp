/* The control-device registry and the data record's packing. */
#include "zvtest/child.h"
#include "zvtest/fds.h"
#include "zvtest/files.h"

#include <libkfx/util/ioctl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using zvtest::open_fd_count;
using zvtest::stderr_of;

class Registry : public ::testing::Test
{
      protected:
	void TearDown() override
	{
		for (int id = 0; id < KFX_MAX_IOC_DEV; id++)
			unregister_ioc_dev(id);
	}
	void touch(const std::string &p)
	{
		zvtest::write_file(p, "");
	}
	zvtest::temp_dir dir_;
	std::string a_ = dir_.path() + "/a", b_ = dir_.path() + "/b";
};

TEST_F(Registry, IdBounds)
{
	EXPECT_EQ(register_ioc_dev(10, a_.c_str()), -EINVAL);
	EXPECT_EQ(register_ioc_dev(-1, a_.c_str()), -EINVAL);
	EXPECT_EQ(register_ioc_dev(9, a_.c_str()), 9);
	unregister_ioc_dev(42); /* ignored */

	int rc = 0;
	std::string err = stderr_of([&] {
		errno = 0;
		rc = l_ioctl(10, 0, nullptr);
	});
	EXPECT_EQ(rc, -EINVAL);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(err, "");

	err = stderr_of([&] { rc = l_ioctl(3, 0, nullptr); });
	EXPECT_EQ(rc, -EINVAL);
	EXPECT_EQ(err, "unknown device id: 3\n");
}

TEST_F(Registry, MissingDeviceThenOpenedOnce)
{
	ASSERT_EQ(register_ioc_dev(0, a_.c_str()), 0);
	int rc = 0;
	std::string err = stderr_of([&] { rc = l_ioctl(0, 0x1234, nullptr); });
	EXPECT_EQ(rc, -ENOENT);
	EXPECT_EQ(err, "opening " + a_ +
	                       " failed: No such file or directory\n"
	                       "hint: the kernel modules may not be loaded\n");

	touch(a_);
	int before = open_fd_count();
	/* a plain file opens, and refuses the request itself */
	EXPECT_EQ(l_ioctl(0, 0x1234, nullptr), -ENOTTY);
	EXPECT_EQ(open_fd_count(), before + 1) << "kept open";
	EXPECT_EQ(l_ioctl(0, 0x1234, nullptr), -ENOTTY);
	EXPECT_EQ(open_fd_count(), before + 1) << "opened once";
	unregister_ioc_dev(0);
	EXPECT_EQ(open_fd_count(), before);
}

/* Regression: with standard output closed the device took descriptor 1,
 * and what the program then printed went into the device. */
TEST_F(Registry, DeviceNeverTakesAStandardStream)
{
	touch(a_);
	ASSERT_EQ(register_ioc_dev(0, a_.c_str()), 0);
	EXPECT_EQ(zvtest::in_child([&] {
		          close(1);
		          if (l_ioctl(0, 0x1234, nullptr) != -ENOTTY)
			          return 1;
		          if (fcntl(1, F_GETFD) != -1)
			          return 2;
		          printf("printed\n");
		          fflush(stdout);
		          return 0;
	          }),
	          0);
	EXPECT_EQ(zvtest::read_file(a_), "");
}

TEST_F(Registry, ReRegistrationClosesTheOldDevice)
{
	touch(a_);
	touch(b_);
	int before = open_fd_count();
	ASSERT_EQ(register_ioc_dev(1, a_.c_str()), 1);
	l_ioctl(1, 0x1234, nullptr);
	ASSERT_EQ(open_fd_count(), before + 1);
	ASSERT_EQ(register_ioc_dev(1, b_.c_str()), 1);
	EXPECT_EQ(open_fd_count(), before);
	l_ioctl(1, 0x1234, nullptr);
	EXPECT_EQ(open_fd_count(), before + 1);

	/* the open descriptor is the second path's */
	bool found = false;
	DIR *d = opendir("/proc/self/fd");
	while (struct dirent *e = readdir(d)) {
		char link[PATH_MAX] = {};
		std::string p = std::string("/proc/self/fd/") + e->d_name;
		if (readlink(p.c_str(), link, sizeof(link) - 1) > 0 &&
		    b_ == link)
			found = true;
	}
	closedir(d);
	EXPECT_TRUE(found);
}

/* A request whose inline areas are the caller's buffers one and two. */
libkfx_ioctl_data with_areas(char *one, uint32_t len1, char *two, uint32_t len2)
{
	libkfx_ioctl_data data = {};
	data.ioc_inllen1 = len1;
	data.ioc_inlbuf1 = one;
	data.ioc_inllen2 = len2;
	data.ioc_inlbuf2 = two;
	return data;
}

TEST(Pack, LayoutByteForByte)
{
	char one[] = "ABCDE", two[] = "xyz";
	libkfx_ioctl_data data = with_areas(one, 5, two, 3);
	data.ioc_nid = 0x1122334455667788ULL;
	data.ioc_count = 7;

	std::vector<char> buf(160, '\x5a');
	char *p = buf.data();
	ASSERT_EQ(libkfx_ioctl_pack(&data, &p, 143), 1);
	EXPECT_EQ(data.ioc_hdr.ioc_len, 144U) << "set before the refusal";
	EXPECT_EQ(data.ioc_hdr.ioc_version, 0x0001000aU);
	for (char c : buf)
		ASSERT_EQ(c, '\x5a') << "nothing written";

	ASSERT_EQ(libkfx_ioctl_pack(&data, &p, 144), 0);
	EXPECT_EQ(p, buf.data());
	EXPECT_EQ(memcmp(buf.data(), &data, 128), 0);
	EXPECT_EQ(memcmp(&buf[128], "ABCDE", 5), 0);
	EXPECT_EQ(std::string(&buf[133], 3), "\x5a\x5a\x5a") << "no padding";
	EXPECT_EQ(memcmp(&buf[136], "xyz", 3), 0);
	__u32 len;
	memcpy(&len, buf.data(), 4);
	EXPECT_EQ(len, 144U);

	char *alloc = nullptr;
	ASSERT_EQ(libkfx_ioctl_pack(&data, &alloc, 0), 0);
	EXPECT_EQ(memcmp(alloc, buf.data(), 133), 0);
	EXPECT_EQ(memcmp(alloc + 136, &buf[136], 3), 0);
	free(alloc);

	libkfx_ioctl_data bare = {};
	alloc = nullptr;
	ASSERT_EQ(libkfx_ioctl_pack(&bare, &alloc, 0), 0);
	EXPECT_EQ(bare.ioc_hdr.ioc_len, 128U);
	free(alloc);

	/* a missing first area does not move the second */
	libkfx_ioctl_data second = {};
	second.ioc_inllen2 = 3;
	second.ioc_inlbuf2 = two;
	std::vector<char> out(136, 0);
	p = out.data();
	ASSERT_EQ(libkfx_ioctl_pack(&second, &p, 136), 0);
	EXPECT_EQ(memcmp(&out[128], "xyz", 3), 0);
}

TEST(Pack, UnpackKeepsTheCallersBuffers)
{
	char one[8] = {}, two[8] = {};
	libkfx_ioctl_data data = with_areas(one, 5, two, 3);

	/* the reply as the kernel writes it, other addresses inside */
	libkfx_ioctl_data reply = {};
	reply.ioc_hdr.ioc_len = 144;
	reply.ioc_count = 99;
	reply.ioc_inllen1 = 5;
	reply.ioc_inlbuf1 = reinterpret_cast<char *>(0x1000);
	reply.ioc_inllen2 = 3;
	reply.ioc_inlbuf2 = reinterpret_cast<char *>(0x2000);
	std::vector<char> buf(144, 0);
	memcpy(buf.data(), &reply, 128);
	memcpy(&buf[128], "hello", 5);
	memcpy(&buf[136], "abc", 3);

	libkfx_ioctl_unpack(&data, buf.data());
	EXPECT_EQ(data.ioc_count, 99U);
	EXPECT_EQ(data.ioc_inlbuf1, one);
	EXPECT_EQ(data.ioc_inlbuf2, two);
	EXPECT_STREQ(one, "hello");
	EXPECT_STREQ(two, "abc");
	char *stored;
	memcpy(&stored, &buf[72], sizeof(stored));
	EXPECT_EQ(stored, one) << "written into the packed buffer";
}

TEST(Pack, UnpackStaysWithinTheReply)
{
	char one[8], two[8];
	memset(one, '-', sizeof(one));
	memset(two, '-', sizeof(two));
	libkfx_ioctl_data data = with_areas(one, 4, two, 4);

	/* the reply claims larger areas than the caller has, and its own
	 * length covers only the first two bytes of area 1 */
	libkfx_ioctl_data reply = {};
	reply.ioc_hdr.ioc_len = 130;
	reply.ioc_inllen1 = 6;
	reply.ioc_inllen2 = 100;
	std::vector<char> buf(256, 'R');
	memcpy(buf.data(), &reply, 128);

	libkfx_ioctl_unpack(&data, buf.data());
	EXPECT_EQ(std::string(one, 8), "RR------");
	EXPECT_EQ(std::string(two, 8), "--------");
	EXPECT_EQ(data.ioc_inllen1, 6U) << "the reply's lengths are kept";

	/* a first area claimed so long that the second would start past the
	 * buffer the request was packed into: the second is not copied */
	memset(one, '-', sizeof(one));
	memset(two, '-', sizeof(two));
	data = with_areas(one, 4, two, 4);
	reply.ioc_hdr.ioc_len = 4096;
	reply.ioc_inllen1 = 200;
	reply.ioc_inllen2 = 4;
	std::vector<char> packed(144, 'P');
	memcpy(packed.data(), &reply, 128);
	libkfx_ioctl_unpack(&data, packed.data());
	EXPECT_EQ(std::string(one, 8), "PPPP----");
	EXPECT_EQ(std::string(two, 8), "--------");
}

} // namespace
