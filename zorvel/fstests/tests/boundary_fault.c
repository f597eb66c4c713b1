/* A file system that now and then corrupts the byte a client writes at the
 * start of its range of a shared file, where its range meets the one of the
 * client before it: preloaded into the ranks of chunkwrite by its tests.
 *
 *   BOUNDARY_FAULT_FILE   the shared file (its device and inode are taken
 *                         at the first write that could match)
 *   BOUNDARY_FAULT_EVERY  N: of this process's writes of one byte or more
 *                         into that file at an offset above 0, every N-th
 *                         lands its first byte with the letter case flipped
 *                         (a short write of that one byte)
 *
 * Every other write is the C library's. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

typedef ssize_t (*write_fn)(int, const void *, size_t);

static write_fn real_write;
static long every = -1; /* -1: not read yet; 0: off */
static long seen;
static dev_t file_dev;
static ino_t file_ino;
static int have_file;

static void setup(void)
{
	const char *n = getenv("BOUNDARY_FAULT_EVERY");
	every = n ? strtol(n, NULL, 10) : 0;
	if (every < 0)
		every = 0;
}

static int is_the_file(int fd)
{
	struct stat st;
	if (!have_file) {
		const char *path = getenv("BOUNDARY_FAULT_FILE");
		if (!path || stat(path, &st) < 0)
			return 0;
		file_dev = st.st_dev;
		file_ino = st.st_ino;
		have_file = 1;
	}
	return fstat(fd, &st) == 0 && st.st_dev == file_dev &&
	       st.st_ino == file_ino;
}

EXPORT ssize_t write(int fd, const void *buf, size_t n)
{
	if (!real_write)
		real_write = (write_fn)dlsym(RTLD_NEXT, "write");
	if (every < 0)
		setup();
	if (every == 0 || n == 0 || fd <= 2 || !is_the_file(fd) ||
	    lseek(fd, 0, SEEK_CUR) <= 0 || ++seen % every != 0)
		return real_write(fd, buf, n);
	char bad = (char)(((const char *)buf)[0] ^ 0x20);
	return real_write(fd, &bad, 1);
}
