// chunkwrite under mpirun: what every rank prints, the file it leaves, and
// a file system that corrupts a byte where two ranks' chunks meet.
#include "mpi_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

using namespace mpitest;

namespace
{

// The chunk sizes rank 0 draws for loops 0, 1, ... with seed and limit.
std::vector<unsigned long> chunk_sizes(unsigned seed, int limit, int loops)
{
	srand(seed);
	std::vector<unsigned long> out;
	for (int i = 0; i < loops; i++)
		out.push_back(static_cast<unsigned long>(rand() % limit));
	return out;
}

long file_size(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size)
	                                    : -1;
}

std::string report(int rank, int loop, const std::string &what)
{
	return "rank " + std::to_string(rank) + ", loop " +
	       std::to_string(loop) + ": " + what;
}

// Environment of ranks with the given preloads, whose allocations of
// nomem bytes or more (0: none) fail.
std::vector<std::string> rank_env(std::vector<std::string> preloads,
                                  size_t nomem = 0,
                                  std::vector<std::string> more = {})
{
#ifdef MPITEST_SANITIZED
	if (nomem)
		more.push_back("ASAN_OPTIONS=allocator_may_return_null=1:"
		               "max_allocation_size_mb=" +
		               std::to_string((nomem >> 20) - 1));
#else
	if (nomem) {
		preloads.push_back(NOMEM_LIB);
		more.push_back("NOMEM_LIMIT=" + std::to_string(nomem));
	}
#endif
	return preload_env(preloads, more);
}

class Chunkwrite : public EveryPlace
{
};

// Many loops of random chunk sizes leave no trace of corruption, and the
// last loop's chunks make up the file. (The cases below take the other two
// places and rank counts.)
TEST_P(Chunkwrite, PassesTwoHundredLoops)
{
	std::string file = path(place(), "shared");
	auto r =
	        mpirun(ranks(), place(), "chunkwrite",
	               {"-f", file, "-n", "200", "-m", "65536", "-s", "12345"});
	ASSERT_EQ(r.status, 0) << r.out << r.err;
	auto sizes = chunk_sizes(12345, 65536, 200);
	EXPECT_EQ(count_line(r.out, "random seed: 12345"), 1) << r.out;
	EXPECT_EQ(count_line(r.out,
	                     "loop 0: chunk_size " + std::to_string(sizes[0])),
	          1)
	        << r.out;
	EXPECT_EQ(count_line(r.out, "Finished after 200 loops"), ranks());
	EXPECT_EQ(lines_of(r.out).size(), 2u + ranks()) << r.out;
	EXPECT_EQ(file_size(file), static_cast<long>(sizes[199] * ranks()));
}

MPITEST_TMPFS2_SIM4(Chunkwrite);

class ChunkwriteCases : public EveryPlace
{
};

// Loop 1000 prints its chunk size as loop 0 does; the limit is the largest
// chunk plus one. (Rank 0 prints them: a job of one shows it without a
// thousand barriers.)
TEST_F(MpiTest, ChunkwritePrintsEveryThousandthLoop)
{
	std::string file = path(Place::Tmpfs, "shared");
	auto r = alone("chunkwrite",
	               {"-f", file, "-n", "1001", "-m", "0x10", "-s", "3"});
	ASSERT_EQ(r.status, 0) << r.out << r.err;
	auto sizes = chunk_sizes(3, 16, 1001);
	for (int loop : {0, 1000})
		EXPECT_EQ(
		        count_line(r.out, "loop " + std::to_string(loop) +
		                                  ": chunk_size " +
		                                  std::to_string(sizes[loop])),
		        1)
		        << r.out;
	EXPECT_EQ(count_line(r.out, "Finished after 1001 loops"), 1);
}

// No loop: nothing is written, rank 0 still creates the file and seeds.
TEST_F(MpiTest, ChunkwriteZeroLoopsWriteNothing)
{
	std::string file = path(Place::Sim, "shared");
	auto r = mpirun(2, Place::Sim, "chunkwrite",
	                {"-f", file, "-n", "0", "-m", "4096", "-s", "017"});
	ASSERT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_EQ(count_line(r.out, "random seed: 15"), 1) << r.out;
	EXPECT_EQ(count_line(r.out, "Finished after 0 loops"), 2);
	EXPECT_EQ(lines_of(r.out).size(), 3u) << r.out;
	EXPECT_EQ(file_size(file), 0);
}

