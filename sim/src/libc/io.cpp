// Interposed I/O on descriptors, and every call that makes or ends one. A
// descriptor a family serves itself (a change-log device) goes to that
// family; one whose open file a family marked (a mirror selected, I/O
// counted...) goes through the marking families' hooks; every other one
// costs a look at its slot, no lock and no system call.
#include "core/export.h"
#include "core/fd_table.h"
#include "core/guard.h"
#include "core/real.h"
#include "core/request.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <span>

using namespace zvsim;

namespace
{

const FileOps *served(uintptr_t slot)
{
	const FileOps *ops = slot_ops(slot);
	return ops && !sys::Reentry::inside() ? ops : nullptr;
}

// The first family among hooks that marked the open file (marks m) and
// serves the call with its hook H, asked with args (result set).
template <auto H, typename R, typename... Args>
[[gnu::noinline]] bool ask_marking(const FdHookList &hooks, uint32_t m,
                                   R &result, Args &&...args)
{
	return guarded(result, [&] {
		for (const FdHooks *h : hooks)
			if ((h->mark & m) && (h->*H)(args...))
				return true;
		return false;
	});
}

// The first family that marked fd and serves the call with its hook H:
// inline up to the test of the marks, which most calls stop at.
template <auto H, typename R, typename... Args>
[[gnu::always_inline]] inline bool marked(uintptr_t slot, R &result,
                                          Args &&...args)
{
	uint32_t m = slot_marks(slot);
	const FdHookList &hooks = fd_hooks_with<H>();
	if (!(m & hooks.marks) || sys::Reentry::inside())
		return false;
	return ask_marking<H>(hooks, m, result, args...);
}

// Whether the families that hear of a read or write after libc made it
// marked slot's open file: what they keep on it, into seen.
[[gnu::always_inline]] inline bool heard(uintptr_t slot, IoSeen &seen)
{
	OpenFile *f = slot_file(slot);
	if (!f)
		return false;
	seen.marks = __atomic_load_n(&f->marks, __ATOMIC_ACQUIRE);
	uint32_t m = seen.marks & fd_hooks_with<&FdHooks::after>().marks;
	if (!m || sys::Reentry::inside())
		return false;
	for (int i = 0; i < fdmark::COUNT; i++)
		if (m & (1u << i))
			seen.state[i] =
			        __atomic_load_n(&f->state[i], __ATOMIC_ACQUIRE);
	return true;
}

// A read or write libc made on a marked descriptor, told to its families
// (whose hooks keep errno and throw nothing).
ssize_t after(int fd, const IoSeen &seen, IoKind kind, ssize_t result)
{
	for (const FdHooks *h : fd_hooks_with<&FdHooks::after>())
		if (h->mark & seen.marks)
			h->after(fd, seen, kind, result);
	return result;
}

// fd is about to be closed, by whatever call: its open file or device
// hears of it.
void closing(int fd, uintptr_t slot)
{
	int saved = errno, ignored = 0;
	guarded(ignored, [&] {
		if (slot_file(slot))
			fd_closing(fd);
		else if (const FileOps *ops = slot_ops(slot);
		         ops && ops->closed)
			ops->closed(fd);
		return true;
	});
	errno = saved;
}

// A new descriptor fd names old's file (dup, dup2, dup3, F_DUPFD...): the
// kernel closed what fd named before.
int after_dup(int old, int fd)
{
	if (fd < 0 || fd == old)
		return fd;
	uintptr_t was = fd_slot(fd), from = fd_slot(old);
	if (!was && !from)
		return fd;
	int saved = errno, ignored = 0;
	guarded(ignored, [&] {
		if (const FileOps *ops = slot_ops(was); ops && ops->closed)
			ops->closed(fd);
		fd_duped(old, fd);
		if (const FileOps *ops = slot_ops(from); ops && ops->duped)
			ops->duped(old, fd);
		return true;
	});
	errno = saved;
	return fd;
}

// Before a dup2 or dup3 onto newfd: a descriptor of the simulator's own
// there moves out of the way.
void make_room(int newfd)
{
	if (slot_ops(fd_slot(newfd)) == &own_ops) {
		int ignored = 0;
		guarded(ignored, [&] {
			fd_make_room(newfd);
			return true;
		});
	}
}

template <typename Fn>
ssize_t sim_read(int fd, void *buf, size_t count, int64_t off, Fn &&libc)
{
	uintptr_t slot = fd_slot(fd);
	if (!slot)
		return libc();
	ssize_t r = -1;
	if (off < 0) {
		if (const FileOps *ops = served(slot);
		    ops && ops->read &&
		    guarded(r, [&] { return ops->read(fd, buf, count, r); }))
			return r;
	}
	if (marked<&FdHooks::read>(slot, r, fd, buf, count, off, r))
		return r;
	IoSeen seen;
	if (!heard(slot, seen))
		return libc();
	return after(fd, seen, IoKind::Read, libc());
}

template <typename Fn>
ssize_t sim_write(int fd, const void *buf, size_t count, int64_t off, Fn &&libc)
{
	uintptr_t slot = fd_slot(fd);
	if (!slot)
		return libc();
	ssize_t r = -1;
	if (off < 0) {
		if (const FileOps *ops = served(slot);
		    ops && ops->write &&
		    guarded(r, [&] { return ops->write(fd, buf, count, r); }))
			return r;
	}
	if (marked<&FdHooks::write>(slot, r, fd, buf, count, off, r))
		return r;
	IoSeen seen;
	if (!heard(slot, seen))
		return libc();
	return after(fd, seen, IoKind::Write, libc());
}

template <typename T, typename Fn>
T sim_seek(int fd, T off, int whence, Fn &&libc)
{
	uintptr_t slot = fd_slot(fd);
	if (!slot)
		return libc();
	int64_t r = -1;
	if (const FileOps *ops = served(slot);
	    ops && ops->seek &&
	    guarded(r, [&] { return ops->seek(fd, off, whence, r); }))
		return static_cast<T>(r);
	if (marked<&FdHooks::seek>(slot, r, fd, off, whence, r))
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
	if (marked<&FdHooks::allocate>(fd_slot(fd), r, fd, mode, off, len, r))
		return r;
	return real::call(real::fns().fallocate, fd, mode, off, len);
}

ZVSIM_EXPORT int fallocate64(int fd, int mode, off64_t off, off64_t len)
{
	int r = -1;
	if (marked<&FdHooks::allocate>(fd_slot(fd), r, fd, mode, off, len, r))
		return r;
	return real::call(real::fns().fallocate64, fd, mode, off, len);
}

ZVSIM_EXPORT int fstat(int fd, struct stat *st)
{
	static_assert(sizeof(struct stat) == sizeof(struct stat64));
	int r = -1;
	if (marked<&FdHooks::stat>(fd_slot(fd), r, fd,
	                           reinterpret_cast<struct stat64 *>(st), r))
		return r;
	return real::call(real::fns().fstat, fd, st);
}

ZVSIM_EXPORT int fstat64(int fd, struct stat64 *st)
{
	int r = -1;
	if (marked<&FdHooks::stat>(fd_slot(fd), r, fd, st, r))
		return r;
	return real::call(real::fns().fstat64, fd, st);
}

ZVSIM_EXPORT int close(int fd)
{
	if (uintptr_t slot = fd_slot(fd)) {
		if (slot_ops(slot) == &own_ops) {
			errno = EBADF; // not a number the caller opened
			return -1;
		}
		closing(fd, slot);
	}
	return real::call(real::fns().close, fd);
}

ZVSIM_EXPORT int dup(int old)
{
	return after_dup(old, real::call(real::fns().dup, old));
}

ZVSIM_EXPORT int dup2(int old, int newfd)
{
	make_room(newfd);
	return after_dup(old, real::call(real::fns().dup2, old, newfd));
}

ZVSIM_EXPORT int dup3(int old, int newfd, int flags)
{
	make_room(newfd);
	return after_dup(old, real::call(real::fns().dup3, old, newfd, flags));
}

namespace
{

// fcntl and fcntl64: the commands that make descriptors or change their
// close-on-exec flag are followed; the rest pass untouched.
template <typename Fn>
int sim_fcntl(int fd, int cmd, Fn &&libc)
{
	switch (cmd) {
	case F_DUPFD:
	case F_DUPFD_CLOEXEC:
		return after_dup(fd, libc());
	case F_SETFD: {
		int rc = libc();
		if (rc == 0 && fd_file(fd))
			fd_cloexec_changed(fd);
		return rc;
	}
	default:
		return libc();
	}
}

// Closes first..last but the simulator's own descriptors, one run of the
// caller's numbers at a time.
int close_runs(unsigned first, unsigned last, int flags)
{
	unsigned top = std::min(last, unsigned(FD_TABLE_SIZE - 1));
	unsigned from = first;
	for (unsigned fd = first; fd <= top && fd >= first; ++fd) {
		if (slot_ops(fd_slot(int(fd))) != &own_ops)
			continue;
		if (fd > from && real::call(real::fns().close_range, from,
		                            fd - 1, flags) < 0)
			return -1;
		from = fd + 1;
	}
	if (from > last)
		return 0;
	return real::call(real::fns().close_range, from, last, flags);
}

int sim_close_range(unsigned first, unsigned last, int flags)
{
	if (first > last) {
		errno = EINVAL;
		return -1;
	}
	if (flags & CLOSE_RANGE_CLOEXEC) {
		int rc = close_runs(first, last, flags);
		fd_cloexec_changed(-1);
		return rc;
	}
	int saved = errno, ignored = 0;
	guarded(ignored, [&] {
		unsigned top = std::min(last, unsigned(FD_TABLE_SIZE - 1));
		for (unsigned fd = first; fd <= top && fd >= first; ++fd) {
			const FileOps *ops = slot_ops(fd_slot(int(fd)));
			if (ops && ops != &own_ops && ops->closed)
				ops->closed(int(fd));
		}
		fd_range_closing(first, last);
		return true;
	});
	errno = saved;
	return close_runs(first, last, flags);
}

} // namespace

ZVSIM_EXPORT int fcntl(int fd, int cmd, ...)
{
	va_list ap;
	va_start(ap, cmd);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	return sim_fcntl(fd, cmd, [&] {
		return real::call(real::fns().fcntl, fd, cmd, arg);
	});
}

ZVSIM_EXPORT int fcntl64(int fd, int cmd, ...)
{
	va_list ap;
	va_start(ap, cmd);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	return sim_fcntl(fd, cmd, [&] {
		return real::call(real::fns().fcntl64, fd, cmd, arg);
	});
}

ZVSIM_EXPORT int close_range(unsigned first, unsigned last, int flags)
{
	return sim_close_range(first, last, flags);
}

ZVSIM_EXPORT void closefrom(int lowfd)
{
	if (lowfd < 0)
		lowfd = 0;
	if (sim_close_range(unsigned(lowfd), ~0u, 0) < 0)
		real::call(real::fns().closefrom, lowfd);
}

// A stream's descriptor is closed by the C library's own call.
ZVSIM_EXPORT int fclose(FILE *fp)
{
	int saved = errno;
	int fd = fp ? fileno_unlocked(fp) : -1; // -1: a stream without one
	errno = saved;
	if (uintptr_t slot = fd_slot(fd))
		closing(fd, slot);
	return real::call(real::fns().fclose, fp);
}

namespace zvsim
{
bool marked_truncate(int fd, int64_t len, int &result)
{
	return marked<&FdHooks::truncate>(fd_slot(fd), result, fd, len, result);
}
} // namespace zvsim
