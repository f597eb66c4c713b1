// The simulator's own file access: raw system calls that never pass
// through the interposed entry points, and the per-thread re-entry mark.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/types.h>

namespace zvsim::sys
{

// Results are >= 0 or -errno.
//
// A descriptor the simulator opens for itself: close-on-exec, and never 0,
// 1 or 2, which a caller that closed its standard streams would write its
// messages to.
int open(const char *path, int flags, mode_t mode = 0);
int openat(int dirfd, const char *path, int flags, mode_t mode = 0);
// A descriptor moved above 2 (fd when it is there already; closed on
// failure).
int above_stdio(int fd);
// A descriptor handed to the caller as the kernel would open it: the
// number and flags the caller's open asked for.
int open_for_caller(const char *path, int flags, mode_t mode = 0);
int close(int fd);
// Whole-file read; -errno on failure.
int read_file(const std::string &path, std::string &out);
// Write all of data with one write() call where the kernel allows it.
int write_all(int fd, const void *data, size_t len);
// Write a file under a temporary name and rename it into place.
int write_file_atomic(const std::string &path, const std::string &data);
// Target of /proc/self/fd/N, without a trailing " (deleted)" (reported in
// *deleted when given).
int fd_path(int fd, std::string &out, bool *deleted = nullptr);
// Directories of path made as needed; an existing directory is fine.
int mkdir_p(const std::string &path, mode_t mode = 0755);
// A directory opened for reading (a symbolic link is not followed); null
// with errno set on failure.
DIR *open_dir(int dirfd, const char *path);
// A file, a link or a whole directory tree removed.
int remove_all(const std::string &path);

// How deep the calling thread is inside the simulator. Initial-exec: the
// library is loaded with the program (preloaded or linked), so its
// thread's variables are reached without a call. __thread, not
// thread_local: an extern thread_local is reached through a wrapper that
// asks whether it has an initializer to run.
extern __thread int reentry_depth __attribute__((tls_model("initial-exec")));

// Marks the calling thread as inside the simulator: interposed entry points
// reached from here pass straight to libc. Inline: every interposed call
// asks.
class Reentry
{
      public:
	Reentry()
	{
		++reentry_depth;
	}
	~Reentry()
	{
		--reentry_depth;
	}
	Reentry(const Reentry &) = delete;
	Reentry &operator=(const Reentry &) = delete;
	static bool inside()
	{
		return reentry_depth > 0;
	}
};

} // namespace zvsim::sys
