/* chmodder: one chmod with an octal mode. */
#include "fstest.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

int main(int argc, char **argv)
{
	if (argc != 3) {
		printf("usage: %s mode name\n", argv[0]);
		return 1;
	}
	// A mode that is not all octal digits would take every permission
	// away; it is refused instead.
	uint32_t mode;
	if (!fstest::parse_u32(argv[1], mode, 8)) {
		fprintf(stderr, "%s: invalid mode '%s'\n", argv[0], argv[1]);
		return 1;
	}
	if (chmod(argv[2], mode) < 0)
		return errno;
	return 0;
}
