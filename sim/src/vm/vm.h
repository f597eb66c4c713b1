// The kernel's virtual-memory controls, as far as test programs use them:
// the drop-caches control file.
#pragma once

#include "core/request.h"

namespace zvsim::vm
{

extern const Family family;

// open() of /proc/sys/vm/drop_caches under a simulation: true when served
// here (result in the system call's convention).
bool drop_caches_open(const char *path, int flags, int &result);

// Drops asked for since the simulation was made: >= 0, or -errno.
long long drops(const Config &cfg);

} // namespace zvsim::vm
