// The kernel's parameter trees, the debug file system and the mount-table
// file, kept in the state directory.
//
// The eight trees (/sys/fs/{varn,zorvel}, /sys/kernel/debug/{varn,zorvel},
// /proc/fs/{varn,zorvel}, /proc/sys/{varn,zorvel}) live under
// <state>/params with their kernel paths: /proc/fs/zorvel/version is
// <state>/params/proc/fs/zorvel/version. The debug trees are visible only
// while the simulated debug file system is mounted.
#pragma once

#include "core/request.h"
#include "core/sysio.h"

#include <cstdio>
#include <cstring>
#include <glob.h>
#include <string>
#include <string_view>
#include <type_traits>

namespace zvsim::param
{

extern const Family family;

// Request codes of the debug file system's calls.
constexpr uint32_t REQ_STATFS = 0x5A560003U;
constexpr uint32_t REQ_MOUNT = 0x5A560004U;

constexpr unsigned long DEBUGFS_MAGIC = 0x64626720;
constexpr unsigned long SYSFS_MAGIC = 0x62656572;
constexpr const char *DEBUGFS_DIR = "/sys/kernel/debug";
constexpr const char *MTAB = "/etc/mtab";

// Cheap test, without allocation, that an absolute path (of len bytes) may
// name something under one of the trees (or the mount-table file when mtab
// is set).
bool param_candidate(const char *path, size_t len, bool mtab);
inline bool param_candidate(const char *path, bool mtab = false)
{
	return path && param_candidate(path, std::strlen(path), mtab);
}

// "//" and "." removed, ".." resolved against the text: the kernel's
// reading of a path whose directories are no symbolic links.
std::string normalize_path(std::string_view path);

enum class Where {
	Outside, // not in the trees: the original path applies
	Mapped,  // out holds the path in the state directory
	Hidden,  // in a debug tree while debugfs is not mounted: ENOENT
};
// Where a kernel path lives while this simulation runs.
Where map_param(const Config &cfg, const char *path, std::string &out);
// <state>/etc/mtab when path names /etc/mtab.
bool map_mtab(const Config &cfg, const char *path, std::string &out);

// Simulated debug file system: mounted or not, and what a mount answers.
struct DebugFs {
	bool mounted = true;
	int mount_errno = 0;
};
DebugFs debugfs_get(const Config &cfg);
int debugfs_set(const Config &cfg, const DebugFs &d);
// A mount of the debug file system: 0 or -errno, updating the state.
int debugfs_mount(const Config &cfg);

// The mount-table file: none, a regular file or a symbolic link.
int mtab_set(const Config &cfg, int kind);

// Default trees and mount-table file of a new state directory (no-op when
// they exist).
int params_init(const Config &cfg);

// Steering of parameters.
int param_set(const Config &cfg, const char *path, const void *data,
              size_t len);
int param_get(const Config &cfg, const char *path, std::string &out);
int param_remove(const Config &cfg, const char *path);
int param_mkdir(const Config &cfg, const char *path);
int pool_set(const Config &cfg, const char *pool, const char *const *members,
             size_t n);

// --- calls on kernel paths (param_files.cpp) -----------------------------
// Paths here are copies in the simulator's memory.

// Where a path the caller gave lives in the current simulation (with mtab,
// /etc/mtab too); out is the state's path when Mapped.
Where resolve(const char *path, bool mtab, std::string &out);

// Runs call(state path) for a path in the trees (with mtab, or /etc/mtab):
// true when it did, result set (a hidden path fails with ENOENT).
template <typename R, typename Call>
bool on_state_path(const char *path, bool mtab, R &result, Call &&call)
{
	if (!param_candidate(path, mtab))
		return false;
	std::string mapped;
	switch (resolve(path, mtab, mapped)) {
	case Where::Outside:
		return false;
	case Where::Hidden:
		errno = ENOENT;
		if constexpr (std::is_pointer_v<R>)
			result = nullptr;
		else
			result = -1;
		return true;
	case Where::Mapped:
		break;
	}
	sys::Reentry guard;
	result = call(mapped.c_str());
	return true;
}

// Opens of kernel paths (open family, fopen): true when served here.
bool open(OpenCall &call, int &result);
bool fopen(const char *path, const char *mode, FILE *&result);
bool opendir(const char *path, DIR *&result);

// statfs() of the debug file system's directory into the caller's buffer
// (struct statfs or statfs64): true when served here.
bool statfs(const char *path, void *user_buf, size_t size, int &result);
// mount() on the debug file system's directory: true when served here.
bool mount(const char *source, const char *target, const char *type,
           int &result);

// glob() of a pattern that may reach the trees: true when served here.
bool glob(const char *pattern, int flags, int (*errfunc)(const char *, int),
          glob_t *pglob, int &result);
bool glob64(const char *pattern, int flags, int (*errfunc)(const char *, int),
            glob64_t *pglob, int &result);

// The mount table's stream, the simulated mount listed after the real
// ones (mount_table.cpp).
FILE *mount_table_stream(const Config &cfg, const char *file);

} // namespace zvsim::param
