/* Access advice: a batch of advices on byte ranges of a file, given to the
 * kernel client in one request. Failures are -1 with errno set. */
#include "zorvelapi_internal.h"

#include <cstring>
#include <sys/ioctl.h>

ZV_EXPORT int zvapi_ladvise(int fd, uint64_t flags, int num_advise,
                            zvapi_zo_ladvise *ladvise)
{
	if (num_advise < 1 || num_advise > LADVISE_MAX_COUNT) {
		errno = EINVAL;
		zvapi_error(ZVAPI_MSG_ERROR, -EINVAL, "bad advice number %d",
		            num_advise);
		return -1;
	}
	if (ladvise == nullptr) {
		errno = EINVAL;
		return -1;
	}
	size_t n = static_cast<size_t>(num_advise);
	size_t size = sizeof(zvapi_ladvise_hdr) + n * sizeof(zvapi_zo_ladvise);
	zv::unique_malloc<zvapi_ladvise_hdr> req(
	        zv::calloc_as<zvapi_ladvise_hdr>(size));
	if (!req) {
		errno = ENOMEM;
		zvapi_error(ZVAPI_MSG_ERROR, -ENOMEM, "not enough memory");
		return -1;
	}
	req->zah_magic = LADVISE_MAGIC;
	req->zah_count = n;
	req->zah_flags = flags & LADVISE_FLAGS_MASK;
	memcpy(req->zah_advise, ladvise, n * sizeof(zvapi_zo_ladvise));

	int rc = ioctl(fd, ZV_IOC_LADVISE, req.get());
	if (rc < 0) {
		zvapi_error(ZVAPI_MSG_ERROR, -errno, "cannot give advice");
		return rc;
	}
	for (size_t i = 0; i < n; i++)
		if (req->zah_advise[i].zla_advice == ZO_LADVISE_LOCKAHEAD)
			ladvise[i].zla_value3 = req->zah_advise[i].zla_value3;
	return 0;
}
