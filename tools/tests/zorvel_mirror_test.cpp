// The mirror subcommand: list, read, write, copy and verify the mirrors of
// a file.
#include "tool_fixture.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;
using zvtest::shell_quote;

class MirrorTool : public ZorvelTool
{
      protected:
	void SetUp() override
	{
		ZorvelTool::SetUp();
		f_ = m("f");
		std::string data;
		for (int i = 0; i < 10000; i++)
			data += char('a' + i % 26);
		data_ = file("data", data);
	}
	std::string f_, data_;
};

TEST_F(MirrorTool, WriteCopyVerifyAMirroredFile)
{
	zvtest::write_file(f_, "old");
	ASSERT_EQ(zvsim({"mirror", "count", f_, "3"}).status, 0);
	run_result r = zorvel_sh("mirror write " + shell_quote(f_) +
	                         " --id 1 < " + shell_quote(data_));
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(zvtest::read_file(f_), zvtest::read_file(data_));

	r = zorvel({"mirror", "list", f_});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out,
	          f_ + ": mirror 1: size 10000, not sparse, data 0+10000\n" +
	                  f_ + ": mirror 2: size 0, not sparse, data -\n" + f_ +
	                  ": mirror 3: size 0, not sparse, data -\n");

	r = zorvel({"mirror", "verify", f_});
	EXPECT_EQ(r.status, 117);
	EXPECT_EQ(r.out,
	          f_ + ": mirror 2 differs from mirror 1: size 0, not 10000\n" +
	                  f_ +
	                  ": mirror 3 differs from mirror 1: size 0, not "
	                  "10000\n");

	r = zorvel({"mirror", "copy", f_, "--src", "1", "--dst", "2,3"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, f_ + ": mirror 1 copied to 2,3\n");
	EXPECT_EQ(r.err, "") << "no progress bar on a pipe";
	r = zorvel({"mirror", "verify", f_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, f_ + ": 3 mirrors agree\n");

	r = zorvel({"mirror", "read", f_, "--id", "3", "--offset", "26",
	            "--length", "5"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "abcde");

	// A hole punched in one mirror only.
	r = zorvel({"punch", f_, "0", "4096", "--id", "3"});
	EXPECT_EQ(r.status, 0) << r.err;
	r = zorvel({"mirror", "verify", f_});
	EXPECT_EQ(r.status, 117);
	EXPECT_EQ(r.out, f_ + ": mirror 3 differs from mirror 1: content "
	                      "differs at offset 0\n");
	r = zorvel({"punch", f_, "0", "4096"});
	EXPECT_EQ(r.status, 0) << r.err;
	r = zorvel({"mirror", "verify", f_});
	EXPECT_EQ(r.status, 117);
	EXPECT_EQ(r.out, f_ + ": mirror 2 differs from mirror 1: content "
	                      "differs at offset 0\n");
}

// Mirrors that hold the same bytes, one with zeros written where the
// other has a hole, were counted as differing.
TEST_F(MirrorTool, VerifyNotesAllocationWithoutFailing)
{
	zvtest::write_file(f_, std::string(10000, 'v'));
	ASSERT_EQ(zvsim({"mirror", "count", f_, "2"}).status, 0);
	ASSERT_EQ(zorvel({"punch", f_, "0", "4096"}).status, 0);
	// The range copy is dense: the hole becomes written zeros.
	run_result r = zorvel({"mirror", "copy", f_, "--src", "1", "--dst", "2",
	                       "--offset", "0", "--length", "12288"});
	ASSERT_EQ(r.status, 0) << r.err;
	r = zorvel({"mirror", "verify", f_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, f_ +
	                         ": mirror 2 holds the bytes of mirror 1, "
	                         "allocated differently: data 0+10000, not "
	                         "4096+5904\n" +
	                         f_ + ": 2 mirrors agree\n");
	r = zorvel({"mirror", "verify", f_, "--json"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "{\"file\": \"" + f_ +
	                         "\", \"mirror\": 2, \"agrees\": 1, "
	                         "\"allocation\": \"data 0+10000, not "
	                         "4096+5904\"}\n");
}

// Copying the file as a whole onto mirror 1, which serves its reads,
// emptied it.
TEST_F(MirrorTool, CopyOfTheFileOntoItsOwnMirrorKeepsIt)
{
	zvtest::write_file(f_, "");
	ASSERT_EQ(truncate(f_.c_str(), 3 << 20), 0);
	ASSERT_EQ(zorvel_sh("mirror write " + shell_quote(f_) +
	                    " --id 1 --offset 1048576 < " + shell_quote(data_))
	                  .status,
	          0);
	run_result r =
	        zorvel({"mirror", "copy", f_, "--src", "0", "--dst", "1"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, f_ + ": mirror 0 copied to 1\n");
	r = zorvel({"sparse", f_});
	EXPECT_EQ(r.out, f_ + ": sparse, size 3145728, data 1048576+12288\n");
	r = zorvel({"mirror", "copy", f_, "--src", "1", "--dst", "2,1"});
	EXPECT_EQ(r.status, 255) << "a mirror is not copied onto itself";
	EXPECT_EQ(r.err, "zorvel mirror: --dst names the source mirror (see "
	                 "'zorvel mirror --help')\n");
}

// A name holding a newline gave a message of two lines.
TEST_F(MirrorTool, MessagesEscapeNames)
{
	std::string odd = m("a\nb");
	zvtest::write_file(odd, "x");
	run_result r = zorvel({"mirror", "read", odd, "--id", "4"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err, "zorvel mirror: cannot read mirror 4 of '" +
	                         m("a\\nb") +
	                         "': No such file or directory (2)\n");
	r = zorvel({"mirror", "list", m("c\td")});
	EXPECT_EQ(r.err, "zorvel mirror: cannot open '" + m("c\\td") +
	                         "': No such file or directory (2)\n");
}

TEST_F(MirrorTool, CopyFailuresAndRanges)
{
	zvtest::write_file(f_, std::string(9000, 'x'));
	ASSERT_EQ(zvsim({"mirror", "count", f_, "2"}).status, 0);
	run_result r =
	        zorvel({"mirror", "copy", f_, "--src", "1", "--dst", "2,9"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.out, f_ + ": mirror 1 copied to 2\n");
	EXPECT_EQ(r.err, "zorvel mirror: cannot copy mirror 1 of '" + f_ +
	                         "' to mirror 9: No such file or directory "
	                         "(2)\n");

	r = zorvel({"mirror", "copy", f_, "--src", "0", "--dst", "2",
	            "--offset", "4096", "--length", "4096", "--json"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "{\"file\": \"" + f_ +
	                         "\", \"src\": 0, \"dst\": \"2\", \"offset\": "
	                         "4096, \"copied\": 4096}\n");

	EXPECT_EQ(zorvel({"mirror", "copy", f_, "--dst", "2"}).status, 255);
	EXPECT_EQ(zorvel({"mirror", "copy", f_, "--src", "1", "--dst", "0"})
	                  .status,
	          255);
	EXPECT_EQ(zorvel({"mirror", "copy", f_, "--src", "1", "--dst", "2",
	                  "--offset", "0"})
	                  .status,
	          255);
	EXPECT_EQ(zorvel({"mirror", "frob", f_}).status, 255);
	EXPECT_EQ(zorvel({"mirror", "read", f_}).status, 255) << "no --id";
	r = zorvel({"mirror", "read", f_, "--id", "5"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err, "zorvel mirror: cannot read mirror 5 of '" + f_ +
	                         "': No such file or directory (2)\n");
}

TEST_F(MirrorTool, ProgressBarOnATerminal)
{
	zvtest::write_file(f_, std::string(1 << 20, 'x'));
	ASSERT_EQ(zvsim({"mirror", "count", f_, "2"}).status, 0);
	// script(1) gives the command a terminal.
	std::string cmd = std::string(ZVSIM_BIN) + " run --state " +
	                  shell_quote(state()) + " -- " + ZORVEL_BIN +
	                  " mirror copy " + shell_quote(f_) +
	                  " --src 1 --dst 2";
	auto r = zvtest::run_shell("script -qec " + shell_quote(cmd) +
	                           " /dev/null 2>&1");
	if (r.status != 0 && r.out.find("script") != std::string::npos)
		GTEST_SKIP() << "no terminal to be had: " << r.out;
	EXPECT_EQ(r.status, 0) << r.out;
	EXPECT_NE(r.out.find("copy [##############################] 100% "
	                     "1.0 MiB"),
	          std::string::npos)
	        << r.out;
}

} // namespace
