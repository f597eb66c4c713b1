// Group locks: ZV_IOC_GROUP_LOCK and ZV_IOC_GROUP_UNLOCK with 64-bit ids,
// held per open file and per object across the processes of a simulation,
// in <state>/grouplock/<inode> (one "<id> <holder>" line per holder).
// Holders of one id share the lock; another id waits until the object is
// free. Ordinary I/O is not affected by group locks.
#pragma once

#include "core/object_record.h"
#include "core/request.h"

#include <string>

namespace zvsim::swap
{

extern const Family grouplock_family;

// Whether live holders keep the object locked with an id other than gid.
// The caller holds StateLock.
bool locked_by_other(const Config &cfg, const ObjectKey &key, uint64_t gid);

// The object's holders, one "gid=<id> pid=<pid>" line each.
std::string show(const Config &cfg, const ObjectKey &key);

} // namespace zvsim::swap
