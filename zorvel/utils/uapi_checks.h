/* Request codes composed from their parts, independently of the kernel
 * headers' macros, for the compile-time checks of the records. */
#ifndef ZORVEL_UTILS_UAPI_CHECKS_H
#define ZORVEL_UTILS_UAPI_CHECKS_H

namespace uapi_check
{

constexpr unsigned long ioc(unsigned dir, char type, unsigned nr, unsigned size)
{
	return (static_cast<unsigned long>(dir) << 30) |
	       (static_cast<unsigned long>(size) << 16) |
	       (static_cast<unsigned long>(type) << 8) | nr;
}
constexpr unsigned none = 0, write_ = 1, read_ = 2, rw = 3;

} // namespace uapi_check

#endif
