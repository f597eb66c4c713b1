// The log of requests received, <state>/log, kept while a test or a user
// turns it on (zvsim_log_enable, zvsim run --log): one binary record per
// request with its code, the size it encodes and the bytes the kernel read
// on entry. Off, a request costs no system call here.
#pragma once

#include "state.h"

#include <cstddef>
#include <cstdint>

struct zvsim_request;

namespace zvsim
{

// Appends one record with a single O_APPEND write, when the log is on.
void log_append(const Config &cfg, uint32_t code, size_t size,
                const void *bytes, size_t nbytes);
int log_read(const Config &cfg, zvsim_request **reqs, size_t *count);
int log_clear(const Config &cfg);
int log_enable(const Config &cfg, bool on);

} // namespace zvsim
