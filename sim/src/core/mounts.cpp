// Further mounts of the simulated file system (mounts.h), listed in
// <state>/mounts, one path a line.
#include "mounts.h"

#include "export.h"
#include "guard.h"
#include "sysio.h"

#include <cerrno>
#include <climits>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <zvsim/zvsim.h>

namespace zvsim
{

namespace
{

bool links_to_mount(const Config &cfg, const std::string &path)
{
	char buf[PATH_MAX];
	ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
	return n > 0 && std::string(buf, n) == cfg.mount;
}

int write_list(const Config &cfg, const std::vector<std::string> &list)
{
	std::string text;
	for (const std::string &m : list)
		text += m + "\n";
	return sys::write_file_atomic(cfg.path("mounts"), text);
}

} // namespace

std::vector<std::string> mounts_listed(const Config &cfg)
{
	std::string text;
	std::vector<std::string> out;
	if (sys::read_file(cfg.path("mounts"), text) < 0)
		return out;
	std::istringstream lines(text);
	for (std::string m; std::getline(lines, m);)
		if (!m.empty())
			out.push_back(m);
	return out;
}

int mount_add(const Config &cfg, const std::string &given)
{
	std::string path = given;
	while (path.size() > 1 && path.back() == '/')
		path.pop_back();
	if (path.empty() || path[0] != '/' || path == "/" ||
	    path.find('\n') != std::string::npos)
		return -EINVAL;
	if (path == cfg.mount)
		return -EEXIST;
	StateLock lock(cfg);
	struct stat st;
	if (::lstat(path.c_str(), &st) == 0) {
		if (!S_ISLNK(st.st_mode) || !links_to_mount(cfg, path))
			return -EEXIST;
	} else if (errno != ENOENT) {
		return -errno;
	} else if (::symlink(cfg.mount.c_str(), path.c_str()) < 0) {
		return -errno;
	}
	std::vector<std::string> list = mounts_listed(cfg);
	for (const std::string &m : list)
		if (m == path)
			return 0;
	list.push_back(path);
	return write_list(cfg, list);
}

int mounts_remove(const Config &cfg)
{
	StateLock lock(cfg);
	int rc = 0;
	for (const std::string &m : mounts_listed(cfg))
		if (links_to_mount(cfg, m) && ::unlink(m.c_str()) < 0 && !rc)
			rc = -errno;
	int w = write_list(cfg, {});
	return rc ? rc : w;
}

} // namespace zvsim

using namespace zvsim;

ZVSIM_EXPORT int zvsim_mount_add(const char *path)
{
	if (!path)
		return -EINVAL;
	int rc = with_config(
	        [&](const Config &cfg) { return mount_add(cfg, path); });
	if (rc == 0)
		refresh(); // this process sees the new mount at once
	return rc;
}

ZVSIM_EXPORT int zvsim_mounts(char *buf, size_t len)
{
	return with_config([&](const Config &cfg) {
		std::string text;
		for (const std::string &m : mounts_listed(cfg))
			text += m + "\n";
		if (buf && len)
			text.copy(buf, len);
		return static_cast<int>(text.size());
	});
}

ZVSIM_EXPORT int zvsim_mounts_remove(void)
{
	int rc = with_config(
	        [&](const Config &cfg) { return mounts_remove(cfg); });
	if (rc == 0)
		refresh();
	return rc;
}
