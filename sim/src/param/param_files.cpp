// File calls on the kernel's parameter trees, the debug file system and the
// mount-table file, answered from the state directory. Paths outside the
// trees go to libc unchanged; paths inside never reach the host's /sys or
// /proc, so a host that has such trees cannot leak into a simulation.
#include "param.h"

#include "core/fopenmode.h"
#include "core/real.h"
#include "core/sysio.h"
#include "core/user_memory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <type_traits>
#include <unistd.h>

namespace zvsim::param
{

namespace
{

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
		sys::close(fd);
		errno = err;
	}
	return fp;
}

// --- the debug file system ------------------------------------------------

// f_flags carries valid mount flags (the kernel's ST_VALID).
constexpr unsigned long VALID_FLAG = 0x0020;

bool is_debugfs_dir(const char *path)
{
	return path && path[0] == '/' && std::strstr(path, "debug") &&
	       normalize_path(path) == DEBUGFS_DIR;
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
	return real::call(real::fns().opendir, use);
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
	if constexpr (std::is_same_v<S, struct stat>)
		return real::call(Follow ? real::fns().stat : real::fns().lstat,
		                  use, st);
	else
		return real::call(Follow ? real::fns().stat64
		                         : real::fns().lstat64,
		                  use, st);
}

bool glob_touches_trees(const char *pattern)
{
	return std::strstr(pattern, "sys") || std::strstr(pattern, "proc");
}

// The caller's glob_t is read and written only after a check that it is
// there; its functions come back afterwards (globfree() never uses them).
template <typename G, typename D, typename S>
bool hooked_glob(const char *pattern, int flags, real::errfunc_fn errfunc,
                 G *user_glob,
                 int (*fn)(const char *, int, real::errfunc_fn, G *),
                 D *(*readdir_fn)(void *), int &result)
{
	if ((flags & GLOB_ALTDIRFUNC) || !glob_touches_trees(pattern))
		return false;
	G probe;
	if (copy_from_user(&probe, user_glob, sizeof probe) < 0 ||
	    copy_to_user(user_glob, &probe, sizeof probe) < 0)
		return false; // as the C library would have it
	ConfigPtr cfg;
	try {
		sys::Reentry guard;
		cfg = current();
	} catch (...) {
		result = GLOB_NOSPACE;
		return true;
	}
	if (!cfg || !fn)
		return false;
	G *pglob = user_glob;
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
	result = fn(pattern, flags | GLOB_ALTDIRFUNC, errfunc, pglob);
	glob_cfg = outer;
	pglob->gl_closedir = closedir_was;
	pglob->gl_readdir = readdir_was;
	pglob->gl_opendir = opendir_was;
	pglob->gl_lstat = lstat_was;
	pglob->gl_stat = stat_was;
	pglob->gl_flags &= ~GLOB_ALTDIRFUNC;
	return true;
}

} // namespace

Where resolve(const char *path, bool mtab, std::string &out)
{
	sys::Reentry guard;
	ConfigPtr cfg = current();
	if (!cfg)
		return Where::Outside;
	if (mtab && map_mtab(*cfg, path, out))
		return Where::Mapped;
	return map_param(*cfg, path, out);
}

bool open(OpenCall &call, int &result)
{
	return on_state_path(call.path, false, result, [&](const char *mapped) {
		return syscall_result(
		        open_mapped(mapped, call.flags, call.mode));
	});
}

bool fopen(const char *path, const char *mode, FILE *&result)
{
	return on_state_path(path, false, result, [&](const char *mapped) {
		return fopen_mapped(mapped, mode);
	});
}

bool opendir(const char *path, DIR *&result)
{
	return on_state_path(path, false, result, [](const char *mapped) {
		return real::call(real::fns().opendir, mapped);
	});
}

// statfs of /sys/kernel/debug: the debug file system when mounted, else
// the empty sysfs directory it is mounted on.
bool statfs(const char *path, void *user_buf, size_t size, int &result)
{
	static_assert(sizeof(struct statfs) == sizeof(struct statfs64));
	if (!is_debugfs_dir(path))
		return false;
	sys::Reentry guard;
	ConfigPtr cfg = current();
	if (!cfg)
		return false;
	struct statfs buf;
	bool readable = copy_from_user(&buf, user_buf, size) == 0;
	int rc = request_tail(
	        *cfg, REQ_STATFS, 0, path, &buf, readable ? size : 0, [&] {
		        if (!readable)
			        return -EFAULT;
		        std::memset(&buf, 0, sizeof buf);
		        buf.f_type = debugfs_get(*cfg).mounted ? DEBUGFS_MAGIC
		                                               : SYSFS_MAGIC;
		        buf.f_bsize = 4096;
		        buf.f_frsize = 4096;
		        buf.f_namelen = 255;
		        buf.f_flags = VALID_FLAG | ST_NOSUID | ST_NODEV |
		                      ST_NOEXEC | ST_RELATIME;
		        return 0;
	        });
	if (readable && copy_to_user(user_buf, &buf, size) < 0)
		rc = -EFAULT;
	result = syscall_result(rc);
	return true;
}

bool mount(const char *source, const char *target, const char *type,
           int &result)
{
	if (!is_debugfs_dir(target))
		return false;
	sys::Reentry guard;
	ConfigPtr cfg = current();
	if (!cfg)
		return false;
	std::string text = std::string(source ? source : "") + " " + target +
	                   " " + (type ? type : "");
	int rc = request_tail(*cfg, REQ_MOUNT, 0, text, nullptr, 0,
	                      [&] { return debugfs_mount(*cfg); });
	result = syscall_result(rc);
	return true;
}

bool glob(const char *pattern, int flags, real::errfunc_fn errfunc,
          glob_t *pglob, int &result)
{
	return hooked_glob<glob_t, struct dirent, struct stat>(
	        pattern, flags, errfunc, pglob, real::fns().glob, glob_readdir,
	        result);
}

bool glob64(const char *pattern, int flags, real::errfunc_fn errfunc,
            glob64_t *pglob, int &result)
{
	return hooked_glob<glob64_t, struct dirent64, struct stat64>(
	        pattern, flags, errfunc, pglob, real::fns().glob64,
	        glob_readdir64, result);
}

} // namespace zvsim::param
