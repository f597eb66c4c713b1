// chunkwrite: every rank writes its own chunk of one shared file, loop after
// loop with a random chunk size, and rank 0 checks the whole file after each
// loop. Corruption where neighbouring clients' ranges meet (chunk and page
// boundaries) shows as a boundary table, a dump of the file and a failure.
//
//   mpirun -np N chunkwrite [-f path] [-n loops] [-m bytes] [-s seed]
#include "fstest.h"
#include <mpi.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr useconds_t ABORT_GRACE_US = 200000;
constexpr int MAX_CHUNK = 16777216;
constexpr size_t CMD_MAX = 4096;

struct free_deleter {
	void operator()(void *p) const
	{
		free(p);
	}
};
using buffer = std::unique_ptr<char[], free_deleter>;

// Reports a failure on rank (or -1) in loop (or -1) and ends the whole job.
// Standard output is flushed first: the abort does not flush it.
[[noreturn]] __attribute__((format(printf, 3, 4))) void
fail(int rank, int loop, const char *fmt, ...)
{
	printf("rank %d, loop %d: ", rank, loop);
	va_list ap;
	va_start(ap, fmt);
	vprintf(fmt, ap);
	va_end(ap);
	fflush(stdout);
	// Ranks failing the same check at about the same time get their
	// reports out before the abort ends them.
	usleep(ABORT_GRACE_US);
	MPI_Abort(MPI_COMM_WORLD, -1);
	exit(1); // MPI_Abort does not return; this is for the compiler
}

// The value of option -c: a number with its base taken from its prefix
// (0x, leading 0), the whole text, within [min, max]. Anything else (a
// word, a trailing word, a negative loop count) would run a job that was
// not asked for: it ends the job before it starts.
long long number(int c, const char *text, long long min, long long max)
{
	long long v;
	if (fstest::parse_number(text, min, max, v))
		return v;
	if (fstest::parse_number(text, LLONG_MIN, LLONG_MAX, v))
		fail(-1, -1,
		     "Invalid -%c value '%s': a number from %lld to %lld is "
		     "needed\n",
		     c, text, min, max);
	fail(-1, -1, "Invalid -%c value '%s': a number is needed\n", c, text);
}

struct options {
	const char *path = "/mnt/zorvel/chunkwrite";
	int loops = 1000;
	int limit = MAX_CHUNK;
	unsigned seed = 0;
	bool seeded = false;
};

options parse(int argc, char **argv)
{
	options o;
	int c;
	while (errno = 0, (c = getopt(argc, argv, "f:n:m:s:")) != -1) {
		switch (c) {
		case 'f':
			o.path = optarg;
			break;
		case 'n':
			o.loops =
			        static_cast<int>(number(c, optarg, 0, INT_MAX));
			break;
		case 'm': {
			long long v = number(c, optarg, LLONG_MIN, LLONG_MAX);
			if (v > MAX_CHUNK)
				fail(-1, -1, "Chunk size larger than %d.\n",
				     MAX_CHUNK);
			// A remainder by zero or by a negative limit has no
			// chunk size to give.
			if (v <= 0)
				fail(-1, -1,
				     "Chunk size must be positive: %s\n",
				     optarg);
			o.limit = static_cast<int>(v);
			break;
		}
		case 's':
			o.seed = static_cast<unsigned>(
			        number(c, optarg, INT_MIN, UINT_MAX));
			o.seeded = true;
			break;
		default: // getopt has said what it rejected; go on
			break;
		}
	}
	return o;
}

char *allocate(int rank, size_t bytes, const char *what)
{
	char *p = static_cast<char *>(malloc(bytes ? bytes : 1));
	if (!p)
		fail(rank, -1, "cannot allocate the %s (%zu bytes): %s\n", what,
		     bytes, strerror(errno));
	return p;
}

// The path quoted for the shell, so that any name reaches od intact.
std::string shell_quoted(const char *path)
{
	std::string q = "'";
	for (const char *p = path; *p; p++) {
		if (*p == '\'')
			q += "'\\''";
		else
			q += *p;
	}
	return q + "'";
}

