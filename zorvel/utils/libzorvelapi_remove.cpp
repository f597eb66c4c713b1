/* Removals the kernel client does without the usual path walk: objects by
 * FID, directory entries without their objects, and foreign objects. */
#include "zorvelapi_internal.h"

#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <sys/ioctl.h>

ZV_EXPORT int zvapi_rmfid(const char *path, struct fid_array *fa)
{
	if (path == nullptr || fa == nullptr)
		return -EINVAL;
	zv::unique_fd fd(zv::open_high(path, O_RDONLY | O_NONBLOCK |
	                                             O_NOFOLLOW | O_CLOEXEC));
	if (!fd.valid()) {
		if (errno != ENOENT)
			return -errno;
		char root[PATH_MAX];
		int rc = zvapi_search_rootpath(root, path);
		if (rc != 0)
			return rc;
		fd.reset(zv::open_high(root, O_RDONLY | O_NONBLOCK |
		                                     O_NOFOLLOW | O_CLOEXEC));
		if (!fd.valid())
			return -errno;
	}
	if (ioctl(fd.get(), ZV_IOC_RMFID, fa) != 0)
		return -errno;
	return 0;
}

ZV_EXPORT int zvapi_direntry_remove(char *dname)
{
	if (dname == nullptr)
		return -EINVAL;
	zv::unique_malloc<char> name_copy(strdup(dname));
	zv::unique_malloc<char> dir_copy(strdup(dname));
	if (!name_copy || !dir_copy)
		return -ENOMEM;
	const char *name = basename(name_copy.get());
	const char *dir = dirname(dir_copy.get());

	zv::unique_fd fd(
	        zv::open_high(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	if (!fd.valid()) {
		int rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, rc, "unable to open '%s'", name);
		return rc;
	}
	if (ioctl(fd.get(), ZV_IOC_REMOVE_ENTRY, name) != 0) {
		/* Reported and returned: a silent 0 would hide the failure. */
		int err = errno;
		zvapi_error(ZVAPI_MSG_ERROR, err,
		            "error on ioctl %#lx for '%s' (%d)",
		            (unsigned long)ZV_IOC_REMOVE_ENTRY, name, fd.get());
		return -err;
	}
	return 0;
}

ZV_EXPORT int zvapi_unlink_foreign(char *name)
{
	if (name == nullptr)
		return -EINVAL;
	zv::unique_fd fd(zv::open_high(name, O_RDONLY | O_DIRECTORY |
	                                             O_NOFOLLOW | O_CLOEXEC));
	if (!fd.valid() && errno == ENOTDIR)
		fd.reset(
		        zv::open_high(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
	if (!fd.valid()) {
		int rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, rc, "unable to open '%s'", name);
		return rc;
	}
	if (ioctl(fd.get(), ZV_IOC_FOREIGN_UNLINK_PREP) != 0)
		zvapi_error(ZVAPI_MSG_ERROR, errno,
		            "error on ioctl %#lx for '%s' (%d)",
		            (unsigned long)ZV_IOC_FOREIGN_UNLINK_PREP, name,
		            fd.get());
	int rc = unlinkat(AT_FDCWD, name, 0);
	if (rc != 0 && errno == EISDIR)
		rc = unlinkat(AT_FDCWD, name, AT_REMOVEDIR);
	if (rc != 0) {
		rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, -rc,
		            "error on unlinkat for '%s' (%d)", name, fd.get());
	}
	return rc;
}
