/* Heat through the simulated kernel client: the record the caller gets
 * back and the flags the kernel received. */
#include "open_file.h"
#include "zvtest/fds.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using zvtest::stderr_of;

using Heat = open_file_fixture;

TEST_F(Heat, GetAndSetPassTheRecordThrough)
{
	char buf[4];
	ASSERT_EQ(pread(fd_, buf, 4, 0), 4);
	ASSERT_EQ(pwrite(fd_, buf, 2, 0), 2);
	pid_t pid = fork();
	if (pid == 0) {
		int fd = open(in_mount("f").c_str(), O_RDONLY);
		_exit(fd >= 0 && read(fd, buf, 3) == 3 ? 0 : 1);
	}
	int status;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	ASSERT_EQ(status, 0);

	std::vector<uint64_t> rec(1 + 4, 99);
	auto *heat = reinterpret_cast<zo_heat *>(rec.data());
	heat->zh_count = 4;
	clear_requests();
	ASSERT_EQ(zvapi_heat_get(fd_, heat), 0);
	EXPECT_EQ(std::vector<uint64_t>(rec.begin() + 1, rec.end()),
	          (std::vector<uint64_t>{2, 1, 7, 2}));
	EXPECT_EQ(heat->zh_count, 4u) << "the record is passed through";
	ASSERT_EQ(zvapi_heat_set(fd_, ZO_HEAT_FLAG_CLEAR | ZO_HEAT_FLAG_OFF),
	          0);
	ASSERT_EQ(pread(fd_, buf, 4, 0), 4);
	ASSERT_EQ(zvapi_heat_get(fd_, heat), 0);
	EXPECT_EQ(rec[1] + rec[2] + rec[3] + rec[4], 0u);
	EXPECT_EQ(heat->zh_flags, ZO_HEAT_FLAG_OFF);

	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 3u);
	EXPECT_EQ(reqs[1].code, ZV_IOC_HEAT_SET);
	uint64_t flags = 0;
	ASSERT_EQ(reqs[1].bytes.size(), 8u);
	memcpy(&flags, reqs[1].bytes.data(), 8);
	EXPECT_EQ(flags, ZO_HEAT_FLAG_CLEAR | ZO_HEAT_FLAG_OFF);

	std::string err = stderr_of(
	        [&] { EXPECT_EQ(zvapi_heat_set(fd_, 0x100), -EINVAL); });
	EXPECT_NE(err.find("cannot set heat flags"), std::string::npos);
	int pipefd[2];
	ASSERT_EQ(pipe(pipefd), 0);
	err = stderr_of(
	        [&] { EXPECT_EQ(zvapi_heat_get(pipefd[0], heat), -ENOTTY); });
	EXPECT_NE(err.find("cannot get heat"), std::string::npos);
	close(pipefd[0]);
	close(pipefd[1]);
}

} // namespace