struct job {
	options opt;
	int rank = 0;
	int nprocs = 0;
	int fd = -1;
	buffer patterns; // nprocs buffers of opt.limit bytes, one after another
	buffer readback; // nprocs * opt.limit bytes
	uint64_t history[2] = {0, 0};

	const char *pattern(int j) const
	{
		return patterns.get() + static_cast<size_t>(j) * opt.limit;
	}
};

void build_buffers(job &jb)
{
	// The read-back size is formed in 32-bit arithmetic: refuse what it
	// cannot hold before allocating anything.
	int64_t total = static_cast<int64_t>(jb.nprocs) * jb.opt.limit;
	if (total >= INT64_C(1) << 31)
		fail(jb.rank, -1,
		     "%d ranks x chunk size limit %d is 2^31 bytes or more\n",
		     jb.nprocs, jb.opt.limit);
	jb.patterns.reset(allocate(jb.rank, total, "pattern buffers"));
	for (int j = 0; j < jb.nprocs; j++)
		memset(const_cast<char *>(jb.pattern(j)), (65 + j) % 256,
		       jb.opt.limit);
	jb.readback.reset(allocate(jb.rank, total, "read buffer"));
}

void stat_size(const job &jb, int loop, struct stat &st)
{
	if (stat(jb.opt.path, &st) < 0)
		fail(jb.rank, loop, "error stating %s: %s\n", jb.opt.path,
		     strerror(errno));
}

void write_chunk(const job &jb, int loop, uint64_t chunk)
{
	if (lseek(jb.fd, static_cast<off_t>(chunk * jb.rank), SEEK_SET) < 0)
		fail(jb.rank, loop, "lseek() returned %s\n", strerror(errno));
	const char *buf = jb.pattern(jb.rank);
	uint64_t done = 0;
	do {
		ssize_t n = write(jb.fd, buf + done, chunk - done);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			fail(jb.rank, loop, "write() returned %s\n",
			     strerror(errno));
		}
		done += static_cast<uint64_t>(n);
	} while (done < chunk);
}

void read_all(const job &jb, int loop, uint64_t total)
{
	if (lseek(jb.fd, 0, SEEK_SET) < 0)
		fail(jb.rank, loop, "error seeking to 0: %s\n",
		     strerror(errno));
	uint64_t done = 0;
	while (done < total) {
		ssize_t n = read(jb.fd, jb.readback.get() + done, total - done);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			fail(jb.rank, loop, "read returned %s\n",
			     strerror(errno));
		}
		if (n == 0) // the size was checked: the file shrank since
			fail(jb.rank, loop, "read returned %s\n",
			     "end of file");
		done += static_cast<uint64_t>(n);
	}
}

// Where the chunks of neighbouring ranks meet, against the pages around.
void print_boundaries(const job &jb, uint64_t chunk)
{
	int p = getpagesize();
	printf("ranks:\tpage boundry\tchunk boundry\tpage boundry\n");
	for (int k = 1; k < jb.nprocs; k++) {
		int b = static_cast<int>(k * chunk);
		printf("%c -> %c:\t%d\t%d\t%d\n", 'A' + k - 1, 'A' + k, b & -p,
		       b, (b + p) & -p);
	}
}

void dump_file(const job &jb)
{
	std::string cmd = "od -Ad -a " + shell_quoted(jb.opt.path);
	fflush(stdout);
	if (cmd.size() >= CMD_MAX) {
		printf("file dump skipped: path too long\n");
		return;
	}
	// What od says, or that it could not run, is the dump.
	(void)!system(cmd.c_str());
}

