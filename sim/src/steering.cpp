// The steering interface tests and scripts use (zvsim/zvsim.h).
#include "control.h"
#include "params.h"
#include "state.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <zvsim/zvsim.h>

#define ZV_EXPORT extern "C" __attribute__((visibility("default")))

using namespace zvsim;

namespace
{

// Runs fn on the current simulation, or answers -ENOENT without one.
// Nothing may unwind into a C caller: allocation failures answer -ENOMEM.
template <typename Fn>
int with_config(Fn &&fn)
{
	try {
		ConfigPtr cfg = current();
		return cfg ? fn(*cfg) : -ENOENT;
	} catch (const std::bad_alloc &) {
		return -ENOMEM;
	} catch (...) {
		return -EIO;
	}
}

} // namespace

ZV_EXPORT int zvsim_setup(const char *state_dir, const char *fsname,
                          int mdt_count)
{
	return setup(state_dir, fsname, mdt_count, 0);
}

ZV_EXPORT int zvsim_setup_ex(const char *state_dir, const char *fsname,
                             int mdt_count, int ost_count)
{
	return setup(state_dir, fsname, mdt_count, ost_count);
}

ZV_EXPORT int zvsim_attach(const char *state_dir)
{
	return attach(state_dir);
}

ZV_EXPORT int zvsim_teardown(void)
{
	forget();
	return 0;
}

ZV_EXPORT const char *zvsim_mount_path(void)
{
	ConfigPtr cfg = current();
	return cfg ? cfg->mount.c_str() : nullptr;
}

ZV_EXPORT const char *zvsim_instance(void)
{
	ConfigPtr cfg = current();
	return cfg ? cfg->instance.c_str() : nullptr;
}

ZV_EXPORT const char *zvsim_fsname(void)
{
	ConfigPtr cfg = current();
	return cfg ? cfg->fsname.c_str() : nullptr;
}

ZV_EXPORT const char *zvsim_state_dir(void)
{
	ConfigPtr cfg = current();
	return cfg ? cfg->state.c_str() : nullptr;
}

ZV_EXPORT int zvsim_ost_count(void)
{
	return with_config([](const Config &cfg) { return cfg.osts; });
}

ZV_EXPORT int zvsim_mdt_count(void)
{
	return with_config([](const Config &cfg) { return cfg.mdts; });
}

ZV_EXPORT int zvsim_inject_errno(unsigned long code, int err, int always)
{
	if (err <= 0)
		return -EINVAL;
	return with_config([&](const Config &cfg) {
		Injection inj;
		inj.code = norm_code(code);
		inj.err = err;
		inj.always = always != 0;
		return inject_add(cfg, inj);
	});
}

ZV_EXPORT int zvsim_inject_reply(unsigned long code, const void *bytes,
                                 size_t len, int result)
{
	if (len && !bytes)
		return -EINVAL;
	return with_config([&](const Config &cfg) {
		Injection inj;
		inj.code = norm_code(code);
		inj.reply = true;
		inj.result = result;
		if (len)
			inj.bytes.assign(static_cast<const char *>(bytes), len);
		return inject_add(cfg, inj);
	});
}

ZV_EXPORT int zvsim_clear_injections(void)
{
	return with_config([](const Config &cfg) { return inject_clear(cfg); });
}

ZV_EXPORT int zvsim_log_read(struct zvsim_request **reqs, size_t *count)
{
	if (!reqs || !count)
		return -EINVAL;
	*reqs = nullptr;
	*count = 0;
	return with_config(
	        [&](const Config &cfg) { return log_read(cfg, reqs, count); });
}

ZV_EXPORT void zvsim_log_free(struct zvsim_request *reqs, size_t count)
{
	if (!reqs)
		return;
	for (size_t i = 0; i < count; ++i)
		free(reqs[i].bytes);
	free(reqs);
}

ZV_EXPORT int zvsim_log_clear(void)
{
	return with_config([](const Config &cfg) { return log_clear(cfg); });
}

ZV_EXPORT int zvsim_param_set(const char *kernel_path, const void *data,
                              size_t len)
{
	return with_config([&](const Config &cfg) {
		return param_set(cfg, kernel_path, data, len);
	});
}

ZV_EXPORT int zvsim_param_remove(const char *kernel_path)
{
	return with_config([&](const Config &cfg) {
		return param_remove(cfg, kernel_path);
	});
}

ZV_EXPORT int zvsim_param_mkdir(const char *kernel_path)
{
	return with_config([&](const Config &cfg) {
		return param_mkdir(cfg, kernel_path);
	});
}

ZV_EXPORT int zvsim_param_get(const char *kernel_path, void *buf, size_t len)
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

ZV_EXPORT int zvsim_pool_set(const char *pool, const char *const *members,
                             size_t n)
{
	return with_config([&](const Config &cfg) {
		return pool_set(cfg, pool, members, n);
	});
}

ZV_EXPORT int zvsim_debugfs(int mounted, int mount_errno)
{
	if (mount_errno < 0 || mount_errno > 4095)
		return -EINVAL;
	return with_config([&](const Config &cfg) {
		StateLock lock(cfg);
		return debugfs_set(cfg, DebugFs{mounted != 0, mount_errno});
	});
}

ZV_EXPORT int zvsim_mtab(int kind)
{
	return with_config(
	        [&](const Config &cfg) { return mtab_set(cfg, kind); });
}

ZV_EXPORT const char *zvsim_mtab_path(void)
{
	try {
		ConfigPtr cfg = current();
		return cfg ? cfg->mtab.c_str() : nullptr;
	} catch (...) {
		return nullptr;
	}
}
