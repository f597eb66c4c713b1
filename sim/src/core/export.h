// The simulator's exported names: the interposed C library entry points
// and the steering interface of zvsim/zvsim.h (libzvsim.map lists them).
#pragma once

#define ZVSIM_EXPORT extern "C" __attribute__((visibility("default")))
