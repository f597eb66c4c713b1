// The file I/O programs run as a harness runs them, on every place, and
// against a file system made to have the fault each exists to find.
#include "fstests_fixture.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fstests
{
namespace
{

using zvtest::read_file;
using zvtest::run_result;
using zvtest::write_file;

struct stat stat_of(const std::string &path)
{
	struct stat st {
	};
	EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
	return st;
}

// Sizes ioloop draws, as the program's seeded generator gives them.
std::vector<int> ioloop_sizes(int n)
{
	srand(42);
	std::vector<int> sizes;
	for (int i = 0; i < n; i++)
		sizes.push_back(random() % 4096);
	return sizes;
}

void make_files(const std::string &base, int n)
{
	for (int i = 0; i < n; i++)
		write_file(base + std::to_string(i));
}

// ---- fallocheck ---------------------------------------------------------

TEST_P(EveryPlace, FallocheckPassesWhereAZorvelMountIsListed)
{
	// The program wants a zorvel mount in the table, not the file on it:
	// under the simulator the table lists one wherever the file is.
	std::string f = path(GetParam(), "falloc");
	run_result r = run_sim({}, "fallocheck", {f});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out + r.err, "");
	struct stat st = stat_of(f);
	EXPECT_EQ(st.st_size, 30 * st.st_blksize);
}

TEST_P(EveryPlace, FallocheckCatchesAnAllocationThatDoesNotExtend)
{
	std::string f = path(GetParam(), "falloc");
	run_result r = run_sim({}, "fallocheck", {f}, "falloc-noextend");
	long long b = stat_of(f).st_blksize;
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "fallocate succeeded but size reported is wrong\n"
	                 "mode 0, offset " +
	                         std::to_string(10 * b) + ", len " +
	                         std::to_string(b) + ", new_size " +
	                         std::to_string(10 * b) +
	                         ", expected_new_size " +
	                         std::to_string(11 * b) +
	                         "\npost_fallocate_checks failed for mode 0\n");
}

// With standard error closed, the file took its number and the report was
// written into it.
TEST_F(FsTest, FallocheckReportsNothingIntoItsFile)
{
	std::string f = path(Place::Tmpfs, "falloc");
	run_result r =
	        run_sim({}, "fallocheck", {f}, "falloc-noextend", "2>&-");
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(zvtest::read_file(f),
	          std::string(10 * stat_of(f).st_blksize, 'X'));
}

// A short write used to go unnoticed and surface as a wrong size.
TEST_P(EveryPlace, FallocheckReportsAShortWrite)
{
	std::string f = path(GetParam(), "falloc");
	run_result r = run_sim({}, "fallocheck", {f}, "short-write");
	long long b = stat_of(f).st_blksize;
	EXPECT_EQ(r.status, EIO);
	EXPECT_EQ(r.err, "short write: " + std::to_string(b / 2) + " of " +
	                         std::to_string(b) + " bytes\n");
}

TEST_F(FsTest, FallocheckWithoutAZorvelMountStops)
{
	for (Place p : {Place::Tmpfs, Place::Tmp}) {
		std::string f = path(p, "falloc");
		run_result r = run(p, "fallocheck", {f});
		EXPECT_EQ(r.status, 234) << place_name(p);
		EXPECT_EQ(r.err, "file not on zorvel filesystem?\n");
		EXPECT_EQ(stat_of(f).st_size, 0); // opened, never written
	}
}

TEST_F(FsTest, FallocheckUsageRelativePathAndOpenFailure)
{
	run_result r = run(Place::Tmpfs, "fallocheck", {});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "usage: " + bin("fallocheck") +
	                         " <filepath>\nfilepath: absolute pathname of "
	                         "Zorvel file\n");
	r = run_sim({}, "fallocheck", {"relative/file"});
	EXPECT_EQ(r.status, 234);
	EXPECT_EQ(r.err, "Need absolute path of the file\n");
	std::string missing = path(Place::Sim, "no/such/file");
	r = run_sim({}, "fallocheck", {missing});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err, "open file " + missing +
	                         " error: No such file or directory\n");
}

// ---- ioloop -------------------------------------------------------------

// The byte total of ioloop's last line, after checking the line's form
// ("total: MODE N bytes in S seconds: R.RR bytes/second"); *mode receives
// the mode word.
std::string total_of(const std::string &out, std::string *mode = nullptr)
{
	char word[16], rate[32];
	long long total, seconds;
	int used = 0;
	std::string bad = "no total line in '" + out + "'";
	if (sscanf(out.c_str(),
	           "total: %15s %lld bytes in %lld seconds: %31s "
	           "bytes/second\n%n",
	           word, &total, &seconds, rate, &used) != 4 ||
	    used != static_cast<int>(out.size()))
		return bad;
	std::string r = rate;
	size_t dot = r.find('.');
	if (dot == std::string::npos || dot == 0 || r.size() - dot != 3 ||
	    r.find_first_not_of("0123456789.") != std::string::npos)
		return bad;
	if (mode)
		*mode = word;
	return std::to_string(total);
}

