/* bytewrite: writes a given number of zero bytes, or, without a count, a
 * labelled 4 KiB block every second until it is stopped. */
#include "fstest.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

constexpr size_t BLOCK = 4096;
char buf[BLOCK];

void usage(const char *prog)
{
	printf("usage: %s [-s] [-b <bytes>] filename\n", prog);
}

// Zeros from the start of the file; writes of 0 bytes are retried.
int write_count(int fd, unsigned long long bytes, bool sync_each)
{
	unsigned long long remaining = bytes;
	do {
		size_t n = remaining < BLOCK ? remaining : BLOCK;
		ssize_t r = write(fd, buf, n);
		if (r < 0)
			return -1;
		if (sync_each)
			sync();
		remaining -= r;
	} while (remaining > 0);
	return 0;
}

[[noreturn]] void write_forever(int fd, bool sync_each)
{
	ssize_t last = 0;
	for (;;) {
		snprintf(buf, sizeof(buf), "write %d\n",
		         static_cast<int>(last));
		last = write(fd, buf, BLOCK);
		if (sync_each)
			sync();
		sleep(1);
	}
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	bool sync_each = false, counted = false;
	unsigned long long bytes = 0;
	int c;
	opterr = 0;
	while ((c = getopt(argc, argv, "sb:")) != -1) {
		long long v;
		switch (c) {
		case 's':
			sync_each = true;
			break;
		case 'b':
			if (!fstest::parse_number(optarg, 0, LLONG_MAX, v,
			                          10)) {
				usage(argv[0]);
				return 1;
			}
			bytes = static_cast<unsigned long long>(v);
			counted = true;
			break;
		default:
			usage(argv[0]);
			return 1;
		}
	}
	if (argc - optind != 1) {
		usage(argv[0]);
		return 1;
	}
	memset(buf, 0, sizeof(buf));
	int fd = open(argv[optind], O_RDWR | O_CREAT, 0600);
	if (fd < 0) {
		printf("Error opening %s\n", argv[optind]);
		return 1;
	}
	if (!counted)
		write_forever(fd, sync_each);
	int rc = write_count(fd, bytes, sync_each);
	close(fd);
	return rc;
}
