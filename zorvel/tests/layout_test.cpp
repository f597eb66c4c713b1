/* Striped creation, foreign directories, striping records and the
 * striping-device identifier through the simulated kernel client. */
#include "wire_words.h"
#include "zvtest/fds.h"
#include "zvtest/files.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using zvtest::open_fd_count;
using zvtest::stderr_capture;

using wiretest::prog;

class Layout : public zvtest::sim_fixture
{
};

TEST_F(Layout, StripingDeviceIdentifier)
{
	struct obd_uuid uuid;
	memset(&uuid, 0x7f, sizeof(uuid));
	ASSERT_EQ(zvapi_file_get_lov_uuid(mount_.c_str(), &uuid), 0);
	EXPECT_EQ(std::string(uuid.uuid),
	          std::string("demo-clilov-") + zvsim_instance());

	stderr_capture cap;
	EXPECT_EQ(zvapi_file_get_lov_uuid(in_mount("none").c_str(), &uuid),
	          -ENOENT);
	EXPECT_EQ(cap.finish(), prog() + ": cannot open '" + in_mount("none") +
	                                "': No such file or directory (2)\n");
}

zvapi_stripe_param *new_param(int count, unsigned long long size)
{
	auto *p = static_cast<zvapi_stripe_param *>(
	        calloc(1, sizeof(zvapi_stripe_param) + 8 * sizeof(uint32_t)));
	p->zsp_stripe_size = size;
	p->zsp_stripe_count = count;
	p->zsp_stripe_offset = -1;
	return p;
}

TEST_F(Layout, StripedCreateAndStripeQuery)
{
	zvtest::temp_dir scratch;
	auto *param = new_param(2, 4 << 20);
	int fd = zvapi_file_open_param(in_mount("striped").c_str(),
	                               O_WRONLY | O_EXCL, 0644, param);
	ASSERT_GE(fd, 0);
	close(fd);

	/* what the kernel received */
	struct zvsim_request *reqs;
	size_t count;
	ASSERT_GE(zvsim_log_read(&reqs, &count), 0);
	ASSERT_GE(count, 1U);
	const auto &last = reqs[count - 1];
	EXPECT_EQ(last.code, 0x4008669AUL);
	ASSERT_GE(last.nbytes, 32U);
	uint32_t magic, size;
	uint16_t stripes, offset;
	memcpy(&magic, last.bytes, 4);
	memcpy(&size, last.bytes + 24, 4);
	memcpy(&stripes, last.bytes + 28, 2);
	memcpy(&offset, last.bytes + 30, 2);
	EXPECT_EQ(magic, ZV_LAYOUT_MAGIC_V1);
	EXPECT_EQ(size, 4U << 20);
	EXPECT_EQ(stripes, 2);
	EXPECT_EQ(offset, 0xFFFF);
	zvsim_log_free(reqs, count);

	/* and what reads back */
	auto *lum = static_cast<zv_layout_v1 *>(malloc(ZV_LAYOUT_MAX_SIZE));
	ASSERT_EQ(zvapi_file_get_stripe(in_mount("striped").c_str(), lum), 0);
	EXPECT_EQ(lum->lmm_magic, ZV_LAYOUT_MAGIC_V1);
	EXPECT_EQ(lum->lmm_stripe_size, 4U << 20);
	EXPECT_EQ(lum->lmm_stripe_count, 2);

	/* the name exists now */
	EXPECT_EQ(zvapi_file_open_param(in_mount("striped").c_str(),
	                                O_WRONLY | O_EXCL, 0644, param),
	          -EEXIST);
	EXPECT_EQ(zvapi_file_open_param(in_mount("striped").c_str(), O_WRONLY,
	                                0644, param),
	          -EEXIST);

	/* a pool asks for the second record version */
	char pool[] = "flash";
	param->zsp_pool = pool;
	fd = zvapi_file_open_param(in_mount("pooled").c_str(), O_RDWR, 0644,
	                           param);
	ASSERT_GE(fd, 0);
	close(fd);
	ASSERT_EQ(zvapi_file_get_stripe(in_mount("pooled").c_str(), lum), 0);
	EXPECT_EQ(lum->lmm_magic, ZV_LAYOUT_MAGIC_V3);
	EXPECT_STREQ(reinterpret_cast<zv_layout_v3 *>(lum)->lmm_pool_name,
	             "flash");

	errno = 0;
	EXPECT_NE(zvapi_file_get_stripe(in_mount("missing").c_str(), lum), 0);
	EXPECT_EQ(errno, ENOENT);
	free(lum);
	free(param);
}

