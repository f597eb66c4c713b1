// Further mounts of the simulated file system at paths the caller names.
// Each is a symbolic link to the mount, so it names the same objects with
// the same device and inode numbers and FIDs; all are listed in the mount
// table, and every answer given as a path names the first mount.
#pragma once

#include "state.h"

#include <string>
#include <vector>

namespace zvsim
{

// Adds path (absolute) as a mount: 0, -EEXIST when something else is
// there, or -errno.
int mount_add(const Config &cfg, const std::string &path);
// The further mounts as listed now (not as this process loaded them).
std::vector<std::string> mounts_listed(const Config &cfg);
// Removes every further mount that still links to the mount.
int mounts_remove(const Config &cfg);

} // namespace zvsim
