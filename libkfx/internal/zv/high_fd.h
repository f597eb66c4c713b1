/*
 * Descriptors the libraries open never take the numbers 0, 1 and 2. A
 * caller that closed a standard stream leaves its number free, and a file
 * opened there would receive whatever the process then writes to that
 * stream: our own error messages first of all. Every open, pipe and stream
 * of the libraries goes through these helpers, which move such a
 * descriptor up and keep its close-on-exec flag.
 *
 * Internal to the libraries; not installed.
 */
#ifndef ZV_INTERNAL_HIGH_FD_H
#define ZV_INTERNAL_HIGH_FD_H

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace zv
{

/* The lowest number a descriptor of ours may have. */
constexpr int first_high_fd = STDERR_FILENO + 1;

/* A duplicate of fd numbered first_high_fd or more, close-on-exec when fd
 * is; -1 with errno when none can be made. */
inline int dup_high(int fd) noexcept
{
	int fd_flags = fcntl(fd, F_GETFD);
	bool cloexec = fd_flags > 0 && (fd_flags & FD_CLOEXEC);
	return fcntl(fd, cloexec ? F_DUPFD_CLOEXEC : F_DUPFD, first_high_fd);
}

/* fd itself when it is negative (a failed open passes through) or above
 * the standard streams; otherwise its duplicate there, fd being closed.
 * -1 with errno when no duplicate can be made (fd is closed then too). */
inline int high_fd(int fd) noexcept
{
	if (fd < 0 || fd >= first_high_fd)
		return fd;
	int high = dup_high(fd);
	int saved = errno;
	close(fd);
	errno = saved;
	return high;
}

/* open() whose descriptor is above the standard streams. */
inline int open_high(const char *path, int flags, mode_t mode = 0) noexcept
{
	return high_fd(open(path, flags, mode));
}

/* pipe() whose two ends are above the standard streams: 0, or -1 with
 * errno and nothing left open. */
inline int pipe_high(int fds[2]) noexcept
{
	if (pipe(fds) != 0)
		return -1;
	fds[0] = high_fd(fds[0]);
	if (fds[0] >= 0)
		fds[1] = high_fd(fds[1]);
	else
		close(fds[1]);
	if (fds[0] >= 0 && fds[1] >= 0)
		return 0;
	int saved = errno;
	if (fds[0] >= 0)
		close(fds[0]);
	errno = saved;
	return -1;
}

/* A stream whose descriptor is above the standard streams: f itself, or
 * a new stream of the same mode (the one f was opened with) on a duplicate
 * there, f being closed. NULL (errno set) when f is NULL or cannot be
 * moved. Call it before anything is read or written through f. */
inline FILE *high_stream(FILE *f, const char *mode) noexcept
{
	if (f == nullptr)
		return nullptr;
	int fd = fileno(f);
	if (fd < 0 || fd >= first_high_fd)
		return f;
	int high = dup_high(fd);
	FILE *moved = high >= 0 ? fdopen(high, mode) : nullptr;
	int saved = errno;
	if (moved == nullptr && high >= 0)
		close(high);
	fclose(f);
	errno = saved;
	return moved;
}

} // namespace zv

#endif /* ZV_INTERNAL_HIGH_FD_H */
