// Data versions and layout swaps: data-version, swap-layouts.
#include "tool_fixture.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class SwapTool : public ZorvelTool
{
};

TEST_F(SwapTool, DataVersionsAndSwap)
{
	zvtest::write_file(m("a"), "first");
	zvtest::write_file(m("b"), "second file");
	std::string fa = zorvel({"path2fid", m("a")}).out;

	run_result r = zorvel({"data-version", m("a")});
	ASSERT_EQ(r.status, 0) << r.err;
	std::string before = r.out;
	EXPECT_EQ(zorvel({"data-version", m("a")}).out, before)
	        << "nothing changed, the version stays";

	r = zorvel({"swap-layouts", m("a"), m("b"), "--check-dv"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(zvtest::read_file(m("a")), "second file");
	EXPECT_EQ(zvtest::read_file(m("b")), "first");
	EXPECT_EQ(zorvel({"path2fid", m("a")}).out, fa) << "the FID stays";
	EXPECT_NE(zorvel({"data-version", m("a")}).out, before);

	/* several files: each prefixed by its name; a missing one fails
	 * alone */
	r = zorvel({"data-version", m("a"), m("missing"), m("b")});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.out.find(m("a") + ": "), 0U) << r.out;
	EXPECT_NE(r.out.find("\n" + m("b") + ": "), std::string::npos);
	EXPECT_EQ(r.err, "zorvel data-version: cannot get the data version "
	                 "of '" + m("missing") +
	                         "': No such file or directory (2)\n");
}

TEST_F(SwapTool, KeepsTimesAndRefusesBadArguments)
{
	zvtest::write_file(m("a"), "a");
	zvtest::write_file(m("b"), "bb");
	struct timespec ta[2] = {{1000, 0}, {2000, 0}};
	struct timespec tb[2] = {{3000, 0}, {4000, 0}};
	ASSERT_EQ(utimensat(AT_FDCWD, m("a").c_str(), ta, 0), 0);
	ASSERT_EQ(utimensat(AT_FDCWD, m("b").c_str(), tb, 0), 0);
	run_result r = zorvel({"swap-layouts", "--keep-mtime", m("a"), m("b"),
	                       "--keep-atime"});
	ASSERT_EQ(r.status, 0) << r.err;
	struct stat sa, sb;
	ASSERT_EQ(stat(m("a").c_str(), &sa), 0);
	ASSERT_EQ(stat(m("b").c_str(), &sb), 0);
	EXPECT_EQ(sa.st_mtim.tv_sec, 2000);
	EXPECT_EQ(sa.st_atim.tv_sec, 1000);
	EXPECT_EQ(sb.st_mtim.tv_sec, 4000);
	EXPECT_EQ(sa.st_size, 2);

	EXPECT_EQ(zorvel({"swap-layouts", m("a")}).status, 255);
	r = zorvel({"swap-layouts", m("a"), m("b"), "--keep"});
	EXPECT_EQ(r.status, 255) << "ambiguous: --keep-mtime or --keep-atime";
	EXPECT_EQ(r.err, "zorvel swap-layouts: unknown option '--keep' (see "
	                 "'zorvel swap-layouts --help')\n");
	ASSERT_EQ(mkdir(m("d").c_str(), 0755), 0);
	r = zorvel({"swap-layouts", m("a"), m("d")});
	EXPECT_EQ(r.status, EISDIR);
	EXPECT_EQ(r.err, "zorvel swap-layouts: cannot swap the layouts of '" +
	                         m("a") + "' and '" + m("d") +
	                         "': Is a directory (21)\n");
	EXPECT_EQ(zvtest::read_file(m("a")), "bb") << "nothing swapped";
}

} // namespace