TEST_P(EveryPlace, IoloopWritesAppendsAndReadsWhatItDrew)
{
	std::string base = path(GetParam(), "f");
	make_files(base, 3);
	std::vector<int> sizes = ioloop_sizes(3);
	int sum = sizes[0] + sizes[1] + sizes[2];
	std::string mode;

	run_result r = run(GetParam(), "ioloop", {"-w", base, "3", "10"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(total_of(r.out, &mode), std::to_string(sum));
	EXPECT_EQ(mode, "write");
	EXPECT_EQ(stat_of(base + "1").st_size, sizes[1]);

	r = run(GetParam(), "ioloop", {"-a", base, "3", "10"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(total_of(r.out, &mode), std::to_string(sum));
	EXPECT_EQ(mode, "append");
	EXPECT_EQ(stat_of(base + "1").st_size, 2 * sizes[1]);

	// Read mode sums what read returns: the same sizes, from files twice
	// as long.
	r = run(GetParam(), "ioloop", {"-r", base, "3", "10"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(total_of(r.out, &mode), std::to_string(sum));
	EXPECT_EQ(mode, "read");
}

TEST_P(EveryPlace, IoloopStopsAtAFileThatCannotBeOpened)
{
	std::string base = path(GetParam(), "none");
	run_result r = run(GetParam(), "ioloop", {"-w", base, "3", "10"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err, "fail to open " + base + "0\n");
	EXPECT_EQ(r.out, "total: write 0 bytes in 0 seconds: 0.00 "
	                 "bytes/second\n");
}

// A failed read used to add -1 to the total and go unreported.
TEST_P(EveryPlace, IoloopReportsAFailedRead)
{
	std::string base = path(GetParam(), "f");
	make_files(base, 2);
	run_result r =
	        run(GetParam(), "ioloop", {"-r", base, "2", "10"}, "read-fail");
	EXPECT_EQ(r.status, EIO);
	EXPECT_EQ(r.err, "fail to read " + base + "0\n");
	EXPECT_EQ(total_of(r.out), "0");
}

TEST_P(EveryPlace, IoloopCatchesAShortWrite)
{
	std::string base = path(GetParam(), "f");
	make_files(base, 2);
	int len = ioloop_sizes(1)[0];
	run_result r = run(GetParam(), "ioloop", {"-w", base, "2", "10"},
	                   "short-write");
	// No errno comes with a short write: it still is a failure.
	EXPECT_EQ(r.status, EIO);
	EXPECT_EQ(r.err, "fail to write " + base + "0, len " +
	                         std::to_string(len) + ", written " +
	                         std::to_string(len / 2) + "\n");
}

TEST_F(FsTest, IoloopArguments)
{
	std::string usage = "usage: " + bin("ioloop") +
	                    " {-w|-a|-r} filenamefmt count seconds\n-w : write "
	                    "mode\n-a : append\n-r : read mode\n";
	run_result r = run(Place::Tmpfs, "ioloop", {"-z", "b", "1", "1"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "Unknown option 'z'\n" + usage);
	r = run(Place::Tmpfs, "ioloop", {"-w", "b", "1"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "missing filenamebase, total_files, or seconds\n");
	EXPECT_EQ(r.out, usage);
	r = run(Place::Tmpfs, "ioloop",
	        {"-w", std::string(4081, 'n'), "1", "1"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "filenamebase too long\n");
	r = run(Place::Tmpfs, "ioloop", {"-w", "b", "1", "x"});
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(r.err,
	          bin("ioloop") + ": error: bad number of seconds 'x'\n");
	// A count with text after it used to be taken.
	r = run(Place::Tmpfs, "ioloop",
	        {"-w", path(Place::Tmpfs, "b"), "2junk", "1"});
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(r.err,
	          bin("ioloop") + ": error: bad number of files '2junk'\n");
	// A plain 0 stops before the first file, which need not exist.
	r = run(Place::Tmpfs, "ioloop",
	        {"-w", path(Place::Tmpfs, "no"), "5", "0"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "total: write 0 bytes in 0 seconds: 0.00 "
	                 "bytes/second\n");
}

TEST_F(FsTest, IoloopPrintsProgressAfterFileTenThousand)
{
	std::string base = path(Place::Tmpfs, "p");
	make_files(base, 10002);
	run_result r =
	        run(Place::Tmpfs, "ioloop", {"-r", base, "10002", "600"});
	ASSERT_EQ(r.status, 0) << r.err;
	std::string first = r.out.substr(0, r.out.find('\n') + 1);
	long now, total, last;
	int used = 0;
	EXPECT_EQ(sscanf(first.c_str(),
	                 " - 0 bytes (time %ld total %ld last %ld)\n%n", &now,
	                 &total, &last, &used),
	          3)
	        << r.out;
	EXPECT_EQ(used, static_cast<int>(first.size())) << r.out;
	EXPECT_EQ(total_of(r.out.substr(first.size())), "0");
}

// ---- bytewrite ----------------------------------------------------------

TEST_P(EveryPlace, BytewriteWritesTheCountInBlocks)
{
	std::string f = path(GetParam(), "b");
	run_result r = run(GetParam(), "bytewrite", {"-b", "5000", f});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out + r.err, "");
	EXPECT_EQ(read_file(f), std::string(5000, '\0'));
	// Short writes are continued, never counted twice.
	std::string g = path(GetParam(), "short");
	r = run(GetParam(), "bytewrite", {"-s", "-b", "5000", g},
	        "short-write");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(read_file(g), std::string(5000, '\0'));
}

TEST_F(FsTest, BytewriteLabelsABlockEverySecondUntilStopped)
{
	std::string f = path(Place::Tmpfs, "labels");
	run_result r = zvtest::run_shell("timeout -s TERM 1.8 " +
	                                 bin("bytewrite") + " " + f);
	EXPECT_EQ(r.status, 124);
	// A block a second: two by now, however loaded the machine.
	std::string data = read_file(f);
	ASSERT_GE(data.size(), 8192u);
	EXPECT_EQ(data.size() % 4096, 0u);
	EXPECT_EQ(data.substr(0, 8), std::string("write 0\n"));
	EXPECT_EQ(data.substr(4096, 11), "write 4096\n");
}

TEST_F(FsTest, BytewriteArguments)
{
	std::string usage =
	        "usage: " + bin("bytewrite") + " [-s] [-b <bytes>] filename\n";
	for (auto args : std::vector<std::vector<std::string>>{
	             {}, {"-b", "12x", "f"}, {"-q", "f"}, {"a", "b"}}) {
		run_result r = run(Place::Tmpfs, "bytewrite", args);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, usage);
	}
	std::string bad = path(Place::Tmpfs, "no/such");
	run_result r = run(Place::Tmpfs, "bytewrite", {"-b", "1", bad});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "Error opening " + bad + "\n");
}

// ---- seekprobe ----------------------------------------------------------

// 4 KiB of data, then a hole to 1 MiB.
std::string sparse_file(const std::string &f)
{
	int fd = ::open(f.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
	EXPECT_GE(fd, 0);
	std::string block(4096, 'd');
	EXPECT_EQ(::write(fd, block.data(), block.size()), 4096);
	EXPECT_EQ(::ftruncate(fd, 1 << 20), 0);
	::close(fd);
	return f;
}

TEST_P(EveryPlace, SeekprobeFindsDataAndHoles)
{
	std::string s = sparse_file(path(GetParam(), "sparse"));
	std::string full = path(GetParam(), "full");
	write_file(full, std::string(8192, 'x'));

	run_result r = run(GetParam(), "seekprobe", {"-d", "0", s});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "0\n");
	r = run(GetParam(), "seekprobe", {"--hole", "0", s});
	EXPECT_EQ(r.out, "4096\n");
	r = run(GetParam(), "seekprobe", {"0", full});
	EXPECT_EQ(r.out, "8192\n");
	r = run(GetParam(), "seekprobe", {"--data", "4096", s});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "lseek to 4096 failed with 6\n");
	// The last option wins.
	r = run(GetParam(), "seekprobe", {"-l", "-d", "0", full});
	EXPECT_EQ(r.out, "0\n");
}

TEST_P(EveryPlace, SeekprobeShowsAHoleWhereThereIsNone)
{
	std::string full = path(GetParam(), "full");
	write_file(full, std::string(8192, 'x'));
	run_result r = run(GetParam(), "seekprobe", {"-l", "0", full},
	                   "seek-hole-here");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "0\n"); // not the file size: the fault shows
}

TEST_F(FsTest, SeekprobeArguments)
{
	std::string prog = bin("seekprobe");
	run_result r = run(Place::Tmpfs, "seekprobe", {"-x", "0", "f"});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "error: " + prog + ": unknown option '-x'\n");
	r = run(Place::Tmpfs, "seekprobe", {"-lx", "0", "f"});
	EXPECT_EQ(r.err, "error: " + prog + ": unknown option '-lx'\n");
	r = run(Place::Tmpfs, "seekprobe", {"-xl", "0", "f"});
	EXPECT_EQ(r.err, "error: " + prog + ": unknown option '-xl'\n");
	r = run(Place::Tmpfs, "seekprobe", {"--bogus", "0", "f"});
	EXPECT_EQ(r.err, "error: " + prog + ": unknown option '--bogus'\n");
	// An offset that is no number used to seek from 0.
	r = run(Place::Tmpfs, "seekprobe", {"--data", "abc", "f"});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "error: " + prog + ": bad start offset 'abc'\n");
	r = run(Place::Tmpfs, "seekprobe", {"0"});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err,
	          "Usage: " + prog +
	                  " [option] <start> <filename>\n\twhere options "
	                  "are:\n\t--hole|-l seek first hole offset after "
	                  "given offset\n\t--data|-d seek first data "
	                  "offset after given offset\n");
	std::string missing = path(Place::Tmpfs, "missing");
	r = run(Place::Tmpfs, "seekprobe", {"0", missing});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "cannot open " + missing + " for reading, error 2");
}

// ---- truncread, mknodmap, renamer, chmodder -----------------------------

TEST_P(EveryPlace, TruncreadReadsTheTailOfASparseFile)
{
	std::string f = path(GetParam(), "big");
	run_result r = run(GetParam(), "truncread", {f});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out + r.err, "");
	EXPECT_EQ(stat_of(f).st_size, 1070596096);
	r = run(GetParam(), "truncread", {f}, "read-fail");
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "read 4 bytes failed:5\n");
	std::string bad = path(GetParam(), "no/such");
	r = run(GetParam(), "truncread", {bad});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "open " + bad + " failed:2\n");
	r = run(GetParam(), "truncread", {});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "usage: " + bin("truncread") + " file\n");
}

