// File calls on the kernel's parameter trees, the debug file system and the
// mount-table file, answered from the state directory. Paths outside the
// trees go to libc unchanged; paths inside never reach the host's /sys or
// /proc, so a host that has such trees cannot leak into a simulation.
#include "chlg.h"
#include "control.h"
#include "fopenmode.h"
#include "guard.h"
#include "params.h"
#include "real.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <type_traits>
#include <unistd.h>

#include <zvsim/zvsim.h>

#define ZV_EXPORT extern "C" __attribute__((visibility("default")))

namespace zvsim
{
namespace
{

bool simulating()
{
	return !sys::Reentry::inside() && ::getenv(ZVSIM_STATE_ENV) != nullptr;
}

template <typename R>
R no_symbol(R fail)
{
	errno = ENOSYS;
	return fail;
}

// Runs fn on the state path standing for path when path lies in the trees
// (or is /etc/mtab, with mtab set). False: the caller goes to libc.
template <typename R, typename Fn>
bool redirect(const char *path, bool mtab, R fail, R &result, Fn &&fn) noexcept
{
	try {
		sys::Reentry guard;
		ConfigPtr cfg = current();
		if (!cfg)
			return false;
		std::string mapped;
		Where w = mtab && map_mtab(*cfg, path, mapped)
		                  ? Where::Mapped
		                  : map_param(*cfg, path, mapped);
		if (w == Where::Outside)
			return false;
		if (w == Where::Hidden) {
			errno = ENOENT;
			result = fail;
		} else {
			result = fn(mapped.c_str());
		}
		return true;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
	} catch (...) {
		errno = EIO;
	}
	result = fail;
	return true;
}

// An open of a parameter file. The kernel creates no parameters, so a
// creating open of a missing one fails; a write-only open starts the value
// afresh, as a written parameter takes the whole write as its value.
int open_mapped(const char *mapped, int flags, mode_t mode)
{
	if ((flags & O_TMPFILE) == O_TMPFILE)
		return -EOPNOTSUPP;
	if (flags & O_CREAT) {
		struct stat st;
		if (real::fns().lstat(mapped, &st) == 0) {
			if (flags & O_EXCL)
				return -EEXIST;
			flags &= ~(O_CREAT | O_EXCL);
		} else if (errno != ENOENT) {
			return -errno;
		} else {
			std::string parent = mapped;
			parent.resize(parent.find_last_of('/') + 1);
			return real::fns().stat(parent.c_str(), &st) == 0
			               ? -EACCES
			               : -ENOENT;
		}
	}
	if ((flags & O_ACCMODE) == O_WRONLY)
		flags |= O_TRUNC;
	int fd = real::fns().openat(AT_FDCWD, mapped, flags, mode);
	return fd < 0 ? -errno : fd;
}

FILE *fopen_mapped(const char *mapped, const char *mode)
{
	int flags;
	std::string base;
	if (!parse_fopen_mode(mode, flags, &base)) {
		errno = EINVAL;
		return nullptr;
	}
	int fd = open_mapped(mapped, flags, 0666);
	if (fd < 0) {
		errno = -fd;
		return nullptr;
	}
	FILE *fp = ::fdopen(fd, base.c_str());
	if (!fp) {
		int err = errno;
		::close(fd);
		errno = err;
	}
	return fp;
}

FILE *sim_fopen(const char *path, const char *mode, real::fopen_fn fn)
{
	FILE *fp;
	if (path && mode && param_candidate(path) && simulating() &&
	    redirect<FILE *>(path, false, nullptr, fp, [&](const char *m) {
		    return fopen_mapped(m, mode);
	    }))
		return fp;
	// A stream creating a file in the mount makes a change-log record.
	return fn ? chlg::fopen_hook(path, mode, fn)
	          : no_symbol<FILE *>(nullptr);
}

template <typename S>
int sim_stat(const char *path, S *buf, bool mtab, int (*fn)(const char *, S *))
{
	int rc;
	if (param_candidate(path, mtab) && simulating() &&
	    redirect(path, mtab, -1, rc, [&](const char *m) {
		    return fn ? fn(m, buf) : no_symbol(-1);
	    }))
		return rc;
	return fn ? fn(path, buf) : no_symbol(-1);
}

template <typename S>
int sim_fstatat(int dirfd, const char *path, S *buf, int flags,
                int (*fn)(int, const char *, S *, int))
{
	int rc;
	if (param_candidate(path, true) && simulating() &&
	    redirect(path, true, -1, rc, [&](const char *m) {
		    return fn ? fn(AT_FDCWD, m, buf, flags) : no_symbol(-1);
	    }))
		return rc;
	return fn ? fn(dirfd, path, buf, flags) : no_symbol(-1);
}

// --- the debug file system ------------------------------------------------

// f_flags carries valid mount flags (the kernel's ST_VALID).
constexpr unsigned long VALID_FLAG = 0x0020;

bool is_debugfs_dir(const char *path)
{
	return path && path[0] == '/' && std::strstr(path, "debug") &&
	       normalize_path(path) == DEBUGFS_DIR;
}

// statfs of /sys/kernel/debug: the debug file system when mounted, else
// the empty sysfs directory it is mounted on.
template <typename S>
bool sim_statfs(const char *path, S *buf, int &result) noexcept
{
	return guarded(result, [&] {
		if (!simulating() || !is_debugfs_dir(path))
			return false;
		sys::Reentry guard;
		ConfigPtr cfg = current();
		if (!cfg)
			return false;
		int rc = serve(*cfg, norm_code(ZVSIM_REQ_STATFS), 0, path, buf,
		               sizeof *buf, [&] {
			               if (!buf)
				               return -EFAULT;
			               std::memset(buf, 0, sizeof *buf);
			               buf->f_type = debugfs_get(*cfg).mounted
			                                     ? DEBUGFS_MAGIC
			                                     : SYSFS_MAGIC;
			               buf->f_bsize = 4096;
			               buf->f_frsize = 4096;
			               buf->f_namelen = 255;
			               buf->f_flags = VALID_FLAG | ST_NOSUID |
			                              ST_NODEV | ST_NOEXEC |
			                              ST_RELATIME;
			               return 0;
		               });
		result = syscall_result(rc);
		return true;
	});
}

bool sim_mount(const char *source, const char *target, const char *type,
               int &result) noexcept
{
	return guarded(result, [&] {
		if (!simulating() || !is_debugfs_dir(target))
			return false;
		sys::Reentry guard;
		ConfigPtr cfg = current();
		if (!cfg)
			return false;
		std::string text = std::string(source ? source : "") + " " +
		                   target + " " + (type ? type : "");
		int rc = serve(*cfg, norm_code(ZVSIM_REQ_MOUNT), 0, text,
		               nullptr, 0, [&] { return debugfs_mount(*cfg); });
		result = syscall_result(rc);
		return true;
	});
}

// --- glob -----------------------------------------------------------------
// The real glob does the matching, brace expansion and sorting; it reaches
// directories through our functions (GLOB_ALTDIRFUNC), which read the
// trees from the state directory. Result paths keep their kernel form.

thread_local const Config *glob_cfg;

// The path glob should really use; -1 with errno when there is none.
int glob_path(const char *path, std::string &mapped, const char *&use) noexcept
{
	use = path;
	if (!glob_cfg || !param_candidate(path))
		return 0;
	try {
		sys::Reentry guard;
		switch (map_param(*glob_cfg, path, mapped)) {
		case Where::Outside:
			return 0;
		case Where::Hidden:
			errno = ENOENT;
			return -1;
		case Where::Mapped:
			use = mapped.c_str();
			return 0;
		}
	} catch (...) {
		errno = ENOMEM;
	}
	return -1;
}

void *glob_opendir(const char *path)
{
	std::string mapped;
	const char *use;
	if (glob_path(path, mapped, use) < 0)
		return nullptr;
	auto fn = real::fns().opendir;
	return fn ? fn(use) : no_symbol<DIR *>(nullptr);
}

void glob_closedir(void *dir)
{
	::closedir(static_cast<DIR *>(dir));
}

struct dirent *glob_readdir(void *dir)
{
	return ::readdir(static_cast<DIR *>(dir));
}

struct dirent64 *glob_readdir64(void *dir)
{
	return ::readdir64(static_cast<DIR *>(dir));
}

template <typename S, bool Follow>
int glob_stat(const char *path, S *st)
{
	std::string mapped;
	const char *use;
	if (glob_path(path, mapped, use) < 0)
		return -1;
	int (*fn)(const char *, S *);
	if constexpr (std::is_same_v<S, struct stat>)
		fn = Follow ? real::fns().stat : real::fns().lstat;
	else
		fn = Follow ? real::fns().stat64 : real::fns().lstat64;
	return fn ? fn(use, st) : no_symbol(-1);
}

bool glob_touches_trees(const char *pattern)
{
	return std::strstr(pattern, "sys") || std::strstr(pattern, "proc");
}

template <typename G, typename D, typename S>
int hooked_glob(const char *pattern, int flags, real::errfunc_fn errfunc,
                G *pglob, int (*fn)(const char *, int, real::errfunc_fn, G *),
                D *(*readdir_fn)(void *))
{
	if (!fn)
		return GLOB_ABORTED;
	ConfigPtr cfg;
	try {
		sys::Reentry guard;
		cfg = current();
	} catch (...) {
		return GLOB_NOSPACE;
	}
	if (!cfg)
		return fn(pattern, flags, errfunc, pglob);
	// The caller's functions come back afterwards; globfree() never
	// uses them.
	auto closedir_was = pglob->gl_closedir;
	auto readdir_was = pglob->gl_readdir;
	auto opendir_was = pglob->gl_opendir;
	auto lstat_was = pglob->gl_lstat;
	auto stat_was = pglob->gl_stat;
	pglob->gl_closedir = glob_closedir;
	pglob->gl_readdir = readdir_fn;
	pglob->gl_opendir = glob_opendir;
	pglob->gl_lstat = glob_stat<S, false>;
	pglob->gl_stat = glob_stat<S, true>;
	const Config *outer = glob_cfg; // an error callback may glob again
	glob_cfg = cfg.get();
	int rc = fn(pattern, flags | GLOB_ALTDIRFUNC, errfunc, pglob);
	glob_cfg = outer;
	pglob->gl_closedir = closedir_was;
	pglob->gl_readdir = readdir_was;
	pglob->gl_opendir = opendir_was;
	pglob->gl_lstat = lstat_was;
	pglob->gl_stat = stat_was;
	pglob->gl_flags &= ~GLOB_ALTDIRFUNC;
	return rc;
}

} // namespace

bool param_open(const char *path, int flags, unsigned mode, int &result)
{
	if (!param_candidate(path))
		return false;
	int fd;
	if (!redirect(path, false, -1, fd, [&](const char *m) {
		    int rc = open_mapped(m, flags, mode);
		    if (rc < 0)
			    errno = -rc;
		    return rc < 0 ? -1 : rc;
	    }))
		return false;
	result = fd;
	return true;
}

} // namespace zvsim

