// Access advice: a batch of advices on byte ranges of a file. The
// simulator checks the request as a kernel would, logs it, and answers
// each lock-ahead entry in its zla_value3 (ADVICE_LOCK_GRANTED).
#pragma once

#include "core/request.h"

namespace zvsim::ladvise
{

extern const Family family;

} // namespace zvsim::ladvise
