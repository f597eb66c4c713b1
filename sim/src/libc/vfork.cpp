// vfork: the child shares our memory, and so the descriptor table, until
// it runs another program; the table learns that from now on the process
// ID tells who owns it. The C library's vfork is reached by a jump, so
// that the child returns straight to our caller and never into a frame of
// ours that the parent still needs.
#include "core/export.h"
#include "core/fd_table.h"
#include "core/real.h"

#include <unistd.h>

#if defined(__x86_64__)
// The C library's vfork, once the table knows (fork when it has none).
extern "C" __attribute__((visibility("hidden"), used)) void *
zvsim_vfork_target() noexcept
{
	zvsim::detail::vfork_coming();
	pid_t (*fn)() = zvsim::real::fns().vfork;
	return reinterpret_cast<void *>(fn ? fn : ::fork);
}

ZVSIM_EXPORT pid_t vfork(void) noexcept;

asm(".text\n"
    ".globl vfork\n"
    ".type vfork, @function\n"
    "vfork:\n"
    "\tendbr64\n"
    "\tsub $8, %rsp\n" // the callee's stack alignment
    "\tcall zvsim_vfork_target\n"
    "\tadd $8, %rsp\n"
    "\tjmp *%rax\n"
    ".size vfork, .-vfork\n");
#endif // elsewhere vfork is not interposed: the table checks the process ID