using namespace zvsim;

ZV_EXPORT FILE *fopen(const char *path, const char *mode)
{
	return sim_fopen(path, mode, real::fns().fopen);
}

ZV_EXPORT FILE *fopen64(const char *path, const char *mode)
{
	return sim_fopen(path, mode, real::fns().fopen64);
}

ZV_EXPORT int stat(const char *path, struct stat *buf) noexcept
{
	return sim_stat(path, buf, true, real::fns().stat);
}

ZV_EXPORT int lstat(const char *path, struct stat *buf) noexcept
{
	return sim_stat(path, buf, true, real::fns().lstat);
}

ZV_EXPORT int stat64(const char *path, struct stat64 *buf) noexcept
{
	return sim_stat(path, buf, true, real::fns().stat64);
}

ZV_EXPORT int lstat64(const char *path, struct stat64 *buf) noexcept
{
	return sim_stat(path, buf, true, real::fns().lstat64);
}

ZV_EXPORT int fstatat(int dirfd, const char *path, struct stat *buf,
                      int flags) noexcept
{
	return sim_fstatat(dirfd, path, buf, flags, real::fns().fstatat);
}

ZV_EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *buf,
                        int flags) noexcept
{
	return sim_fstatat(dirfd, path, buf, flags, real::fns().fstatat64);
}

