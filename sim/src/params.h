// The kernel's parameter trees, the debug file system and the mount-table
// file, kept in the state directory.
//
// The eight trees (/sys/fs/{varn,zorvel}, /sys/kernel/debug/{varn,zorvel},
// /proc/fs/{varn,zorvel}, /proc/sys/{varn,zorvel}) live under
// <state>/params with their kernel paths: /proc/fs/zorvel/version is
// <state>/params/proc/fs/zorvel/version. The debug trees are visible only
// while the simulated debug file system is mounted.
#pragma once

#include "state.h"

#include <string>
#include <string_view>

namespace zvsim
{

constexpr unsigned long DEBUGFS_MAGIC = 0x64626720;
constexpr unsigned long SYSFS_MAGIC = 0x62656572;
constexpr const char *DEBUGFS_DIR = "/sys/kernel/debug";
constexpr const char *MTAB = "/etc/mtab";

// Cheap test, without allocation, that an absolute path may name something
// under one of the trees (or the mount-table file when mtab is set).
bool param_candidate(const char *path, bool mtab = false);

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
// As map_param, for the steering calls: the debug trees are never hidden
// and only paths strictly inside a tree root are accepted.
bool steer_path(const Config &cfg, const char *path, std::string &out);
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

// Opens of kernel paths (open family): true when served here.
bool param_open(const char *path, int flags, unsigned mode, int &result);

} // namespace zvsim
