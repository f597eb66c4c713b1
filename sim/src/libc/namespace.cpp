// Interposed namespace calls: creations, removals and renames in the mount
// are published to the families that watch the namespace (the change
// logs); globs of the parameter trees read the state directory.
#include "core/export.h"
#include "core/guard.h"
#include "core/namespace_change.h"
#include "core/real.h"
#include "core/request.h"
#include "core/user_memory.h"
#include "fid/fid.h"
#include "param/param.h"

#include <linux/zorvel/zorvel_changelog.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace zvsim;

// --- creations ---------------------------------------------------------

ZVSIM_EXPORT int mkdirat(int dirfd, const char *path, mode_t mode)
{
	return entry_change(false, CL_MKDIR, dirfd, path, [&] {
		return real::call(real::fns().mkdirat, dirfd, path, mode);
	});
}

ZVSIM_EXPORT int mkdir(const char *path, mode_t mode)
{
	return entry_change(false, CL_MKDIR, AT_FDCWD, path, [&] {
		return real::call(real::fns().mkdir, path, mode);
	});
}

ZVSIM_EXPORT int mknodat(int dirfd, const char *path, mode_t mode, dev_t dev)
{
	return entry_change(false, CL_MKNOD, dirfd, path, [&] {
		return real::call(real::fns().mknodat, dirfd, path, mode, dev);
	});
}

ZVSIM_EXPORT int mknod(const char *path, mode_t mode, dev_t dev)
{
	return entry_change(false, CL_MKNOD, AT_FDCWD, path, [&] {
		return real::call(real::fns().mknod, path, mode, dev);
	});
}

// A FIFO is a node too: the C library makes it without calling mknod().
ZVSIM_EXPORT int mkfifoat(int dirfd, const char *path, mode_t mode)
{
	return entry_change(false, CL_MKNOD, dirfd, path, [&] {
		return real::call(real::fns().mkfifoat, dirfd, path, mode);
	});
}

ZVSIM_EXPORT int mkfifo(const char *path, mode_t mode)
{
	return entry_change(false, CL_MKNOD, AT_FDCWD, path, [&] {
		return real::call(real::fns().mkfifo, path, mode);
	});
}

// What programs built against older C libraries call for mknod().
ZVSIM_EXPORT int __xmknodat(int, int dirfd, const char *path, mode_t mode,
                            dev_t *dev)
{
	dev_t d;
	if (copy_from_user(&d, dev, sizeof d) < 0) {
		errno = EFAULT;
		return -1;
	}
	return mknodat(dirfd, path, mode, d);
}

ZVSIM_EXPORT int __xmknod(int ver, const char *path, mode_t mode, dev_t *dev)
{
	return __xmknodat(ver, AT_FDCWD, path, mode, dev);
}

ZVSIM_EXPORT int symlinkat(const char *target, int dirfd, const char *path)
{
	return entry_change(false, CL_SOFTLINK, dirfd, path, [&] {
		return real::call(real::fns().symlinkat, target, dirfd, path);
	});
}

ZVSIM_EXPORT int symlink(const char *target, const char *path)
{
	return entry_change(false, CL_SOFTLINK, AT_FDCWD, path, [&] {
		return real::call(real::fns().symlink, target, path);
	});
}

ZVSIM_EXPORT int linkat(int olddirfd, const char *oldpath, int newdirfd,
                        const char *newpath, int flags)
{
	return entry_change(false, CL_HARDLINK, newdirfd, newpath, [&] {
		return real::call(real::fns().linkat, olddirfd, oldpath,
		                  newdirfd, newpath, flags);
	});
}

ZVSIM_EXPORT int link(const char *oldpath, const char *newpath)
{
	return entry_change(false, CL_HARDLINK, AT_FDCWD, newpath, [&] {
		return real::call(real::fns().link, oldpath, newpath);
	});
}

// --- removals ----------------------------------------------------------

