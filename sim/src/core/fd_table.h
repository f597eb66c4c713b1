// What the simulator keeps per descriptor number, read without a lock:
// - descriptors a family serves itself (a change-log device): their
//   FileOps;
// - marks families put on descriptors of the mount's files (a mirror
//   selected, group locks held, a lease taken, I/O counted): one bit each,
//   acted on through the family's FdHooks.
// A call on a descriptor with neither costs one load each before libc.
#pragma once

#include "request.h"

#include <cstdint>
#include <span>
#include <sys/stat.h>
#include <sys/types.h>

namespace zvsim
{

// What a family does with its descriptors. Each operation returns false
// when fd turns out not to be the family's any more (closed behind our
// back and reused): the call then goes to libc. Results are the system
// call's: >= 0, or -1 with errno.
struct FileOps {
	const char *family;
	std::span<const Row> rows; // ioctls served on these descriptors
	bool (*read)(int fd, void *buf, size_t count, ssize_t &result);
	bool (*write)(int fd, const void *buf, size_t count, ssize_t &result);
	bool (*seek)(int fd, int64_t off, int whence, int64_t &result);
	void (*closed)(int fd);          // before libc closes it
	void (*duped)(int from, int to); // to now names from's file
	// The poll events of `events` ready now (0: none yet, the caller
	// waits and asks again); null: libc polls the descriptor itself.
	bool (*poll)(int fd, short events, short &revents) = nullptr;
};

constexpr int FD_TABLE_SIZE = 65536;

// The marks, one per family that keeps state on descriptors.
namespace fdmark
{
constexpr uint32_t MIRROR = 1u << 0;     // a mirror is selected
constexpr uint32_t GROUP_LOCK = 1u << 1; // group locks are held
constexpr uint32_t LEASE = 1u << 2;      // a lease was taken through it
constexpr uint32_t HEAT = 1u << 3;       // its I/O is counted
constexpr uint32_t PCC = 1u << 4;        // opened a file attached to a cache
} // namespace fdmark

enum class IoKind : uint8_t {
	Read,
	Write
};

// What a family does on the descriptors it marked. A hook returns true
// when it served the call (result set, in the system call's convention)
// and false to pass it on, to the next family that marked the descriptor
// and then to libc. An offset of -1 is the descriptor's own position (read,
// write); others are pread/pwrite's. Null hooks are not called.
struct FdHooks {
	uint32_t mark;
	bool (*read)(int fd, void *buf, size_t n, int64_t off, ssize_t &r);
	bool (*write)(int fd, const void *buf, size_t n, int64_t off,
	              ssize_t &r);
	bool (*seek)(int fd, int64_t off, int whence, int64_t &r);
	bool (*truncate)(int fd, int64_t len, int &r);
	bool (*allocate)(int fd, int mode, int64_t off, int64_t len, int &r);
	bool (*stat)(int fd, struct stat64 *st, int &r);
	// After a read or write nobody served: what it returned.
	void (*after)(int fd, IoKind kind, ssize_t result);
	void (*closed)(int fd);          // before libc closes it
	void (*duped)(int from, int to); // to now names from's file
};

void fd_mark(int fd, uint32_t bits);
void fd_unmark(int fd, uint32_t bits);

// A truncation that a family marking fd serves (libc/io.cpp): true when
// served, result set.
bool marked_truncate(int fd, int64_t len, int &result);

void fd_register(int fd, const FileOps *ops);
void fd_forget(int fd);

namespace detail
{
extern const FileOps *fd_table[FD_TABLE_SIZE];
extern uint32_t fd_mark_table[FD_TABLE_SIZE];
} // namespace detail

inline const FileOps *fd_ops(int fd)
{
	if (static_cast<unsigned>(fd) >= static_cast<unsigned>(FD_TABLE_SIZE))
		return nullptr;
	return __atomic_load_n(&detail::fd_table[fd], __ATOMIC_ACQUIRE);
}

inline uint32_t fd_marks(int fd)
{
	if (static_cast<unsigned>(fd) >= static_cast<unsigned>(FD_TABLE_SIZE))
		return 0;
	return __atomic_load_n(&detail::fd_mark_table[fd], __ATOMIC_ACQUIRE);
}

} // namespace zvsim
