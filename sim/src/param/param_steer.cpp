// Steering of the parameter trees, the debug file system and the
// mount-table file (zvsim/zvsim.h).
#include "param.h"

#include "core/export.h"
#include "core/guard.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <zvsim/zvsim.h>

using namespace zvsim;
using namespace zvsim::param;

ZVSIM_EXPORT int zvsim_param_set(const char *kernel_path, const void *data,
                                 size_t len)
{
	return with_config([&](const Config &cfg) {
		return param_set(cfg, kernel_path, data, len);
	});
}

ZVSIM_EXPORT int zvsim_param_remove(const char *kernel_path)
{
	return with_config([&](const Config &cfg) {
		return param_remove(cfg, kernel_path);
	});
}

ZVSIM_EXPORT int zvsim_param_mkdir(const char *kernel_path)
{
	return with_config([&](const Config &cfg) {
		return param_mkdir(cfg, kernel_path);
	});
}

ZVSIM_EXPORT int zvsim_param_get(const char *kernel_path, void *buf, size_t len)
{
	if (len && !buf)
		return -EINVAL;
	return with_config([&](const Config &cfg) {
		std::string text;
		int rc = param_get(cfg, kernel_path, text);
		if (rc < 0)
			return rc;
		if (text.size() > INT_MAX)
			return -EFBIG;
		if (len && !text.empty())
			memcpy(buf, text.data(), std::min(len, text.size()));
		return static_cast<int>(text.size());
	});
}

ZVSIM_EXPORT int zvsim_pool_set(const char *pool, const char *const *members,
                                size_t n)
{
	return with_config([&](const Config &cfg) {
		return pool_set(cfg, pool, members, n);
	});
}

ZVSIM_EXPORT int zvsim_debugfs(int mounted, int mount_errno)
{
	if (mount_errno < 0 || mount_errno > 4095)
		return -EINVAL;
	return with_config([&](const Config &cfg) {
		StateLock lock(cfg);
		return debugfs_set(cfg, DebugFs{mounted != 0, mount_errno});
	});
}

ZVSIM_EXPORT int zvsim_mtab(int kind)
{
	return with_config(
	        [&](const Config &cfg) { return mtab_set(cfg, kind); });
}

ZVSIM_EXPORT const char *zvsim_mtab_path(void)
{
	try {
		ConfigPtr cfg = current();
		return cfg ? cfg->mtab.c_str() : nullptr;
	} catch (...) {
		return nullptr;
	}
}
