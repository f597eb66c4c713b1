// Steering of stored layouts (zvsim/zvsim.h): raw records, byte for byte.
#include "layout.h"

#include "core/export.h"
#include "core/guard.h"
#include "core/sysio.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include <zvsim/zvsim.h>

using namespace zvsim;

ZVSIM_EXPORT int zvsim_layout_store(const char *path, const char *which,
                                    const void *bytes, size_t len)
{
	if (!path || !which || (len && !bytes))
		return -EINVAL;
	bool lmv = std::strcmp(which, "lmv") == 0;
	if (!lmv && std::strcmp(which, "lov") != 0)
		return -EINVAL;
	return with_config([&](const Config &cfg) {
		int fd = sys::open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
		if (fd < 0)
			return fd;
		Object obj;
		int rc =
		        object_of(cfg, fd, obj)
		                ? layout::store_raw(
		                          cfg, obj, lmv,
		                          std::string(static_cast<const char *>(
		                                              bytes),
		                                      len))
		                : -EXDEV; // not in the mount
		sys::close(fd);
		return rc;
	});
}
