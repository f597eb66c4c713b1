#include "fd_table.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unordered_map>

namespace zvsim
{

namespace
{

// Where the simulator's own descriptors go: well above the numbers a
// program's opens take, so that they keep the numbers they would get
// without us.
constexpr int OWN_FD_BASE = 512;

// Where each kept descriptor's number is stored.
std::unordered_map<int, int *> &kept()
{
	// Never destroyed: closes run after static destructors.
	static auto *map = new std::unordered_map<int, int *>;
	return *map;
}

// fd's file on a number from OWN_FD_BASE up (from 3 when the limit is
// lower), with its close-on-exec flag; fd is closed. -errno when no
// number is free.
int move_up(int fd)
{
	long flags = ::syscall(SYS_fcntl, fd, F_GETFD);
	int cmd = flags > 0 && (flags & FD_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD;
	long up = ::syscall(SYS_fcntl, fd, cmd, OWN_FD_BASE);
	if (up < 0 && errno == EINVAL)
		up = ::syscall(SYS_fcntl, fd, cmd, 3);
	int err = errno;
	::syscall(SYS_close, fd);
	return up < 0 ? -err : static_cast<int>(up);
}

bool is_own(int fd)
{
	return fd_slot(fd) == reinterpret_cast<uintptr_t>(&own_ops) + 1;
}

// The caller sees a kept descriptor as a number nobody opened.
bool not_open(int, int64_t, int, int64_t &r)
{
	errno = EBADF;
	r = -1;
	return true;
}

bool no_read(int, void *, size_t, ssize_t &r)
{
	errno = EBADF;
	r = -1;
	return true;
}

bool no_write(int, const void *, size_t, ssize_t &r)
{
	errno = EBADF;
	r = -1;
	return true;
}

} // namespace

const FileOps own_ops = {"simulator", {},      no_read, no_write,
                         not_open,    nullptr, nullptr};

namespace detail
{
uintptr_t fd_slots[FD_TABLE_SIZE];

std::mutex &fd_mutex()
{
	static auto *mutex = new std::mutex;
	return *mutex;
}

void set_slot(int fd, uintptr_t slot)
{
	if (static_cast<unsigned>(fd) < static_cast<unsigned>(FD_TABLE_SIZE))
		__atomic_store_n(&fd_slots[fd], slot, __ATOMIC_RELEASE);
}

void unkeep_locked(int fd)
{
	if (!is_own(fd))
		return;
	kept().erase(fd);
	set_slot(fd, 0);
	::syscall(SYS_close, fd);
}

int keep_locked(int fd, int *where)
{
	int up = move_up(fd);
	if (up < 0)
		return up;
	if (up >= FD_TABLE_SIZE) {
		::syscall(SYS_close, up);
		return -EMFILE;
	}
	kept()[up] = where;
	*where = up;
	set_slot(up, reinterpret_cast<uintptr_t>(&own_ops) + 1);
	return up;
}
} // namespace detail

void fd_register(int fd, const FileOps *ops)
{
	if (slot_file(fd_slot(fd)))
		fd_fresh(fd); // a followed number taken over: it names a device
	detail::set_slot(fd, reinterpret_cast<uintptr_t>(ops) + 1);
}

void fd_forget(int fd)
{
	uintptr_t slot = fd_slot(fd);
	if (slot_ops(slot))
		__atomic_compare_exchange_n(&detail::fd_slots[fd], &slot, 0,
		                            false, __ATOMIC_ACQ_REL,
		                            __ATOMIC_ACQUIRE);
}

int fd_keep(int fd, int *where)
{
	std::lock_guard<std::mutex> lock(detail::fd_mutex());
	return detail::keep_locked(fd, where);
}

void fd_unkeep(int *where)
{
	std::lock_guard<std::mutex> lock(detail::fd_mutex());
	if (int fd = *where; fd >= 0)
		detail::unkeep_locked(fd);
	__atomic_store_n(where, -1, __ATOMIC_RELEASE);
}

void fd_make_room(int fd)
{
	if (!is_own(fd) || !detail::table_owner())
		return;
	std::lock_guard<std::mutex> lock(detail::fd_mutex());
	auto it = kept().find(fd);
	if (it == kept().end())
		return;
	int *where = it->second;
	kept().erase(it);
	detail::set_slot(fd, 0);
	// Closed whatever happens: the caller's call takes the number.
	if (detail::keep_locked(fd, where) < 0)
		*where = -1;
}

} // namespace zvsim
