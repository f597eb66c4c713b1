// The C library's own entry points behind the interposed ones: one table,
// resolved once with dlsym(RTLD_NEXT, ...). A missing entry point is null;
// callers answer ENOSYS through call() below.
#pragma once

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <glob.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <type_traits>

struct file_handle;

namespace zvsim::real
{

using errfunc_fn = int (*)(const char *, int);

// X(name, return type, parameter list): every libc function the simulator
// interposes and reaches again underneath.
#define ZVSIM_LIBC_FUNCTIONS(X)                                                \
	X(open, int, (const char *, int, ...))                                 \
	X(open64, int, (const char *, int, ...))                               \
	X(openat, int, (int, const char *, int, ...))                          \
	X(openat64, int, (int, const char *, int, ...))                        \
	X(__open_2, int, (const char *, int))                                  \
	X(__open64_2, int, (const char *, int))                                \
	X(__openat_2, int, (int, const char *, int))                           \
	X(__openat64_2, int, (int, const char *, int))                         \
	X(fopen, FILE *, (const char *, const char *))                         \
	X(fopen64, FILE *, (const char *, const char *))                       \
	X(opendir, DIR *, (const char *))                                      \
	X(mkstemp, int, (char *))                                              \
	X(mkostemp, int, (char *, int))                                        \
	X(mkstemps, int, (char *, int))                                        \
	X(mkostemps, int, (char *, int, int))                                  \
	X(mkdtemp, char *, (char *))                                           \
	X(poll, int, (struct pollfd *, nfds_t, int))                           \
	X(ppoll, int,                                                          \
	  (struct pollfd *, nfds_t, const struct timespec *,                   \
	   const sigset_t *))                                                  \
	X(select, int, (int, fd_set *, fd_set *, fd_set *, struct timeval *))  \
	X(pselect, int,                                                        \
	  (int, fd_set *, fd_set *, fd_set *, const struct timespec *,         \
	   const sigset_t *))                                                  \
	X(read, ssize_t, (int, void *, size_t))                                \
	X(write, ssize_t, (int, const void *, size_t))                         \
	X(pread, ssize_t, (int, void *, size_t, off_t))                        \
	X(pread64, ssize_t, (int, void *, size_t, off64_t))                    \
	X(pwrite, ssize_t, (int, const void *, size_t, off_t))                 \
	X(pwrite64, ssize_t, (int, const void *, size_t, off64_t))             \
	X(fallocate, int, (int, int, off_t, off_t))                            \
	X(fallocate64, int, (int, int, off64_t, off64_t))                      \
	X(fstat, int, (int, struct stat *))                                    \
	X(fstat64, int, (int, struct stat64 *))                                \
	X(vfork, pid_t, (void))                                                \
	X(lseek, off_t, (int, off_t, int))                                     \
	X(lseek64, off64_t, (int, off64_t, int))                               \
	X(close, int, (int))                                                   \
	X(dup, int, (int))                                                     \
	X(dup2, int, (int, int))                                               \
	X(dup3, int, (int, int, int))                                          \
	X(fcntl, int, (int, int, ...))                                         \
	X(fcntl64, int, (int, int, ...))                                       \
	X(close_range, int, (unsigned, unsigned, int))                         \
	X(closefrom, void, (int))                                              \
	X(fclose, int, (FILE *))                                               \
	X(__chk_fail, void, ())                                                \
	X(mkdir, int, (const char *, mode_t))                                  \
	X(mkdirat, int, (int, const char *, mode_t))                           \
	X(mknod, int, (const char *, mode_t, dev_t))                           \
	X(mknodat, int, (int, const char *, mode_t, dev_t))                    \
	X(mkfifo, int, (const char *, mode_t))                                 \
	X(mkfifoat, int, (int, const char *, mode_t))                          \
	X(symlink, int, (const char *, const char *))                          \
	X(symlinkat, int, (const char *, int, const char *))                   \
	X(link, int, (const char *, const char *))                             \
	X(linkat, int, (int, const char *, int, const char *, int))            \
	X(unlink, int, (const char *))                                         \
	X(unlinkat, int, (int, const char *, int))                             \
	X(rmdir, int, (const char *))                                          \
	X(rename, int, (const char *, const char *))                           \
	X(renameat, int, (int, const char *, int, const char *))               \
	X(renameat2, int, (int, const char *, int, const char *, unsigned))    \
	X(glob, int, (const char *, int, errfunc_fn, glob_t *))                \
	X(glob64, int, (const char *, int, errfunc_fn, glob64_t *))            \
	X(stat, int, (const char *, struct stat *))                            \
	X(lstat, int, (const char *, struct stat *))                           \
	X(stat64, int, (const char *, struct stat64 *))                        \
	X(lstat64, int, (const char *, struct stat64 *))                       \
	X(fstatat, int, (int, const char *, struct stat *, int))               \
	X(fstatat64, int, (int, const char *, struct stat64 *, int))           \
	X(statx, int, (int, const char *, int, unsigned, struct statx *))      \
	X(access, int, (const char *, int))                                    \
	X(faccessat, int, (int, const char *, int, int))                       \
	X(statfs, int, (const char *, struct statfs *))                        \
	X(statfs64, int, (const char *, struct statfs64 *))                    \
	X(chmod, int, (const char *, mode_t))                                  \
	X(fchmod, int, (int, mode_t))                                          \
	X(fchmodat, int, (int, const char *, mode_t, int))                     \
	X(chown, int, (const char *, uid_t, gid_t))                            \
	X(lchown, int, (const char *, uid_t, gid_t))                           \
	X(fchown, int, (int, uid_t, gid_t))                                    \
	X(fchownat, int, (int, const char *, uid_t, gid_t, int))               \
	X(utimensat, int, (int, const char *, const struct timespec *, int))   \
	X(futimens, int, (int, const struct timespec *))                       \
	X(truncate, int, (const char *, off_t))                                \
	X(truncate64, int, (const char *, off64_t))                            \
	X(ftruncate, int, (int, off_t))                                        \
	X(ftruncate64, int, (int, off64_t))                                    \
	X(setxattr, int,                                                       \
	  (const char *, const char *, const void *, size_t, int))             \
	X(lsetxattr, int,                                                      \
	  (const char *, const char *, const void *, size_t, int))             \
	X(fsetxattr, int, (int, const char *, const void *, size_t, int))      \
	X(getxattr, ssize_t, (const char *, const char *, void *, size_t))     \
	X(lgetxattr, ssize_t, (const char *, const char *, void *, size_t))    \
	X(fgetxattr, ssize_t, (int, const char *, void *, size_t))             \
	X(listxattr, ssize_t, (const char *, char *, size_t))                  \
	X(llistxattr, ssize_t, (const char *, char *, size_t))                 \
	X(flistxattr, ssize_t, (int, char *, size_t))                          \
	X(setmntent, FILE *, (const char *, const char *))                     \
	X(mount, int,                                                          \
	  (const char *, const char *, const char *, unsigned long,            \
	   const void *))                                                      \
	X(ioctl, int, (int, unsigned long, ...))                               \
	X(name_to_handle_at, int,                                              \
	  (int, const char *, struct file_handle *, int *, int))

#define ZVSIM_REAL_FIELD(name, ret, params) ret(*name) params;
struct Table {
	ZVSIM_LIBC_FUNCTIONS(ZVSIM_REAL_FIELD)
};
#undef ZVSIM_REAL_FIELD

namespace detail
{
extern Table table;
extern bool loaded; // table is whole
const Table &load();
} // namespace detail

// Resolved on first use; after that a load and a test, inline, since
// every interposed call comes here.
inline const Table &fns()
{
	if (__builtin_expect(__atomic_load_n(&detail::loaded, __ATOMIC_ACQUIRE),
	                     1))
		return detail::table;
	return detail::load();
}

// What a failed call returns: -1, or null for pointer results.
template <typename R>
constexpr R failure()
{
	if constexpr (std::is_pointer_v<R>)
		return nullptr;
	else
		return static_cast<R>(-1);
}

// Calls the libc function, or fails with ENOSYS when this C library has
// none (the one fallback for every wrapper).
template <typename R, typename... P, typename... A>
R call(R (*fn)(P...), A &&...args)
{
	if (fn)
		return fn(static_cast<A &&>(args)...);
	errno = ENOSYS;
	return failure<R>();
}

template <typename R, typename... P, typename... A>
R call(R (*fn)(P..., ...), A &&...args)
{
	if (fn)
		return fn(static_cast<A &&>(args)...);
	errno = ENOSYS;
	return failure<R>();
}

} // namespace zvsim::real
