// The kernel's virtual-memory controls, as far as test programs use them:
// the drop-caches control file.
#pragma once

#include "core/request.h"

#include <cstdio>

namespace zvsim::vm
{

extern const Family family;

// open() of /proc/sys/vm/drop_caches under a simulation: true when served
// here (result in the system call's convention).
bool drop_caches_open(OpenCall &call, int &result);

// fopen() of the same file: a stream whose writes are checked and counted
// as a descriptor's (a mode that reads is EACCES). True when served here.
bool drop_caches_fopen(const char *path, const char *mode, FILE *&result);

// Drops asked for since the simulation was made: >= 0, or -errno.
long long drops(const Config &cfg);

} // namespace zvsim::vm
