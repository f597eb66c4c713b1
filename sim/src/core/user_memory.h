// The caller's memory as a kernel sees it: read and written only through
// copies that fail with -EFAULT where the memory is not there, so a bad
// pointer gets the kernel's answer and never faults the simulator.
//
// The current thread's stack and the main heap are known to be mapped and
// are copied directly; anything else goes through process_vm_readv and
// process_vm_writev on this process, which the kernel checks.
#pragma once

#include <cstddef>

namespace zvsim
{

// 0 or -EFAULT; nothing is copied on failure.
int copy_from_user(void *dst, const void *src, size_t len) noexcept;
int copy_to_user(void *dst, const void *src, size_t len) noexcept;

// Copies what can be read of len bytes; unreadable pages come as zeros.
void copy_from_user_partly(void *dst, const void *src, size_t len) noexcept;

// Writes back the bytes of buf (len bytes) that differ from orig, the copy
// first taken of the caller's memory at user: a reply writes only what it
// changes, so memory a request merely reads stays untouched. 0 or -EFAULT.
int copy_changes_to_user(void *user, const void *buf, const void *orig,
                         size_t len) noexcept;

// Copies a NUL-terminated text of at most cap - 1 bytes and its NUL into
// buf: its length, -EFAULT, or -ENAMETOOLONG when no NUL comes in time.
long copy_string_from_user(char *buf, const char *src, size_t cap) noexcept;

// The length of a NUL-terminated text of at most cap - 1 bytes lying whole
// in memory known to be mapped, read where it is (nothing copied); -1 when
// that is not known, and a copy must tell.
long string_in_place(const char *src, size_t cap) noexcept;

// Room for a path copied in, as the kernel's PATH_MAX.
constexpr size_t USER_PATH_MAX = 4096;

// A path copied from the caller: ok() when it could be read whole.
class UserPath
{
      public:
	explicit UserPath(const char *src) noexcept;
	bool ok() const
	{
		return len_ >= 0;
	}
	// The copy (empty when !ok()).
	const char *c_str() const
	{
		return buf_;
	}
	long error() const
	{
		return len_ < 0 ? len_ : 0;
	}
	// The copy's length (0 when !ok()).
	size_t size() const
	{
		return len_ < 0 ? 0 : static_cast<size_t>(len_);
	}

      private:
	char buf_[USER_PATH_MAX];
	long len_;
};

} // namespace zvsim
