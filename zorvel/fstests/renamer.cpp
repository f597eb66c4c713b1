/* renamer: one rename, with its result and the text of its errno. */
#include "fstest.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	if (argc != 3) {
		fprintf(stderr, "usage: %s from to\n", argv[0]);
		return 1;
	}
	// Cleared first, so that a success reads as one.
	errno = 0;
	int rc = rename(argv[1], argv[2]);
	const char *text = strerror(errno);
	printf("rename returned %d: %s\n", rc, text);
	return rc;
}
