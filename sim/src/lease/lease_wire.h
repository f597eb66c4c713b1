// The lease record, at explicit byte offsets.
#pragma once

#include "core/wire.h"

namespace zvsim::rec
{

// A 12-byte header, then zil_count 32-bit ids.
constexpr size_t ZIL_MODE = 0, ZIL_FLAGS = 4, ZIL_COUNT = 8, ZIL_HDR = 12,
                 ZIL_ID = 4;
// More ids than this: EINVAL, and only the header is read.
constexpr uint32_t ZIL_MAX_IDS = 1024;

constexpr uint32_t LEASE_RDLCK = 1, LEASE_WRLCK = 2, LEASE_UNLCK = 4;
constexpr uint32_t LEASE_PCC_ATTACH = 0x10;

} // namespace zvsim::rec