TEST_F(Layout, StripedCreateRefusesBadRequests)
{
	auto *param = new_param(1, 1000);
	stderr_capture cap;
	EXPECT_EQ(zvapi_file_open_param(in_mount("bad").c_str(), O_WRONLY, 0644,
	                                param),
	          -EINVAL);
	EXPECT_NE(cap.finish().find("bad stripe_size 1000"), std::string::npos);
	param->zsp_stripe_size = 1 << 20;
	param->zsp_stripe_count = 5000;
	EXPECT_EQ(zvapi_file_open_param(in_mount("bad").c_str(), O_WRONLY, 0644,
	                                param),
	          -EINVAL);
	EXPECT_NE(access(in_mount("bad").c_str(), F_OK), 0)
	        << "nothing is created for a refused request";
	EXPECT_EQ(zvapi_file_open_param(in_mount("bad").c_str(), O_WRONLY, 0644,
	                                nullptr),
	          -EINVAL);
	free(param);
}

TEST_F(Layout, ForeignDirectory)
{
	ASSERT_GE(zvapi_dir_create_foreign(in_mount("fdir").c_str(), 0750,
	                                   ZV_FOREIGN_TYPE_SYMLINK, 0x1234,
	                                   "UUID@UUID"),
	          0);
	struct stat st;
	ASSERT_EQ(stat(in_mount("fdir").c_str(), &st), 0);
	EXPECT_TRUE(S_ISDIR(st.st_mode));

	int fd = open(in_mount("fdir").c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_GE(fd, 0);
	std::vector<char> buf(65536);
	uint32_t req = ZV_DIR_STRIPE_REQUEST_MAGIC;
	memcpy(buf.data(), &req, 4);
	ASSERT_EQ(ioctl(fd, ZV_IOC_LMV_GETSTRIPE, buf.data()), 0);
	close(fd);
	zv_foreign_layout lfm;
	memcpy(&lfm, buf.data(), sizeof(lfm));
	EXPECT_EQ(lfm.lfm_magic, ZV_FOREIGN_DIR_MAGIC);
	EXPECT_EQ(lfm.lfm_length, 9U);
	EXPECT_EQ(lfm.lfm_type, ZV_FOREIGN_TYPE_SYMLINK);
	EXPECT_EQ(lfm.lfm_flags, 0x1234U);
	EXPECT_EQ(std::string(buf.data() + 16, 9), "UUID@UUID");

	stderr_capture cap;
	EXPECT_EQ(zvapi_dir_create_foreign(in_mount("fdir").c_str(), 0750, 1, 0,
	                                   "v"),
	          -EEXIST);
	EXPECT_EQ(zvapi_dir_create_foreign(in_mount("nodir/x").c_str(), 0750, 1,
	                                   0, "v"),
	          -ENOENT);
	cap.finish();
	EXPECT_EQ(zvapi_dir_create_foreign(in_mount("y").c_str(), 0750, 1, 0,
	                                   nullptr),
	          -EINVAL);
}

TEST_F(Layout, NothingLeaksOnFailure)
{
	auto *param = new_param(1, 1 << 20);
	int before = open_fd_count();
	stderr_capture cap;
	zvsim_inject_errno(ZV_IOC_LOV_SETSTRIPE, EIO, 0);
	EXPECT_EQ(zvapi_file_open_param(in_mount("f").c_str(), O_WRONLY, 0644,
	                                param),
	          -EIO);
	zvsim_inject_errno(ZV_IOC_LMV_SETSTRIPE, EPERM, 0);
	EXPECT_EQ(zvapi_dir_create_foreign(in_mount("d").c_str(), 0700, 1, 0,
	                                   "v"),
	          -EPERM);
	struct obd_uuid uuid;
	zvsim_inject_errno(ZV_IOC_GETOBDNAME, ENOTTY, 0);
	EXPECT_EQ(zvapi_file_get_lov_uuid(mount_.c_str(), &uuid), -ENOTTY);
	cap.finish();
	EXPECT_EQ(open_fd_count(), before);
	free(param);
}

} // namespace
