// Steering of group locks (zvsim/zvsim.h).
#include "grouplock.h"

#include "core/export.h"
#include "core/object_steer.h"

#include <zvsim/zvsim.h>

using namespace zvsim;

ZVSIM_EXPORT int zvsim_grouplock_show(const char *path, char *buf, size_t len)
{
	return show_object(path, buf, len,
	                   [](const Config &cfg, const ObjectKey &key) {
		                   StateLock lock(cfg);
		                   return swap::show(cfg, key);
	                   });
}