// With standard output closed, the shared file took its number and a
// failure report was written into it: rank 0 of two, alone, finds the file
// short of the other rank's chunk.
TEST_F(MpiTest, ChunkwriteReportsNothingIntoTheFile)
{
	std::string file = path(Place::Tmpfs, "shared");
	auto r = alone("chunkwrite",
	               {"-f", file, "-n", "1", "-m", "4096", "-s", "9"}, 2, {},
	               ">&-");
	EXPECT_EQ(r.status, 255) << r.err;
	auto chunk = chunk_sizes(9, 4096, 1)[0];
	ASSERT_GT(chunk, 0u) << "pick another seed";
	EXPECT_EQ(zvtest::read_file(file), std::string(chunk, 'A'));
}

// Refused limits end the job on every rank before the file exists.
TEST_P(ChunkwriteCases, RefusesLimitsBeforeTouchingTheFile)
{
	std::string file = path(place(), "shared");
	auto r = mpirun(ranks(), place(), "chunkwrite",
	                {"-f", file, "-n", "1", "-m", "0"});
	EXPECT_EQ(r.status, 255) << r.out << r.err;
	EXPECT_EQ(count_line(r.out,
	                     report(-1, -1, "Chunk size must be positive: 0")),
	          ranks())
	        << r.out;
	EXPECT_EQ(file_size(file), -1);
}

// Every refused limit and loop count, each in a job of one. A loop count
// that was a word or negative used to run no loop and succeed.
TEST_F(MpiTest, ChunkwriteRefusedLimits)
{
	std::string file = path(Place::Tmpfs, "shared");
	struct refused {
		const char *option, *value, *report;
	} cases[] = {
	        {"-m", "16777217", "Chunk size larger than 16777216."},
	        {"-m", "0x1000001", "Chunk size larger than 16777216."},
	        {"-m", "0", "Chunk size must be positive: 0"},
	        {"-m", "-4096", "Chunk size must be positive: -4096"},
	        {"-n", "abc", "Invalid -n value 'abc': a number is needed"},
	        {"-n", "-3",
	         "Invalid -n value '-3': a number from 0 to 2147483647 is "
	         "needed"},
	};
	for (const auto &c : cases) {
		auto r = alone("chunkwrite",
		               {"-f", file, "-n", "1", c.option, c.value});
		EXPECT_EQ(r.status, 255) << c.value << r.out << r.err;
		EXPECT_EQ(r.out, report(-1, -1, c.report) + "\n") << c.value;
		EXPECT_EQ(file_size(file), -1) << c.value;
	}
}

// The largest limit is a limit like any other.
TEST_F(MpiTest, ChunkwriteAcceptsTheLargestLimit)
{
	std::string file = path(Place::Tmpfs, "shared");
	auto r = mpirun(2, Place::Tmpfs, "chunkwrite",
	                {"-f", file, "-n", "1", "-m", "16777216", "-s", "9"});
	ASSERT_EQ(r.status, 0) << r.out << r.err;
	auto sizes = chunk_sizes(9, 16777216, 1);
	EXPECT_EQ(count_line(r.out, "Finished after 1 loops"), 2);
	EXPECT_EQ(file_size(file), static_cast<long>(sizes[0] * 2));
}

// A file rank 0 cannot create: it says so, the job ends before the other
// ranks open anything.
TEST_P(ChunkwriteCases, ReportsAFileThatCannotBeOpened)
{
	std::string file = path(place(), "missing/shared");
	auto r = mpirun(ranks(), place(), "chunkwrite",
	                {"-f", file, "-n", "1", "-m", "4096"});
	EXPECT_EQ(r.status, 255) << r.out << r.err;
	EXPECT_EQ(count_line(r.out, report(0, -1,
	                                   "open() returned No such file or "
	                                   "directory")),
	          1)
	        << r.out;
}

MPITEST_TMPFS4_SIM2(ChunkwriteCases);

class ChunkwriteFault : public MpiTest,
                        public ::testing::WithParamInterface<int>
{
};

