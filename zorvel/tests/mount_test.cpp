/* Mounts through the simulated mount table, the names of a mount, and the
 * text helpers used on what the kernel client publishes. */
#include "zvtest/alloc_sweep.h"
#include "zvtest/fds.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

TEST(MountText, ChompAndMountType)
{
	char a[] = "2.15.0\n", b[] = "plain", c[] = "", d[] = "dos\r\n";
	zvapi_chomp_string(a);
	zvapi_chomp_string(b);
	zvapi_chomp_string(c);
	zvapi_chomp_string(d);
	zvapi_chomp_string(nullptr);
	EXPECT_STREQ(a, "2.15.0");
	EXPECT_STREQ(b, "plain");
	EXPECT_STREQ(c, "");
	EXPECT_STREQ(d, "dos");

	EXPECT_NE(zvapi_is_zorvel_mnttype("zorvel"), 0);
	EXPECT_EQ(zvapi_is_zorvel_mnttype("ext4"), 0);
	EXPECT_EQ(zvapi_is_zorvel_mnttype("zorvelx"), 0);
	EXPECT_EQ(zvapi_is_zorvel_mnttype(nullptr), 0);
}

class Mount : public zvtest::sim_fixture
{
};

TEST_F(Mount, MountLookupByPathAndName)
{
	ASSERT_EQ(mkdir(in_mount("sub").c_str(), 0755), 0);
	char buf[PATH_MAX];
	EXPECT_EQ(zvapi_search_mounts(in_mount("sub").c_str(), 0, buf, nullptr),
	          0);
	EXPECT_EQ(buf, mount_);
	/* a name that does not exist yet still lies in the mount */
	EXPECT_EQ(zvapi_search_mounts(in_mount("sub/new").c_str(), 0, buf,
	                              nullptr),
	          0);
	EXPECT_EQ(buf, mount_);
	EXPECT_EQ(zvapi_search_fsname(mount_.c_str(), buf), 0);
	EXPECT_STREQ(buf, "demo");
	EXPECT_EQ(zvapi_search_rootpath(buf, "demo"), 0);
	EXPECT_EQ(buf, mount_);
	EXPECT_EQ(zvapi_search_rootpath(buf, "other"), -ENODEV);

	/* a prefix of the mount's name is not inside it */
	EXPECT_EQ(zvapi_search_mounts((mount_ + "x").c_str(), 0, buf, nullptr),
	          -ENODEV);

	/* relative paths, and paths that reach the mount through a link */
	zvtest::temp_dir outside;
	std::string link = outside.path() + "/to-mount";
	ASSERT_EQ(symlink(mount_.c_str(), link.c_str()), 0);
	EXPECT_EQ(zvapi_search_mounts((link + "/sub").c_str(), 0, buf, nullptr),
	          0);
	EXPECT_EQ(buf, mount_);
	char cwd[PATH_MAX];
	ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
	ASSERT_EQ(chdir(in_mount("sub").c_str()), 0);
	int rc = zvapi_search_fsname("file-here", buf);
	ASSERT_EQ(chdir(cwd), 0);
	EXPECT_EQ(rc, 0);
	EXPECT_STREQ(buf, "demo");

	EXPECT_EQ(zvapi_search_fsname(outside.path().c_str(), buf), -ENODEV);
}

TEST_F(Mount, NamesOfTheMount)
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

TEST_F(Mount, SixteenCharacterFileSystemName)
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

TEST_F(Mount, AllocationFailures)
{
	std::string mnt = mount_;
	zvtest::each_allocation_fails(
	        "libzorvelapi",
	        [&] {
		        char name[128];
		        return zvapi_getname(mnt.c_str(), name, sizeof(name));
	        },
	        {.limit = 100, .until_done = true});
}

} // namespace
