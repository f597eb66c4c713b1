#include "fd_table.h"

namespace zvsim
{

namespace detail
{
const FileOps *fd_table[FD_TABLE_SIZE];
}

void fd_register(int fd, const FileOps *ops)
{
	if (static_cast<unsigned>(fd) < static_cast<unsigned>(FD_TABLE_SIZE))
		__atomic_store_n(&detail::fd_table[fd], ops, __ATOMIC_RELEASE);
}

void fd_forget(int fd)
{
	fd_register(fd, nullptr);
}

} // namespace zvsim
