// Interposed metadata calls: the stat family and access checks of the
// parameter trees and the mount-table file read the state directory;
// statfs of the debug file system is answered; attribute changes in the
// mount are published to the families that watch the namespace.
#include "core/export.h"
#include "core/fd_table.h"
#include "core/guard.h"
#include "core/namespace_change.h"
#include "core/real.h"
#include "core/request.h"
#include "core/user_memory.h"
#include "param/param.h"

#include <linux/zorvel/zorvel_changelog.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace zvsim;

namespace
{

// Runs call on the state's path standing for a kernel path (or for
// /etc/mtab, with mtab): true when it did (result set).
template <typename R, typename Call>
bool redirected(const char *path, bool mtab, R &result, Call &&call)
{
	if (!may_simulate())
		return false;
	// Most paths name no tree: told on the caller's bytes where they are
	// known to be readable, before any copy.
	if (long n = string_in_place(path, USER_PATH_MAX);
	    n >= 0 && !param::param_candidate(path, size_t(n), mtab))
		return false;
	UserPath p(path);
	return p.ok() && guarded(result, [&] {
		       return param::on_state_path(p.c_str(), mtab, result,
		                                   call);
	       });
}

template <typename S>
int sim_stat(const char *path, S *buf, int (*fn)(const char *, S *))
{
	int rc;
	if (redirected(path, true, rc,
	               [&](const char *m) { return real::call(fn, m, buf); }))
		return rc;
	return real::call(fn, path, buf);
}

template <typename S>
int sim_fstatat(int dirfd, const char *path, S *buf, int flags,
                int (*fn)(int, const char *, S *, int))
{
	int rc;
	if (redirected(path, true, rc, [&](const char *m) {
		    return real::call(fn, AT_FDCWD, m, buf, flags);
	    }))
		return rc;
	return real::call(fn, dirfd, path, buf, flags);
}

template <typename S>
int sim_statfs(const char *path, S *buf, int (*fn)(const char *, S *))
{
	if (may_simulate()) {
		UserPath p(path);
		int rc;
		if (p.ok() && guarded(rc, [&] {
			    return param::statfs(p.c_str(), buf, sizeof *buf,
			                         rc);
		    }))
			return rc;
	}
	return real::call(fn, path, buf);
}

int attr_path(int rc, int dirfd, const char *path, bool follow,
              uint32_t type = CL_SETATTR, const char *xattr = nullptr)
{
	return attr_changed(rc, type, dirfd, path, follow, xattr);
}

int attr_fd(int rc, int fd, uint32_t type = CL_SETATTR,
            const char *xattr = nullptr)
{
	return attr_changed(rc, type, fd, nullptr, true, xattr);
}

} // namespace

// --- the stat family and access checks -----------------------------------

ZVSIM_EXPORT int stat(const char *path, struct stat *buf) noexcept
{
	return sim_stat(path, buf, real::fns().stat);
}

ZVSIM_EXPORT int lstat(const char *path, struct stat *buf) noexcept
{
	return sim_stat(path, buf, real::fns().lstat);
}

ZVSIM_EXPORT int stat64(const char *path, struct stat64 *buf) noexcept
{
	return sim_stat(path, buf, real::fns().stat64);
}

ZVSIM_EXPORT int lstat64(const char *path, struct stat64 *buf) noexcept
{
	return sim_stat(path, buf, real::fns().lstat64);
}

ZVSIM_EXPORT int fstatat(int dirfd, const char *path, struct stat *buf,
                         int flags) noexcept
{
	return sim_fstatat(dirfd, path, buf, flags, real::fns().fstatat);
}

ZVSIM_EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *buf,
                           int flags) noexcept
{
	return sim_fstatat(dirfd, path, buf, flags, real::fns().fstatat64);
}

ZVSIM_EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask,
                       struct statx *buf) noexcept
{
	int rc;
	if (redirected(path, true, rc, [&](const char *m) {
		    return real::call(real::fns().statx, AT_FDCWD, m, flags,
		                      mask, buf);
	    }))
		return rc;
	return real::call(real::fns().statx, dirfd, path, flags, mask, buf);
}

ZVSIM_EXPORT int access(const char *path, int mode) noexcept
{
	int rc;
	if (redirected(path, false, rc, [&](const char *m) {
		    return real::call(real::fns().access, m, mode);
	    }))
		return rc;
	return real::call(real::fns().access, path, mode);
}

