// Interposed entry points and steering calls are called from C: nothing
// may unwind into the caller. An allocation failure inside the simulator
// answers ENOMEM, as a kernel out of memory would; anything else EIO.
#pragma once

#include "state.h"
#include "sysio.h"

#include <cerrno>
#include <new>
#include <type_traits>

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
	if constexpr (std::is_pointer_v<T>)
		result = nullptr;
	else
		result = -1;
	return true;
}

// A steering call: fn's result (0, a count or -errno), -ENOMEM or -EIO
// for a throw.
template <typename Fn>
int steer_call(Fn &&fn) noexcept
{
	try {
		sys::Reentry guard;
		return fn();
	} catch (const std::bad_alloc &) {
		return -ENOMEM;
	} catch (...) {
		return -EIO;
	}
}

// A steering call on the current simulation; -ENOENT without one.
template <typename Fn>
int with_config(Fn &&fn) noexcept
{
	return steer_call([&] {
		ConfigPtr cfg = current();
		return cfg ? fn(*cfg) : -ENOENT;
	});
}

} // namespace zvsim