void verify(const job &jb, int loop, uint64_t chunk)
{
	read_all(jb, loop, chunk * jb.nprocs);
	for (int j = 0; j < jb.nprocs; j++) {
		if (memcmp(jb.readback.get() + j * chunk, jb.pattern(j),
		           chunk) == 0)
			continue;
		if (loop > 0)
			printf("loop %d: chunk_size %lu\n", loop - 1,
			       static_cast<unsigned long>(
			               jb.history[(loop - 1) % 2]));
		printf("loop %d: chunk %d corrupted with chunk_size %lu, "
		       "page_size %d\n",
		       loop, j, static_cast<unsigned long>(chunk),
		       getpagesize());
		print_boundaries(jb, chunk);
		dump_file(jb);
		fail(0, loop, "data check error - exiting\n");
	}
}

void run_loop(job &jb, int i)
{
	int value = 0;
	if (jb.rank == 0) {
		if (truncate(jb.opt.path, 0) < 0)
			fail(jb.rank, i, "truncate() returned %s\n",
			     strerror(errno));
		value = rand();
	}
	MPI_Bcast(&value, 1, MPI_INT, 0, MPI_COMM_WORLD);
	uint64_t chunk = static_cast<uint64_t>(value % jb.opt.limit);
	jb.history[i % 2] = chunk;
	if (jb.rank == 0 && i % 1000 == 0)
		printf("loop %d: chunk_size %lu\n", i,
		       static_cast<unsigned long>(chunk));

	struct stat st;
	stat_size(jb, i, st);
	if (st.st_size != 0)
		fail(jb.rank, i,
		     "filesize = %lu. Should be zero after truncate\n",
		     static_cast<unsigned long>(st.st_size));
	MPI_Barrier(MPI_COMM_WORLD);

	write_chunk(jb, i, chunk);
	MPI_Barrier(MPI_COMM_WORLD);

	uint64_t expected = chunk * jb.nprocs;
	stat_size(jb, i, st);
	if (static_cast<uint64_t>(st.st_size) != expected) {
		if (i > 0) {
			uint64_t prev = jb.history[(i - 1) % 2];
			printf("loop %d: chunk_size %lu, file size was %lu\n",
			       i - 1, static_cast<unsigned long>(prev),
			       static_cast<unsigned long>(prev * jb.nprocs));
		}
		fail(jb.rank, i,
		     "invalid file size %lu instead of %lu = %lu * %u\n",
		     static_cast<unsigned long>(st.st_size),
		     static_cast<unsigned long>(expected),
		     static_cast<unsigned long>(chunk),
		     static_cast<unsigned>(jb.nprocs));
	}
	if (jb.rank == 0)
		verify(jb, i, chunk);
	MPI_Barrier(MPI_COMM_WORLD);
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	int rc = MPI_Init(&argc, &argv);
	if (rc != MPI_SUCCESS)
		fail(-1, -1, "MPI_Init failed: %d\n", rc);

	job jb;
	jb.opt = parse(argc, argv);
	MPI_Comm_size(MPI_COMM_WORLD, &jb.nprocs);
	MPI_Comm_rank(MPI_COMM_WORLD, &jb.rank);
	build_buffers(jb);

	if (jb.rank == 0) {
		int fd = open(jb.opt.path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
		if (fd < 0)
			fail(jb.rank, -1, "open() returned %s\n",
			     strerror(errno));
		close(fd);
	}
	MPI_Barrier(MPI_COMM_WORLD);
	jb.fd = open(jb.opt.path, O_RDWR);
	if (jb.fd < 0)
		fail(jb.rank, -1, "open() returned %s\n", strerror(errno));

	if (jb.rank == 0) {
		unsigned seed = jb.opt.seeded
		                        ? jb.opt.seed
		                        : static_cast<unsigned>(time(nullptr));
		printf("random seed: %d\n", static_cast<int>(seed));
		srand(seed);
	}
	int loops = jb.opt.loops > 0 ? jb.opt.loops : 0;
	for (int i = 0; i < loops; i++)
		run_loop(jb, i);

	printf("Finished after %d loops\n", loops);
	close(jb.fd);
	MPI_Finalize();
	return 0;
}
