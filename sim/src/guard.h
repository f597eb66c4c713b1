// Interposed entry points are called from C: nothing may unwind into the
// caller. An allocation failure inside the simulator answers ENOMEM, as a
// kernel out of memory would; anything else EIO.
#ifndef ZVSIM_GUARD_H
#define ZVSIM_GUARD_H

#include <cerrno>
#include <new>

namespace zvsim
{

// Runs f, which returns whether it handled the call (and set result). A
// throw counts as handled, with result -1 and errno set.
template <typename T, typename F>
bool guarded(T &result, F &&f) noexcept
{
	try {
		return f();
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
	} catch (...) {
		errno = EIO;
	}
	result = -1;
	return true;
}

} // namespace zvsim

#endif
