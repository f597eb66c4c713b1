#include "user_memory.h"

#include "sysio.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <link.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace zvsim
{

namespace
{

constexpr uintptr_t PAGE = 4096;

struct Range {
	uintptr_t lo = 0, hi = 0;
};

// The calling thread's stack: from our own frame up to its top is mapped,
// when our frame lies in it (not on a signal stack). Looked up once per
// thread; the look is inline.
__attribute__((tls_model("initial-exec"))) thread_local Range stack;
__attribute__((tls_model("initial-exec"))) thread_local bool stack_looked;

__attribute__((noinline)) Range look_up_stack() noexcept
{
	__attribute__((tls_model("initial-exec"))) thread_local bool looking;
	if (looking)
		return stack;
	looking = true; // what the lookup calls must not come back here
	pthread_attr_t attr;
	if (pthread_getattr_np(pthread_self(), &attr) == 0) {
		void *addr;
		size_t size;
		if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
			stack.lo = reinterpret_cast<uintptr_t>(addr);
			stack.hi = stack.lo + size;
		}
		pthread_attr_destroy(&attr);
	}
	looking = false;
	stack_looked = true;
	return stack;
}

inline Range thread_stack() noexcept
{
	return stack_looked ? stack : look_up_stack();
}

// Where the main heap starts (the kernel's start_brk, field 47 of
// /proc/self/stat): from there to the current break it is mapped.
uintptr_t heap_start;
// The program's arguments and environment as the kernel laid them out
// (fields 48 to 51: from arg_start to env_end), at the top of the main
// thread's stack, above what its stack bounds cover: mapped for the life
// of the process.
Range args;

void find_heap_start()
{
	char buf[1024];
	int fd = sys::open("/proc/self/stat", O_RDONLY);
	if (fd < 0)
		return;
	ssize_t n = syscall(SYS_read, fd, buf, sizeof buf - 1);
	sys::close(fd);
	if (n <= 0)
		return;
	buf[n] = '\0';
	// Fields counted after the command name, which may hold anything.
	char *p = strrchr(buf, ')');
	for (int field = 2; p && field < 47; ++field)
		p = strchr(p + 1, ' ');
	if (!p)
		return;
	heap_start = strtoull(p, &p, 10);
	uintptr_t arg_start = strtoull(p, &p, 10);
	strtoull(p, &p, 10); // arg_end
	strtoull(p, &p, 10); // env_start
	uintptr_t env_end = strtoull(p, &p, 10);
	if (arg_start && env_end > arg_start) // their pages are mapped whole
		args = {arg_start & ~(PAGE - 1),
		        (env_end + PAGE - 1) & ~(PAGE - 1)};
}

// The kernel leaves at least this much room below the main thread's
// stack before any other mapping: a frame that close below the arguments
// is on the main thread's stack.
constexpr uintptr_t MAIN_STACK_GAP = uintptr_t(128) << 20;

// The readable segments of the objects loaded with the program (string
// literals live there), taken once when the simulator is loaded: sorted,
// with overlapping or touching ones joined, so that one binary search
// finds the one an address may lie in.
struct Segments {
	Range r[64];
	int n = 0;
};

Segments &segments()
{
	// Never destroyed: interposed calls still come after static
	// destructors (other libraries' exit handlers, the sanitizer's).
	static Segments &s = *new Segments;
	return s;
}

__attribute__((constructor)) void find_known_memory()
{
	find_heap_start();
	dl_iterate_phdr(
	        [](struct dl_phdr_info *info, size_t, void *) {
		        Segments &s = segments();
		        for (int i = 0; i < info->dlpi_phnum; ++i) {
			        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
			        if (ph.p_type != PT_LOAD ||
			            !(ph.p_flags & PF_R) ||
			            s.n == static_cast<int>(std::size(s.r)))
				        continue;
			        // Mapped in whole pages: a text at the end of
			        // a segment is read up to its page's end.
			        uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
			        s.r[s.n++] = {lo & ~(PAGE - 1),
			                      (lo + ph.p_memsz + PAGE - 1) &
			                              ~(PAGE - 1)};
		        }
		        return 0;
	        },
	        nullptr);
	Segments &s = segments();
	std::sort(s.r, s.r + s.n,
	          [](const Range &x, const Range &y) { return x.lo < y.lo; });
	int joined = 0;
	for (int i = 0; i < s.n; ++i) {
		if (joined && s.r[i].lo <= s.r[joined - 1].hi)
			s.r[joined - 1].hi =
			        std::max(s.r[joined - 1].hi, s.r[i].hi);
		else
			s.r[joined++] = s.r[i];
	}
	s.n = joined;
}

bool in_segment(uintptr_t a, size_t len) noexcept
{
	const Segments &s = segments();
	// The last segment starting at or below a.
	const Range *end = s.r + s.n;
	const Range *after =
	        std::upper_bound(s.r, end, a, [](uintptr_t x, const Range &r) {
		        return x < r.lo;
	        });
	return after != s.r && a + len <= after[-1].hi;
}

// Memory known to be there without asking the kernel: the stack above our
// frame and the main heap (read and write), the loaded objects' segments
// (read only).
bool known_mapped(const void *p, size_t len, bool write = true) noexcept
{
#if defined(__SANITIZE_ADDRESS__)
	// A kernel copies around the caller's objects (a reply's room may lie
	// past them), which the address sanitizer would take for overflows:
	// the kernel's own copies do it instead.
	(void)p, (void)len, (void)write;
	return false;
#endif
	uintptr_t a = reinterpret_cast<uintptr_t>(p);
	if (a + len < a)
		return false;
	// The likeliest places first: a caller's buffers are on its stack or
	// heap more often than in its arguments or its objects' segments,
	// which take a binary search.
	uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
	if (args.hi && sp < args.hi && args.hi - sp < MAIN_STACK_GAP) {
		// The main thread: its stack is mapped from our frame up to
		// the arguments at its top, without a look at its bounds.
		if (a >= sp && a + len <= args.hi)
			return true;
	} else if (Range st = thread_stack();
	           sp >= st.lo && sp < st.hi && a >= sp && a + len <= st.hi) {
		return true;
	}
	// The break's page is mapped whole.
	uintptr_t brk =
	        (reinterpret_cast<uintptr_t>(sbrk(0)) + PAGE - 1) & ~(PAGE - 1);
	if (heap_start && a >= heap_start && a + len <= brk)
		return true;
	if (a >= args.lo && a + len <= args.hi)
		return true;
	return !write && in_segment(a, len);
}

// Obviously bad: the null page or beyond user space.
bool hopeless(const void *p) noexcept
{
	uintptr_t a = reinterpret_cast<uintptr_t>(p);
	return a < PAGE || a >= (uintptr_t(1) << 47);
}

} // namespace

