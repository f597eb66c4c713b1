// Removals: objects by FID, directory entries by name, and the preparation
// of a foreign object for its unlink.
#pragma once

#include "core/request.h"

namespace zvsim::remove
{

extern const Family family;

} // namespace zvsim::remove
