// The libc entry points behind the interposed ones, and small system-call
// helpers the simulator uses for its own files. The simulator never calls
// its own interposed symbols: its own opens go straight to the kernel.
#pragma once

#include <cstdio>
#include <dirent.h>
#include <glob.h>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
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
using fopen_fn = FILE *(*)(const char *, const char *);
using stat_fn = int (*)(const char *, struct stat *);
using stat64_fn = int (*)(const char *, struct stat64 *);
using fstatat_fn = int (*)(int, const char *, struct stat *, int);
using fstatat64_fn = int (*)(int, const char *, struct stat64 *, int);
using statx_fn = int (*)(int, const char *, int, unsigned, struct statx *);
using access_fn = int (*)(const char *, int);
using faccessat_fn = int (*)(int, const char *, int, int);
using opendir_fn = DIR *(*)(const char *);
using errfunc_fn = int (*)(const char *, int);
using glob_fn = int (*)(const char *, int, errfunc_fn, glob_t *);
using glob64_fn = int (*)(const char *, int, errfunc_fn, glob64_t *);
using statfs_fn = int (*)(const char *, struct statfs *);
using statfs64_fn = int (*)(const char *, struct statfs64 *);
using mount_fn = int (*)(const char *, const char *, const char *,
                         unsigned long, const void *);

struct Table {
	open_fn open, open64;
	openat_fn openat, openat64;
	open2_fn open_2, open64_2;
	openat2_fn openat_2, openat64_2;
	ioctl_fn ioctl;
	nth_fn name_to_handle_at;
	setmntent_fn setmntent;
	fopen_fn fopen, fopen64;
	stat_fn stat, lstat;
	stat64_fn stat64, lstat64;
	fstatat_fn fstatat;
	fstatat64_fn fstatat64;
	statx_fn statx;
	access_fn access;
	faccessat_fn faccessat;
	opendir_fn opendir;
	glob_fn glob;
	glob64_fn glob64;
	statfs_fn statfs;
	statfs64_fn statfs64;
	mount_fn mount;
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
