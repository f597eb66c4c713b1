// Records of the layout requests, at explicit byte offsets.
#pragma once

#include "core/wire.h"

namespace zvsim::rec
{

// Striping records.
constexpr size_t LMM_MAGIC = 0, LMM_PATTERN = 4, LMM_OI_ID = 8, LMM_OI_SEQ = 16,
                 LMM_STRIPE_SIZE = 24, LMM_STRIPE_COUNT = 28,
                 LMM_STRIPE_OFFSET = 30, LMM_V1_HDR = 32, LMM_POOL = 32,
                 LMM_POOL_LEN = 16, LMM_V3_HDR = 48;
constexpr size_t OST_OI_ID = 0, OST_OI_SEQ = 8, OST_GEN = 16, OST_IDX = 20,
                 OST_SIZE = 24;
constexpr size_t LMM_MAX_SIZE = LMM_V3_HDR + 2000 * OST_SIZE; // 48048

// Foreign layout: 16-byte header, then the value.
constexpr size_t LFM_MAGIC = 0, LFM_LENGTH = 4, LFM_TYPE = 8, LFM_FLAGS = 12,
                 LFM_HDR = 16;

// Directory striping request/answer: 48 bytes.
constexpr size_t LUM_MAGIC = 0, LUM_STRIPE_COUNT = 4, LUM_STRIPE_OFFSET = 8,
                 LUM_HASH_TYPE = 12, LUM_TYPE = 16, LUM_POOL = 32,
                 LUM_SIZE = 48;

// Foreign directory creation: 16-byte header, padded name, foreign layout.
constexpr size_t FDC_MODE = 0, FDC_NAMELEN = 4, FDC_RECLEN = 8, FDC_HDR = 16;

constexpr uint32_t MAGIC_V1 = 0x0BD10BD0U, MAGIC_V3 = 0x0BD30BD0U,
                   MAGIC_SPECIFIC = 0x0BD50BD0U, MAGIC_COMP = 0x0BD60BD0U,
                   MAGIC_FOREIGN_FILE = 0x0BD70BD0U,
                   MAGIC_FOREIGN_DIR = 0x0CD50CD0U,
                   MAGIC_DIR_REQUEST = 0x0CD20CD0U,
                   // What a plain directory answers to a striping request.
        MAGIC_LMV_USER = 0x0CD10CD0U;
constexpr uint32_t PATTERN_RAID0 = 1;

} // namespace zvsim::rec
