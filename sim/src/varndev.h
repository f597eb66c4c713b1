// The networking layer's control device: a file at <state>/dev/varn whose
// 'e' requests store selection policies in <state>/varn/udsp.
#pragma once

#include "state.h"

#include <cstdint>

namespace zvsim
{

// Creates the device file and the empty policy list; existing ones stay.
int varn_dev_init(const Config &cfg);

// Serves an 'e' request when fd is the device of the current simulation
// (result set, in the system call's convention); false otherwise.
bool varn_ioctl(int fd, uint32_t code, void *arg, int &result);

} // namespace zvsim
