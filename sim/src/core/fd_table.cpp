#include "fd_table.h"

namespace zvsim
{

namespace detail
{
const FileOps *fd_table[FD_TABLE_SIZE];
uint32_t fd_mark_table[FD_TABLE_SIZE];
} // namespace detail

void fd_register(int fd, const FileOps *ops)
{
	if (static_cast<unsigned>(fd) < static_cast<unsigned>(FD_TABLE_SIZE))
		__atomic_store_n(&detail::fd_table[fd], ops, __ATOMIC_RELEASE);
}

void fd_forget(int fd)
{
	fd_register(fd, nullptr);
}

void fd_mark(int fd, uint32_t bits)
{
	if (static_cast<unsigned>(fd) < static_cast<unsigned>(FD_TABLE_SIZE))
		__atomic_fetch_or(&detail::fd_mark_table[fd], bits,
		                  __ATOMIC_ACQ_REL);
}

void fd_unmark(int fd, uint32_t bits)
{
	if (static_cast<unsigned>(fd) < static_cast<unsigned>(FD_TABLE_SIZE))
		__atomic_fetch_and(&detail::fd_mark_table[fd], ~bits,
		                   __ATOMIC_ACQ_REL);
}

} // namespace zvsim
