/* seekprobe: where SEEK_HOLE or SEEK_DATA lands from a given offset. */
#include "fstest.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

namespace
{

void usage(const char *prog)
{
	fprintf(stderr,
	        "Usage: %s [option] <start> <filename>\n"
	        "\twhere options are:\n"
	        "\t--hole|-l seek first hole offset after given offset\n"
	        "\t--data|-d seek first data offset after given offset\n",
	        prog);
}

// The argument that held the option getopt just refused: the one it is
// still reading, or the one it has just left.
const char *refused_argument(int argc, char **argv)
{
	if (optopt == 0 || optind >= argc)
		return argv[optind - 1];
	const char *prev = argv[optind - 1];
	size_t len = strlen(prev);
	if (optind - 1 > 0 && prev[0] == '-' && len > 1 &&
	    prev[len - 1] == optopt)
		return prev;
	return argv[optind];
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	static const struct option longopts[] = {
	        {"hole", no_argument, nullptr, 'l'},
	        {"data", no_argument, nullptr, 'd'},
	        {nullptr, 0, nullptr, 0},
	};
	int whence = SEEK_HOLE;
	int c;
	optind = 0;
	opterr = 0;
	while ((c = getopt_long(argc, argv, "ld", longopts, nullptr)) != -1) {
		switch (c) {
		case 'l':
			whence = SEEK_HOLE;
			break;
		case 'd':
			whence = SEEK_DATA;
			break;
		default:
			fprintf(stderr, "error: %s: unknown option '%s'\n",
			        argv[0], refused_argument(argc, argv));
			return -1;
		}
	}
	if (argc - optind < 2) {
		usage(argv[0]);
		return -1;
	}
	// An offset that is not all digits would seek from 0.
	long long start;
	if (!fstest::parse_number(argv[optind], LLONG_MIN, LLONG_MAX, start,
	                          10)) {
		fprintf(stderr, "error: %s: bad start offset '%s'\n", argv[0],
		        argv[optind]);
		return -1;
	}
	const char *file = argv[optind + 1];
	int fd = open(file, O_RDONLY);
	if (fd < 0) {
		fprintf(stderr, "cannot open %s for reading, error %d", file,
		        errno);
		return -1;
	}
	off_t off = lseek(fd, start, whence);
	int err = errno;
	close(fd);
	if (off < 0) {
		fprintf(stderr, "lseek to %jd failed with %d\n",
		        (intmax_t)start, err);
		return -1;
	}
	printf("%jd\n", (intmax_t)off);
	return 0;
}
