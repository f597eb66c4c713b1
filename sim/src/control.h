// Steering state shared by every process of a simulation: injected replies
// in <state>/inject and the request log in <state>/log.
#pragma once

#include "state.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
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

// The shared tail of every simulated request: log it (the code, the size
// it encodes and the entry bytes), then let an injection answer it, else
// the handler. A crafted reply is copied over at most reply_room bytes of
// arg. Returns >= 0 or -errno.
template <typename Handler>
int serve(const Config &cfg, uint32_t code, size_t size,
          const std::string &entry, void *arg, size_t reply_room,
          Handler &&handler)
{
	log_append(cfg, code, size, entry.data(), entry.size());
	if (auto inj = inject_take(cfg, code)) {
		if (!inj->reply)
			return -inj->err;
		size_t n = std::min(inj->bytes.size(), reply_room);
		if (arg && n)
			std::memcpy(arg, inj->bytes.data(), n);
		return inj->result;
	}
	return handler();
}

// -errno results become -1 with errno, as system calls report them.
inline int syscall_result(int rc)
{
	if (rc >= 0)
		return rc;
	errno = -rc;
	return -1;
}

} // namespace zvsim
