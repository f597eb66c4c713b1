// --json of every subcommand: every line read back by a JSON parser,
// failures on standard error only.
#include "tool_fixture.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class JsonTool : public ZorvelTool
{
      protected:
	// Every line of text, read by Python's json module: the keys of
	// each, sorted, one line each.
	std::string json_keys(const std::string &text)
	{
		std::string path = file("lines", text);
		auto r = zvtest::run_shell(
		        "python3 -c 'import json,sys\n"
		        "for l in open(sys.argv[1]):\n"
		        "  print(\" \".join(sorted(json.loads(l))))' " +
		        zvtest::shell_quote(path) + " 2>&1");
		EXPECT_EQ(r.status, 0) << r.out << text;
		return r.out;
	}
};

TEST_F(JsonTool, FidSubcommands)
{
	ASSERT_EQ(mkdir(m("d").c_str(), 0755), 0);
	zvtest::write_file(m("d/a"), "AB\n");
	ASSERT_EQ(link(m("d/a").c_str(), m("b").c_str()), 0);
	std::string fid = fid_of(m("d/a")), dir = fid_of(m("d"));

	run_result r = zorvel({"path2fid", "--json", m("d/a"), m("nope")});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"fid\": \"" + fid +
	                                   "\", \"path\": \"" + m("d/a") +
	                                   "\"}"});
	EXPECT_NE(r.err.find("cannot get the FID of"), std::string::npos);

	r = zorvel({"fid2path", "demo", fid, "--json"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(json_lines(r.out),
	          (std::vector<std::string>{
	                  "{\"fid\": \"" + fid + "\", \"path\": \"" + m("b") +
	                          "\"}",
	                  "{\"fid\": \"" + fid + "\", \"path\": \"" + m("d/a") +
	                          "\"}"}));

	r = zorvel({"path2parent", "--json", m("d/a")});
	std::vector<std::string> lines = json_lines(r.out);
	ASSERT_EQ(lines.size(), 2u) << r.out;
	EXPECT_EQ(lines[0] + lines[1],
	          "{\"name\": \"b\", \"parent\": \"" + fid_of(mount_) +
	                  "\", \"path\": \"" + m("d/a") + "\"}" +
	                  "{\"name\": \"a\", \"parent\": \"" + dir +
	                  "\", \"path\": \"" + m("d/a") + "\"}");

	r = zorvel({"cat-fid", "--json", "demo", fid});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"fid\": \"" + fid +
	                                   "\", \"hex\": \"41420a\", "
	                                   "\"length\": 3, \"offset\": 0}"});

	r = zorvel({"rm-entry", "--json", m("b")});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"path\": \"" + m("b") +
	                                   "\", \"removed\": 1}"});
	r = zorvel({"rmfid", "--json", "demo", fid, "[0x1:2]"});
	EXPECT_EQ(r.status, EINVAL);
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"fid\": \"" + fid +
	                                   "\", \"removed\": 1}"});
}

TEST_F(JsonTool, NamesWithNewlinesStayOneLine)
{
	std::string odd = m("two\nlines\tand\\");
	zvtest::write_file(odd, "x");
	run_result r = zorvel({"path2fid", odd});
	EXPECT_EQ(r.out.find(m("two\\nlines\\tand\\\\: [")), 0u) << r.out;
	r = zorvel({"path2fid", "--json", odd});
	std::vector<std::string> lines = json_lines(r.out);
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_NE(lines[0].find("two\\nlines\\tand\\\\\"}"), std::string::npos)
	        << lines[0];
}

TEST_F(JsonTool, MountParamVersion)
{
	run_result r = zorvel({"getname", "--json", mount_});
	std::vector<std::string> lines = json_lines(r.out);
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_EQ(lines[0].find("{\"name\": \"demo-"), 0u) << lines[0];
	EXPECT_EQ(json_lines(zorvel({"version", "--json"}).out),
	          std::vector<std::string>{"{\"version\": \"2.16.0\"}"});
	EXPECT_EQ(json_lines(zorvel({"param", "get", "--json", "version"}).out),
	          std::vector<std::string>{
	                  "{\"name\": \"version\", \"value\": \"zorvel: "
	                  "2.16.0\\n\"}"});
	r = zorvel({"param", "list", "version", "--json"});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"name\": \"version\"}"});
}