namespace
{
// The file system's own directories stay: EPERM, and nothing published.
int refused()
{
	errno = EPERM;
	return -1;
}

// Neither moved away nor replaced.
bool renames_own_directory(int olddirfd, const char *oldpath, int newdirfd,
                           const char *newpath)
{
	return fid::own_directory(olddirfd, oldpath) ||
	       fid::own_directory(newdirfd, newpath);
}
} // namespace

ZVSIM_EXPORT int unlinkat(int dirfd, const char *path, int flags)
{
	if (fid::own_directory(dirfd, path))
		return refused();
	return entry_change(true, (flags & AT_REMOVEDIR) ? CL_RMDIR : CL_UNLINK,
	                    dirfd, path, [&] {
		                    return real::call(real::fns().unlinkat,
		                                      dirfd, path, flags);
	                    });
}

ZVSIM_EXPORT int unlink(const char *path)
{
	if (fid::own_directory(AT_FDCWD, path))
		return refused();
	return entry_change(true, CL_UNLINK, AT_FDCWD, path, [&] {
		return real::call(real::fns().unlink, path);
	});
}

ZVSIM_EXPORT int rmdir(const char *path)
{
	if (fid::own_directory(AT_FDCWD, path))
		return refused();
	return entry_change(true, CL_RMDIR, AT_FDCWD, path, [&] {
		return real::call(real::fns().rmdir, path);
	});
}

// --- renames -------------------------------------------------------------

ZVSIM_EXPORT int renameat2(int olddirfd, const char *oldpath, int newdirfd,
                           const char *newpath, unsigned flags)
{
	if (renames_own_directory(olddirfd, oldpath, newdirfd, newpath))
		return refused();
	RenameChange r;
	r.prepare(olddirfd, oldpath, newdirfd, newpath);
	return r.finish(real::call(real::fns().renameat2, olddirfd, oldpath,
	                           newdirfd, newpath, flags));
}

ZVSIM_EXPORT int renameat(int olddirfd, const char *oldpath, int newdirfd,
                          const char *newpath)
{
	if (renames_own_directory(olddirfd, oldpath, newdirfd, newpath))
		return refused();
	RenameChange r;
	r.prepare(olddirfd, oldpath, newdirfd, newpath);
	return r.finish(real::call(real::fns().renameat, olddirfd, oldpath,
	                           newdirfd, newpath));
}

ZVSIM_EXPORT int rename(const char *oldpath, const char *newpath)
{
	if (renames_own_directory(AT_FDCWD, oldpath, AT_FDCWD, newpath))
		return refused();
	RenameChange r;
	r.prepare(AT_FDCWD, oldpath, AT_FDCWD, newpath);
	return r.finish(real::call(real::fns().rename, oldpath, newpath));
}

// --- names matching a pattern ------------------------------------------

ZVSIM_EXPORT int glob(const char *pattern, int flags, real::errfunc_fn errfunc,
                      glob_t *pglob) noexcept
{
	if (may_simulate()) {
		UserPath p(pattern);
		int rc = GLOB_NOSPACE;
		if (p.ok() && guarded(rc, [&] {
			    return param::glob(p.c_str(), flags, errfunc, pglob,
			                       rc);
		    }))
			return rc < 0 ? GLOB_NOSPACE : rc;
	}
	return real::fns().glob
	               ? real::fns().glob(pattern, flags, errfunc, pglob)
	               : GLOB_ABORTED;
}

ZVSIM_EXPORT int glob64(const char *pattern, int flags,
                        real::errfunc_fn errfunc, glob64_t *pglob) noexcept
{
	if (may_simulate()) {
		UserPath p(pattern);
		int rc = GLOB_NOSPACE;
		if (p.ok() && guarded(rc, [&] {
			    return param::glob64(p.c_str(), flags, errfunc,
			                         pglob, rc);
		    }))
			return rc < 0 ? GLOB_NOSPACE : rc;
	}
	return real::fns().glob64
	               ? real::fns().glob64(pattern, flags, errfunc, pglob)
	               : GLOB_ABORTED;
}
