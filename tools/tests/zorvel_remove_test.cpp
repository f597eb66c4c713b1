// The removal subcommands: rmfid, rm-entry.
#include "tool_fixture.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class RemoveTool : public ZorvelTool
{
};

TEST_F(RemoveTool, RmfidAndRmEntry)
{
	zvtest::write_file(m("gone"), "x");
	zvtest::write_file(m("kept"), "y");
	std::string fid = fid_of(m("gone"));
	run_result r = zorvel({"rmfid", "demo", fid});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(access(m("gone").c_str(), F_OK), 0);

	r = zorvel({"rmfid", "demo", "[0x200000400:0x7ffffff0:0x0]"});
	EXPECT_EQ(r.status, ENOENT) << r.err;
	EXPECT_EQ(r.err,
	          "zorvel rmfid: cannot remove [0x200000400:0x7ffffff0:0x0]: "
	          "No such file or directory (2)\n");

	r = zorvel({"rm-entry", m("kept")});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(access(m("kept").c_str(), F_OK), 0);
	r = zorvel({"rm-entry", m("kept")});
	EXPECT_EQ(r.status, ENOENT);
}

TEST_F(RemoveTool, RmfidGoesOnAndSendsBatches)
{
	/* more FIDs than one request holds; the kernel fails each request
	 * at once, so that only what it received is looked at */
	ASSERT_EQ(zvsim({"inject", "RMFID", "5", "--always"}).status, 0);
	ASSERT_EQ(zvsim({"log", "on"}).status, 0);
	const int n = 4100;
	std::vector<std::string> rm = {"rmfid", "demo", "[bad]"};
	for (int i = 1; i <= n; i++) {
		char fid[64];
		snprintf(fid, sizeof fid, "[0x200000400:0x%x:0x0]",
		         0x7f000000 + i);
		rm.push_back(fid);
	}
	run_result r = zorvel(rm);
	EXPECT_EQ(r.status, EINVAL) << "the first failure";
	EXPECT_EQ(r.err.find("zorvel rmfid: bad FID '[bad]', should be "
	                     "[seq:oid:ver] (e.g. [0x200000400:0x2:0x0])\n"
	                     "zorvel rmfid: cannot remove "
	                     "[0x200000400:0x7f000001:0x0]: Input/output error "
	                     "(5)\n"),
	          0u)
	        << r.err.substr(0, 300);
	EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), n + 1);

	/* two requests: 4096 FIDs, then 4 (the count leads each record) */
	std::string log = zvsim({"log"}).out;
	std::vector<std::string> counts;
	for (size_t at = 0;
	     (at = log.find("0x801066f2 16 ", at)) != std::string::npos; at++)
		counts.push_back(log.substr(at + 14, 8));
	EXPECT_EQ(counts, (std::vector<std::string>{"00100000", "04000000"}));
}

} // namespace
