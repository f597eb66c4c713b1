// The networking layer's control device: a file at <state>/dev/varn whose
// 'e' requests store selection policies in <state>/varn/udsp.
#pragma once

#include "core/request.h"

namespace zvsim::varn
{

extern const Family family;

} // namespace zvsim::varn
