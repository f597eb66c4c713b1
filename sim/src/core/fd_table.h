// Descriptors a family serves itself (a change-log device, say): one
// pointer per descriptor number, so the I/O calls on every other
// descriptor cost one load and no lock before they go to libc.
#pragma once

#include "request.h"

#include <cstdint>
#include <span>
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
};

constexpr int FD_TABLE_SIZE = 65536;

void fd_register(int fd, const FileOps *ops);
void fd_forget(int fd);

namespace detail
{
extern const FileOps *fd_table[FD_TABLE_SIZE];
}

inline const FileOps *fd_ops(int fd)
{
	if (static_cast<unsigned>(fd) >= static_cast<unsigned>(FD_TABLE_SIZE))
		return nullptr;
	return __atomic_load_n(&detail::fd_table[fd], __ATOMIC_ACQUIRE);
}

} // namespace zvsim
