/* Removals by FID, of directory entries and of foreign objects, through
 * the simulated kernel client. */
#include "fid_words.h"
#include "wire_words.h"
#include "zvtest/alloc_sweep.h"
#include "zvtest/fds.h"
#include "zvtest/files.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using zvtest::stderr_capture;
using zvtest::write_file;

using fidtest::fid_of;
using wiretest::prog;

class Remove : public zvtest::sim_fixture
{
};

TEST_F(Remove, RemoveByFid)
{
	write_file(in_mount("a"), "a");
	write_file(in_mount("b"), "b");
	ASSERT_EQ(link(in_mount("b").c_str(), in_mount("b2").c_str()), 0);
	ASSERT_EQ(mkdir(in_mount("d").c_str(), 0755), 0);

	auto *fa = static_cast<fid_array *>(
	        calloc(1, sizeof(fid_array) + 3 * sizeof(zo_fid)));
	fa->fa_nr = 3;
	fa->fa_fids[0] = fid_of(in_mount("a"));
	fa->fa_fids[1] = fid_of(in_mount("b"));
	fa->fa_fids[2] = fid_of(in_mount("d"));
	ASSERT_EQ(zvsim_log_clear(), 0);
	int rc = zvapi_rmfid("demo", fa);
	EXPECT_NE(rc, 0) << "the directory was not removed";
	EXPECT_NE(access(in_mount("a").c_str(), F_OK), 0);
	EXPECT_NE(access(in_mount("b2").c_str(), F_OK), 0) << "every link";
	EXPECT_EQ(access(in_mount("d").c_str(), F_OK), 0);
	EXPECT_EQ(fa->fa_fids[0].f_seq, 0U) << "removed FIDs are zeroed";
	EXPECT_NE(fa->fa_fids[2].f_seq, 0U);
	EXPECT_NE(fa->fa_fids[2].f_ver, 0U) << "the reason is left behind";

	auto codes = request_codes();
	ASSERT_EQ(codes.size(), 1U);
	EXPECT_EQ(codes[0], 0x801066F2UL);

	/* by a path in the mount; a name that is neither */
	fa->fa_nr = 1;
	write_file(in_mount("c"), "c");
	fa->fa_fids[0] = fid_of(in_mount("c"));
	EXPECT_EQ(zvapi_rmfid(mount_.c_str(), fa), 0);
	EXPECT_NE(access(in_mount("c").c_str(), F_OK), 0);
	EXPECT_EQ(zvapi_rmfid("nosuchfs", fa), -ENODEV);
	free(fa);
}

TEST_F(Remove, DirectoryEntryRemoval)
{
	write_file(in_mount("victim"), "x");
	std::string path = in_mount("victim");
	EXPECT_EQ(zvapi_direntry_remove(path.data()), 0);
	EXPECT_NE(access(path.c_str(), F_OK), 0);

	/* a failed removal is reported and returned */
	std::string missing = in_mount("missing");
	stderr_capture cap;
	int rc = zvapi_direntry_remove(missing.data());
	std::string err = cap.finish();
	EXPECT_EQ(rc, -ENOENT);
	EXPECT_NE(err.find(prog() + ": error on ioctl 0xc00866f2 for "
	                            "'missing' ("),
	          std::string::npos)
	        << err;
	EXPECT_NE(err.find("): No such file or directory (2)\n"),
	          std::string::npos)
	        << err;

	std::string nodir = in_mount("nodir/x");
	stderr_capture cap2;
	EXPECT_EQ(zvapi_direntry_remove(nodir.data()), -ENOENT);
	EXPECT_EQ(cap2.finish(),
	          prog() + ": unable to open 'x': No such file or directory "
	                   "(2)\n");
}

TEST_F(Remove, ForeignObjectRemoval)
{
	ASSERT_GE(zvapi_dir_create_foreign(in_mount("fdir").c_str(), 0755,
	                                   ZV_FOREIGN_TYPE_SYMLINK, 0, "v@v"),
	          0);
	std::string fdir = in_mount("fdir");
	EXPECT_EQ(zvapi_unlink_foreign(fdir.data()), 0);
	EXPECT_NE(access(fdir.c_str(), F_OK), 0) << "removed as a directory";

	/* an ordinary file: the preparation is refused, the file goes */
	write_file(in_mount("plain"), "x");
	std::string plain = in_mount("plain");
	stderr_capture cap;
	EXPECT_EQ(zvapi_unlink_foreign(plain.data()), 0);
	std::string err = cap.finish();
	EXPECT_NE(err.find("error on ioctl 0x66f2 for '" + plain + "'"),
	          std::string::npos)
	        << err;
	EXPECT_NE(access(plain.c_str(), F_OK), 0);

	std::string missing = in_mount("missing");
	stderr_capture cap2;
	EXPECT_EQ(zvapi_unlink_foreign(missing.data()), -ENOENT);
	EXPECT_EQ(cap2.finish(), prog() + ": unable to open '" + missing +
	                                 "': No such file or directory (2)\n");
}

TEST_F(Remove, AllocationFailures)
{
	write_file(in_mount("e"), "x");
	std::string entry = in_mount("e");
	zvtest::each_allocation_fails(
	        "libzorvelapi",
	        [&] { return zvapi_direntry_remove(entry.data()); },
	        {.limit = 100, .until_done = true});
	write_file(in_mount("r"), "x");
	auto *fa = static_cast<fid_array *>(
	        calloc(1, sizeof(fid_array) + sizeof(zo_fid)));
	fa->fa_nr = 1;
	fa->fa_fids[0] = fid_of(in_mount("r"));
	zvtest::each_allocation_fails("libzorvelapi",
	                              [&] { return zvapi_rmfid("demo", fa); },
	                              {.limit = 100, .until_done = true});
	free(fa);
}

} // namespace
