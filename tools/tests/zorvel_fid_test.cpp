// The FID subcommands: path2fid, fid2path, path2parent, cat-fid.
#include "tool_fixture.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

TEST_F(ZorvelTool, FidWalk)
{
	ASSERT_EQ(mkdir(m("d").c_str(), 0755), 0);
	zvtest::write_file(m("d/a"), "content\n");
	ASSERT_EQ(link(m("d/a").c_str(), m("b").c_str()), 0);

	run_result r = zorvel({"path2fid", m("d/a")});
	ASSERT_EQ(r.status, 0) << r.err;
	std::string fid = r.out.substr(0, r.out.size() - 1);
	EXPECT_EQ(fid.front(), '[');
	EXPECT_EQ(r.out.back(), '\n');

	r = zorvel({"path2fid", m("d/a"), m("b")});
	EXPECT_EQ(r.out,
	          m("d/a") + ": " + fid + "\n" + m("b") + ": " + fid + "\n");

	r = zorvel({"fid2path", "demo", fid});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, m("b") + "\n" + m("d/a") + "\n");

	r = zorvel({"fid2path", mount_, fid});
	EXPECT_EQ(r.out, m("b") + "\n" + m("d/a") + "\n");

	r = zorvel({"path2parent", m("d/a")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("/a\n"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("]/b\n"), std::string::npos) << r.out;

	r = zorvel({"cat-fid", mount_, fid});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "content\n");
}

TEST_F(ZorvelTool, FidUsageAndFailures)
{
	run_result r = zorvel({"path2fid"});
	EXPECT_EQ(r.status, 1);

	r = zorvel({"path2fid", m("missing")});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err, "zorvel: cannot get FID of '" + m("missing") +
	                         "': No such file or directory (2)\n");

	r = zorvel({"fid2path", "demo", "[0x1:2]"});
	EXPECT_EQ(r.status, EINVAL);
	EXPECT_EQ(r.err, "zorvel: bad FID format '[0x1:2]', should be "
	                 "[seq:oid:ver] (e.g. [0x200000400:0x2:0x0])\n");

	r = zorvel({"fid2path", "nosuchfs", "[0x200000400:0x2:0x0]"});
	EXPECT_EQ(r.status, ENODEV);
}

TEST_F(ZorvelTool, Fid2PathOfSeveralFids)
{
	zvtest::write_file(m("a"), "a");
	zvtest::write_file(m("b"), "b");
	ASSERT_EQ(link(m("b").c_str(), m("c").c_str()), 0);
	std::string a = zorvel({"path2fid", m("a")}).out;
	std::string b = zorvel({"path2fid", m("b")}).out;
	a.pop_back();
	b.pop_back();

	/* every link of each, prefixed; a bad one in between fails alone */
	run_result r = zorvel({"fid2path", m("a"), a, "[0x1:2]", b});
	EXPECT_EQ(r.status, EINVAL);
	EXPECT_EQ(r.out, a + ": " + m("a") + "\n" + b + ": " + m("b") + "\n" +
	                         b + ": " + m("c") + "\n");
	EXPECT_EQ(r.err, "zorvel: bad FID format '[0x1:2]', should be "
	                 "[seq:oid:ver] (e.g. [0x200000400:0x2:0x0])\n");

	/* an object that does not exist */
	r = zorvel({"fid2path", "demo", "[0x200000400:0x7ffffff0:0x0]"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err, "zorvel: cannot find a path of "
	                 "[0x200000400:0x7ffffff0:0x0] in 'demo': No such file "
	                 "or directory (2)\n");
}

} // namespace
