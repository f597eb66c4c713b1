// Parameter trees, debug file system and mount-table file of a simulation:
// where they live in the state directory, their default content, and the
// steering that changes them.
#include "param.h"

#include "core/path_scan.h"
#include "core/real.h"
#include "core/sysio.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <zvsim/zvsim.h>

namespace zvsim::param
{

namespace
{

// The trees, in the order the client library searches them.
constexpr std::string_view ROOTS[] = {
        "/sys/fs/varn",           "/sys/fs/zorvel",
        "/sys/kernel/debug/varn", "/sys/kernel/debug/zorvel",
        "/proc/fs/varn",          "/proc/fs/zorvel",
        "/proc/sys/varn",         "/proc/sys/zorvel",
};
constexpr std::string_view DEBUG_PREFIX = "/sys/kernel/debug/";
constexpr const char *VERSION_TEXT = "zorvel: 2.16.0\n";
constexpr size_t POOL_NAME_MAX = 15;

// Index of the root that holds normalized path n, or -1; *is_root when n
// is the root itself.
int root_of(const std::string &n, bool *is_root = nullptr)
{
	for (size_t i = 0; i < std::size(ROOTS); ++i) {
		std::string_view r = ROOTS[i];
		if (n.compare(0, r.size(), r) != 0)
			continue;
		if (n.size() == r.size() || n[r.size()] == '/') {
			if (is_root)
				*is_root = n.size() == r.size();
			return static_cast<int>(i);
		}
	}
	return -1;
}

std::string params_dir(const Config &cfg)
{
	return cfg.state + "/params";
}

int write_new(const std::string &path, const std::string &text)
{
	int fd = sys::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0)
		return fd;
	int rc = sys::write_all(fd, text.data(), text.size());
	sys::close(fd);
	return rc;
}

std::string mount_line(const Config &cfg)
{
	return cfg.nid + ":/" + cfg.fsname + " " + cfg.mount +
	       " zorvel rw,flock,user_xattr,lazystatfs 0 0\n";
}

std::string targets(const Config &cfg, const char *kind, int count)
{
	std::string out;
	for (int i = 0; i < count; ++i) {
		char line[96];
		snprintf(line, sizeof line, "%d: %s-%s%04x_UUID ACTIVE\n", i,
		         cfg.fsname.c_str(), kind, i);
		out += line;
	}
	return out;
}

// The default trees, written below dir (a new directory).
int build_params(const Config &cfg, const std::string &dir)
{
	for (std::string_view r : ROOTS) {
		int rc = sys::mkdir_p(dir + std::string(r));
		if (rc < 0)
			return rc;
	}
	std::string proc = dir + "/proc/fs/zorvel",
	            sys = dir + "/sys/fs/zorvel";
	std::string lov =
	        proc + "/lov/" + cfg.fsname + "-clilov-" + cfg.instance;
	std::string lmv =
	        sys + "/lmv/" + cfg.fsname + "-clilmv-" + cfg.instance;
	std::string zvlite = sys + "/zvlite/" + cfg.fsname + "-" + cfg.instance;
	std::string nodemap = proc + "/nodemap";
	const struct {
		std::string path, text;
	} files[] = {
	        {proc + "/version", VERSION_TEXT},
	        {lov + "/target_obd", targets(cfg, "OST", cfg.osts)},
	        {lmv + "/target_obd", targets(cfg, "MDT", cfg.mdts)},
	        {zvlite + "/pcc", ""},
	        {nodemap + "/active", "0\n"},
	        {nodemap + "/default/id", "0\n"},
	        {nodemap + "/default/admin_nodemap", "0\n"},
	        {nodemap + "/default/trusted_nodemap", "0\n"},
	        {nodemap + "/default/squash_uid", "65534\n"},
	        {nodemap + "/default/squash_gid", "65534\n"},
	};
	int rc;
	if ((rc = sys::mkdir_p(lov + "/pools")) < 0)
		return rc;
	for (const auto &f : files) {
		auto slash = f.path.rfind('/');
		if ((rc = sys::mkdir_p(f.path.substr(0, slash))) < 0 ||
		    (rc = write_new(f.path, f.text)) < 0)
			return rc;
	}
	return 0;
}

int build_etc(const Config &cfg, const std::string &dir)
{
	int rc = sys::mkdir_p(dir);
	if (rc < 0 || (rc = write_new(dir + "/mounts", mount_line(cfg))) < 0)
		return rc;
	return ::symlink("mounts", (dir + "/mtab").c_str()) < 0 ? -errno : 0;
}

// Builds a directory under a temporary name and renames it into place, so
// other processes see all of it or nothing; the first one wins.
template <typename Build>
int create_once(const Config &cfg, const std::string &dest, Build &&build)
{
	struct stat st;
	if (real::fns().lstat(dest.c_str(), &st) == 0)
		return 0;
	std::string tmp = dest + ".new." + std::to_string(getpid());
	sys::remove_all(tmp);
	int rc = build(cfg, tmp);
	if (rc == 0 && ::rename(tmp.c_str(), dest.c_str()) < 0 &&
	    errno != EEXIST && errno != ENOTEMPTY)
		rc = -errno;
	sys::remove_all(tmp);
	return rc;
}

int parse_int(const std::string &text, const char *key, int dflt)
{
	std::istringstream in(text);
	std::string k;
	int v;
	while (in >> k >> v)
		if (k == key)
			return v;
	return dflt;
}

// A kernel path the steering calls accept; 1 when it is a tree's root.
int steer_target(const Config &cfg, const char *path, std::string &out)
{
	if (!path || path[0] != '/')
		return -EINVAL;
	std::string n = normalize_path(path);
	bool is_root = false;
	if (root_of(n, &is_root) < 0)
		return -EINVAL;
	out = params_dir(cfg) + n;
	return is_root ? 1 : 0;
}

} // namespace

