// euidaccess as root with real setegid/setgroups/seteuid, against a user
// and group database of the test's own (nss_wrapper); and without
// privilege, where the switch must fail.
#include "fstests_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fstests
{
namespace
{

using zvtest::run_result;

class Euidaccess : public FsTest
{
      protected:
	void SetUp() override
	{
		if (geteuid() != 0)
			GTEST_SKIP() << "switching identities needs root";
		if (std::string(NSS_WRAPPER_LIB).empty())
			GTEST_SKIP()
			        << "nss_wrapper (libnss-wrapper) not found";
		FsTest::SetUp();
		base_ = path(Place::Tmp, "db");
		ASSERT_EQ(mkdir(base_.c_str(), 0755), 0);
		// The temporary directory must be traversable by the users.
		ASSERT_EQ(chmod(dir(Place::Tmp).c_str(), 0755), 0);
		zvtest::write_file(base_ + "/passwd",
		                   "root:x:0:0:root:/root:/bin/sh\n"
		                   "alice:x:1234:1234::/:/bin/sh\n"
		                   "bob:x:1300:1300::/:/bin/sh\n");
		zvtest::write_file(base_ + "/group", "root:x:0:\n"
		                                     "alice:x:1234:\n"
		                                     "shared:x:2345:alice\n"
		                                     "bob:x:1300:\n");
		// Writable only through the supplementary group shared.
		shared_ = base_ + "/shared";
		ASSERT_EQ(mkdir(shared_.c_str(), 0770), 0);
		ASSERT_EQ(chown(shared_.c_str(), 0, 2345), 0);
		ASSERT_EQ(chmod(shared_.c_str(), 0770), 0);
	}

	// argv with the test's user database, optionally behind setpriv.
	run_result euidaccess(std::vector<std::string> args,
	                      const std::vector<std::string> &prefix = {})
	{
		std::vector<std::string> argv = prefix;
		argv.push_back(bin("euidaccess"));
		argv.insert(argv.end(), args.begin(), args.end());
		const char *asan = getenv("ASAN_OPTIONS");
		return zvtest::run_program(
		        argv,
		        {std::string("LD_PRELOAD=") + NSS_WRAPPER_LIB,
		         "NSS_WRAPPER_PASSWD=" + base_ + "/passwd",
		         "NSS_WRAPPER_GROUP=" + base_ + "/group",
		         std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
		                 ":verify_asan_link_order=0:detect_leaks=0"});
	}

	// The "Groups" line of root's list, when the process has any.
	static std::string root_groups()
	{
		return getgroups(0, nullptr) > 0 ? "\tGroups      0 - root, \n"
		                                 : "";
	}

	std::string base_, shared_;
};

TEST_F(Euidaccess, WritesThroughASupplementaryGroup)
{
	std::string f = shared_ + "/by-alice";
	run_result r = euidaccess({"alice", f});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "Initially root ruid:rgid 0:0, euid:egid 0:0\n" +
	                         root_groups() +
	                         "To switch to effective alice uid:gid "
	                         "1234:1234\n"
	                         "\tGroups   1234 - alice,   2345 - shared, \n"
	                         "Now root ruid:rgid 0:0, euid:egid 1234:1234\n"
	                         "\tGroups   1234 - alice,   2345 - shared, \n"
	                         "File " +
	                         f + " successfully written\n");
	EXPECT_EQ(zvtest::read_file(f), std::string("test\0", 5));
	struct stat st {
	};
	ASSERT_EQ(stat(f.c_str(), &st), 0);
	EXPECT_EQ(st.st_uid, 1234u); // made under the effective identity
}

TEST_F(Euidaccess, AUserOutsideTheGroupIsRefused)
{
	std::string f = shared_ + "/by-bob";
	run_result r = euidaccess({"bob", f});
	EXPECT_EQ(r.status, EACCES);
	EXPECT_EQ(r.err, "open: Permission denied\n");
	// Only the primary group: a one-entry list is still installed.
	EXPECT_NE(r.out.find("\tGroups   1300 - bob, \nNow root ruid:rgid 0:0, "
	                     "euid:egid 1300:1300\n\tGroups   1300 - bob, \n"),
	          std::string::npos)
	        << r.out;
	EXPECT_NE(access(f.c_str(), F_OK), 0);
}

TEST_F(Euidaccess, UnknownUserAndUsage)
{
	run_result r = euidaccess({"nobody2", shared_ + "/x"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Cannot find user nobody2 in passwd db\n");
	r = euidaccess({"alice"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Usage: " + bin("euidaccess") +
	                         " <user to switch euid to> <path to file to "
	                         "access>\n");
}

TEST_F(Euidaccess, WithoutPrivilegeTheSwitchFails)
{
	if (access("/usr/bin/setpriv", X_OK) != 0)
		GTEST_SKIP() << "setpriv (util-linux) not found";
	run_result r = euidaccess({"bob", shared_ + "/x"},
	                          {"/usr/bin/setpriv", "--reuid=1234",
	                           "--regid=1234", "--clear-groups"});
	EXPECT_EQ(r.status, EPERM);
	EXPECT_EQ(r.err, "setegid: Operation not permitted\n");
	EXPECT_EQ(r.out, "Initially alice ruid:rgid 1234:1234, euid:egid "
	                 "1234:1234\nTo switch to effective bob uid:gid "
	                 "1300:1300\n");
}

} // namespace
} // namespace fstests
