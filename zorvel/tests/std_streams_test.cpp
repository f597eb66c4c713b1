/* Descriptors the library opens never take the numbers of the standard
 * streams, so a caller that closed them gets no message written into its
 * files; descriptors it hands out keep the flags they were asked with.
 * Each case runs in a child that closed standard error alone (the next
 * open takes its number), and in one that closed all three. */
#include "zvtest/child.h"
#include "zvtest/files.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

using zvtest::in_child;
using zvtest::read_file;
using zvtest::write_file;

struct check {
	const char *what;
	std::function<bool()> holds;
};

/* Runs the checks in a child that closed the standard streams from
 * lowest to 2; the name of the first check that fails, or "" when all
 * hold. Each check also finds the closed streams still closed after it:
 * nothing of the library's was left there. */
std::string first_failing(const std::vector<check> &checks, int lowest)
{
	int status = in_child([&] {
		for (int fd = lowest; fd <= 2; fd++)
			close(fd);
		for (size_t i = 0; i < checks.size(); i++) {
			bool ok = checks[i].holds();
			for (int fd = lowest; fd <= 2; fd++)
				ok = ok && fcntl(fd, F_GETFD) == -1;
			if (!ok)
				return int(i) + 1;
		}
		return 0;
	});
	if (status == 0)
		return "";
	std::string closed = lowest == 2 ? "2 closed: " : "0, 1, 2 closed: ";
	if (status > 0 && size_t(status) <= checks.size())
		return closed + checks[status - 1].what;
	return closed + "child ended with status " + std::to_string(status);
}

/* Both ways of closing the standard streams. */
void expect_all_hold(const std::vector<check> &checks)
{
	EXPECT_EQ(first_failing(checks, 2), "");
	EXPECT_EQ(first_failing(checks, 0), "");
}

bool cloexec(int fd)
{
	return fcntl(fd, F_GETFD) & FD_CLOEXEC;
}

/* A descriptor a call handed out: above the standard streams, with the
 * access mode and close-on-exec flag asked for; closed here. */
bool handed_out(int fd, int accmode, bool want_cloexec)
{
	bool ok = fd > 2 && (fcntl(fd, F_GETFL) & O_ACCMODE) == accmode &&
	          cloexec(fd) == want_cloexec;
	if (fd >= 0)
		close(fd);
	return ok;
}

class StdStreams : public zvtest::sim_fixture
{
};

/* Regression: each of these calls opened the caller's file as descriptor
 * 2 and wrote its failure message into it. */
TEST_F(StdStreams, FailuresReportNothingIntoTheCallersFiles)
{
	const std::string a = in_mount("a"), b = in_mount("b"),
	                  f = in_mount("f");
	write_file(a, "first file");
	write_file(b, "second file");
	write_file(f, "cached data");
	ASSERT_EQ(zvsim_inject_errno(ZV_IOC_LOV_SETSTRIPE, EIO, 1), 0);
	zvapi_stripe_param param{};
	param.zsp_stripe_count = 1;
	param.zsp_stripe_offset = -1;
	const uint64_t stale = 0x5eed0001;

	std::vector<check> checks = {
	        {"swap of stale data versions",
	         [&] {
		         return zvapi_swap_layouts(a.c_str(), b.c_str(), stale,
		                                   0, ZV_SWAP_CHECK_DV1) ==
		                -EAGAIN;
	         }},
	        {"attach to a cache area that does not exist",
	         [&] {
		         return zvapi_pcc_attach(f.c_str(), 9,
		                                 ZO_PCC_READWRITE) == -ENOENT;
	         }},
	        {"striped open refused by the kernel",
	         [&] {
		         return zvapi_file_open_param(a.c_str(), O_RDWR, 0644,
		                                      &param) == -EIO;
	         }},
	};
	expect_all_hold(checks);
	EXPECT_EQ(read_file(a), "first file");
	EXPECT_EQ(read_file(b), "second file");
	EXPECT_EQ(read_file(f), "cached data");
}

TEST_F(StdStreams, HandedOutDescriptorsKeepTheirFlags)
{
	write_file(in_mount("f"), "data");
	ASSERT_EQ(mkdir(in_mount("d").c_str(), 0755), 0);
	zo_fid fid{};
	ASSERT_EQ(zvapi_path2fid(in_mount("f").c_str(), &fid), 0);
	char user[32];
	ASSERT_EQ(zvsim_changelog_register("demo-MDT0000", user, sizeof(user)),
	          0);
	const std::string mnt = mount_path(), dir = in_mount("d");
	zvapi_stripe_param param{};
	param.zsp_stripe_count = 1;
	param.zsp_stripe_offset = -1;

	std::vector<check> checks = {
	        {"open by FID",
	         [&] {
		         return handed_out(
		                 zvapi_open_by_fid(mnt.c_str(), &fid, O_RDONLY),
		                 O_RDONLY, false);
	         }},
	        {"open by FID asked close-on-exec",
	         [&] {
		         return handed_out(
		                 zvapi_open_by_fid(mnt.c_str(), &fid,
		                                   O_WRONLY | O_CLOEXEC),
		                 O_WRONLY, true);
	         }},
	        {"volatile file",
	         [&] {
		         return handed_out(
		                 zvapi_create_volatile_idx(dir.c_str(), -1, 0),
		                 O_RDWR, false);
	         }},
	        {"volatile file asked close-on-exec",
	         [&] {
		         return handed_out(
		                 zvapi_create_volatile_idx(
		                         dir.c_str(), -1, O_WRONLY | O_CLOEXEC),
		                 O_WRONLY, true);
	         }},
	        {"striped volatile file",
	         [&] {
		         return handed_out(
		                 zvapi_create_volatile_param(
		                         dir.c_str(), -1, O_RDWR, 0600, &param),
		                 O_RDWR, false);
	         }},
	        {"striped open",
	         [&] {
		         std::string path =
		                 dir + "/striped" + std::to_string(getpid());
		         return handed_out(
		                 zvapi_file_open_param(path.c_str(),
		                                       O_WRONLY | O_EXCL, 0644,
		                                       &param),
		                 O_WRONLY, false);
	         }},
	        {"change-log reader",
	         [&] {
		         void *priv = nullptr;
		         if (zvapi_changelog_start(&priv, CHANGELOG_FLAG_BLOCK,
		                                   "demo-MDT0000", 0) != 0)
			         return false;
		         int fd = zvapi_changelog_get_fd(priv);
		         bool ok = fd > 2 && !cloexec(fd) &&
		                   (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY;
		         return zvapi_changelog_fini(&priv) == 0 && ok;
	         }},
	        {"message channel",
	         [&] {
		         zorvel_kernelcomm link;
		         if (libkfx_ukuc_start(&link, 1, O_NONBLOCK) != 0)
			         return false;
		         int rfd = int(link.zk_rfd), wfd = int(link.zk_wfd);
		         bool ok = rfd > 2 && wfd > 2 && !cloexec(rfd) &&
		                   !cloexec(wfd) &&
		                   (fcntl(rfd, F_GETFL) & O_NONBLOCK);
		         return libkfx_ukuc_stop(&link) == 0 && ok;
	         }},
	};
	expect_all_hold(checks);
}

} // namespace
