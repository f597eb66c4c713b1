/*
 * Keeps C++ exceptions inside the libraries: every exported function that
 * runs code which may throw (containers, strings, streams) runs it through
 * c_boundary(), so its C caller gets a result instead of an unwinding.
 *
 * Internal to the libraries; not installed.
 */
#ifndef ZV_INTERNAL_C_BOUNDARY_H
#define ZV_INTERNAL_C_BOUNDARY_H

#include <cerrno>
#include <new>

namespace zv
{

/* The result of body() (an int), or -ENOMEM when it ran out of memory, or
 * -other_errno for any other exception. errno is set to the positive value
 * of a result made here. */
template <typename Body>
int c_boundary(int other_errno, Body &&body) noexcept
{
	try {
		return body();
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -ENOMEM;
	} catch (...) {
		errno = other_errno;
		return -other_errno;
	}
}

} // namespace zv

#endif /* ZV_INTERNAL_C_BOUNDARY_H */
