// Interposed I/O on descriptors. A descriptor a family serves itself (a
// change-log device) goes to that family; one a family marked (a mirror
// selected, I/O counted...) goes through the marking families' hooks; every
// other one costs a look at two tables, no lock and no system call.
#include "core/export.h"
#include "core/fd_table.h"
#include "core/guard.h"
#include "libc/real.h"

#include <cstdlib>
#include <cstring>

using namespace zvsim;

namespace
{

const FileOps *served(int fd)
{
	const FileOps *ops = fd_ops(fd);
	return ops && !sys::Reentry::inside() ? ops : nullptr;
}

// The first family that marked fd and serves the call (result set).
template <typename R, typename Call>
bool marked(int fd, R &result, Call &&call)
{
	uint32_t m = fd_marks(fd);
	if (!m || sys::Reentry::inside())
		return false;
	return guarded(result, [&] {
		for (const Family *f : families()) {
			const FdHooks *h = f->fd_hooks;
			if (h && (h->mark & m) && call(*h))
				return true;
		}
		return false;
	});
}

// A read or write libc made on a marked descriptor, told to its families.
ssize_t after(int fd, IoKind kind, ssize_t result)
{
	uint32_t m = fd_marks(fd);
	if (!m || sys::Reentry::inside())
		return result;
	int saved = errno, ignored = 0;
	guarded(ignored, [&] {
		for (const Family *f : families()) {
			const FdHooks *h = f->fd_hooks;
			if (h && (h->mark & m) && h->after)
				h->after(fd, kind, result);
		}
		return true;
	});
	errno = saved;
	return result;
}

// Every family that marked fd forgets it; the marks go.
void forget_marks(int fd)
{
	uint32_t m = fd_marks(fd);
	if (!m)
		return;
	int ignored = 0;
	guarded(ignored, [&] {
		for (const Family *f : families()) {
			const FdHooks *h = f->fd_hooks;
			if (h && (h->mark & m) && h->closed)
				h->closed(fd);
		}
		return true;
	});
	fd_unmark(fd, m);
}

// dup2/dup3: the kernel closes newfd first, then it names old's file.
int after_dup(int old, int fd)
{
	if (fd < 0 || fd == old)
		return fd;
	int ignored = 0;
	guarded(ignored, [&] {
		forget_marks(fd);
		if (const FileOps *was = fd_ops(fd); was && was->closed)
			was->closed(fd);
		if (const FileOps *ops = fd_ops(old); ops && ops->duped)
			ops->duped(old, fd);
		if (uint32_t m = fd_marks(old))
			for (const Family *f : families()) {
				const FdHooks *h = f->fd_hooks;
				if (h && (h->mark & m) && h->duped)
					h->duped(old, fd);
			}
		return true;
	});
	return fd;
}

template <typename Fn>
ssize_t sim_read(int fd, void *buf, size_t count, int64_t off, Fn &&libc)
{
	ssize_t r = -1;
	if (off < 0) {
		if (const FileOps *ops = served(fd);
		    ops && ops->read &&
		    guarded(r, [&] { return ops->read(fd, buf, count, r); }))
			return r;
	}
	if (marked(fd, r, [&](const FdHooks &h) {
		    return h.read && h.read(fd, buf, count, off, r);
	    }))
		return r;
	return after(fd, IoKind::Read, libc());
}

template <typename Fn>
ssize_t sim_write(int fd, const void *buf, size_t count, int64_t off, Fn &&libc)
{
	ssize_t r = -1;
	if (off < 0) {
		if (const FileOps *ops = served(fd);
		    ops && ops->write &&
		    guarded(r, [&] { return ops->write(fd, buf, count, r); }))
			return r;
	}
	if (marked(fd, r, [&](const FdHooks &h) {
		    return h.write && h.write(fd, buf, count, off, r);
	    }))
		return r;
	return after(fd, IoKind::Write, libc());
}

template <typename T, typename Fn>
T sim_seek(int fd, T off, int whence, Fn &&libc)
{
	int64_t r = -1;
	if (const FileOps *ops = served(fd);
	    ops && ops->seek &&
	    guarded(r, [&] { return ops->seek(fd, off, whence, r); }))
		return static_cast<T>(r);
	if (marked(fd, r, [&](const FdHooks &h) {
		    return h.seek && h.seek(fd, off, whence, r);
	    }))
		return static_cast<T>(r);
	return libc();
}

} // namespace

ZVSIM_EXPORT ssize_t read(int fd, void *buf, size_t count)
{
	return sim_read(fd, buf, count, -1, [&] {
		return real::call(real::fns().read, fd, buf, count);
	});
}