ZVSIM_EXPORT int faccessat(int dirfd, const char *path, int mode,
                           int flags) noexcept
{
	int rc;
	if (redirected(path, false, rc, [&](const char *m) {
		    return real::call(real::fns().faccessat, AT_FDCWD, m, mode,
		                      flags);
	    }))
		return rc;
	return real::call(real::fns().faccessat, dirfd, path, mode, flags);
}

ZVSIM_EXPORT int statfs(const char *path, struct statfs *buf) noexcept
{
	return sim_statfs(path, buf, real::fns().statfs);
}

ZVSIM_EXPORT int statfs64(const char *path, struct statfs64 *buf) noexcept
{
	return sim_statfs(path, buf, real::fns().statfs64);
}

// --- attribute changes ---------------------------------------------------

ZVSIM_EXPORT int chmod(const char *path, mode_t mode)
{
	return attr_path(real::call(real::fns().chmod, path, mode), AT_FDCWD,
	                 path, true);
}

ZVSIM_EXPORT int fchmod(int fd, mode_t mode)
{
	return attr_fd(real::call(real::fns().fchmod, fd, mode), fd);
}

ZVSIM_EXPORT int fchmodat(int dirfd, const char *path, mode_t mode, int flags)
{
	return attr_path(
	        real::call(real::fns().fchmodat, dirfd, path, mode, flags),
	        dirfd, path, !(flags & AT_SYMLINK_NOFOLLOW));
}

ZVSIM_EXPORT int chown(const char *path, uid_t uid, gid_t gid)
{
	return attr_path(real::call(real::fns().chown, path, uid, gid),
	                 AT_FDCWD, path, true);
}

ZVSIM_EXPORT int lchown(const char *path, uid_t uid, gid_t gid)
{
	return attr_path(real::call(real::fns().lchown, path, uid, gid),
	                 AT_FDCWD, path, false);
}

ZVSIM_EXPORT int fchown(int fd, uid_t uid, gid_t gid)
{
	return attr_fd(real::call(real::fns().fchown, fd, uid, gid), fd);
}

ZVSIM_EXPORT int fchownat(int dirfd, const char *path, uid_t uid, gid_t gid,
                          int flags)
{
	return attr_path(
	        real::call(real::fns().fchownat, dirfd, path, uid, gid, flags),
	        dirfd, path, !(flags & AT_SYMLINK_NOFOLLOW));
}

ZVSIM_EXPORT int utimensat(int dirfd, const char *path,
                           const struct timespec times[2], int flags)
{
	return attr_path(
	        real::call(real::fns().utimensat, dirfd, path, times, flags),
	        dirfd, path, !(flags & AT_SYMLINK_NOFOLLOW));
}

ZVSIM_EXPORT int futimens(int fd, const struct timespec times[2])
{
	return attr_fd(real::call(real::fns().futimens, fd, times), fd);
}

ZVSIM_EXPORT int truncate(const char *path, off_t len)
{
	return attr_path(real::call(real::fns().truncate, path, len), AT_FDCWD,
	                 path, true, CL_TRUNC);
}

ZVSIM_EXPORT int truncate64(const char *path, off64_t len)
{
	return attr_path(real::call(real::fns().truncate64, path, len),
	                 AT_FDCWD, path, true, CL_TRUNC);
}

ZVSIM_EXPORT int ftruncate(int fd, off_t len)
{
	int rc;
	if (!marked_truncate(fd, len, rc))
		rc = real::call(real::fns().ftruncate, fd, len);
	return attr_fd(rc, fd, CL_TRUNC);
}

ZVSIM_EXPORT int ftruncate64(int fd, off64_t len)
{
	int rc;
	if (!marked_truncate(fd, len, rc))
		rc = real::call(real::fns().ftruncate64, fd, len);
	return attr_fd(rc, fd, CL_TRUNC);
}

ZVSIM_EXPORT int setxattr(const char *path, const char *name, const void *value,
                          size_t size, int flags)
{
	return attr_path(real::call(real::fns().setxattr, path, name, value,
	                            size, flags),
	                 AT_FDCWD, path, true, CL_SETXATTR, name);
}

ZVSIM_EXPORT int lsetxattr(const char *path, const char *name,
                           const void *value, size_t size, int flags)
{
	return attr_path(real::call(real::fns().lsetxattr, path, name, value,
	                            size, flags),
	                 AT_FDCWD, path, false, CL_SETXATTR, name);
}

ZVSIM_EXPORT int fsetxattr(int fd, const char *name, const void *value,
                           size_t size, int flags)
{
	return attr_fd(
	        real::call(real::fns().fsetxattr, fd, name, value, size, flags),
	        fd, CL_SETXATTR, name);
}
