// mpicreate under mpirun: the names it makes in each mode, what every rank
// prints, how it stops, and its usage.
#include "mpi_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sys/stat.h>

using namespace mpitest;

namespace
{

const char *const START =
        R"(starting at \w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4})";
const char *const FINISH =
        R"(finish at \w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4})";
const char *const FIRST = R"( - created 0 \(time \d+ total 0 last 0\))";

// The rates of the summary lines for count creates in seconds (a regular
// expression).
std::vector<double> rates(const std::string &out, const std::string &count,
                          const std::string &seconds)
{
	std::regex r("total: " + count + " creates in " + seconds +
	             R"( seconds: ([0-9.]+|inf|nan) creates/second)");
	std::vector<double> found;
	for (const auto &l : lines_of(out)) {
		std::smatch m;
		if (std::regex_match(l, m, r))
			found.push_back(strtod(m[1].str().c_str(), nullptr));
	}
	return found;
}

class Mpicreate : public EveryPlace
{
};

// Every rank opens the same three names; each prints its own run, with one
// progress line and a finite rate (the run lasts far less than a second).
TEST_P(Mpicreate, OpenModeCreatesTheNumberedNames)
{
	std::string d = path(place(), "d");
	ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
	auto r = mpirun(ranks(), place(), "mpicreate",
	                {"-o", d + "/file%05d", "3"});
	ASSERT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_EQ(names_in(d), (std::vector<std::string>{
	                               "file00000", "file00001", "file00002"}));
	EXPECT_EQ(count_matching(r.out, START), ranks()) << r.out;
	EXPECT_EQ(count_matching(r.out, FIRST), ranks()) << r.out;
	EXPECT_EQ(count_matching(r.out, FINISH), ranks()) << r.out;
	auto found = rates(r.out, "3", "[01]");
	ASSERT_EQ(found.size(), static_cast<size_t>(ranks())) << r.out;
	for (double rate : found)
		EXPECT_GT(rate, 0.0) << r.out;
	EXPECT_EQ(lines_of(r.out).size(), 4u * ranks()) << r.out;
	struct stat st;
	ASSERT_EQ(stat((d + "/file00001").c_str(), &st), 0);
	mode_t mask = umask(0);
	umask(mask);
	EXPECT_EQ(st.st_mode & 07777, 0644u & ~mask);
}

MPITEST_EVERY_PLACE(Mpicreate);

class MpicreateCases : public EveryPlace
{
};

// Links need distinct names: of the ranks racing for x10, one makes it
// and goes on to x11, each other stops at once with EEXIST, which becomes
// the job's exit status; every rank still prints its summary.
TEST_P(MpicreateCases, LinkModeRanksRaceForTheNames)
{
	std::string d = path(place(), "d");
	ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
	zvtest::write_file(d + "/t", "target");
	auto r = mpirun(ranks(), place(), "mpicreate",
	                {"-l" + d + "/t", d + "/x", "10", "2"});
	EXPECT_EQ(r.status, 17) << r.out << r.err;
	EXPECT_EQ(names_in(d), (std::vector<std::string>{"t", "x10", "x11"}));
	struct stat st;
	ASSERT_EQ(stat((d + "/x11").c_str(), &st), 0);
	EXPECT_EQ(st.st_nlink, 3u);
	EXPECT_EQ(count_line(r.out, "link(" + d + "/t, " + d +
	                                    "/x10) error: File exists"),
	          ranks() - 1)
	        << r.out;
	EXPECT_EQ(rates(r.out, "2", "[01]").size(), 1u) << r.out;
	EXPECT_EQ(rates(r.out, "0", "[01]").size(),
	          static_cast<size_t>(ranks() - 1))
	        << r.out;
	EXPECT_EQ(count_matching(r.out, FINISH), ranks()) << r.out;
}

MPITEST_TMPFS2_SIM4(MpicreateCases);

// A name that exists stops mknod at once: the error, the summary with no
// creation and a rate of 0, and EEXIST as the status.
TEST_F(MpiTest, MpicreateMknodStopsAtAnExistingName)
{
	std::string d = path(Place::Tmpfs, "d");
	ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
	zvtest::write_file(d + "/f7");
	auto r = mpirun(4, Place::Tmpfs, "mpicreate",
	                {"-m", d + "/f", "7", "3"});
	EXPECT_EQ(r.status, 17) << r.out << r.err;
	EXPECT_EQ(count_line(r.out, "mknod(" + d + "/f7) error: File exists"),
	          4)
	        << r.out;
	auto found = rates(r.out, "0", "[01]");
	ASSERT_EQ(found.size(), 4u) << r.out;
	for (double rate : found)
		EXPECT_EQ(rate, 0.0);
	EXPECT_EQ(names_in(d), std::vector<std::string>{"f7"});
}

// A negative count is seconds: mknod makes f0, f1, ... for one second and
// no more, with a progress line every 10000 names.
TEST_F(MpiTest, MpicreateMknodForSeconds)
{
	std::string d = path(Place::Sim, "d");
	ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
	auto r = mpirun(1, Place::Sim, "mpicreate", {"-m", d + "/f", "-1"});
	ASSERT_EQ(r.status, 0) << r.out << r.err;
	std::smatch m;
	std::regex total(
	        R"(total: (\d+) creates in ([12]) seconds: ([0-9.]+) creates/second)");
	auto lines = lines_of(r.out);
	ASSERT_GE(lines.size(), 4u) << r.out;
	ASSERT_TRUE(std::regex_match(lines[lines.size() - 2], m, total))
	        << r.out;
	long n = atol(m[1].str().c_str());
	ASSERT_GT(n, 0);
	auto names = names_in(d);
	EXPECT_EQ(names.size(), static_cast<size_t>(n));
	struct stat st;
	ASSERT_EQ(stat((d + "/f" + std::to_string(n - 1)).c_str(), &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_mode & 0777, 0444u);
	EXPECT_NE(stat((d + "/f" + std::to_string(n)).c_str(), &st), 0);
	EXPECT_EQ(
	        count_matching(
	                r.out,
	                R"( - created (0|\d+0000) \(time \d+ total [012] last [01]\))"),
	        static_cast<int>((n - 1) / 10000 + 1))
	        << r.out;
}

// The index is 64-bit: a format's %d prints all of it.
TEST_F(MpiTest, MpicreateIndexBeyond32Bits)
{
	std::string d = path(Place::Tmpfs, "d");
	ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
	auto r = mpirun(2, Place::Tmpfs, "mpicreate",
	                {"-o", d + "/n", "0x100000000", "2"});
	ASSERT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_EQ(names_in(d),
	          (std::vector<std::string>{"n4294967296", "n4294967297"}));
	r = alone("mpicreate", {"-o", d + "/h%%%lx", "-1", "1"});
	ASSERT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_EQ(names_in(d),
	          (std::vector<std::string>{"h%ffffffffffffffff", "n4294967296",
	                                    "n4294967297"}));
}

// Usage errors: the usage text on every rank and status 1, nothing made.
TEST_F(MpiTest, MpicreateUsage)
{
	std::string d = path(Place::Tmpfs, "d");
	ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
	std::string prog = bin("mpicreate");
	std::vector<std::string> usage = {
	        "usage: " + prog + " {-o|-m|-l<tgt>} filenamefmt count",
	        "       " + prog + " {-o|-m|-l<tgt>} filenamefmt -seconds",
	        "       " + prog + " {-o|-m|-l<tgt>} filenamefmt start count"};
	std::vector<std::vector<std::string>> bad = {
	        {"-o", d + "/f"},
	        {"-o", d + "/f", "1", "2", "3"},
	        {"-l", d + "/f", "1"},
	        {"-ox", d + "/f", "1"},
	        {"-mm", d + "/f", "1"},
	        {"-x", d + "/f", "1"},
	        // a count that is no number used to run no second and succeed
	        {"-o", d + "/f", "abc"},
	};
	std::string text;
	for (const auto &line : usage)
		text += line + "\n";
	for (const auto &args : bad) {
		auto r = alone("mpicreate", args);
		EXPECT_EQ(r.status, 1) << args[0];
		EXPECT_EQ(r.out, text) << args[0];
	}
	// Under a launcher, every rank says it.
	auto r = mpirun(2, Place::Tmpfs, "mpicreate", bad[0]);
	EXPECT_EQ(r.status, 1);
	for (const auto &line : usage)
		EXPECT_EQ(count_line(r.out, line), 2) << r.out;
	EXPECT_EQ(lines_of(r.out).size(), 6u) << r.out;
	EXPECT_TRUE(names_in(d).empty());
}

// What cannot make a name: a format longer than 4080 characters, and (so
// that no rank reads what was never passed) a format with a conversion
// other than one integer.
TEST_F(MpiTest, MpicreateRefusesFormats)
{
	std::string d = path(Place::Tmpfs, "d");
	ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
	std::string longest = d + "/" + std::string(4080 - d.size() - 1, 'n');
	auto r = mpirun(2, Place::Tmpfs, "mpicreate",
	                {"-o", longest + "x", "1"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "name too long\nname too long\n");
	for (const char *fmt : {"/%s", "/%d%d", "/%n", "/%5$d", "/%*d"}) {
		r = alone("mpicreate", {"-o", d + fmt, "1"});
		EXPECT_EQ(r.status, 1) << fmt;
		EXPECT_EQ(r.out,
		          "name format must hold one integer conversion\n")
		        << fmt;
	}
	EXPECT_TRUE(names_in(d).empty());
	// 4080 characters are a name format like any other; its names are
	// too long for the file system.
	r = alone("mpicreate", {"-o", longest, "1"});
	EXPECT_EQ(r.status, 36) << r.out;
	EXPECT_EQ(count_line(r.out, "open(" + longest +
	                                    "0) error: File name "
	                                    "too long"),
	          1)
	        << r.out;
}

} // namespace
