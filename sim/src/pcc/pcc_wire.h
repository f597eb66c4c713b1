// Records of the client cache requests, at explicit byte offsets.
#pragma once

#include "core/wire.h"

namespace zvsim::rec
{

// Detach: 4 bytes. Detach by FID: the FID, then the option, 20 bytes.
constexpr size_t PCCD_OPT = 0, PCCD_SIZE = 4;
constexpr size_t PCCDF_FID = 0, PCCDF_OPT = 16, PCCDF_SIZE = 20;

// State: 16-byte header, then the path.
constexpr size_t PCCS_TYPE = 0, PCCS_OPEN_COUNT = 4, PCCS_FLAGS = 8,
                 PCCS_PATH = 16, PCCS_PATH_MAX = 4096, PCCS_SIZE = 4112;

constexpr uint32_t PCC_NONE = 0, PCC_READWRITE = 1;

} // namespace zvsim::rec
