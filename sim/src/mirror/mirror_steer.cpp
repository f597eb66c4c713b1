// Steering of mirrored files (zvsim/zvsim.h).
#include "mirror.h"

#include "core/export.h"
#include "core/guard.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <zvsim/zvsim.h>

using namespace zvsim;

namespace
{

// Copies text into buf (up to len bytes); the full size.
int copy_out(const std::string &text, void *buf, size_t len)
{
	if (text.size() > INT_MAX)
		return -EFBIG;
	if (len && !text.empty())
		memcpy(buf, text.data(), std::min(len, text.size()));
	return static_cast<int>(text.size());
}

} // namespace

ZVSIM_EXPORT int zvsim_mirror_count(const char *path, unsigned n)
{
	return with_config([&](const Config &cfg) {
		return mirror::set_count(cfg, path, n);
	});
}

ZVSIM_EXPORT int zvsim_mirror_list(const char *path, char *buf, size_t len)
{
	if (len && !buf)
		return -EINVAL;
	return with_config([&](const Config &cfg) {
		std::string text;
		int rc = mirror::list(cfg, path, text);
		return rc < 0 ? rc : copy_out(text, buf, len);
	});
}

ZVSIM_EXPORT int zvsim_mirror_read(const char *path, unsigned id, int64_t off,
                                   void *buf, size_t len)
{
	if ((len && !buf) || len > INT_MAX)
		return -EINVAL;
	return with_config([&](const Config &cfg) {
		std::string data;
		int rc = mirror::read(cfg, path, id, off, len, data);
		return rc < 0 ? rc : copy_out(data, buf, len);
	});
}

ZVSIM_EXPORT int zvsim_mirror_fail_data_seek(const char *path, int err)
{
	return with_config([&](const Config &cfg) {
		return mirror::fail_data_seek(cfg, path, err);
	});
}
