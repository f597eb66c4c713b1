// Steering state shared by every process of a simulation: injected replies
// in <state>/inject and the request log in <state>/log.
#pragma once

#include "state.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct zvsim_request;

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
// Cheap when <state>/inject is absent or unchanged.
std::optional<Injection> inject_take(const Config &cfg, uint32_t code);

// Appends one record with a single O_APPEND write.
void log_append(const Config &cfg, uint32_t code, size_t size,
                const void *bytes, size_t nbytes);
int log_read(const Config &cfg, zvsim_request **reqs, size_t *count);
int log_clear(const Config &cfg);

} // namespace zvsim
