// The steering interface tests and scripts use (zvsim/zvsim.h).
#include "export.h"
#include "guard.h"
#include "inject.h"
#include "request.h"
#include "request_log.h"
#include "state.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <zvsim/zvsim.h>

using namespace zvsim;

ZVSIM_EXPORT int zvsim_setup(const char *state_dir, const char *fsname,
                             int mdt_count)
{
	return steer_call(
	        [&] { return setup(state_dir, fsname, mdt_count, 0); });
}

ZVSIM_EXPORT int zvsim_setup_ex(const char *state_dir, const char *fsname,
                                int mdt_count, int ost_count)
{
	return steer_call(
	        [&] { return setup(state_dir, fsname, mdt_count, ost_count); });
}

ZVSIM_EXPORT int zvsim_attach(const char *state_dir)
{
	return steer_call([&] { return attach(state_dir); });
}

ZVSIM_EXPORT int zvsim_teardown(void)
{
	return steer_call([] {
		forget();
		return 0;
	});
}

ZVSIM_EXPORT const char *zvsim_mount_path(void)
{
	ConfigPtr cfg = current();
	return cfg ? cfg->mount.c_str() : nullptr;
}

ZVSIM_EXPORT const char *zvsim_instance(void)
{
	ConfigPtr cfg = current();
	return cfg ? cfg->instance.c_str() : nullptr;
}

ZVSIM_EXPORT const char *zvsim_fsname(void)
{
	ConfigPtr cfg = current();
	return cfg ? cfg->fsname.c_str() : nullptr;
}

ZVSIM_EXPORT const char *zvsim_state_dir(void)
{
	ConfigPtr cfg = current();
	return cfg ? cfg->state.c_str() : nullptr;
}

ZVSIM_EXPORT int zvsim_ost_count(void)
{
	return with_config([](const Config &cfg) { return cfg.osts; });
}

ZVSIM_EXPORT int zvsim_mdt_count(void)
{
	return with_config([](const Config &cfg) { return cfg.mdts; });
}

ZVSIM_EXPORT int zvsim_inject_errno(unsigned long code, int err, int always)
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

ZVSIM_EXPORT int zvsim_inject_reply(unsigned long code, const void *bytes,
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

ZVSIM_EXPORT int zvsim_clear_injections(void)
{
	return with_config([](const Config &cfg) { return inject_clear(cfg); });
}

ZVSIM_EXPORT int zvsim_log_read(struct zvsim_request **reqs, size_t *count)
{
	if (!reqs || !count)
		return -EINVAL;
	*reqs = nullptr;
	*count = 0;
	return with_config(
	        [&](const Config &cfg) { return log_read(cfg, reqs, count); });
}

ZVSIM_EXPORT void zvsim_log_free(struct zvsim_request *reqs, size_t count)
{
	if (!reqs)
		return;
	for (size_t i = 0; i < count; ++i)
		free(reqs[i].bytes);
	free(reqs);
}

ZVSIM_EXPORT int zvsim_log_clear(void)
{
	return with_config([](const Config &cfg) { return log_clear(cfg); });
}

ZVSIM_EXPORT int zvsim_log_enable(int on)
{
	return with_config(
	        [&](const Config &cfg) { return log_enable(cfg, on != 0); });
}

ZVSIM_EXPORT int zvsim_request_code(const char *name, unsigned long *code)
{
	if (!name || !code)
		return -EINVAL;
	const Row *row = find_row_by_name(name);
	if (!row)
		return -ENOENT;
	*code = row->code;
	return 0;
}