bool param_candidate(const char *path, size_t len, bool mtab)
{
	// The trees and mtab are found by the normalized path (no empty, "."
	// or ".." component), whose first component is the path's own unless
	// a component is empty or begins with a dot. This runs on every path
	// call under a simulation: most paths are told by their second byte,
	// and the rest by one pass over them for "//" and "/.".
	if (len < 2 || path[0] != '/')
		return false;
	switch (path[1]) {
	case 's': // sys
	case 'p': // proc
	case '/':
	case '.':
		return true;
	case 'e': // etc/mtab
		if (mtab)
			return true;
		break;
	}
	return any_place(
	        path, len,
	        [](const Block &k) { return pairs_at(k, '/', '/', '.'); },
	        [](size_t) { return true; });
}

std::string normalize_path(std::string_view path)
{
	std::string out;
	size_t pos = 0;
	while (pos < path.size()) {
		size_t end = path.find('/', pos);
		if (end == std::string_view::npos)
			end = path.size();
		std::string_view part = path.substr(pos, end - pos);
		pos = end + 1;
		if (part.empty() || part == ".")
			continue;
		if (part == "..") {
			auto slash = out.rfind('/');
			out.resize(slash == std::string::npos ? 0 : slash);
			continue;
		}
		out += '/';
		out += part;
	}
	return out.empty() ? "/" : out;
}

Where map_param(const Config &cfg, const char *path, std::string &out)
{
	if (!path || path[0] != '/')
		return Where::Outside;
	std::string n = normalize_path(path);
	if (root_of(n) < 0)
		return Where::Outside;
	if (n.starts_with(DEBUG_PREFIX) && !debugfs_get(cfg).mounted)
		return Where::Hidden;
	out = params_dir(cfg) + n;
	// "file/" must still fail as the kernel fails it.
	if (path[std::strlen(path) - 1] == '/')
		out += '/';
	return Where::Mapped;
}

bool map_mtab(const Config &cfg, const char *path, std::string &out)
{
	if (!path || path[0] != '/' || normalize_path(path) != MTAB)
		return false;
	out = cfg.state + "/etc/mtab";
	return true;
}

DebugFs debugfs_get(const Config &cfg)
{
	DebugFs d;
	std::string text;
	if (sys::read_file(cfg.path("debugfs"), text) == 0) {
		d.mounted = parse_int(text, "mounted", 1) != 0;
		d.mount_errno = parse_int(text, "errno", 0);
	}
	return d;
}

