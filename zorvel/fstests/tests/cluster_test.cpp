// The MPI programs across two simulated client hosts (scripts/cluster): one
// job over TCP whose ranks live on different hosts, all on one simulated
// file system, each host's changes signed with its own NID.
#include "mpi_fixture.h"

#include <regex>
#include <sys/stat.h>

using namespace mpitest;

namespace
{

// The part of out between the marker lines "== name" and the next one.
std::string section(const std::string &out, const std::string &name)
{
	size_t at = out.find("== " + name + "\n");
	if (at == std::string::npos)
		return "";
	at += name.size() + 4;
	size_t end = out.find("\n== ", at - 1);
	return out.substr(at, end == std::string::npos ? end : end + 1 - at);
}

class Cluster : public MpiTest
{
      protected:
	// Runs script (sh) on the head of a cluster of n hosts; skips the
	// test where namespaces cannot be made.
	zvtest::run_result on_cluster(int n, const std::string &script)
	{
		auto r = zvtest::run_program(
		        {CLUSTER_SCRIPT, "--timeout", "240", std::to_string(n),
		         "--", "/bin/sh", "-c", script},
		        {"LSAN_OPTIONS="
		         "suppressions=" MPITEST_LSAN_SUPPRESSIONS});
		return r;
	}
};

TEST_F(Cluster, TwoHostsRunOneJobOnOneFileSystem)
{
	std::string mnt = dir(Place::Sim);
	zvsim({"changelog", "register", "demo-MDT0000"});
	std::string ranks = "mpirun --hostfile \"$ZV_CLUSTER_HOSTFILE\" -np 4 ";
	std::string sim = ranks + ZVSIM_BIN " run --state " + state() + " -- ";
	std::string script =
	        "echo == hosts; " + ranks +
	        "sh -c 'echo $(hostname) $OMPI_COMM_WORLD_RANK $ZVSIM_NID'; "
	        "echo == touch; " +
	        sim + "sh -c 'touch " + mnt +
	        "/by-$(hostname)-$OMPI_COMM_WORLD_RANK'; echo == chunkwrite; " +
	        sim + bin("chunkwrite") + " -f " + mnt +
	        "/shared -n 50 -m 65536 -s 5; echo == mpicreate; " + sim +
	        bin("mpicreate") + " -o " + mnt + "/f%03d 100; echo == end";
	auto r = on_cluster(2, script);
	if (r.status == 77)
		GTEST_SKIP() << r.err;
	ASSERT_EQ(r.status, 0) << r.out << r.err;

	// Ranks 0 and 1 on the first host, 2 and 3 on the second, each
	// host with its own address as NID.
	std::string hosts = section(r.out, "hosts");
	EXPECT_EQ(count_line(hosts, "zvh0 0 10.99.0.2@tcp"), 1) << hosts;
	EXPECT_EQ(count_line(hosts, "zvh0 1 10.99.0.2@tcp"), 1) << hosts;
	EXPECT_EQ(count_line(hosts, "zvh1 2 10.99.0.3@tcp"), 1) << hosts;
	EXPECT_EQ(count_line(hosts, "zvh1 3 10.99.0.3@tcp"), 1) << hosts;

	std::string cw = section(r.out, "chunkwrite");
	EXPECT_EQ(count_line(cw, "random seed: 5"), 1) << cw;
	EXPECT_EQ(count_line(cw, "Finished after 50 loops"), 4) << cw;
	std::string mc = section(r.out, "mpicreate");
	EXPECT_EQ(
	        count_matching(
	                mc,
	                R"(total: 100 creates in \d+ seconds: [0-9.]+ creates/second)"),
	        4)
	        << mc;
	struct stat st;
	EXPECT_EQ(stat((mnt + "/f099").c_str(), &st), 0);

	// What each host created carries that host's NID.
	auto log =
	        zvtest::run_program({ZVSIM_BIN, "run", "--state", state(), "--",
	                             ZORVEL_BIN, "changelog", "demo-MDT0000"});
	ASSERT_EQ(log.status, 0) << log.err;
	const char *nid[] = {"nid=0x200000a630002", "nid=0x200000a630003"};
	for (int rank = 0; rank < 4; rank++) {
		std::string name = "by-zvh" + std::to_string(rank / 2) + "-" +
		                   std::to_string(rank);
		EXPECT_EQ(count_matching(log.out, ".* CREATE .* " + name +
		                                          " j=touch.* " +
		                                          nid[rank / 2] +
		                                          " .*"),
		          1)
		        << name << "\n"
		        << log.out;
	}
	int creates = count_matching(log.out, ".* CREATE .* f\\d\\d\\d .*");
	EXPECT_EQ(creates, 100) << log.out;
	EXPECT_EQ(count_matching(log.out, ".* CREATE .* f\\d\\d\\d .* (" +
	                                          std::string(nid[0]) + "|" +
	                                          nid[1] + ") .*"),
	          100)
	        << log.out;
}

// A job cannot outlive the cluster's time bound: everything it started is
// gone when the bound is reached.
TEST_F(Cluster, RunsAreBoundedInTime)
{
	auto r = zvtest::run_program({CLUSTER_SCRIPT, "--timeout", "2", "1",
	                              "--", "/bin/sh", "-c",
	                              "echo started; sleep 60; echo late"});
	if (r.status == 77)
		GTEST_SKIP() << r.err;
	EXPECT_EQ(r.status, 124) << r.out << r.err;
	EXPECT_EQ(r.out, "started\n");
	EXPECT_NE(r.err.find("stopped after 2 seconds"), std::string::npos)
	        << r.err;
}

// The cluster's usage: what it needs, and its agent only inside one.
TEST_F(Cluster, Usage)
{
	for (std::vector<std::string> args :
	     {std::vector<std::string>{"2"},
	      {"2", "--"},
	      {"x", "--", "true"},
	      {"0", "--", "true"},
	      {"--timeout", "0", "1", "--", "true"}}) {
		args.insert(args.begin(), CLUSTER_SCRIPT);
		auto r = zvtest::run_program(args);
		EXPECT_EQ(r.status, 2) << args[1];
		EXPECT_NE(r.err, "") << args[1];
	}
	auto r = zvtest::run_program({CLUSTER_SCRIPT, "agent", "zvh0", "true"},
	                             {"ZV_CLUSTER_DIR"});
	EXPECT_NE(r.status, 0);
	EXPECT_NE(r.err.find("not inside a cluster"), std::string::npos)
	        << r.err;
}

} // namespace
