// Injected answers shared by every process of a simulation, kept in
// <state>/inject: a request code answers an errno (once or always) or a
// crafted reply. The control page counts them, so that a request costs no
// system call here while none is pending.
#pragma once

#include "state.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zvsim
{

// Request codes are compared on their low 32 bits, as the kernel does.
inline uint32_t norm_code(unsigned long code)
{
	return static_cast<uint32_t>(code);
}

struct Injection {
	uint32_t code = 0;
	bool reply = false;  // crafted reply (else an errno)
	bool always = false; // errno injections only
	int err = 0;
	int result = 0;
	std::string bytes;
};

int inject_add(const Config &cfg, const Injection &inj);
int inject_clear(const Config &cfg);
// The injection that answers this request, consumed when it is a one-shot.
std::optional<Injection> inject_take(const Config &cfg, uint32_t code);

} // namespace zvsim
