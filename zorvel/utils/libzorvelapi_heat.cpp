/* File heat: the kernel client's access counts of a file, and its flags. */
#include "zorvelapi_internal.h"

#include <sys/ioctl.h>

ZV_EXPORT int zvapi_heat_get(int fd, struct zo_heat *heat)
{
	if (ioctl(fd, ZV_IOC_HEAT_GET, heat) >= 0)
		return 0;
	int rc = -errno;
	zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot get heat");
	return rc;
}

ZV_EXPORT int zvapi_heat_set(int fd, uint64_t flags)
{
	uint64_t value = flags;
	if (ioctl(fd, ZV_IOC_HEAT_SET, &value) >= 0)
		return 0;
	int rc = -errno;
	zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot set heat flags");
	return rc;
}
