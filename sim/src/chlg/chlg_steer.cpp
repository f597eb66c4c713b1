// Steering of the change logs (zvsim/zvsim.h).
#include "chlg.h"

#include "core/export.h"
#include "core/guard.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <zvsim/zvsim.h>

using namespace zvsim;

namespace
{

// Runs fn with the current simulation and the target's index; -ENOENT
// without a simulation or for an unknown target. Nothing unwinds.
template <typename Fn>
int with_target(const char *target, Fn &&fn) noexcept
{
	if (!target)
		return with_config([](const Config &) { return -EINVAL; });
	return with_config([&](const Config &cfg) {
		int index = chlg::target_index(cfg, target);
		return index < 0 ? -ENOENT : fn(cfg, index);
	});
}

} // namespace

ZVSIM_EXPORT int zvsim_changelog_register(const char *target, char *user,
                                          size_t len)
{
	if (!user && len)
		return -EINVAL;
	return with_target(target, [&](const Config &cfg, int index) {
		std::string name;
		int rc = chlg::user_register(cfg, index, name);
		if (rc < 0)
			return rc;
		if (name.size() >= len)
			return -EOVERFLOW;
		memcpy(user, name.c_str(), name.size() + 1);
		return 0;
	});
}

ZVSIM_EXPORT int zvsim_changelog_deregister(const char *target,
                                            const char *user)
{
	if (!user)
		return -EINVAL;
	return with_target(target, [&](const Config &cfg, int index) {
		return chlg::user_deregister(cfg, index, user);
	});
}

ZVSIM_EXPORT int zvsim_changelog_users(const char *target, char *buf,
                                       size_t len)
{
	if (!buf && len)
		return -EINVAL;
	return with_target(target, [&](const Config &cfg, int index) {
		std::string text;
		int rc = chlg::users_text(cfg, index, text);
		if (rc < 0)
			return rc;
		if (len)
			memcpy(buf, text.data(), std::min(len, text.size()));
		return static_cast<int>(text.size());
	});
}

ZVSIM_EXPORT int zvsim_changelog_mask(const char *target, uint32_t types)
{
	return with_target(target, [&](const Config &cfg, int index) {
		return chlg::set_mask(cfg, index, types);
	});
}

ZVSIM_EXPORT int zvsim_changelog_layout(const char *target, int crf_bits,
                                        int cref_bits)
{
	return with_target(target, [&](const Config &cfg, int index) {
		return chlg::set_layout(cfg, index, crf_bits, cref_bits);
	});
}

ZVSIM_EXPORT int zvsim_changelog_append(const char *target, const void *bytes,
                                        size_t len)
{
	if (!bytes && len)
		return -EINVAL;
	return with_target(target, [&](const Config &cfg, int index) {
		return chlg::append_raw(cfg, index, bytes, len);
	});
}
