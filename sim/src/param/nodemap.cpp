// Nodemaps: parameter directories /proc/fs/zorvel/nodemap/<name>, each
// with the files a nodemap publishes, added and removed by steering.
#include "param.h"

#include "core/export.h"
#include "core/guard.h"
#include "core/sysio.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>

#include <zvsim/zvsim.h>

using namespace zvsim;

namespace
{

constexpr const char *NODEMAPS = "/proc/fs/zorvel/nodemap";

// 1 to 64 letters, digits, '_', '-' or '.', not "." or "..": a directory
// name, and not "active", which is a file of its own.
bool valid_name(const char *name)
{
	if (!name)
		return false;
	size_t n = strlen(name);
	if (n < 1 || n > 64 || !strcmp(name, ".") || !strcmp(name, "..") ||
	    !strcmp(name, "active"))
		return false;
	for (const char *p = name; *p; p++)
		if (!isalnum(static_cast<unsigned char>(*p)) && *p != '_' &&
		    *p != '-' && *p != '.')
			return false;
	return true;
}

int nodemap_add(const Config &cfg, const char *name)
{
	std::string dir = std::string(NODEMAPS) + "/" + name;
	std::string existing;
	if (param::param_get(cfg, (dir + "/id").c_str(), existing) == 0)
		return -EEXIST;
	// Ids are one more than the largest there is, the default's being 0.
	unsigned long id = 0;
	if (DIR *d = sys::open_dir(AT_FDCWD,
	                           (cfg.path("params") + NODEMAPS).c_str())) {
		while (struct dirent *e = ::readdir(d)) {
			std::string value;
			if (e->d_name[0] != '.' &&
			    param::param_get(cfg,
			                     (std::string(NODEMAPS) + "/" +
			                      e->d_name + "/id")
			                             .c_str(),
			                     value) == 0)
				id = std::max(id, strtoul(value.c_str(),
				                          nullptr, 10));
		}
		::closedir(d);
	}
	const std::pair<const char *, std::string> files[] = {
	        {"id", std::to_string(id + 1) + "\n"},
	        {"admin_nodemap", "0\n"},
	        {"trusted_nodemap", "0\n"},
	        {"squash_uid", "65534\n"},
	        {"squash_gid", "65534\n"},
	};
	for (const auto &[file, value] : files) {
		int rc = param::param_set(cfg, (dir + "/" + file).c_str(),
		                          value.data(), value.size());
		if (rc < 0) {
			param::param_remove(cfg, dir.c_str());
			return rc;
		}
	}
	return 0;
}

} // namespace

ZVSIM_EXPORT int zvsim_nodemap_add(const char *name)
{
	if (!valid_name(name) || !strcmp(name, "default"))
		return -EINVAL;
	return with_config([&](const Config &cfg) {
		StateLock lock(cfg);
		return nodemap_add(cfg, name);
	});
}

ZVSIM_EXPORT int zvsim_nodemap_remove(const char *name)
{
	if (!valid_name(name))
		return -EINVAL;
	return with_config([&](const Config &cfg) {
		StateLock lock(cfg);
		std::string dir = std::string(NODEMAPS) + "/" + name;
		std::string id;
		if (param::param_get(cfg, (dir + "/id").c_str(), id) < 0)
			return -ENOENT;
		return param::param_remove(cfg, dir.c_str());
	});
}
