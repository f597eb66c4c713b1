/* ioloop: many small files opened, written, appended or read and closed in
 * a loop for a given time, with a throughput report. */
#include "fstest.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace
{

constexpr size_t NAMEBASE_MAX = 4080;
constexpr size_t BUF_SIZE = 4096;

char data[BUF_SIZE];
char name[BUF_SIZE];

void usage(const char *prog)
{
	printf("usage: %s {-w|-a|-r} filenamefmt count seconds\n"
	       "-w : write mode\n-a : append\n-r : read mode\n",
	       prog);
}

double monotonic_now()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Options {
	int flags = O_RDONLY;
	bool read_mode = false, append_mode = false;
};

// One file: open, read or write a random amount, close. 0 or the errno.
int one_file(const Options &o, int i, const char *base, long &total)
{
	snprintf(name, sizeof(name), "%s%d", base, i);
	int fd = open(name, o.flags, 0666);
	if (fd < 0) {
		int err = errno;
		fprintf(stderr, "fail to open %s\n", name);
		return err;
	}
	int len = random() % BUF_SIZE;
	if (o.read_mode) {
		ssize_t n = read(fd, data, len);
		if (n < 0) {
			int err = errno;
			fprintf(stderr, "fail to read %s\n", name);
			close(fd);
			return err;
		}
		total += n;
	} else {
		ssize_t n = write(fd, data, len);
		if (static_cast<int>(n) != len) {
			// A short write sets no errno: it is still a failure.
			int err = n < 0 ? errno : EIO;
			fprintf(stderr,
			        "fail to write %s, len %d, written %d\n", name,
			        len, static_cast<int>(n));
			close(fd);
			return err;
		}
		total += n;
	}
	if (close(fd) < 0) {
		int err = errno;
		fprintf(stderr, "can't close %s\n", name);
		return err;
	}
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	Options o;
	int c;
	opterr = 0;
	while ((c = getopt(argc, argv, "war")) != -1) {
		switch (c) {
		case 'w':
			o.flags = O_RDWR;
			break;
		case 'a':
			o.flags = O_RDWR | O_APPEND;
			o.append_mode = true;
			break;
		case 'r':
			o.flags = O_RDONLY;
			o.read_mode = true;
			break;
		default:
			printf("Unknown option '%c'\n", optopt);
			usage(argv[0]);
			return 1;
		}
	}
	if (argc - optind != 3) {
		fprintf(stderr, "missing filenamebase, total_files, or "
		                "seconds\n");
		usage(argv[0]);
		return 1;
	}
	const char *base = argv[optind];
	if (strlen(base) > NAMEBASE_MAX) {
		fprintf(stderr, "filenamebase too long\n");
		return 1;
	}
	// Numbers are whole texts: "2junk" files or seconds would run as 2.
	// A count or a time of 0 or less is a number all the same (no file;
	// the loop ends at once).
	long long count, seconds;
	if (!fstest::parse_number(argv[optind + 1], LONG_MIN, LONG_MAX,
	                          count)) {
		fprintf(stderr, "%s: error: bad number of files '%s'\n",
		        argv[0], argv[optind + 1]);
		return 2;
	}
	if (!fstest::parse_number(argv[optind + 2], LONG_MIN, LONG_MAX,
	                          seconds)) {
		fprintf(stderr, "%s: error: bad number of seconds '%s'\n",
		        argv[0], argv[optind + 2]);
		return 2;
	}

	srand(42);
	time_t start = time(nullptr), last = start;
	time_t deadline;
	if (__builtin_add_overflow(start, seconds, &deadline))
		deadline = seconds > 0 ? LONG_MAX : LONG_MIN;
	double mono_start = monotonic_now();
	long total = 0;
	int rc = 0;
	for (long i = 0; i < count && i <= INT_MAX; i++) {
		time_t now = time(nullptr);
		if (now >= deadline)
			break;
		if ((rc = one_file(o, static_cast<int>(i), base, total)))
			break;
		if (i != 0 && i % 10000 == 0) {
			now = time(nullptr);
			printf(" - %ld bytes (time %ld total %ld last %ld)\n",
			       total, (long)now, (long)(now - start),
			       (long)(now - last));
			last = now;
		}
	}
	// The rate is taken over the time measured to the nanosecond, so a
	// run shorter than a second still gives one (0 when none elapsed).
	double elapsed = monotonic_now() - mono_start;
	double rate = elapsed > 0 ? total / elapsed : 0.0;
	printf("total: %s %ld bytes in %ld seconds: %.2f bytes/second\n",
	       o.read_mode     ? "read"
	       : o.append_mode ? "append"
	                       : "write",
	       total, (long)(time(nullptr) - start), rate);
	return rc;
}