TEST_P(EveryPlace, MknodmapMakesGrowsAndMaps)
{
	std::string f = path(GetParam(), "node");
	run_result r = run(GetParam(), "mknodmap", {f});
	EXPECT_EQ(r.status, 0) << r.err;
	struct stat st = stat_of(f);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_size, 4096);
	r = run(GetParam(), "mknodmap", {f});
	EXPECT_EQ(r.status, EEXIST);
	EXPECT_EQ(r.err, "mknod: File exists\n");
	// A file system that cannot map the file: the last step fails.
	r = run(GetParam(), "mknodmap", {path(GetParam(), "unmapped")},
	        "mmap-fail");
	EXPECT_EQ(r.status, ENODEV);
	EXPECT_EQ(r.err, "mknod: No such device\n");
	EXPECT_EQ(stat_of(path(GetParam(), "unmapped")).st_size, 4096);
	r = run(GetParam(), "mknodmap", {});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Usage: " + bin("mknodmap") +
	                         " <file>\n       mknod, truncate to larger "
	                         "size, open, and mmap file");
}

TEST_P(EveryPlace, RenamerPrintsTheOutcomeOfItsOwnCall)
{
	std::string from = path(GetParam(), "from"),
	            to = path(GetParam(), "to");
	write_file(from, "x");
	run_result r = run(GetParam(), "renamer", {from, to});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "rename returned 0: Success\n");
	EXPECT_EQ(read_file(to), "x");
	r = run(GetParam(), "renamer", {from, to});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.out, "rename returned -1: No such file or directory\n");
	r = run(GetParam(), "renamer", {from});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "usage: " + bin("renamer") + " from to\n");
}

TEST_P(EveryPlace, ChmodderSetsAnOctalMode)
{
	std::string f = path(GetParam(), "mode");
	write_file(f);
	run_result r = run(GetParam(), "chmodder", {"640", f});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(stat_of(f).st_mode & 07777, 0640u);
	// Not octal: refused, where it used to take every permission away.
	r = run(GetParam(), "chmodder", {"9", f});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, bin("chmodder") + ": invalid mode '9'\n");
	EXPECT_EQ(stat_of(f).st_mode & 07777, 0640u);
	// Above 7777: refused, where it used to set setuid, setgid, sticky.
	r = run(GetParam(), "chmodder", {"7777777777", f});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(stat_of(f).st_mode & 07777, 0640u);
	r = run(GetParam(), "chmodder", {"600", path(GetParam(), "none")});
	EXPECT_EQ(r.status, ENOENT);
	r = run(GetParam(), "chmodder", {"600"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "usage: " + bin("chmodder") + " mode name\n");
}

INSTANTIATE_TEST_SUITE_P(Places, EveryPlace,
                         ::testing::Values(Place::Sim, Place::Tmpfs,
                                           Place::Tmp),
                         [](const auto &info) {
	                         return place_name(info.param);
                         });

} // namespace
} // namespace fstests
