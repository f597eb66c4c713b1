/* chmodder: one chmod with an octal mode. */
#include "fstest.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	if (argc != 3) {
		printf("usage: %s mode name\n", argv[0]);
		return 1;
	}
	// A mode that is not all octal digits would take every permission
	// away, and one above 7777 would lose its high digits and keep the
	// setuid, setgid and sticky bits: both are refused.
	long long mode;
	if (!fstest::parse_number(argv[1], 0, 07777, mode, 8)) {
		fprintf(stderr, "%s: invalid mode '%s'\n", argv[0], argv[1]);
		return 1;
	}
	if (chmod(argv[2], static_cast<mode_t>(mode)) < 0)
		return errno;
	return 0;
}