ZV_EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask,
                    struct statx *buf) noexcept
{
	auto fn = real::fns().statx;
	int rc;
	if (param_candidate(path, true) && simulating() &&
	    redirect(path, true, -1, rc, [&](const char *m) {
		    return fn ? fn(AT_FDCWD, m, flags, mask, buf)
		              : no_symbol(-1);
	    }))
		return rc;
	return fn ? fn(dirfd, path, flags, mask, buf) : no_symbol(-1);
}

ZV_EXPORT int access(const char *path, int mode) noexcept
{
	auto fn = real::fns().access;
	int rc;
	if (param_candidate(path) && simulating() &&
	    redirect(path, false, -1, rc, [&](const char *m) {
		    return fn ? fn(m, mode) : no_symbol(-1);
	    }))
		return rc;
	return fn ? fn(path, mode) : no_symbol(-1);
}

ZV_EXPORT int faccessat(int dirfd, const char *path, int mode,
                        int flags) noexcept
{
	auto fn = real::fns().faccessat;
	int rc;
	if (param_candidate(path) && simulating() &&
	    redirect(path, false, -1, rc, [&](const char *m) {
		    return fn ? fn(AT_FDCWD, m, mode, flags) : no_symbol(-1);
	    }))
		return rc;
	return fn ? fn(dirfd, path, mode, flags) : no_symbol(-1);
}

