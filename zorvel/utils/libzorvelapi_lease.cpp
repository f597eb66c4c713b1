/* Leases on open files: acquire, check and release, a release possibly
 * carrying an intent (flags and ids) that the kernel acts on only while the
 * lease is still held. */
#include "zorvelapi_internal.h"

#include <sys/ioctl.h>

#include <linux/zorvel/zorvel_lease.h>

namespace
{

const char *lease_mode2str(uint32_t mode)
{
	if (mode == ZV_LEASE_WRLCK)
		return "WRITE";
	if (mode == ZV_LEASE_UNLCK)
		return "UNLOCK";
	if (mode == ZV_LEASE_RDLCK)
		return "READ";
	return "???";
}

/* The older request: the mode itself is the argument. */
int lease_by_mode(int fd, unsigned long mode)
{
	int rc = ioctl(fd, ZV_IOC_LEASE_SET_BY_MODE, mode);
	return rc < 0 ? -errno : rc;
}

bool is_acquire_mode(unsigned int mode)
{
	return mode - 1 <= 1;
}

} // namespace

ZV_EXPORT int zvapi_lease_set(int fd, const struct zv_ioc_lease *data)
{
	if (data == nullptr)
		return -EINVAL;
	int rc = ioctl(fd, ZV_IOC_LEASE_SET, data);
	if (rc >= 0)
		return rc;
	int err = errno;
	zvapi_error(ZVAPI_MSG_ERROR, -err, "cannot get %s lease, ext %x",
	            lease_mode2str(data->zil_mode), data->zil_flags);
	return -err;
}

ZV_EXPORT int zvapi_lease_acquire(int fd, enum zv_lease_mode mode)
{
	if (!is_acquire_mode(mode))
		return -EINVAL;
	struct zv_ioc_lease data = {};
	data.zil_mode = mode;
	int rc = zvapi_lease_set(fd, &data);
	if (rc != -ENOTTY)
		return rc;
	return lease_by_mode(fd, mode);
}

ZV_EXPORT int zvapi_lease_release(int fd)
{
	struct zv_ioc_lease data = {};
	data.zil_mode = ZV_LEASE_UNLCK;
	return zvapi_lease_set(fd, &data);
}

ZV_EXPORT int zvapi_lease_release_intent(int fd, struct zv_ioc_lease *data)
{
	if (data == nullptr || data->zil_mode != ZV_LEASE_UNLCK)
		return -EINVAL;
	return zvapi_lease_set(fd, data);
}

ZV_EXPORT int zvapi_lease_check(int fd)
{
	int rc = ioctl(fd, ZV_IOC_LEASE_CHECK);
	if (rc >= 0)
		return rc;
	rc = -errno;
	zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot check lease");
	return rc;
}

ZV_EXPORT int zvapi_lease_get(int fd, int mode)
{
	if (!is_acquire_mode(static_cast<unsigned int>(mode)))
		return -EINVAL;
	return lease_by_mode(fd, static_cast<unsigned long>(mode));
}

ZV_EXPORT int zvapi_lease_put(int fd)
{
	return lease_by_mode(fd, ZV_LEASE_UNLCK);
}
