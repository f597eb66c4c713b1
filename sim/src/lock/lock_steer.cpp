// Steering of group locks (zvsim/zvsim.h).
#include "lock.h"

#include "core/export.h"
#include "core/guard.h"

#include <zvsim/zvsim.h>

using namespace zvsim;

ZVSIM_EXPORT int zvsim_grouplock_show(const char *path, char *buf, size_t len)
{
	if (len && !buf)
		return -EINVAL;
	return with_config([&](const Config &cfg) {
		ObjectKey key;
		int rc = key_of_path(cfg, path, key);
		if (rc < 0)
			return rc;
		StateLock lock(cfg);
		return copy_out_text(lock::show(cfg, key), buf, len);
	});
}
