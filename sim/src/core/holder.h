// Who holds something across the processes of a simulation (a group lock,
// a lease, an open of a cached file): an open file description, named by
// the process that first made it hold something (its id and start time, so
// that a reused id is not taken for it) and a number that process gave it.
//
// An open file lives as long as some descriptor of some process names it,
// which the kernel alone knows. So every held open file has a sentinel: a
// FIFO, <state>/ofd/<holder>, that each process naming the open file keeps
// open for writing, on a descriptor of its own that follows the open
// file's descriptors in that process (inherited by fork, closed at exec
// when they all are, closed by the kernel when the process dies). The open
// file is gone when the FIFO has no writer left: whoever reads a holder's
// record asks that, so a holder killed with SIGKILL is dropped by the next
// process that looks.
#pragma once

#include "state.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace zvsim
{

struct Holder {
	pid_t pid = 0;
	uint64_t start = 0;  // the process's start time, in clock ticks
	uint64_t serial = 0; // the open file, within the process

	bool operator==(const Holder &) const = default;
	// "pid:start:serial"
	std::string text() const;
	static std::optional<Holder> parse(std::string_view text);
	// Whether some descriptor of some process still names the open file.
	// A holder found gone loses its sentinel.
	bool alive(const Config &cfg) const;
};

// Start time of a process (0 when it does not run).
uint64_t process_start(pid_t pid);

// A new holder for an open file of this process.
Holder new_holder();

// The holder's sentinel opened for writing (made when missing), as a
// descriptor of the simulator's own: >= 0 or -errno.
int sentinel_open(const Config &cfg, const Holder &h);

} // namespace zvsim