int debugfs_set(const Config &cfg, const DebugFs &d)
{
	std::string text = "mounted " + std::to_string(d.mounted ? 1 : 0) +
	                   "\nerrno " + std::to_string(d.mount_errno) + "\n";
	return sys::write_file_atomic(cfg.path("debugfs"), text);
}

int debugfs_mount(const Config &cfg)
{
	StateLock lock(cfg);
	DebugFs d = debugfs_get(cfg);
	if (d.mounted)
		return -EBUSY;
	if (d.mount_errno)
		return -d.mount_errno;
	d.mounted = true;
	int rc = debugfs_set(cfg, d);
	return rc < 0 ? rc : 0;
}

int mtab_set(const Config &cfg, int kind)
{
	if (kind != ZVSIM_MTAB_NONE && kind != ZVSIM_MTAB_REGULAR &&
	    kind != ZVSIM_MTAB_SYMLINK)
		return -EINVAL;
	StateLock lock(cfg);
	std::string etc = cfg.state + "/etc", mtab = etc + "/mtab";
	int rc = sys::mkdir_p(etc);
	if (rc < 0)
		return rc;
	rc = sys::remove_all(mtab);
	if (rc < 0 && rc != -ENOENT)
		return rc;
	switch (kind) {
	case ZVSIM_MTAB_REGULAR:
		return sys::write_file_atomic(mtab, mount_line(cfg));
	case ZVSIM_MTAB_SYMLINK:
		if (real::fns().access((etc + "/mounts").c_str(), F_OK) < 0 &&
		    (rc = write_new(etc + "/mounts", mount_line(cfg))) < 0)
			return rc;
		return ::symlink("mounts", mtab.c_str()) < 0 ? -errno : 0;
	}
	return 0;
}

int params_init(const Config &cfg)
{
	int rc = create_once(cfg, params_dir(cfg), build_params);
	if (rc < 0)
		return rc;
	return create_once(cfg, cfg.state + "/etc", build_etc);
}

int param_set(const Config &cfg, const char *path, const void *data, size_t len)
{
	if (len && !data)
		return -EINVAL;
	std::string target;
	int rc = steer_target(cfg, path, target);
	if (rc != 0)
		return rc < 0 ? rc : -EISDIR;
	if ((rc = sys::mkdir_p(target.substr(0, target.rfind('/')))) < 0)
		return rc;
	struct stat st;
	if (real::fns().lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
		return -EISDIR;
	return sys::write_file_atomic(
	        target, std::string(static_cast<const char *>(data), len));
}

int param_get(const Config &cfg, const char *path, std::string &out)
{
	std::string target;
	int rc = steer_target(cfg, path, target);
	if (rc < 0)
		return rc;
	return sys::read_file(target, out);
}

int param_remove(const Config &cfg, const char *path)
{
	std::string target;
	int rc = steer_target(cfg, path, target);
	return rc < 0 ? rc : sys::remove_all(target);
}

int param_mkdir(const Config &cfg, const char *path)
{
	std::string target;
	int rc = steer_target(cfg, path, target);
	return rc < 0 ? rc : sys::mkdir_p(target);
}

int pool_set(const Config &cfg, const char *pool, const char *const *members,
             size_t n)
{
	if (!pool || !*pool || std::strlen(pool) > POOL_NAME_MAX ||
	    std::strchr(pool, '/') || !std::strcmp(pool, ".") ||
	    !std::strcmp(pool, "..") || (n && !members))
		return -EINVAL;
	std::string text;
	for (size_t i = 0; i < n; ++i) {
		if (!members[i] || !*members[i] ||
		    std::strchr(members[i], '\n'))
			return -EINVAL;
		text += members[i];
		text += '\n';
	}
	std::string path = "/proc/fs/zorvel/lov/" + cfg.fsname + "-clilov-" +
	                   cfg.instance + "/pools/" + pool;
	return param_set(cfg, path.c_str(), text.data(), text.size());
}

const Row rows[] = {
        {.code = REQ_STATFS, .name = "STATFS", .target = Target::Call},
        {.code = REQ_MOUNT, .name = "MOUNT", .target = Target::Call},
};

const Family family = {
        .rows = rows,
        .init = params_init,
        .open = open,
        .open_words = {"sys", "proc"},
        .fopen = fopen,
        .opendir = opendir,
};

} // namespace zvsim::param