TEST_F(JsonTool, Changelog)
{
	run_result reg = zvsim({"changelog", "register", "demo-MDT0000"});
	ASSERT_EQ(reg.status, 0) << reg.err;
	std::string user = reg.out.substr(0, reg.out.find('\n'));
	ASSERT_EQ(under_sim({"/bin/mkdir", m("dir")}).status, 0);
	ASSERT_EQ(under_sim({"/bin/mv", m("dir"), m("moved")}).status, 0);

	run_result r = zorvel({"changelog", "--json", "demo-MDT0000"});
	ASSERT_EQ(r.status, 0) << r.err;
	std::vector<std::string> lines = json_lines(r.out);
	ASSERT_EQ(lines.size(), 2u) << r.out;
	for (const char *key :
	     {"\"flags\": ", "\"gid\": 0", "\"index\": 1", "\"name\": \"dir\"",
	      "\"pfid\": \"[", "\"tfid\": \"[", "\"time\": \"",
	      "\"type\": ", "\"uid\": 0", "\"jobid\": \"mkdir."})
		EXPECT_NE(lines[0].find(key), std::string::npos)
		        << key << " in " << lines[0];
	EXPECT_NE(lines[1].find("\"sfid\": \"["), std::string::npos)
	        << lines[1];
	EXPECT_NE(lines[1].find("\"spfid\": \"["), std::string::npos);

	r = zorvel({"changelog-clear", "--json", "demo-MDT0000", user, "1"});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"endrec\": 1, \"target\": "
	                                   "\"demo-MDT0000\", \"user\": \"" +
	                                   user + "\"}"});
}

TEST_F(JsonTool, NetworkSubcommands)
{
	run_result r = zorvel_sh("udsp --json add --src tcp1 --priority 3");
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{
	                  "{\"action\": \"priority\", \"dst\": \"NA\", "
	                  "\"idx\": -1, \"priority\": 3, \"rte\": \"NA\", "
	                  "\"src\": \"tcp1\"}"});
	ASSERT_EQ(zorvel_sh("udsp add --src tcp2 --dst tcp3 --pref").status, 0);
	r = zorvel_sh("udsp show --json");
	EXPECT_EQ(json_lines(r.out),
	          (std::vector<std::string>{
	                  "{\"action_priority\": 3, \"dst\": \"NA\", \"idx\": "
	                  "0, \"rte\": \"NA\", \"src\": \"tcp1\"}",
	                  "{\"dst\": \"tcp3\", \"idx\": 1, \"rte\": \"NA\", "
	                  "\"src\": \"tcp2\"}"}));
	r = zorvel_sh("udsp del 0 --json");
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"deleted\": 1, \"idx\": 0}"});
	r = zorvel_sh("udsp del 7 --json");
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.out, "");

	std::string imp = file("p.yaml", "udsp:\n- src: tcp4\n  action:\n"
	                                 "    priority: 1\n");
	r = zorvel({"udsp", "import", imp, "--json"});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{
	                  "{\"action\": \"priority\", \"dst\": \"NA\", "
	                  "\"idx\": -1, \"priority\": 1, \"rte\": \"NA\", "
	                  "\"src\": \"tcp4\"}"});

	std::string cfg =
	        file("net.yaml", "tunables:\n  credits: 8\n"
	                         "vnd tunables:\n  conns_per_peer: 2\n");
	r = zorvel({"tunables", "show", cfg, "--type", "socket", "--json"});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{
	                  "{\"tunables_credits\": 8, \"tunables_peer_buffer_"
	                  "credits\": 0, \"tunables_peer_credits\": 0, "
	                  "\"tunables_peer_timeout\": 0, \"vnd_tunables_conns_"
	                  "per_peer\": 2}"});
}

TEST_F(JsonTool, DataMoverSubcommands)
{
	zvtest::write_file(m("a"), "first");
	zvtest::write_file(m("b"), "second");
	run_result r =
	        zorvel({"data-version", "--json", m("a"), m("nope"), m("b")});
	EXPECT_EQ(r.status, ENOENT);
	std::vector<std::string> lines = json_lines(r.out);
	ASSERT_EQ(lines.size(), 2u) << r.out;
	std::string dv[2];
	for (int i = 0; i < 2; i++) {
		const std::string tail =
		        ", \"file\": \"" + m(i ? "b" : "a") + "\"}";
		ASSERT_EQ(lines[i].find("{\"data_version\": "), 0u) << lines[i];
		ASSERT_GT(lines[i].size(), 17 + tail.size());
		EXPECT_EQ(lines[i].substr(lines[i].size() - tail.size()), tail);
		dv[i] = lines[i].substr(17, lines[i].size() - 17 - tail.size());
	}
	EXPECT_EQ(r.err, "zorvel data-version: cannot get the data version "
	                 "of '" + m("nope") +
	                         "': No such file or directory (2)\n");

	r = zorvel({"swap-layouts", m("a"), m("b"), "--check-dv", "--json"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"data_version1\": " + dv[0] +
	                                   ", \"data_version2\": " + dv[1] +
	                                   ", \"file1\": \"" + m("a") +
	                                   "\", \"file2\": \"" + m("b") +
	                                   "\", \"swapped\": 1}"});
	EXPECT_EQ(zvtest::read_file(m("a")), "second");
	r = zorvel({"swap-layouts", "--json", m("a"), m("b")});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"file1\": \"" + m("a") +
	                                   "\", \"file2\": \"" + m("b") +
	                                   "\", \"swapped\": 1}"})
	        << "no versions without --check-dv";

	/* "--" ends the options: --json is then a file, and missing */
	r = zorvel({"data-version", "--", "--json"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.out, "");
	EXPECT_NE(r.err.find("of '--json'"), std::string::npos) << r.err;

	r = zorvel({"lease", "--json", "put", "--write", m("a")});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"file\": \"" + m("a") +
	                                   "\", \"mode\": \"write\"}"});
	r = zorvel({"lease", "check", m("a"), "--json"});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"file\": \"" + m("a") +
	                                   "\", \"mode\": \"none\"}"});
	r = zorvel({"lease", "--json", "check", m("nope")});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "zorvel lease: cannot open '" + m("nope") +
	                         "': No such file or directory (2)\n");
}

