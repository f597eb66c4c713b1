// Records of the data-version and swap requests, at explicit byte offsets.
#pragma once

#include "core/wire.h"

namespace zvsim::rec
{

// Data version: 16 bytes.
constexpr size_t IDV_VERSION = 0, IDV_LAYOUT_VERSION = 8, IDV_FLAGS = 12,
                 IDV_SIZE = 16;

// Layout swap: 32 bytes.
constexpr size_t SL_FLAGS = 0, SL_FD = 8, SL_GID = 12, SL_DV1 = 16, SL_DV2 = 24,
                 SL_SIZE = 32;
constexpr uint64_t SWAP_CHECK_DV1 = 0x1, SWAP_CHECK_DV2 = 0x2;

// Volatile names: this header, then ":<index>:<random>" or "::<random>".
constexpr char VOLATILE_HDR[] = ".\x1a\x11\x16\x18:VOLATILE";
constexpr size_t VOLATILE_HDR_LEN = sizeof VOLATILE_HDR - 1;

} // namespace zvsim::rec