// The fortified read() some callers are compiled to.
ZVSIM_EXPORT ssize_t __read_chk(int fd, void *buf, size_t count, size_t room)
{
	if (count > room) {
		if (real::fns().__chk_fail)
			real::fns().__chk_fail();
		abort();
	}
	return read(fd, buf, count);
}

ZVSIM_EXPORT ssize_t pread(int fd, void *buf, size_t count, off_t off)
{
	if (off < 0) // the kernel's answer, before any family's
		return real::call(real::fns().pread, fd, buf, count, off);
	return sim_read(fd, buf, count, off, [&] {
		return real::call(real::fns().pread, fd, buf, count, off);
	});
}

ZVSIM_EXPORT ssize_t pread64(int fd, void *buf, size_t count, off64_t off)
{
	if (off < 0)
		return real::call(real::fns().pread64, fd, buf, count, off);
	return sim_read(fd, buf, count, off, [&] {
		return real::call(real::fns().pread64, fd, buf, count, off);
	});
}

ZVSIM_EXPORT ssize_t write(int fd, const void *buf, size_t count)
{
	return sim_write(fd, buf, count, -1, [&] {
		return real::call(real::fns().write, fd, buf, count);
	});
}

ZVSIM_EXPORT ssize_t pwrite(int fd, const void *buf, size_t count, off_t off)
{
	if (off < 0)
		return real::call(real::fns().pwrite, fd, buf, count, off);
	return sim_write(fd, buf, count, off, [&] {
		return real::call(real::fns().pwrite, fd, buf, count, off);
	});
}

ZVSIM_EXPORT ssize_t pwrite64(int fd, const void *buf, size_t count,
                              off64_t off)
{
	if (off < 0)
		return real::call(real::fns().pwrite64, fd, buf, count, off);
	return sim_write(fd, buf, count, off, [&] {
		return real::call(real::fns().pwrite64, fd, buf, count, off);
	});
}

ZVSIM_EXPORT off_t lseek(int fd, off_t off, int whence)
{
	return sim_seek(fd, off, whence, [&] {
		return real::call(real::fns().lseek, fd, off, whence);
	});
}

ZVSIM_EXPORT off64_t lseek64(int fd, off64_t off, int whence)
{
	return sim_seek(fd, off, whence, [&] {
		return real::call(real::fns().lseek64, fd, off, whence);
	});
}

ZVSIM_EXPORT int fallocate(int fd, int mode, off_t off, off_t len)
{
	int r = -1;
	if (marked(fd, r, [&](const FdHooks &h) {
		    return h.allocate && h.allocate(fd, mode, off, len, r);
	    }))
		return r;
	return real::call(real::fns().fallocate, fd, mode, off, len);
}

ZVSIM_EXPORT int fallocate64(int fd, int mode, off64_t off, off64_t len)
{
	int r = -1;
	if (marked(fd, r, [&](const FdHooks &h) {
		    return h.allocate && h.allocate(fd, mode, off, len, r);
	    }))
		return r;
	return real::call(real::fns().fallocate64, fd, mode, off, len);
}

ZVSIM_EXPORT int fstat(int fd, struct stat *st)
{
	static_assert(sizeof(struct stat) == sizeof(struct stat64));
	int r = -1;
	if (marked(fd, r, [&](const FdHooks &h) {
		    return h.stat &&
		           h.stat(fd, reinterpret_cast<struct stat64 *>(st), r);
	    }))
		return r;
	return real::call(real::fns().fstat, fd, st);
}

ZVSIM_EXPORT int fstat64(int fd, struct stat64 *st)
{
	int r = -1;
	if (marked(fd, r, [&](const FdHooks &h) {
		    return h.stat && h.stat(fd, st, r);
	    }))
		return r;
	return real::call(real::fns().fstat64, fd, st);
}

ZVSIM_EXPORT int close(int fd)
{
	forget_marks(fd);
	if (const FileOps *ops = fd_ops(fd); ops && ops->closed) {
		int ignored = 0;
		guarded(ignored, [&] {
			ops->closed(fd);
			return true;
		});
	}
	return real::call(real::fns().close, fd);
}

ZVSIM_EXPORT int dup(int old)
{
	return after_dup(old, real::call(real::fns().dup, old));
}

ZVSIM_EXPORT int dup2(int old, int newfd)
{
	return after_dup(old, real::call(real::fns().dup2, old, newfd));
}

ZVSIM_EXPORT int dup3(int old, int newfd, int flags)
{
	return after_dup(old, real::call(real::fns().dup3, old, newfd, flags));
}

namespace zvsim
{
bool marked_truncate(int fd, int64_t len, int &result)
{
	return marked(fd, result, [&](const FdHooks &h) {
		return h.truncate && h.truncate(fd, len, result);
	});
}
} // namespace zvsim
