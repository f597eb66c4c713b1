// spreadalloc under mpirun: where each rank's files land among the mounts
// <prefix>0, <prefix>1, ..., its argument checks and its failure reports.
#include "mpi_fixture.h"

#include <algorithm>
#include <sys/stat.h>

using namespace mpitest;

namespace
{

// The files ranks put in one mount's directory: base-<rank>-<i>.
std::vector<std::string> files_of(const std::vector<int> &ranks, int files)
{
	std::vector<std::string> out;
	for (int r : ranks)
		for (int i = 0; i < files; i++)
			out.push_back("mox-" + std::to_string(r) + "-" +
			              std::to_string(i));
	std::sort(out.begin(), out.end());
	return out;
}

const std::string USAGE_END =
        " <filename with mount pt and test dir> <no. of files> <no. of cli "
        "nodes>\nEx: mpirun -np <njobs> spreadalloc /tmp/mnt/zorvel/mox 512 "
        "4\n";

std::string usage()
{
	return "Usage: " + bin("spreadalloc") + USAGE_END;
}

class Spreadalloc : public EveryPlace
{
      protected:
	// <dir>/mnt0/zorvel ... <dir>/mnt<n-1>/zorvel
	std::string mounts(int n)
	{
		std::string prefix = path(place(), "mnt");
		for (int i = 0; i < n; i++) {
			std::string m = prefix + std::to_string(i);
			EXPECT_EQ(mkdir(m.c_str(), 0755), 0);
			EXPECT_EQ(mkdir((m + "/zorvel").c_str(), 0755), 0);
		}
		return prefix;
	}
};

// Two clients' worth of ranks: each rank takes the mount of its place
// among the ranks of one client, all its files go there.
TEST_P(Spreadalloc, SpreadsRanksOverTheMounts)
{
	std::string prefix = mounts(ranks() / 2);
	auto r = mpirun(ranks(), place(), "spreadalloc",
	                {prefix + "/zorvel/mox", "3", "2"});
	ASSERT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_EQ(r.out, "");
	if (ranks() == 2) { // one rank per client: everything on mount 0
		EXPECT_EQ(names_in(prefix + "0/zorvel"), files_of({0, 1}, 3));
	} else {
		EXPECT_EQ(names_in(prefix + "0/zorvel"), files_of({0, 2}, 3));
		EXPECT_EQ(names_in(prefix + "1/zorvel"), files_of({1, 3}, 3));
	}
	struct stat st;
	ASSERT_EQ(stat((prefix + "0/zorvel/mox-0-2").c_str(), &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_size, 0);
}

MPITEST_EVERY_PLACE(Spreadalloc);

class SpreadallocCases : public Spreadalloc
{
};

// One client: every rank its own mount.
TEST_P(SpreadallocCases, OneClientGivesEachRankAMount)
{
	std::string prefix = mounts(ranks());
	auto r = mpirun(ranks(), place(), "spreadalloc",
	                {prefix + "/zorvel/mox", "2", "1"});
	ASSERT_EQ(r.status, 0) << r.out << r.err;
	for (int i = 0; i < ranks(); i++)
		EXPECT_EQ(names_in(prefix + std::to_string(i) + "/zorvel"),
		          files_of({i}, 2));
}

// More clients than ranks leaves no mount to choose: every rank refuses
// with EINVAL before creating anything.
TEST_P(SpreadallocCases, RefusesMoreClientsThanRanks)
{
	std::string prefix = mounts(1);
	auto r = mpirun(
	        ranks(), place(), "spreadalloc",
	        {prefix + "/zorvel/mox", "3", std::to_string(ranks() + 1)});
	EXPECT_EQ(r.status, 234) << r.out << r.err;
	for (int rank = 0; rank < ranks(); rank++)
		EXPECT_EQ(count_line(r.out,
		                     "Process rank " + std::to_string(rank) +
		                             " exited with error code -22"),
		          1)
		        << r.out;
	EXPECT_EQ(count_line(r.out, "Cannot spread " + std::to_string(ranks()) +
	                                    " processes over " +
	                                    std::to_string(ranks() + 1) +
	                                    " client nodes"),
	          ranks())
	        << r.out;
	EXPECT_TRUE(names_in(prefix + "0/zorvel").empty());
}

// Without the test directory on its mount, each rank's open fails and ends
// the job with its errno.
TEST_P(SpreadallocCases, ReportsAFileItCannotCreate)
{
	std::string prefix = mounts(1);
	auto r = mpirun(ranks(), place(), "spreadalloc",
	                {prefix + "/absent/mox", "1", std::to_string(ranks())});
	EXPECT_EQ(r.status, 2) << r.out << r.err;
	for (int rank = 0; rank < ranks(); rank++) {
		std::string rk = std::to_string(rank);
		EXPECT_EQ(count_line(r.out, "Cannot open \"" + prefix +
		                                    "0/absent/mox-" + rk +
		                                    "-0\": No such file or "
		                                    "directory"),
		          1)
		        << r.out;
		EXPECT_EQ(
		        count_line(r.out, "Process rank " + rk +
		                                  " exited with error code 2"),
		        1)
		        << r.out;
	}
}

MPITEST_TMPFS2_SIM4(SpreadallocCases);

// Argument errors are found before MPI starts: on standard error, then
// the usage text, status 1; with or without a launcher.
TEST_F(MpiTest, SpreadallocArguments)
{
	struct bad {
		std::vector<std::string> args;
		const char *err;
	} cases[] = {
	        {{"mox", "1", "1"}, "Please enter filename with mount point\n"},
	        {{"/m/zorvel/mox", "0", "1"},
	         "Number of files must not be zero\n"},
	        // A word or a negative count used to create nothing and
	        // succeed.
	        {{"/m/zorvel/mox", "x", "1"},
	         "Number of files must be a positive decimal number\n"},
	        {{"/m/zorvel/mox", "-8", "2"},
	         "Number of files must be a positive decimal number\n"},
	        {{"/m/zorvel/mox", "1", "0"},
	         "Client nodes must not be zero\n"},
	        {{"/m/zorvel/mox", "1"}, ""},
	        {{"/m/zorvel/mox", "1", "1", "1"}, ""},
	};
	for (const auto &c : cases) {
		auto r = direct(Place::Tmpfs, "spreadalloc", c.args);
		EXPECT_EQ(r.status, 1) << c.args[0];
		EXPECT_EQ(r.err, c.err) << c.args[0];
		EXPECT_EQ(r.out, usage()) << c.args[0];
	}
	auto r = mpirun(2, Place::Tmpfs, "spreadalloc", {"mox", "1", "1"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(count_line(r.out, "Ex: mpirun -np <njobs> spreadalloc "
	                            "/tmp/mnt/zorvel/mox 512 4"),
	          2)
	        << r.out;
	EXPECT_EQ(count_line(r.err, "Please enter filename with mount point"),
	          2)
	        << r.err;
}

// A name that needs 4096 characters or more is refused with -ENAMETOOLONG,
// and a prefix is cut at 4095 characters.
TEST_F(MpiTest, SpreadallocNameTooLong)
{
	std::string prefix = "/" + std::string(4000, 'p');
	auto r = mpirun(
	        2, Place::Tmpfs, "spreadalloc",
	        {prefix + "/" + std::string(100, 'd') + "/mox", "1", "1"});
	EXPECT_EQ(r.status, 220) << r.out << r.err; // -36
	for (int rank : {0, 1})
		EXPECT_EQ(count_line(r.out,
		                     "Process rank " + std::to_string(rank) +
		                             " exited with error code -36"),
		          1)
		        << r.out;
	EXPECT_EQ(count_line(r.out, "Name too long"), 2) << r.out;
}

} // namespace
