/* A file system made to misbehave, for the test programs' tests: preloaded
 * into one program (FSFAULT_PROG, its short name), it gives that program's
 * calls on regular files the faults named in FSFAULT, comma-separated:
 *
 *   falloc-noextend  fallocate reports success and does nothing
 *   seek-hole-here   SEEK_HOLE answers the offset it was asked from, as if
 *                    a hole began there
 *   short-write      a write of more than one byte writes half of it
 *   read-fail        a read fails with EIO
 *   mmap-fail        mapping a file fails with ENODEV, as where the file
 *                    system cannot map
 *   stale:PREFIX     a file opened through a path starting with PREFIX
 *                    keeps answering preads with what its first pread read
 *   term-at:N        the program's N-th pwrite (on a file it opened)
 *                    raises SIGTERM instead, as an operator stops a
 *                    program that runs until it is stopped
 *
 * Every other call, and every call of another program, is the C
 * library's. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#define EXPORT      __attribute__((visibility("default")))
#define MAX_FD      1024
#define STALE_BYTES 64

static int on_falloc, on_seek_hole, on_short_write, on_read_fail, on_mmap_fail;
static long term_at; /* 0: never */
static char stale_prefix[4096];
static unsigned char seen_fd[MAX_FD];    /* opened by the program */
static unsigned char stale_fd[MAX_FD];   /* opened through the prefix */
static unsigned char stale_have[MAX_FD]; /* first pread kept */
static unsigned char stale_data[MAX_FD][STALE_BYTES];
static size_t stale_len[MAX_FD];

__attribute__((constructor)) static void fsfault_init(void)
{
	const char *prog = getenv("FSFAULT_PROG");
	const char *spec = getenv("FSFAULT");
	if (!prog || !spec || strcmp(prog, program_invocation_short_name) != 0)
		return;
	char *copy = strdup(spec), *save = NULL;
	for (char *t = copy ? strtok_r(copy, ",", &save) : NULL; t;
	     t = strtok_r(NULL, ",", &save)) {
		if (strcmp(t, "falloc-noextend") == 0)
			on_falloc = 1;
		else if (strcmp(t, "seek-hole-here") == 0)
			on_seek_hole = 1;
		else if (strcmp(t, "short-write") == 0)
			on_short_write = 1;
		else if (strcmp(t, "read-fail") == 0)
			on_read_fail = 1;
		else if (strcmp(t, "mmap-fail") == 0)
			on_mmap_fail = 1;
		else if (strncmp(t, "term-at:", 8) == 0)
			term_at = strtol(t + 8, NULL, 10);
		else if (strncmp(t, "stale:", 6) == 0)
			snprintf(stale_prefix, sizeof(stale_prefix), "%s",
			         t + 6);
	}
	free(copy);
}

static void *next(const char *name)
{
	return dlsym(RTLD_NEXT, name);
}

static int regular(int fd)
{
	struct stat st;
	return fd > 2 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

static int opened(int fd, const char *path)
{
	if (fd >= 0 && fd < MAX_FD)
		seen_fd[fd] = 1;
	if (fd >= 0 && fd < MAX_FD && stale_prefix[0]) {
		stale_fd[fd] =
		        strncmp(path, stale_prefix, strlen(stale_prefix)) == 0;
		stale_have[fd] = 0;
	}
	return fd;
}

EXPORT int open(const char *path, int flags, ...)
{
	static int (*fn)(const char *, int, ...);
	if (!fn)
		fn = next("open");
	va_list ap;
	va_start(ap, flags);
	mode_t mode = (flags & O_CREAT) ? va_arg(ap, mode_t) : 0;
	va_end(ap);
	return opened(fn(path, flags, mode), path);
}

EXPORT int open64(const char *path, int flags, ...)
{
	static int (*fn)(const char *, int, ...);
	if (!fn)
		fn = next("open64");
	va_list ap;
	va_start(ap, flags);
	mode_t mode = (flags & O_CREAT) ? va_arg(ap, mode_t) : 0;
	va_end(ap);
	return opened(fn(path, flags, mode), path);
}

static int fake_falloc(int fd)
{
	return on_falloc && regular(fd);
}

EXPORT int fallocate(int fd, int mode, off_t off, off_t len)
{
	static int (*fn)(int, int, off_t, off_t);
	if (!fn)
		fn = next("fallocate");
	return fake_falloc(fd) ? 0 : fn(fd, mode, off, len);
}

EXPORT int fallocate64(int fd, int mode, off64_t off, off64_t len)
{
	static int (*fn)(int, int, off64_t, off64_t);
	if (!fn)
		fn = next("fallocate64");
	return fake_falloc(fd) ? 0 : fn(fd, mode, off, len);
}

EXPORT off_t lseek(int fd, off_t off, int whence)
{
	static off_t (*fn)(int, off_t, int);
	if (!fn)
		fn = next("lseek");
	if (whence == SEEK_HOLE && on_seek_hole && regular(fd))
		return off;
	return fn(fd, off, whence);
}

EXPORT off64_t lseek64(int fd, off64_t off, int whence)
{
	return lseek(fd, off, whence);
}

EXPORT ssize_t write(int fd, const void *buf, size_t n)
{
	static ssize_t (*fn)(int, const void *, size_t);
	if (!fn)
		fn = next("write");
	if (on_short_write && n > 1 && regular(fd))
		n /= 2;
	return fn(fd, buf, n);
}

EXPORT ssize_t read(int fd, void *buf, size_t n)
{
	static ssize_t (*fn)(int, void *, size_t);
	if (!fn)
		fn = next("read");
	if (on_read_fail && regular(fd)) {
		errno = EIO;
		return -1;
	}
	return fn(fd, buf, n);
}

EXPORT ssize_t pread(int fd, void *buf, size_t n, off_t off)
{
	static ssize_t (*fn)(int, void *, size_t, off_t);
	if (!fn)
		fn = next("pread");
	if (fd < 0 || fd >= MAX_FD || !stale_fd[fd] || n > STALE_BYTES)
		return fn(fd, buf, n, off);
	if (!stale_have[fd]) {
		ssize_t r = fn(fd, stale_data[fd], n, off);
		if (r < 0)
			return r;
		stale_len[fd] = r;
		stale_have[fd] = 1;
	}
	size_t k = stale_len[fd] < n ? stale_len[fd] : n;
	memcpy(buf, stale_data[fd], k);
	return k;
}

EXPORT ssize_t pread64(int fd, void *buf, size_t n, off64_t off)
{
	return pread(fd, buf, n, off);
}

EXPORT ssize_t pwrite(int fd, const void *buf, size_t n, off_t off)
{
	static ssize_t (*fn)(int, const void *, size_t, off_t);
	static long count; /* only on the program's own files */
	if (!fn)
		fn = next("pwrite");
	if (term_at && fd >= 0 && fd < MAX_FD && seen_fd[fd] &&
	    ++count == term_at)
		raise(SIGTERM);
	return fn(fd, buf, n, off);
}

EXPORT ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off)
{
	return pwrite(fd, buf, n, off);
}

EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd,
                  off_t off)
{
	static void *(*fn)(void *, size_t, int, int, int, off_t);
	if (!fn)
		fn = next("mmap");
	if (on_mmap_fail && regular(fd)) {
		errno = ENODEV;
		return MAP_FAILED;
	}
	return fn(addr, len, prot, flags, fd, off);
}
