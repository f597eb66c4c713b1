// Finding objects of a simulated mount by inode number.
//
// The links of an object are the paths, relative to the mount root, of the
// directory entries that name it, sorted byte-wise. The walk does not follow
// symbolic links, stays on the mount's device, and skips the .zorvel
// directory at the root.
#pragma once

#include "state.h"

#include <string>
#include <vector>

namespace zvsim
{

// Links of inode ino (empty when none). Stops early once every link the
// object's link count announces has been seen.
std::vector<std::string> find_links(const Config &cfg, ino_t ino);

// Relative path naming the object behind a FID: link 0 for ordinary
// objects. -EINVAL for a FID outside this file system's sequences, -ENOENT
// when no object has it.
int fid_to_rel(const Config &cfg, const Fid &fid, std::string &rel);

// All links of the object behind a FID, as find_links() (the root and the
// .zorvel directories have exactly one).
int fid_links(const Config &cfg, const Fid &fid,
              std::vector<std::string> &links);

std::string parent_of(const std::string &rel);
std::string basename_of(const std::string &rel);

} // namespace zvsim
