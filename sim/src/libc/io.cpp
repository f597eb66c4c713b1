// Interposed I/O on descriptors: a descriptor a family registered (a
// change-log device) is served by that family; every other one costs one
// look at the descriptor table, no lock and no system call.
#include "core/export.h"
#include "core/fd_table.h"
#include "core/guard.h"
#include "libc/real.h"

#include <cstdlib>

using namespace zvsim;

namespace
{

const FileOps *served(int fd)
{
	const FileOps *ops = fd_ops(fd);
	return ops && !sys::Reentry::inside() ? ops : nullptr;
}

// dup2/dup3: the kernel closes newfd first, then it names old's file.
int after_dup(int old, int fd)
{
	if (fd < 0 || fd == old)
		return fd;
	int ignored = 0;
	guarded(ignored, [&] {
		if (const FileOps *was = fd_ops(fd); was && was->closed)
			was->closed(fd);
		if (const FileOps *ops = fd_ops(old); ops && ops->duped)
			ops->duped(old, fd);
		return true;
	});
	return fd;
}

} // namespace

ZVSIM_EXPORT ssize_t read(int fd, void *buf, size_t count)
{
	if (const FileOps *ops = served(fd); ops && ops->read) {
		ssize_t r = -1;
		if (guarded(r, [&] { return ops->read(fd, buf, count, r); }))
			return r;
	}
	return real::call(real::fns().read, fd, buf, count);
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

ZVSIM_EXPORT ssize_t write(int fd, const void *buf, size_t count)
{
	if (const FileOps *ops = served(fd); ops && ops->write) {
		ssize_t r = -1;
		if (guarded(r, [&] { return ops->write(fd, buf, count, r); }))
			return r;
	}
	return real::call(real::fns().write, fd, buf, count);
}

ZVSIM_EXPORT off_t lseek(int fd, off_t off, int whence)
{
	if (const FileOps *ops = served(fd); ops && ops->seek) {
		int64_t r = -1;
		if (guarded(r, [&] { return ops->seek(fd, off, whence, r); }))
			return static_cast<off_t>(r);
	}
	return real::call(real::fns().lseek, fd, off, whence);
}

ZVSIM_EXPORT off64_t lseek64(int fd, off64_t off, int whence)
{
	if (const FileOps *ops = served(fd); ops && ops->seek) {
		int64_t r = -1;
		if (guarded(r, [&] { return ops->seek(fd, off, whence, r); }))
			return static_cast<off64_t>(r);
	}
	return real::call(real::fns().lseek64, fd, off, whence);
}

ZVSIM_EXPORT int close(int fd)
{
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
	int fd = real::call(real::fns().dup, old);
	return after_dup(old, fd);
}

ZVSIM_EXPORT int dup2(int old, int newfd)
{
	return after_dup(old, real::call(real::fns().dup2, old, newfd));
}

ZVSIM_EXPORT int dup3(int old, int newfd, int flags)
{
	return after_dup(old, real::call(real::fns().dup3, old, newfd, flags));
}
