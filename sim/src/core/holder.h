// Who holds something across the processes of a simulation (a group lock,
// a lease, an open of a cached file): an open file of a process, named by
// the process (its id and start time, so a reused id is not taken for it)
// and a number the process gave that open file. Descriptors that share the
// open file (dup) share the holder; a child made by fork uses its parent's
// holders through the descriptors it inherited, but its closes release
// nothing, as the parent's open files live on.
#pragma once

#include "fd_table.h"
#include "object_record.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>

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
	// Whether the process still runs (a zombie does not).
	bool alive() const;
};

// Start time of a process (0 when it does not run).
uint64_t process_start(pid_t pid);

// One family's holders in this process: descriptor to open file. The
// descriptors carry the family's mark, so that their closes and dups
// reach it.
class HolderTable
{
      public:
	explicit HolderTable(uint32_t mark) : mark_(mark)
	{
	}
	// The holder of fd, made (and fd marked) when fd has none yet.
	Holder of(int fd);
	std::optional<Holder> find(int fd);
	// to now names from's open file.
	void duped(int from, int to);
	// fd is being closed: its holder when it was the holder's last
	// descriptor in the process that made it (what it held goes now).
	std::optional<Holder> closed(int fd);
	// The same, then release(cfg, object, holder) under StateLock.
	using Release = void (*)(const Config &cfg, const ObjectKey &key,
	                         const Holder &h);
	void release_on_close(int fd, Release release);

      private:
	const uint32_t mark_;
	std::mutex mutex_;
	std::unordered_map<int, Holder> fds_;
	uint64_t next_ = 0;
};

// The descriptor hooks of a family whose marks only follow closes and dups.
constexpr FdHooks close_and_dup_hooks(uint32_t mark, void (*closed)(int),
                                      void (*duped)(int, int))
{
	FdHooks h{};
	h.mark = mark;
	h.closed = closed;
	h.duped = duped;
	return h;
}

} // namespace zvsim
