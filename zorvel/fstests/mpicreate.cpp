// mpicreate: creates numbered names as fast as it can, by open, by mknod or
// as hard links, for a count or for a number of seconds, and reports the
// rate. Every rank works on the same names.
//
//   mpirun -np N mpicreate {-o|-m|-l<tgt>} filenamefmt [start] count|-seconds
#include "fstest.h"
#include <mpi.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr size_t NAME_MAX_FMT = 4080;
constexpr size_t NAME_BUF = 4096;

enum class mode {
	open_file,
	mknod_file,
	link_file
};

[[noreturn]] __attribute__((format(printf, 3, 4))) void
fatal(int rank, int loop, const char *fmt, ...)
{
	printf("rank %d, loop %d: ", rank, loop);
	va_list ap;
	va_start(ap, fmt);
	vprintf(fmt, ap);
	va_end(ap);
	fflush(stdout);
	MPI_Finalize();
	exit(1);
}

[[noreturn]] void usage_exit(const char *prog)
{
	printf("usage: %s {-o|-m|-l<tgt>} filenamefmt count\n", prog);
	printf("       %s {-o|-m|-l<tgt>} filenamefmt -seconds\n", prog);
	printf("       %s {-o|-m|-l<tgt>} filenamefmt start count\n", prog);
	MPI_Finalize();
	exit(1);
}

[[noreturn]] void say_exit(const char *line)
{
	printf("%s\n", line);
	MPI_Finalize();
	exit(1);
}

bool parse_mode(const char *arg, mode &m, const char *&target)
{
	if (strcmp(arg, "-o") == 0)
		m = mode::open_file;
	else if (strncmp(arg, "-l", 2) == 0 && arg[2] != '\0') {
		m = mode::link_file;
		target = arg + 2;
	} else if (strcmp(arg, "-m") == 0)
		m = mode::mknod_file;
	else
		return false;
	return true;
}

// The index is 64-bit: the name format may hold one integer conversion
// (flags, width and precision as the user wrote them), which is given the
// length of a long long; "%%" stays as it is. Anything else (a string, %n,
// a second conversion) would read or write what was never passed.
bool index_format(const std::string &in, std::string &out)
{
	int conversions = 0;
	out.clear();
	for (size_t i = 0; i < in.size(); i++) {
		if (in[i] != '%') {
			out += in[i];
			continue;
		}
		if (i + 1 < in.size() && in[i + 1] == '%') {
			out += "%%";
			i++;
			continue;
		}
		size_t j = i + 1;
		while (j < in.size() && strchr("-+ #0'", in[j]))
			j++;
		while (j < in.size() && isdigit((unsigned char)in[j]))
			j++;
		if (j < in.size() && in[j] == '.') {
			j++;
			while (j < in.size() && isdigit((unsigned char)in[j]))
				j++;
		}
		std::string spec = in.substr(i, j - i);
		while (j < in.size() && strchr("hlqjztL", in[j]))
			j++;
		if (j >= in.size() || !strchr("diouxX", in[j]) ||
		    ++conversions > 1)
			return false;
		out += spec + "ll" + in[j];
		i = j;
	}
	return true;
}

int create(mode m, const char *target, const char *name)
{
	switch (m) {
	case mode::open_file: {
		int fd = open(name, O_RDWR | O_CREAT, 0644);
		if (fd < 0)
			return -1;
		close(fd);
		return 0;
	}
	case mode::mknod_file:
		return mknod(name, S_IFREG | 0444, 0);
	case mode::link_file:
		return link(target, name);
	}
	return -1;
}

void report_failure(mode m, const char *target, const char *name, int err)
{
	switch (m) {
	case mode::open_file:
		printf("open(%s) error: %s\n", name, strerror(err));
		break;
	case mode::mknod_file:
		printf("mknod(%s) error: %s\n", name, strerror(err));
		break;
	case mode::link_file:
		printf("link(%s, %s) error: %s\n", target, name, strerror(err));
		break;
	}
}

double seconds_since(const struct timespec &t0)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<double>(t.tv_sec - t0.tv_sec) +
	       static_cast<double>(t.tv_nsec - t0.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	int rc = MPI_Init(&argc, &argv);
	if (rc != MPI_SUCCESS)
		fatal(-1, -1, "MPI_Init failed: %d\n", rc);
	if (argc != 4 && argc != 5)
		usage_exit(argv[0]);
	mode m;
	const char *target = nullptr;
	if (!parse_mode(argv[1], m, target))
		usage_exit(argv[0]);
	if (strlen(argv[2]) > NAME_MAX_FMT)
		say_exit("name too long");
	// Numbers are whole texts: a word would be a count of 0, a run of
	// no seconds that creates nothing and succeeds.
	long long index = 0, count;
	if ((argc == 5 &&
	     !fstest::parse_number(argv[3], LLONG_MIN, LLONG_MAX, index)) ||
	    !fstest::parse_number(argv[argc - 1], LLONG_MIN, LLONG_MAX, count))
		usage_exit(argv[0]);

	int rank = 0;
	if ((rc = MPI_Comm_rank(MPI_COMM_WORLD, &rank)) != MPI_SUCCESS)
		fatal(-1, -1, "MPI_Comm_rank failed: %d\n", rc);
	if ((rc = MPI_Barrier(MPI_COMM_WORLD)) != MPI_SUCCESS)
		fatal(rank, -1, "prep MPI_Barrier failed: %d\n", rc);

	time_t start = time(nullptr), last = start;
	struct timespec t0;
	clock_gettime(CLOCK_MONOTONIC, &t0);
	bool has_deadline = count <= 0;
	// The end index, unless the run is timed or the sum would not fit.
	long long end = 0;
	bool has_end =
	        !has_deadline && !__builtin_add_overflow(index, count, &end);
	long long deadline = LLONG_MAX;
	if (has_deadline &&
	    __builtin_sub_overflow(static_cast<long long>(start), count,
	                           &deadline))
		deadline = LLONG_MAX;

	std::string fmt = argv[2];
	if (fmt.find('%') == std::string::npos)
		fmt += "%d";
	std::string name_fmt;
	if (!index_format(fmt, name_fmt))
		say_exit("name format must hold one integer conversion");
	printf("starting at %s", ctime(&start));

	long long created = 0;
	int status = 0;
	for (;;) {
		if (has_deadline && time(nullptr) >= deadline)
			break;
		char name[NAME_BUF];
		int n = snprintf(name, sizeof name, name_fmt.c_str(), index);
		int err = 0;
		if (n < 0 || static_cast<size_t>(n) >= sizeof name)
			err = ENAMETOOLONG;
		else if (create(m, target, name) < 0)
			err = errno;
		if (err) {
			report_failure(m, target, name, err);
			status = err;
			break;
		}
		if (created % 10000 == 0) {
			time_t now = time(nullptr);
			printf(" - created %lld (time %ld total %ld last "
			       "%ld)\n",
			       created, static_cast<long>(now),
			       static_cast<long>(now - start),
			       static_cast<long>(now - last));
			last = now;
		}
		index++;
		created++;
		if (has_end && index == end)
			break;
	}

	time_t now = time(nullptr);
	// Over the elapsed time itself: a run shorter than a second has a rate.
	double elapsed = seconds_since(t0);
	float rate = elapsed > 0 ? static_cast<float>(created / elapsed) : 0.0f;
	printf("total: %lld creates in %ld seconds: %f creates/second\n",
	       created, static_cast<long>(now - start), rate);
	printf("finish at %s", ctime(&now));
	MPI_Finalize();
	return status;
}
