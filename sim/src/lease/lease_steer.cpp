// Steering of leases (zvsim/zvsim.h).
#include "lease.h"

#include "core/export.h"
#include "core/guard.h"
#include "core/object_steer.h"

#include <zvsim/zvsim.h>

using namespace zvsim;

ZVSIM_EXPORT int zvsim_lease_break(const char *path, int next)
{
	return with_config([&](const Config &cfg) {
		ObjectKey key;
		int rc = key_of_path(cfg, path, key);
		return rc < 0 ? rc : lease::break_leases(cfg, key, next != 0);
	});
}

ZVSIM_EXPORT int zvsim_lease_show(const char *path, char *buf, size_t len)
{
	return show_object(path, buf, len, lease::show);
}

ZVSIM_EXPORT int zvsim_lease_by_mode_only(int on)
{
	return with_config([&](const Config &cfg) {
		return lease::set_by_mode_only(cfg, on != 0);
	});
}