// Rank 1 and up land the first byte of every third chunk with its case
// flipped: rank 0 finds chunk 1 bad in loop 2, prints where the ranks'
// chunks meet against the pages, dumps the file and ends the job.
TEST_P(ChunkwriteFault, CatchesACorruptedChunkBoundary)
{
	int ranks = GetParam();
	std::string file = path(Place::Tmpfs, "shared");
	auto r = mpirun(ranks, Place::Tmpfs, "chunkwrite",
	                {"-f", file, "-n", "200", "-m", "20000", "-s", "77"},
	                rank_env({BOUNDARY_FAULT_LIB}, 0,
	                         {"BOUNDARY_FAULT_FILE=" + file,
	                          "BOUNDARY_FAULT_EVERY=3"}));
	EXPECT_EQ(r.status, 255) << r.out << r.err;
	auto sizes = chunk_sizes(77, 20000, 3);
	ASSERT_GT(sizes[0] * sizes[1] * sizes[2], 0u) << "pick another seed";
	unsigned long chunk = sizes[2];
	int page = getpagesize();

	std::vector<std::string> want = {
	        "random seed: 77",
	        "loop 0: chunk_size " + std::to_string(sizes[0]),
	        "loop 1: chunk_size " + std::to_string(sizes[1]),
	        "loop 2: chunk 1 corrupted with chunk_size " +
	                std::to_string(chunk) + ", page_size " +
	                std::to_string(page),
	        "ranks:\tpage boundry\tchunk boundry\tpage boundry",
	};
	for (int k = 1; k < ranks; k++) {
		int b = static_cast<int>(k * chunk);
		want.push_back(std::string(1, char('A' + k - 1)) + " -> " +
		               char('A' + k) + ":\t" +
		               std::to_string(b & -page) + "\t" +
		               std::to_string(b) + "\t" +
		               std::to_string((b + page) & -page));
	}
	auto got = lines_of(r.out);
	ASSERT_GE(got.size(), want.size() + 2) << r.out;
	for (size_t i = 0; i < want.size(); i++)
		EXPECT_EQ(got[i], want[i]) << r.out;
	// The dump: od's lines, then its last offset (the file's size).
	char last[16];
	snprintf(last, sizeof last, "%07lu", chunk * ranks);
	auto at = std::find(got.begin(), got.end(), std::string(last));
	ASSERT_NE(at, got.end()) << r.out;
	EXPECT_GT(at - got.begin(), static_cast<long>(want.size())) << r.out;
	EXPECT_NE(r.out.find("   b"), std::string::npos) << r.out;
	EXPECT_EQ(got.back(), report(0, 2, "data check error - exiting"));
	EXPECT_EQ(count_line(r.out, "Finished after 200 loops"), 0);
}

INSTANTIATE_TEST_SUITE_P(Ranks, ChunkwriteFault, ::testing::Values(2, 4));

// The same file system without the fault: the same run passes.
TEST_F(MpiTest, ChunkwritePassesWithoutTheFault)
{
	std::string file = path(Place::Tmpfs, "shared");
	auto r = mpirun(2, Place::Tmpfs, "chunkwrite",
	                {"-f", file, "-n", "20", "-m", "20000", "-s", "77"},
	                rank_env({BOUNDARY_FAULT_LIB}, 0,
	                         {"BOUNDARY_FAULT_FILE=" + file,
	                          "BOUNDARY_FAULT_EVERY=0"}));
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_EQ(count_line(r.out, "Finished after 20 loops"), 2);
}

// nprocs x limit must stay below 2^31 for the read-back: rank 0 of a job
// of 128 with the default limit refuses before anything is allocated or
// opened.
TEST_F(MpiTest, ChunkwriteRefusesAReadBufferOf2GiB)
{
	std::string file = path(Place::Tmpfs, "shared");
	auto r = alone("chunkwrite", {"-f", file, "-n", "1"}, 128);
	EXPECT_EQ(r.status, 255) << r.out << r.err;
	EXPECT_EQ(r.out, report(0, -1,
	                        "128 ranks x chunk size limit 16777216 is 2^31 "
	                        "bytes or more\n"));
	EXPECT_EQ(file_size(file), -1);
	// One rank fewer is allowed: here the memory runs out instead.
	r = alone("chunkwrite", {"-f", file, "-n", "0"}, 127,
	          rank_env({MPI_ALONE_LIB}, size_t(1) << 30));
	EXPECT_EQ(r.status, 255) << r.out << r.err;
	EXPECT_EQ(r.out,
	          report(0, -1,
	                 "cannot allocate the pattern buffers "
	                 "(2130706432 bytes): Cannot allocate memory\n"));
	EXPECT_EQ(file_size(file), -1);
}

// A buffer that cannot be had is a report on each rank, not a crash.
TEST_F(MpiTest, ChunkwriteReportsABufferItCannotAllocate)
{
	std::string file = path(Place::Tmpfs, "shared");
	auto r = mpirun(2, Place::Tmpfs, "chunkwrite",
	                {"-f", file, "-n", "1", "-m", "16777216"},
	                rank_env({}, size_t(16) << 20));
	EXPECT_EQ(r.status, 255) << r.out << r.err;
	for (int rank : {0, 1})
		EXPECT_EQ(
		        count_line(r.out,
		                   report(rank, -1,
		                          "cannot allocate the pattern buffers "
		                          "(33554432 bytes): Cannot allocate "
		                          "memory")),
		        1)
		        << r.out;
	EXPECT_EQ(file_size(file), -1);
}

} // namespace
