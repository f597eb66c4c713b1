// Cache areas and attach states in the state directory (pcc_store.cpp).
#pragma once

#include "pcc.h"

#include "core/holder.h"

#include <optional>
#include <string_view>
#include <vector>

namespace zvsim::pcc
{

struct Attached {
	uint32_t id = 0;
	std::string fid;
	uint64_t data_version = 0;
	std::string path;          // the cached copy
	std::vector<Holder> opens; // open files that opened it while attached
};

// These run under StateLock.

// The attach state of an object (opens of live processes only).
std::optional<Attached> load(const Config &cfg, const ObjectKey &key);
int store(const Config &cfg, const ObjectKey &key, const Attached &a);
// Forgets the attach state and removes the copy: -ENODATA when the object
// is not attached.
int detach_locked(const Config &cfg, const ObjectKey &key);

// The configured areas, in the order they were added.
std::vector<uint32_t> areas(const Config &cfg);
std::string area_root(const Config &cfg, uint32_t id);
// Applies the commands of text, one a line: "add <id>", "del <id>",
// "clear". 0, -EINVAL (a command not understood), -EEXIST (adding an
// area that is there), -ENOENT (deleting one that is not).
int command(const Config &cfg, std::string_view text);

// On the control page: files attached to the client cache.
extern const PageFlag attached_flag;

} // namespace zvsim::pcc
