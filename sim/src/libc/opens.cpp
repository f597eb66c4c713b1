// Interposed opens: the change-log devices, the parameter trees, opens by
// FID, and creations in the mount while its namespace is watched. Every
// other open goes to libc unchanged.
#include "chlg/chlg.h"
#include "core/export.h"
#include "core/fd_table.h"
#include "core/fopenmode.h"
#include "core/guard.h"
#include "core/namespace_change.h"
#include "core/request.h"
#include "core/user_memory.h"
#include "fid/fid.h"
#include "heat/heat.h"
#include "core/real.h"
#include "param/param.h"
#include "pcc/pcc.h"
#include "swap/swap.h"
#include "vm/vm.h"

#include <linux/zorvel/zorvel_changelog.h>

#include <cstdarg>
#include <cstdlib>
#include <fcntl.h>

using namespace zvsim;

namespace
{

bool needs_mode(int flags)
{
	return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

// True when the open was served here (result set); otherwise flags are
// what libc should get. The path is read only through a copy: one that
// cannot be read goes to libc, and the kernel answers it.
bool sim_open(int dirfd, const char *path, int &flags, mode_t mode, int &result,
              heat::OpenCount &counted)
{
	return guarded(result, [&] {
		if (!may_simulate())
			return false;
		UserPath p(path);
		if (!p.ok())
			return false;
		counted.check(p.c_str());
		return chlg::device_open(p.c_str(), flags, result) ||
		       vm::drop_caches_open(p.c_str(), flags, result) ||
		       pcc::param_open(p.c_str(), flags, result) ||
		       param::open(p.c_str(), flags, mode, result) ||
		       fid::open_hook(dirfd, p.c_str(), flags, mode, result) ||
		       swap::volatile_open(dirfd, p.c_str(), flags, result) ||
		       ((flags & O_CREAT) &&
		        create_open(dirfd, p.c_str(), flags, mode, result));
	});
}

// A descriptor an open returned is a new open file, whatever the table
// still said of its number (closed behind our back: by a C library's
// internal close).
int fresh(int fd)
{
	int saved = errno, ignored = 0;
	guarded(ignored, [&] {
		fd_fresh(fd);
		return true;
	});
	errno = saved;
	return fd;
}

// A descriptor the caller opened, told to the families that follow opens
// (I/O counted, leases broken, opens of cached files counted).
int open_done(int fd, int flags, heat::OpenCount *counted = nullptr)
{
	fresh(fd);
	if (counted)
		counted->opened(fd);
	if (fd < 0 || !may_simulate())
		return fd;
	int saved = errno, ignored = 0;
	guarded(ignored, [&] {
		sys::Reentry guard;
		if (ConfigPtr cfg = current())
			for (const Family *f : families())
				if (f->opened)
					f->opened(*cfg, fd, flags);
		return true;
	});
	errno = saved;
	return fd;
}

// The fortified opens carry no mode; with changed flags they go to openat.
template <typename Fortified>
int fortified_open(int dirfd, const char *path, int flags, Fortified &&fn)
{
	int orig = flags, rc;
	heat::OpenCount counted;
	if (sim_open(dirfd, path, flags, 0, rc, counted))
		return open_done(rc, flags, &counted);
	if (flags != orig)
		return open_done(
		        real::call(real::fns().openat, dirfd, path, flags, 0),
		        flags, &counted);
	return open_done(fn(flags), flags, &counted);
}

// A file made by a C library function that opens it internally (the
// mkstemp family): published once made.
int made_file(int fd)
{
	fresh(fd);
	if (fd >= 0)
		created_fd(fd, O_RDWR | O_CREAT | O_EXCL);
	return fd;
}

} // namespace

#define ZVSIM_READ_MODE(flags, last)                                           \
	mode_t mode = 0;                                                       \
	if (needs_mode(flags)) {                                               \
		va_list ap;                                                    \
		va_start(ap, last);                                            \
		mode = static_cast<mode_t>(va_arg(ap, int));                   \
		va_end(ap);                                                    \
	}

ZVSIM_EXPORT int open(const char *path, int flags, ...)
{
	ZVSIM_READ_MODE(flags, flags);
	int rc;
	heat::OpenCount counted;
	if (sim_open(AT_FDCWD, path, flags, mode, rc, counted))
		return open_done(rc, flags, &counted);
	return open_done(real::call(real::fns().open, path, flags, mode), flags,
	                 &counted);
}

ZVSIM_EXPORT int open64(const char *path, int flags, ...)
{
	ZVSIM_READ_MODE(flags, flags);
	int rc;
	heat::OpenCount counted;
	if (sim_open(AT_FDCWD, path, flags, mode, rc, counted))
		return open_done(rc, flags, &counted);
	return open_done(real::call(real::fns().open64, path, flags, mode),
	                 flags, &counted);
}

ZVSIM_EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
	ZVSIM_READ_MODE(flags, flags);
	int rc;
	heat::OpenCount counted;
	if (sim_open(dirfd, path, flags, mode, rc, counted))
		return open_done(rc, flags, &counted);
	return open_done(
	        real::call(real::fns().openat, dirfd, path, flags, mode), flags,
	        &counted);
}

