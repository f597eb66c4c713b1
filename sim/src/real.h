// The libc entry points behind the interposed ones, and small system-call
// helpers the simulator uses for its own files. The simulator never calls
// its own interposed symbols: its own opens go straight to the kernel.
#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>

struct file_handle;

namespace zvsim::real
{

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);
using open2_fn = int (*)(const char *, int);
using openat2_fn = int (*)(int, const char *, int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using nth_fn = int (*)(int, const char *, struct file_handle *, int *, int);
using setmntent_fn = FILE *(*)(const char *, const char *);

struct Table {
	open_fn open, open64;
	openat_fn openat, openat64;
	open2_fn open_2, open64_2;
	openat2_fn openat_2, openat64_2;
	ioctl_fn ioctl;
	nth_fn name_to_handle_at;
	setmntent_fn setmntent;
};

// Resolved once, on first use, with dlsym(RTLD_NEXT, ...).
const Table &fns();

} // namespace zvsim::real

namespace zvsim::sys
{

// Own-file helpers: results are >= 0 or -errno; errno is left alone.
int open(const char *path, int flags, mode_t mode = 0);
int openat(int dirfd, const char *path, int flags, mode_t mode = 0);
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

// Marks the calling thread as inside the simulator: interposed entry points
// reached from here pass straight to libc.
class Reentry
{
      public:
	Reentry();
	~Reentry();
	Reentry(const Reentry &) = delete;
	Reentry &operator=(const Reentry &) = delete;
	static bool inside();
};

} // namespace zvsim::sys
