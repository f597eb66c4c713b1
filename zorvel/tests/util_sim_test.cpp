/* Version, target and pool search, removals and names through the
 * simulated kernel client. */
#include "support/failalloc.h"
#include "support/test_support.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using zvtest::stderr_capture;
using zvtest::write_file;

std::string prog()
{
	return program_invocation_short_name;
}

/* The version parameter, wherever the simulator keeps it. */
std::string version_path()
{
	glob_t paths;
	if (zvapi_param_get_paths("version", &paths) != 0)
		return {};
	std::string p = paths.gl_pathv[0];
	zvapi_param_paths_free(&paths);
	return p;
}

class UtilSim : public zvtest::sim_fixture
{
      protected:
	void set(const std::string &path, const std::string &content)
	{
		ASSERT_EQ(zvsim_param_set(path.c_str(), content.data(),
		                          content.size()),
		          0);
	}
	zo_fid fid_of(const std::string &path)
	{
		zo_fid fid{};
		EXPECT_EQ(zvapi_path2fid(path.c_str(), &fid), 0);
		return fid;
	}
};

TEST_F(UtilSim, VersionText)
{
	std::string path = version_path();
	ASSERT_FALSE(path.empty());
	char v[64];
	set(path, "zorvel:  \t2.16.3\n");
	EXPECT_EQ(zvapi_get_version_string(v, sizeof(v)), 0);
	EXPECT_STREQ(v, "2.16.3");
	set(path, "2.17.0-rc1\n");
	EXPECT_EQ(zvapi_get_version_string(v, sizeof(v)), 0);
	EXPECT_STREQ(v, "2.17.0-rc1");

	set(path, "zorvel: \n");
	errno = 0;
	EXPECT_EQ(zvapi_get_version_string(v, sizeof(v)), -1);
	EXPECT_EQ(errno, ENODATA);

	set(path, "2.16.0\n");
	char small[4];
	EXPECT_EQ(zvapi_get_version_string(small, sizeof(small)), -1);
	EXPECT_EQ(errno, EOVERFLOW);
	EXPECT_STREQ(small, "2.1");

	EXPECT_EQ(zvapi_get_version_string(nullptr, 10), -1);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(zvapi_get_version_string(v, 0), -1);
	EXPECT_EQ(errno, EINVAL);

	ASSERT_EQ(zvsim_param_remove(path.c_str()), 0);
	EXPECT_EQ(zvapi_get_version_string(v, sizeof(v)), -1);
	EXPECT_EQ(errno, ENOENT);
}

TEST_F(UtilSim, DeprecatedVersionNoticeOnce)
{
	set(version_path(), "zorvel: 2.16.0\n");
	char buf[64], *version = nullptr;
	stderr_capture cap;
	for (int i = 0; i < 3; i++) {
		EXPECT_EQ(zvapi_get_version(buf, sizeof(buf), &version), 0);
		EXPECT_EQ(version, buf);
	}
	std::string err = cap.finish();
	/* earlier tests in this process may have had the notice already */
	EXPECT_TRUE(err == "" || err == "zvapi_get_version deprecated, use "
	                                "zvapi_get_version_string()\n")
	        << err;
	EXPECT_STREQ(buf, "2.16.0");
}

TEST_F(UtilSim, TargetAndPoolSearch)
{
	EXPECT_EQ(zvapi_search_ost("demo", nullptr, "demo-OST0000_UUID"), 1);
	EXPECT_EQ(zvapi_search_ost("demo", nullptr, "demo-OST0001"), 1)
	        << "a prefix of the name matches";
	EXPECT_EQ(zvapi_search_ost("demo", nullptr, "demo-OST00ff_UUID"), 0);
	EXPECT_EQ(zvapi_search_mdt("demo", nullptr, "demo-MDT0000_UUID"), 1);
	EXPECT_EQ(zvapi_search_mdt("demo", nullptr, "demo-OST0000_UUID"), 0);

	const char *members[] = {"demo-OST0001_UUID"};
	ASSERT_EQ(zvsim_pool_set("flash", members, 1), 0);
	ASSERT_EQ(zvsim_pool_set("empty", nullptr, 0), 0);
	EXPECT_EQ(zvapi_search_ost("demo", "flash", nullptr), 1);
	EXPECT_EQ(zvapi_search_ost("demo", "flash", ""), 1);
	EXPECT_EQ(zvapi_search_ost("demo", "flash", "demo-OST0001_UUID"), 1);
	EXPECT_EQ(zvapi_search_ost("demo", "flash", "demo-OST0000_UUID"), 0);
	EXPECT_EQ(zvapi_search_ost("demo", "empty", nullptr), 0);
	errno = 0;
	EXPECT_EQ(zvapi_search_ost("demo", "nopool", nullptr), -ENOENT);

	errno = 0;
	EXPECT_EQ(zvapi_search_ost("", nullptr, "x"), -EINVAL);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(zvapi_search_ost(nullptr, nullptr, "x"), -EINVAL);
	EXPECT_EQ(zvapi_search_ost("demo", nullptr, ""), -EINVAL);
	errno = 0;
	EXPECT_EQ(zvapi_search_ost("other", nullptr, "x"), -ENOENT);
	EXPECT_EQ(errno, ENOENT);
}

TEST_F(UtilSim, RemoveByFid)
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

TEST_F(UtilSim, DirectoryEntryRemoval)
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

TEST_F(UtilSim, ForeignObjectRemoval)
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

