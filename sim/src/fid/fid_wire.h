// Records of the identifier requests, at explicit byte offsets.
#pragma once

#include "core/wire.h"

namespace zvsim::rec
{

// FID-to-path request: 32-byte header, then the path area.
constexpr size_t F2P_FID = 0, F2P_RECNO = 16, F2P_LINKNO = 24, F2P_PATHLEN = 28,
                 F2P_HDR = 32;

// Parent request: 24-byte header, then the name area.
constexpr size_t GP_FID = 0, GP_LINKNO = 16, GP_NAMESIZE = 20, GP_HDR = 24;

// Kernel file handle: struct file_handle header, then our 32-byte payload.
constexpr size_t FH_BYTES = 0, FH_TYPE = 4, FH_HDR = 8;
constexpr size_t FH_PAYLOAD = 32; // child FID, parent FID
constexpr int FH_TYPE_ZORVEL = 0x97;

constexpr size_t OBD_UUID_LEN = 40;

} // namespace zvsim::rec
