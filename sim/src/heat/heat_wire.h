// The heat record: an 8-byte header, then zh_count 64-bit values.
#pragma once

#include "core/wire.h"

namespace zvsim::rec
{

constexpr size_t ZH_COUNT = 0, ZH_FLAGS = 4, ZH_HDR = 8;

// Values answered, in this order; further values read as 0.
constexpr size_t HEAT_READS = 0, HEAT_WRITES = 1, HEAT_READ_BYTES = 2,
                 HEAT_WRITE_BYTES = 3, HEAT_VALUES = 4;
// Most values one request may ask for.
constexpr uint32_t HEAT_MAX_COUNT = 4096;

// Flags of ZV_IOC_HEAT_SET.
constexpr uint64_t HEAT_CLEAR = 0x1, HEAT_OFF = 0x2, HEAT_ON = 0x4;

} // namespace zvsim::rec
