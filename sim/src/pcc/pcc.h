// The persistent client cache.
#pragma once

#include "core/request.h"

#include <cstdint>

namespace zvsim::pcc
{

// Attaches a regular file to cache area archive_id: the intent of a write
// lease released while still held. The caller holds StateLock.
int attach_locked(const Config &cfg, const Object &obj, uint32_t archive_id);

} // namespace zvsim::pcc
