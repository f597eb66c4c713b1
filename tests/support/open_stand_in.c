/*
 * open() and open64() for a program that stands in for a device: the one
 * path given to zvtest_open_stand_in() opens a duplicate of the descriptor
 * given with it; every other path goes straight to the kernel.
 */
#define _GNU_SOURCE
#include "zvtest/open_stand_in.h"

#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static char stand_in_path[PATH_MAX];
static int stand_in_fd = -1;

int zvtest_open_stand_in(const char *path, int fd)
{
	if (path == NULL || fd < 0) {
		stand_in_fd = -1;
		return 0;
	}
	if (strlen(path) >= sizeof(stand_in_path))
		return -1;
	strcpy(stand_in_path, path);
	stand_in_fd = fd;
	return 0;
}

__attribute__((visibility("default"))) int open(const char *path, int flags,
                                                ...)
{
	mode_t mode = 0;
	/* The mode is there only when the flags create a file. */
	if (flags & O_CREAT || (flags & O_TMPFILE) == O_TMPFILE) {
		va_list ap;
		va_start(ap, flags);
		mode = va_arg(ap, int);
		va_end(ap);
	}
	if (stand_in_fd >= 0 && strcmp(path, stand_in_path) == 0)
		return dup(stand_in_fd);
	return (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

extern __typeof(open) open64
        __attribute__((alias("open"), visibility("default")));
