// The persistent client cache.
//
// Cache areas are configured through the parameter zvlite/<instance>/pcc
// (commands written to it; reading it lists the areas) and live under
// <state>/pcc/<archive id>/. A file is attached through the release of a
// write lease with the attach intent: its data is copied into its area as
// <area>/<FID without brackets>, and its attach state kept in
// <state>/pcc/attached/<inode> (archive id, FID, data version at the
// attach, the copy's path, and the open files that opened it since).
#pragma once

#include "core/object_record.h"
#include "core/request.h"

#include <cstdint>
#include <string>

namespace zvsim::pcc
{

extern const Family family;

// Request code of a command written to the cache parameter, for the log
// and for injection.
constexpr uint32_t REQ_COMMAND = 0x5A560011U;

// State flag: the file's data changed since it was attached.
constexpr uint32_t STATE_STALE = 0x1;

// Attaches a regular file to cache area archive_id. The caller holds
// StateLock. -ENOENT when no such area is configured, -EEXIST when the
// file is attached already.
int attach_locked(const Config &cfg, const Object &obj, uint32_t archive_id);

// An open of the cache parameter for writing: true when served here, a
// descriptor whose writes are commands.
bool param_open(OpenCall &call, int &result);

// "archive_id=<id> opens=<n> path=<copy>" for an attached file, ""
// otherwise.
std::string show(const Config &cfg, const ObjectKey &key);

} // namespace zvsim::pcc