ZVSIM_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
	ZVSIM_READ_MODE(flags, flags);
	int rc;
	heat::OpenCount counted;
	if (sim_open(dirfd, path, flags, mode, rc, counted))
		return open_done(rc, flags, &counted);
	return open_done(
	        real::call(real::fns().openat64, dirfd, path, flags, mode),
	        flags, &counted);
}

ZVSIM_EXPORT int __open_2(const char *path, int flags)
{
	return fortified_open(AT_FDCWD, path, flags, [&](int fl) {
		return real::call(real::fns().__open_2, path, fl);
	});
}

ZVSIM_EXPORT int __open64_2(const char *path, int flags)
{
	return fortified_open(AT_FDCWD, path, flags, [&](int fl) {
		return real::call(real::fns().__open64_2, path, fl);
	});
}

ZVSIM_EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
	return fortified_open(dirfd, path, flags, [&](int fl) {
		return real::call(real::fns().__openat_2, dirfd, path, fl);
	});
}

ZVSIM_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
	return fortified_open(dirfd, path, flags, [&](int fl) {
		return real::call(real::fns().__openat64_2, dirfd, path, fl);
	});
}

// creat() is an open; ours sees the creation.
ZVSIM_EXPORT int creat(const char *path, mode_t mode)
{
	return open(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

ZVSIM_EXPORT int creat64(const char *path, mode_t mode)
{
	return open64(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

namespace
{
FILE *sim_fopen(const char *path, const char *mode,
                FILE *(*fn)(const char *, const char *))
{
	if (!may_simulate())
		return real::call(fn, path, mode);
	UserPath p(path), m(mode);
	if (!p.ok() || !m.ok())
		return real::call(fn, path, mode);
	FILE *fp = nullptr;
	if (guarded(fp, [&] {
		    return param::fopen(p.c_str(), m.c_str(), fp) ||
		           vm::drop_caches_fopen(p.c_str(), m.c_str(), fp);
	    }))
		return fp;
	// A stream creating a file in the mount is a creation.
	fp = fopen_creating(p.c_str(), m.c_str(), fn);
	int flags = 0;
	if (fp && parse_fopen_mode(m.c_str(), flags))
		open_done(fileno(fp), flags);
	return fp;
}
} // namespace

ZVSIM_EXPORT FILE *fopen(const char *path, const char *mode)
{
	return sim_fopen(path, mode, real::fns().fopen);
}

ZVSIM_EXPORT FILE *fopen64(const char *path, const char *mode)
{
	return sim_fopen(path, mode, real::fns().fopen64);
}

ZVSIM_EXPORT DIR *opendir(const char *path)
{
	if (may_simulate()) {
		UserPath p(path);
		DIR *dir = nullptr;
		if (p.ok() && guarded(dir, [&] {
			    return param::on_state_path(
			            p.c_str(), false, dir, [](const char *m) {
				            return real::call(
				                    real::fns().opendir, m);
			            });
		    }))
			return dir;
	}
	return real::call(real::fns().opendir, path);
}

ZVSIM_EXPORT int mkstemp(char *tmpl)
{
	return made_file(real::call(real::fns().mkstemp, tmpl));
}

ZVSIM_EXPORT int mkostemp(char *tmpl, int flags)
{
	return made_file(real::call(real::fns().mkostemp, tmpl, flags));
}

ZVSIM_EXPORT int mkstemps(char *tmpl, int suffixlen)
{
	return made_file(real::call(real::fns().mkstemps, tmpl, suffixlen));
}

ZVSIM_EXPORT int mkostemps(char *tmpl, int suffixlen, int flags)
{
	return made_file(
	        real::call(real::fns().mkostemps, tmpl, suffixlen, flags));
}

ZVSIM_EXPORT int mkstemp64(char *tmpl)
{
	return mkstemp(tmpl);
}

ZVSIM_EXPORT int mkostemp64(char *tmpl, int flags)
{
	return mkostemp(tmpl, flags);
}

ZVSIM_EXPORT int mkstemps64(char *tmpl, int suffixlen)
{
	return mkstemps(tmpl, suffixlen);
}

ZVSIM_EXPORT int mkostemps64(char *tmpl, int suffixlen, int flags)
{
	return mkostemps(tmpl, suffixlen, flags);
}

ZVSIM_EXPORT char *mkdtemp(char *tmpl)
{
	char *dir = real::call(real::fns().mkdtemp, tmpl);
	if (dir)
		made_dir(dir);
	return dir;
}
