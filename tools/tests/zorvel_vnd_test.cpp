// The tunables subcommand: network driver tunables read from YAML files.
#include "tool_fixture.h"

#include <cerrno>
#include <string>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class VndTool : public ZorvelTool
{
};

TEST_F(VndTool, Show)
{
	std::string cfg = file("net.yaml", "net:\n"
	                                   "    - net type: o2ib1\n"
	                                   "      tunables:\n"
	                                   "          peer_timeout: 180\n"
	                                   "          credits: 256\n"
	                                   "      vnd tunables:\n"
	                                   "          ntx: 512\n"
	                                   "          conns_per_peer: 2\n");
	run_result o2ib = zorvel_sh("tunables show " + cfg + " --type o2ib");
	EXPECT_EQ(o2ib.status, 0) << o2ib.err;
	EXPECT_EQ(o2ib.out, "tunables:\n"
	                    "  peer_timeout: 180\n"
	                    "  peer_credits: 0\n"
	                    "  peer_buffer_credits: 0\n"
	                    "  credits: 256\n"
	                    "vnd tunables:\n"
	                    "  peercredits_hiw: 0\n"
	                    "  map_on_demand: 0\n"
	                    "  concurrent_sends: 0\n"
	                    "  fmr_pool_size: 0\n"
	                    "  fmr_flush_trigger: 0\n"
	                    "  fmr_cache: 0\n"
	                    "  ntx: 512\n"
	                    "  conns_per_peer: 2\n");
	std::string sock = file("sock.yaml", "vnd tunables:\n"
	                                     "  conns_per_peer: 4\n");
	run_result s = zorvel_sh("tunables show --type socket " + sock);
	EXPECT_EQ(s.status, 0);
	EXPECT_EQ(s.out, "vnd tunables:\n  conns_per_peer: 4\n");
	run_result missing = zorvel_sh("tunables show " + dir_.path() +
	                               "/nope --type socket");
	EXPECT_EQ(missing.status, ENOENT) << "the rc of the error tree";
	EXPECT_NE(missing.err.find("rc: -2"), std::string::npos) << missing.err;
	EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

TEST_F(VndTool, ValuesOutOfRangeAndMissingObjects)
{
	for (const char *v : {"99999999999999", "-1", "65536", "1.5", "x"}) {
		std::string cfg =
		        file("v.yaml", std::string("vnd tunables:\n"
		                                   "  conns_per_peer: ") +
		                               v + "\n");
		run_result r =
		        zorvel({"tunables", "show", cfg, "--type", "o2ib"});
		EXPECT_EQ(r.status, ERANGE) << v;
		EXPECT_EQ(r.out, "") << v;
		EXPECT_EQ(r.err,
		          "zorvel tunables: " + cfg +
		                  ": vnd tunables conns_per_peer is not a "
		                  "whole number from 0 to 65535: Numerical "
		                  "result out of range (34)\n");
	}
	std::string hiw =
	        file("h.yaml", "vnd tunables:\n  peercredits_hiw: 7\n");
	run_result r = zorvel({"tunables", "show", hiw, "--type", "o2ib"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("  peercredits_hiw: 7\n"), std::string::npos)
	        << r.out;
	std::string none = file("n.yaml", "other: 1\n");
	r = zorvel({"tunables", "show", none, "--type", "socket"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "zorvel tunables: " + none +
	                         " holds no \"tunables\" or \"vnd tunables\" "
	                         "object: No such file or directory (2)\n");
}

TEST_F(VndTool, TheExampleFileIsAccepted)
{
	run_result r = zorvel({"tunables", "show",
	                       ZV_SOURCE_DIR "/doc/examples/tunables.yaml",
	                       "--type", "o2ib", "--json"});
	EXPECT_EQ(r.status, 0) << r.err;
	std::vector<std::string> lines = json_lines(r.out);
	ASSERT_EQ(lines.size(), 1u);
	for (const char *kv : {"\"vnd_tunables_peercredits_hiw\": 4",
	                       "\"vnd_tunables_conns_per_peer\": 2",
	                       "\"tunables_credits\": 256"})
		EXPECT_NE(lines[0].find(kv), std::string::npos) << lines[0];
}

TEST_F(VndTool, UsageErrors)
{
	EXPECT_EQ(zorvel_sh("tunables show").status, 255);
	EXPECT_EQ(zorvel_sh("tunables show f --type lo").status, 255);
}

} // namespace
