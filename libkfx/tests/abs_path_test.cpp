/* kfx_abs_path against trees built in a temporary directory. */
#include "zvtest/files.h"

#include <libkfx/util/string.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

class AbsPath : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		char real[PATH_MAX];
		ASSERT_NE(realpath(tmp_.path().c_str(), real), nullptr);
		dir_ = real;
		ASSERT_NE(getcwd(cwd_, sizeof(cwd_)), nullptr);
		ASSERT_EQ(mkdir((dir_ + "/a").c_str(), 0755), 0);
		ASSERT_EQ(symlink("a", (dir_ + "/link").c_str()), 0);
		ASSERT_EQ(chdir(dir_.c_str()), 0);
	}
	void TearDown() override
	{
		ASSERT_EQ(chdir(cwd_), 0);
	}

	std::string abs(const std::string &path, int expect_rc = 0)
	{
		char *out = reinterpret_cast<char *>(0x1);
		int rc = kfx_abs_path(path.c_str(), &out);
		EXPECT_EQ(rc, expect_rc) << path;
		if (rc != 0) {
			EXPECT_EQ(out, nullptr);
			return {};
		}
		std::string s = out;
		free(out);
		return s;
	}

	zvtest::temp_dir tmp_;
	std::string dir_;
	char cwd_[PATH_MAX];
};

TEST_F(AbsPath, RelativeAndMissingLastComponent)
{
	EXPECT_EQ(abs("a/b"), dir_ + "/a/b");
	EXPECT_EQ(abs("nothere"), dir_ + "/nothere");
	abs("missing/b", -ENOENT);
}

TEST_F(AbsPath, OnlyTheDirectoryPartIsResolved)
{
	EXPECT_EQ(abs("link/x"), dir_ + "/a/x");
	EXPECT_EQ(abs(dir_ + "/link"), dir_ + "/link") << "last link kept";
	EXPECT_EQ(abs("a/."), dir_ + "/a/.");
	EXPECT_EQ(abs("a/.."), dir_ + "/a/..");
	EXPECT_EQ(abs("a/"), dir_ + "/a/");
	EXPECT_EQ(abs(dir_ + "//a//b"), dir_ + "/a/b");
}

TEST_F(AbsPath, LeadingSlashesAndTheRoot)
{
	EXPECT_EQ(abs("///x"), "/x");
	EXPECT_EQ(abs("/"), "/");
	EXPECT_EQ(abs("//tmp/q"), "/tmp/q");
}

TEST_F(AbsPath, LengthLimits)
{
	/* 4096 characters in all is the most that fits */
	std::string name(4096 - dir_.size() - 1, 'n');
	EXPECT_EQ(abs(dir_ + "/" + name), dir_ + "/" + name);
	abs(dir_ + "/" + name + "n", -ENAMETOOLONG);
	abs("/" + std::string(4096, 'x'), -ENAMETOOLONG);
	EXPECT_EQ(abs("/" + std::string(4095, 'x')).size(), 4096U);
	abs(std::string(4096, 'r'), -ENAMETOOLONG);
}

} // namespace