TEST_F(JsonTool, ClientCache)
{
	zvtest::write_file(m("f"), "cached");
	zvtest::write_file(m("g"), "other");
	const std::string at = "\"mount\": \"" + mount_ + "\"";
	run_result r = zorvel({"pcc", "--json", "add", mount_, "5"});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"action\": \"add\", \"id\": 5, " +
	                                   at + "}"});
	ASSERT_EQ(zorvel({"pcc", "add", mount_, "7"}).status, 0);
	r = zorvel({"pcc", "list", mount_, "--json"});
	EXPECT_EQ(json_lines(r.out),
	          (std::vector<std::string>{
	                  "{\"archive_id\": 5, " + at + ", \"root\": \"" +
	                          state() + "/pcc/5\"}",
	                  "{\"archive_id\": 7, " + at + ", \"root\": \"" +
	                          state() + "/pcc/7\"}"}));

	r = zorvel({"pcc", "attach", "--json", "--id", "5", m("f")});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"file\": \"" + m("f") +
	                                   "\", \"id\": 5}"});
	r = zorvel({"pcc", "state", "--json", m("f"), m("g")});
	EXPECT_EQ(r.status, 0) << r.err;
	std::vector<std::string> lines = json_lines(r.out);
	ASSERT_EQ(lines.size(), 2u) << r.out;
	EXPECT_EQ(lines[0].find("{\"file\": \"" + m("f") +
	                        "\", \"flags\": 0, \"open_count\": 0, "
	                        "\"path\": \"" +
	                        state() + "/pcc/5/"),
	          0u)
	        << lines[0];
	EXPECT_NE(lines[0].find("\", \"type\": \"readwrite\"}"),
	          std::string::npos)
	        << lines[0];
	EXPECT_EQ(lines[1],
	          "{\"file\": \"" + m("g") + "\", \"type\": \"none\"}");
	r = zorvel({"pcc", "detach", m("f"), "--json"});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"detached\": 1, \"file\": \"" +
	                                   m("f") + "\"}"});

	r = zorvel({"pcc", "del", "--json", mount_, "7"});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"action\": \"del\", \"id\": 7, " +
	                                   at + "}"});
	r = zorvel({"pcc", "clear", "--json", mount_});
	EXPECT_EQ(json_lines(r.out),
	          std::vector<std::string>{"{\"action\": \"clear\", " + at +
	                                   "}"});
	r = zorvel({"pcc", "list", "--json", mount_});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "") << "no area, no line";

	r = zorvel({"pcc", "--json", "list"});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "zorvel pcc: missing arguments (see 'zorvel pcc "
	                 "--help')\n");
}

TEST_F(JsonTool, DataPathSubcommands)
{
	const std::string f = m("f");
	zvtest::write_file(f, std::string(5000, 'j'));
	ASSERT_EQ(zvsim({"mirror", "count", f, "2"}).status, 0);
	std::string all;
	for (std::vector<std::string> args : {
	             std::vector<std::string>{"mirror", "list", f},
	             {"mirror", "read", f, "--id", "1", "--length", "3"},
	             {"mirror", "copy", f, "--src", "1", "--dst", "2"},
	             {"mirror", "verify", f},
	             {"sparse", f},
	             {"punch", f, "0", "4096"},
	             {"ladvise", f, "--advice", "willread", "--advice",
	              "lockahead", "--start", "0", "--end", "4096"},
	             {"heat", "get", f},
	             {"heat", "set", "--clear", f},
	             {"nodemap", "exists", "default"},
	     }) {
		args.push_back("--json");
		run_result r = zorvel(args);
		EXPECT_EQ(r.status, 0) << args[0] << " " << args[1] << r.err;
		all += r.out;
	}
	EXPECT_EQ(json_keys(all),
	          "data file mirror size sparse\n"
	          "data file mirror size sparse\n"
	          "file hex length mirror offset\n"
	          "dst file src\n"
	          "agrees file mirror\n"
	          "data file size sparse\n"
	          "file length mirror offset\n"
	          "advice end file start\n"
	          "advice end file result start\n"
	          "bytes_read bytes_written counting file reads writes\n"
	          "file flags\n"
	          "exists nodemap\n");
	EXPECT_NE(all.find("\"hex\": \"6a6a6a\""), std::string::npos) << all;
}

} // namespace
