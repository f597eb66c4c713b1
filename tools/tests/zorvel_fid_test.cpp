// The FID subcommands: path2fid, fid2path, path2parent, cat-fid.
#include "tool_fixture.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class FidTool : public ZorvelTool
{
};

TEST_F(FidTool, Walk)
{
	ASSERT_EQ(mkdir(m("d").c_str(), 0755), 0);
	zvtest::write_file(m("d/a"), "content\n");
	ASSERT_EQ(link(m("d/a").c_str(), m("b").c_str()), 0);

	run_result r = zorvel({"path2fid", m("d/a")});
	ASSERT_EQ(r.status, 0) << r.err;
	ASSERT_EQ(r.out.find(m("d/a") + ": ["), 0u) << r.out;
	std::string fid = r.out.substr(m("d/a").size() + 2);
	fid.pop_back();
	EXPECT_EQ(r.out.back(), '\n');

	r = zorvel({"path2fid", m("d/a"), m("b")});
	EXPECT_EQ(r.out,
	          m("d/a") + ": " + fid + "\n" + m("b") + ": " + fid + "\n");

	r = zorvel({"fid2path", "demo", fid});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out,
	          fid + ": " + m("b") + "\n" + fid + ": " + m("d/a") + "\n");

	r = zorvel({"fid2path", mount_, fid});
	EXPECT_EQ(r.out,
	          fid + ": " + m("b") + "\n" + fid + ": " + m("d/a") + "\n");

	r = zorvel({"path2parent", m("d/a")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("/a\n"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("]/b\n"), std::string::npos) << r.out;

	r = zorvel({"cat-fid", mount_, fid});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "content\n");
	r = zorvel({"cat-fid", "demo", fid, fid});
	EXPECT_EQ(r.out, "content\ncontent\n");
}

TEST_F(FidTool, UsageAndFailures)
{
	run_result r = zorvel({"path2fid"});
	EXPECT_EQ(r.status, 255);

	r = zorvel({"path2fid", m("missing")});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err, "zorvel path2fid: cannot get the FID of '" +
	                         m("missing") +
	                         "': No such file or directory (2)\n");

	r = zorvel({"fid2path", "demo", "[0x1:2]"});
	EXPECT_EQ(r.status, EINVAL);
	EXPECT_EQ(r.err, "zorvel fid2path: bad FID '[0x1:2]', should be "
	                 "[seq:oid:ver] (e.g. [0x200000400:0x2:0x0])\n");

	r = zorvel({"fid2path", "nosuchfs", "[0x200000400:0x2:0x0]"});
	EXPECT_EQ(r.status, ENODEV);
}

TEST_F(FidTool, Fid2PathOfSeveralFids)
{
	zvtest::write_file(m("a"), "a");
	zvtest::write_file(m("b"), "b");
	ASSERT_EQ(link(m("b").c_str(), m("c").c_str()), 0);
	std::string a = zorvel({"path2fid", m("a")}).out;
	std::string b = zorvel({"path2fid", m("b")}).out;
	a = a.substr(m("a").size() + 2);
	b = b.substr(m("b").size() + 2);
	a.pop_back();
	b.pop_back();

	/* every link of each, prefixed; a bad one in between fails alone */
	run_result r = zorvel({"fid2path", m("a"), a, "[0x1:2]", b});
	EXPECT_EQ(r.status, EINVAL);
	EXPECT_EQ(r.out, a + ": " + m("a") + "\n" + b + ": " + m("b") + "\n" +
	                         b + ": " + m("c") + "\n");
	EXPECT_EQ(r.err, "zorvel fid2path: bad FID '[0x1:2]', should be "
	                 "[seq:oid:ver] (e.g. [0x200000400:0x2:0x0])\n");

	/* an object that does not exist */
	r = zorvel({"fid2path", "demo", "[0x200000400:0x7ffffff0:0x0]"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err, "zorvel fid2path: cannot find a path of "
	                 "[0x200000400:0x7ffffff0:0x0] in 'demo': No such file "
	                 "or directory (2)\n");
}

} // namespace