int copy_from_user(void *dst, const void *src, size_t len) noexcept
{
	if (len == 0)
		return 0;
	if (hopeless(src))
		return -EFAULT;
	if (known_mapped(src, len, false)) {
		std::memcpy(dst, src, len);
		return 0;
	}
	struct iovec local {
		dst, len
	};
	struct iovec remote {
		const_cast<void *>(src), len
	};
	ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
	return n == static_cast<ssize_t>(len) ? 0 : -EFAULT;
}

int copy_to_user(void *dst, const void *src, size_t len) noexcept
{
	if (len == 0)
		return 0;
	if (hopeless(dst))
		return -EFAULT;
	if (known_mapped(dst, len)) {
		std::memcpy(dst, src, len);
		return 0;
	}
	struct iovec local {
		const_cast<void *>(src), len
	};
	struct iovec remote {
		dst, len
	};
	ssize_t n = process_vm_writev(getpid(), &local, 1, &remote, 1, 0);
	return n == static_cast<ssize_t>(len) ? 0 : -EFAULT;
}

void copy_from_user_partly(void *dst, const void *src, size_t len) noexcept
{
	if (copy_from_user(dst, src, len) == 0)
		return;
	auto *to = static_cast<char *>(dst);
	auto *from = static_cast<const char *>(src);
	size_t done = 0;
	while (done < len) {
		size_t n = std::min<size_t>(
		        PAGE - reinterpret_cast<uintptr_t>(from + done) % PAGE,
		        len - done);
		if (copy_from_user(to + done, from + done, n) < 0)
			std::memset(to + done, 0, n);
		done += n;
	}
}

int copy_changes_to_user(void *user, const void *buf, const void *orig,
                         size_t len) noexcept
{
	auto *b = static_cast<const char *>(buf);
	auto *o = static_cast<const char *>(orig);
	size_t first = 0, last = len;
	while (first < last && b[first] == o[first])
		++first;
	while (last > first && b[last - 1] == o[last - 1])
		--last;
	if (first == last)
		return 0;
	return copy_to_user(static_cast<char *>(user) + first, b + first,
	                    last - first);
}

long copy_string_from_user(char *buf, const char *src, size_t cap) noexcept
{
	if (cap == 0)
		return -ENAMETOOLONG;
	if (hopeless(src))
		return -EFAULT;
	uintptr_t a = reinterpret_cast<uintptr_t>(src);
	size_t done = 0;
	// Page by page: a text may end just before an unmapped page.
	while (done < cap) {
		size_t chunk = std::min<size_t>(PAGE - ((a + done) % PAGE),
		                                cap - done);
		const char *from = src + done;
		if (known_mapped(from, chunk, false)) {
			// Read in place: only the text itself is copied.
			size_t n = strnlen(from, chunk);
			std::memcpy(buf + done, from, n < chunk ? n + 1 : n);
			if (n < chunk)
				return static_cast<long>(done + n);
		} else {
			struct iovec local {
				buf + done, chunk
			};
			struct iovec remote {
				const_cast<char *>(from), chunk
			};
			if (process_vm_readv(getpid(), &local, 1, &remote, 1,
			                     0) != static_cast<ssize_t>(chunk))
				return -EFAULT;
		}
		if (const void *nul = std::memchr(buf + done, '\0', chunk))
			return static_cast<const char *>(nul) - buf;
		done += chunk;
	}
	buf[cap - 1] = '\0';
	return -ENAMETOOLONG;
}

long string_in_place(const char *src, size_t cap) noexcept
{
	if (hopeless(src))
		return -1;
	uintptr_t a = reinterpret_cast<uintptr_t>(src);
	for (size_t done = 0; done < cap;) {
		size_t chunk = std::min<size_t>(PAGE - ((a + done) % PAGE),
		                                cap - done);
		if (!known_mapped(src + done, chunk, false))
			return -1;
		size_t n = strnlen(src + done, chunk);
		if (n < chunk)
			return static_cast<long>(done + n);
		done += chunk;
	}
	return -1;
}

UserPath::UserPath(const char *src) noexcept
{
	len_ = copy_string_from_user(buf_, src, sizeof buf_);
	if (len_ < 0)
		buf_[0] = '\0';
}

} // namespace zvsim
