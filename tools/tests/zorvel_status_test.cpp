// One convention in every subcommand: usage errors exit 255 with one short
// message, failures exit with their errno and one message naming the
// operation and the whole path or FID, output that is lost is a failure.
#include "tool_fixture.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

const char *const all_commands[] = {
        "path2fid", "fid2path", "path2parent", "cat-fid",         "rmfid",
        "rm-entry", "param",    "changelog",   "changelog-clear", "getname",
        "udsp",     "tunables", "mirror",      "sparse",          "punch",
        "ladvise",  "heat",     "nodemap"};

TEST_F(ZorvelTool, MissingArgumentsAreOneUsageError)
{
	for (const char *cmd : all_commands) {
		run_result r = zorvel({cmd});
		EXPECT_EQ(r.status, 255) << cmd;
		EXPECT_EQ(r.err, std::string("zorvel ") + cmd +
		                         ": missing arguments (see 'zorvel " +
		                         cmd + " --help')\n");
		EXPECT_EQ(r.out, "");
	}
	run_result r = zorvel({"version", "extra"});
	EXPECT_EQ(r.status, 255);
	r = zorvel({"path2fid", "--bogus", mount_});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "zorvel path2fid: unknown option '--bogus' (see "
	                 "'zorvel path2fid --help')\n");
	/* usage and EPERM no longer share a status */
	r = zorvel({"rm-entry", m(".zorvel")});
	EXPECT_EQ(r.status, EPERM);
	EXPECT_EQ(r.err, "zorvel rm-entry: cannot remove the entry '" +
	                         m(".zorvel") +
	                         "': Operation not permitted (1)\n");
	r = zorvel({"changelog-clear", "demo-MDT0000", "cl1", "-1"});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(zorvel({"changelog-clear", "demo-MDT0000", "cl1", "abc"})
	                  .status,
	          255);
	r = zorvel({"--version"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out.find("zorvel "), 0u);
}

TEST_F(ZorvelTool, EveryFailureHasOneMessage)
{
	for (const char *fid : {"[0x1:0x2:0x3]", "[0:0:0]", "[::]"}) {
		run_result r = zorvel({"fid2path", "demo", fid});
		EXPECT_NE(r.status, 0) << fid;
		EXPECT_NE(r.err.find(fid), std::string::npos) << r.err;
		EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
	}
	run_result r = zorvel({"fid2path", "demo", "[0x1:0x1ffffffffffff:0]"});
	EXPECT_EQ(r.status, ERANGE);
	EXPECT_EQ(r.err, "zorvel fid2path: bad FID '[0x1:0x1ffffffffffff:0]' "
	                 "(out of range), should be [seq:oid:ver] (e.g. "
	                 "[0x200000400:0x2:0x0])\n");
	r = zorvel({"getname", m("nope")});
	EXPECT_EQ(r.err, "zorvel getname: cannot get the client name of '" +
	                         m("nope") +
	                         "': No such file or directory (2)\n");
	std::string long_name(5000, 't');
	r = zorvel({"changelog-clear", long_name, "cl1", "1"});
	EXPECT_NE(r.status, 0);
	EXPECT_NE(r.err.find("cannot purge the records of user 'cl1'"),
	          std::string::npos);
	r = zorvel(
	        {"changelog-clear", "demo-MDT0000", std::string(80, 'u'), "1"});
	EXPECT_EQ(r.status, EINVAL);
	EXPECT_NE(r.err.find("cannot purge"), std::string::npos);
}

TEST_F(ZorvelTool, LostOutputIsAFailure)
{
	zvtest::write_file(m("f"), std::string(200000, 'z'));
	std::string fid = fid_of(m("f"));
	auto to_full = [&](const std::string &args) {
		return zorvel_sh(args + " >/dev/full");
	};
	const std::string full = ": cannot write standard output: No space "
	                         "left on device (28)\n";
	run_result r = to_full("cat-fid demo '" + fid + "'");
	EXPECT_EQ(r.status, ENOSPC);
	EXPECT_EQ(r.err, "zorvel cat-fid" + full);
	r = to_full("path2fid '" + m("f") + "'");
	EXPECT_EQ(r.status, ENOSPC);
	EXPECT_EQ(r.err, "zorvel path2fid" + full);
	r = to_full("path2fid --json '" + m("f") + "'");
	EXPECT_EQ(r.err, "zorvel path2fid" + full);
	r = to_full("udsp show");
	EXPECT_EQ(r.status, ENOSPC) << "an empty list too";
	ASSERT_EQ(zorvel_sh("udsp add --src tcp --priority 1").status, 0);
	r = to_full("udsp show");
	EXPECT_EQ(r.status, ENOSPC);
	EXPECT_EQ(r.err, "zorvel udsp" + full);
	ASSERT_EQ(zvsim({"changelog", "register", "demo-MDT0000"}).status, 0);
	ASSERT_EQ(under_sim({"/bin/mkdir", m("d")}).status, 0);
	r = to_full("changelog demo-MDT0000");
	EXPECT_EQ(r.status, ENOSPC);
	EXPECT_EQ(r.err, "zorvel changelog" + full);
}

