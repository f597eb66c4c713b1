// Interposed requests on descriptors: ioctl() and name_to_handle_at(). The
// file system's own requests go through the request table; everything
// else goes to libc unchanged.
#include "core/export.h"
#include "core/fd_table.h"
#include "core/guard.h"
#include "core/real.h"
#include "core/request.h"
#include "fid/fid.h"

#include <cstdarg>
#include <sys/ioctl.h>

using namespace zvsim;

ZVSIM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept
{
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	uint32_t code = norm_code(request);
	int rc;
	if (ioctl_may_be_served(code) &&
	    guarded(rc, [&] { return dispatch_ioctl(fd, code, arg, rc); }))
		return rc;
	rc = real::call(real::fns().ioctl, fd, request, arg);
	// The close-on-exec flag set or cleared the other way.
	if ((code == FIOCLEX || code == FIONCLEX) && rc == 0 && fd_file(fd))
		fd_cloexec_changed(fd);
	return rc;
}

ZVSIM_EXPORT int name_to_handle_at(int dirfd, const char *path,
                                   struct file_handle *handle, int *mount_id,
                                   int flags) noexcept
{
	int rc;
	if (may_simulate() && guarded(rc, [&] {
		    return fid::name_to_handle(dirfd, path, handle, mount_id,
		                               flags, rc);
	    }))
		return rc;
	return real::call(real::fns().name_to_handle_at, dirfd, path, handle,
	                  mount_id, flags);
}
