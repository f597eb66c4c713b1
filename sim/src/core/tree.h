// Finding objects of a simulated mount by inode number.
//
// The links of an object are the paths, relative to the mount root, of the
// directory entries that name it, sorted byte-wise. The walk does not follow
// symbolic links, stays on the mount's device, and skips the .zorvel
// directory at the root. Lookups by FID ask the link index first
// (link_index.h), which falls back to the walk.
#pragma once

#include "state.h"

#include <functional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace zvsim
{

// One directory entry met by walk_mount().
struct WalkEntry {
	const std::string &dir; // the directory, relative to the root
	ino_t dir_ino;
	int dir_fd;
	std::string_view name;
	ino_t ino; // as the directory lists it
	bool is_dir;
};

// Visits every entry of the mount's tree under the walk's rules, in no
// particular order, until visit returns false.
void walk_mount(const Config &cfg,
                const std::function<bool(const WalkEntry &)> &visit);
// The same for the entries of one directory (rel from the root) alone.
void list_dir(const Config &cfg, const std::string &rel,
              const std::function<bool(const WalkEntry &)> &visit);

// Whether entry e names inode ino on the mount's device (st: the object).
bool entry_names(const Config &cfg, const WalkEntry &e, ino_t ino,
                 struct stat &st);

// Links of inode ino by a walk of the tree (empty when none). Stops early
// once every link the object's link count announces has been seen.
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
// rel/name ("" is the root).
std::string join_rel(const std::string &rel, std::string_view name);

} // namespace zvsim