TEST_F(ZorvelTool, AlikeCommandsBehaveAlike)
{
	zvtest::write_file(m("f"), "data");
	ASSERT_EQ(symlink("f", m("sym").c_str()), 0);
	ASSERT_EQ(mkfifo(m("fifo").c_str(), 0644), 0);
	zvtest::write_file(m("-dash"), "");
	std::string root = zorvel({"path2fid", mount_}).out;
	root = root.substr(root.rfind(' ') + 1);
	root.pop_back();

	run_result r = zorvel({"path2parent", m("sym")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, m("sym") + ": " + root + "/sym\n");

	r = zorvel({"path2fid", m("f"), m("nope"), m("sym")});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.out.find(m("f") + ": ["), 0u) << "one shape for any count";
	r = zorvel({"path2fid", m("f")});
	EXPECT_EQ(r.out.find(m("f") + ": ["), 0u);

	std::string fifo = zorvel({"path2fid", m("fifo")}).out;
	fifo = fifo.substr(fifo.rfind(' ') + 1);
	fifo.pop_back();
	r = zorvel({"cat-fid", "demo", fifo});
	EXPECT_EQ(r.status, EINVAL);
	EXPECT_EQ(r.err, "zorvel cat-fid: cannot read " + fifo +
	                         ", which is no regular file: Invalid "
	                         "argument (22)\n");

	r = zorvel({"path2fid", "--", m("-dash")});
	EXPECT_EQ(r.status, 0) << r.err;
	r = zorvel({"punch", "--json", "--", m("-dash"), "0", "4096"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"file\": \"" + m("-dash") +
	                                   "\", \"length\": 4096, "
	                                   "\"mirror\": 0, \"offset\": 0}"});
	r = zorvel({"--bogus"});
	EXPECT_EQ(r.status, 255);
}

// Each of these used to print an answer (or nothing) with status 0.
TEST_F(ZorvelTool, NoFailureIsReportedAsSuccess)
{
	zvtest::write_file(m("f"), "x");
	auto usage = [](const std::string &cmd, const std::string &what) {
		return "zorvel " + cmd + ": " + what + " (see 'zorvel " + cmd +
		       " --help')\n";
	};
	const std::string not_a_name =
	        "' is not a nodemap name (empty, or holds /, .., or one of "
	        "*?[]{}\\)";
	struct failure {
		std::vector<std::string> args;
		int status;
		std::string err;
	} cases[] = {
	        {{"nodemap", "exists", ""},
	         255,
	         usage("nodemap", "'" + not_a_name)},
	        {{"nodemap", "exists", "../version"},
	         255,
	         usage("nodemap", "'../version" + not_a_name)},
	        {{"nodemap", "exists", "{x,default}"},
	         255,
	         usage("nodemap", "'{x,default}" + not_a_name)},
	        {{"sparse", mount_},
	         EISDIR,
	         "zorvel sparse: cannot find the data of '" + mount_ +
	                 "': Is a directory (21)\n"},
	        {{"ladvise", m("f"), "--advice", "willread", "--start", "100",
	          "--end", "10"},
	         255,
	         usage("ladvise", "an --end is below its --start")},
	        {{"lease", "get", "--read", "--write", m("f")},
	         255,
	         usage("lease", "--read or --write, not both")},
	        {{"udsp", "show", "99"},
	         ENOENT,
	         "zorvel udsp: no policy has index 99: No such file or "
	         "directory (2)\n"},
	};
	for (const auto &c : cases) {
		run_result r = zorvel(c.args);
		EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args[1];
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.out, "");
	}
}

// A name holding a newline is one line in every message and text line.
TEST_F(ZorvelTool, NamesAreEscapedInEveryMessage)
{
	const std::string name = m("two\nlines"), shown = m("two\\nlines");
	struct one_line {
		std::vector<std::string> args;
		std::string err;
	} cases[] = {
	        {{"sparse", name}, "zorvel sparse: cannot open '" + shown},
	        {{"punch", name, "0", "1"},
	         "zorvel punch: cannot punch 0+1 in '" + shown},
	        {{"heat", "get", name}, "zorvel heat: cannot open '" + shown},
	        {{"heat", "set", "--off", name},
	         "zorvel heat: cannot open '" + shown},
	        {{"ladvise", name, "--advice", "willread"},
	         "zorvel ladvise: cannot open '" + shown},
	        {{"cat-fid", "demo", "\n[0x200000400:0x7ff:0x0]"},
	         "zorvel cat-fid: cannot open \\n[0x200000400:0x7ff:0x0]"},
	        {{"no\ncommand"}, "zorvel: unknown command 'no\\ncommand'"},
	};
	for (const auto &c : cases) {
		run_result r = zorvel(c.args);
		EXPECT_NE(r.status, 0) << c.err;
		EXPECT_EQ(r.err.find(c.err), 0u) << r.err;
		EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
	}
	zvtest::write_file(name, "x");
	run_result r = zorvel({"sparse", name});
	EXPECT_EQ(r.out, shown + ": not sparse, size 1, data 0+1\n");
}

} // namespace