TEST_F(UtilSim, NamesOfTheMount)
{
	std::string inst = zvsim_instance();
	char fsname[32], instance[64], name[128];
	EXPECT_EQ(zvapi_get_fsname_instance(mount_.c_str(), fsname,
	                                    sizeof(fsname), instance,
	                                    sizeof(instance)),
	          0);
	EXPECT_STREQ(fsname, "demo");
	EXPECT_EQ(instance, inst);
	EXPECT_EQ(zvapi_get_fsname(mount_.c_str(), fsname, sizeof(fsname)), 0);
	EXPECT_EQ(
	        zvapi_get_instance(mount_.c_str(), instance, sizeof(instance)),
	        0);
	EXPECT_EQ(zvapi_getname(mount_.c_str(), name, sizeof(name)), 0);
	EXPECT_EQ(std::string(name), "demo-" + inst);

	errno = 0;
	EXPECT_EQ(zvapi_get_fsname(mount_.c_str(), fsname, 4), -ENAMETOOLONG);
	EXPECT_EQ(errno, ENAMETOOLONG);
	EXPECT_EQ(zvapi_get_instance(mount_.c_str(), instance, inst.size()),
	          -ENAMETOOLONG);
	EXPECT_EQ(zvapi_getname(mount_.c_str(), name, inst.size() + 5),
	          -ENAMETOOLONG);
	EXPECT_EQ(zvapi_get_fsname_instance(mount_.c_str(), nullptr, 0, nullptr,
	                                    0),
	          -EINVAL);

	/* a crafted identifier without the separator */
	const char bad[40] = "demo-nothing-here";
	ASSERT_EQ(zvsim_inject_reply(ZV_IOC_GETOBDNAME, bad, sizeof(bad), 0),
	          0);
	EXPECT_EQ(zvapi_get_fsname(mount_.c_str(), fsname, sizeof(fsname)),
	          -EINVAL);
}

TEST_F(UtilSim, SixteenCharacterFileSystemName)
{
	/* the kernel's identifier for a name of 16 characters */
	const char uuid[40] = "abcdefghijklmnop-clilov-ffff0000";
	ASSERT_EQ(zvsim_inject_reply(ZV_IOC_GETOBDNAME, uuid, sizeof(uuid), 0),
	          0);
	char name[256];
	errno = 0;
	EXPECT_EQ(zvapi_getname(mount_.c_str(), name, sizeof(name)),
	          -ENAMETOOLONG);
	EXPECT_EQ(errno, ENAMETOOLONG);

	const char fifteen[40] = "abcdefghijklmno-clilov-ffff0000";
	ASSERT_EQ(zvsim_inject_reply(ZV_IOC_GETOBDNAME, fifteen,
	                             sizeof(fifteen), 0),
	          0);
	EXPECT_EQ(zvapi_getname(mount_.c_str(), name, sizeof(name)), 0);
	EXPECT_STREQ(name, "abcdefghijklmno-ffff0000");
}

/* Every allocation of a call failed in turn: the call either succeeds or
 * reports ENOMEM, and no descriptor is left behind. */
template <typename Call>
void each_allocation_fails(const char *what, Call call)
{
	SCOPED_TRACE(what);
	int before = zvtest::open_fd_count();
	bool succeeded = false;
	unsigned long n = 0;
	for (; n < 100 && !succeeded; n++) {
		failalloc_arm_in("libzorvelapi", n);
		int rc = call();
		bool fired = failalloc_disarm();
		/* a call that did its work ends the sweep, even when the
		 * failure was absorbed on the way */
		if (!fired || rc >= 0) {
			EXPECT_GE(rc, 0);
			succeeded = true;
		} else {
			EXPECT_TRUE(rc >= 0 || rc == -ENOMEM ||
			            (rc == -1 && errno == ENOMEM))
			        << "allocation " << n << ": " << rc;
		}
		ASSERT_EQ(zvtest::open_fd_count(), before) << n;
	}
	EXPECT_TRUE(succeeded);
}

TEST_F(UtilSim, AllocationFailures)
{
	if (!failalloc_active())
		GTEST_SKIP() << "allocator not interposable in this build";
	const char *members[] = {"demo-OST0001_UUID"};
	ASSERT_EQ(zvsim_pool_set("flash", members, 1), 0);
	each_allocation_fails("search", [] {
		return zvapi_search_ost("demo", nullptr, "demo-OST0001_UUID");
	});
	each_allocation_fails("pool", [] {
		return zvapi_search_ost("demo", "flash", nullptr);
	});
	each_allocation_fails("version", [] {
		char v[64];
		return zvapi_get_version_string(v, sizeof(v));
	});
	std::string mnt = mount_;
	each_allocation_fails("getname", [&] {
		char name[128];
		return zvapi_getname(mnt.c_str(), name, sizeof(name));
	});
	write_file(in_mount("e"), "x");
	std::string entry = in_mount("e");
	each_allocation_fails("direntry", [&] {
		return zvapi_direntry_remove(entry.data());
	});
	write_file(in_mount("r"), "x");
	auto *fa = static_cast<fid_array *>(
	        calloc(1, sizeof(fid_array) + sizeof(zo_fid)));
	fa->fa_nr = 1;
	fa->fa_fids[0] = fid_of(in_mount("r"));
	each_allocation_fails("rmfid", [&] { return zvapi_rmfid("demo", fa); });
	free(fa);
}

} // namespace