ZV_EXPORT DIR *opendir(const char *path)
{
	auto fn = real::fns().opendir;
	DIR *dir;
	if (param_candidate(path) && simulating() &&
	    redirect<DIR *>(path, false, nullptr, dir, [&](const char *m) {
		    return fn ? fn(m) : no_symbol<DIR *>(nullptr);
	    }))
		return dir;
	return fn ? fn(path) : no_symbol<DIR *>(nullptr);
}

ZV_EXPORT int glob(const char *pattern, int flags, real::errfunc_fn errfunc,
                   glob_t *pglob) noexcept
{
	auto fn = real::fns().glob;
	if (pattern && pglob && !(flags & GLOB_ALTDIRFUNC) &&
	    glob_touches_trees(pattern) && simulating())
		return hooked_glob<glob_t, struct dirent, struct stat>(
		        pattern, flags, errfunc, pglob, fn, glob_readdir);
	return fn ? fn(pattern, flags, errfunc, pglob) : GLOB_ABORTED;
}

ZV_EXPORT int glob64(const char *pattern, int flags, real::errfunc_fn errfunc,
                     glob64_t *pglob) noexcept
{
	auto fn = real::fns().glob64;
	if (pattern && pglob && !(flags & GLOB_ALTDIRFUNC) &&
	    glob_touches_trees(pattern) && simulating())
		return hooked_glob<glob64_t, struct dirent64, struct stat64>(
		        pattern, flags, errfunc, pglob, fn, glob_readdir64);
	return fn ? fn(pattern, flags, errfunc, pglob) : GLOB_ABORTED;
}

ZV_EXPORT int statfs(const char *path, struct statfs *buf) noexcept
{
	int rc;
	if (sim_statfs(path, buf, rc))
		return rc;
	auto fn = real::fns().statfs;
	return fn ? fn(path, buf) : no_symbol(-1);
}

ZV_EXPORT int statfs64(const char *path, struct statfs64 *buf) noexcept
{
	int rc;
	if (sim_statfs(path, buf, rc))
		return rc;
	auto fn = real::fns().statfs64;
	return fn ? fn(path, buf) : no_symbol(-1);
}

ZV_EXPORT int mount(const char *source, const char *target, const char *type,
                    unsigned long flags, const void *data) noexcept
{
	int rc;
	if (sim_mount(source, target, type, rc))
		return rc;
	auto fn = real::fns().mount;
	return fn ? fn(source, target, type, flags, data) : no_symbol(-1);
}
