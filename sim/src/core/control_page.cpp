#include "control_page.h"

#include "request.h"
#include "sysio.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvsim
{

namespace
{

bool exists(const std::string &path)
{
	return syscall(SYS_faccessat, AT_FDCWD, path.c_str(), F_OK) == 0;
}

// Calls fn(flag, slot) for every family's flag that has a slot.
template <typename Fn>
void each_family_flag(Fn &&fn)
{
	size_t slot = 0;
	for (const Family *f : families())
		for (const PageFlag &flag : f->page_flags)
			if (slot < PAGE_FAMILY_FLAGS)
				fn(flag, static_cast<int>(slot++));
}

// What a state directory made before the page existed already says.
void initialise(ControlPage *page, const std::string &state)
{
	std::string text;
	uint32_t injections = 0;
	if (sys::read_file(state + "/inject", text) == 0)
		for (char c : text)
			injections += c == '\n';
	page->version = 1;
	page->log_on = exists(state + "/log") ? 1 : 0;
	page->injections = injections;
	each_family_flag([&](const PageFlag &flag, int slot) {
		page->family[slot] = flag.initial ? flag.initial(state) : 0;
	});
	std::atomic_ref<uint32_t>(page->magic)
	        .store(CONTROL_MAGIC, std::memory_order_release);
}

} // namespace

int page_slot_find(const PageFlag &f)
{
	int found = -1;
	each_family_flag([&](const PageFlag &flag, int slot) {
		if (&flag == &f)
			found = slot;
	});
	if (found >= 0)
		f.slot.store(found, std::memory_order_relaxed);
	return found;
}

bool page_has_file(const std::string &path)
{
	return exists(path);
}

ControlPage *control_page_map(const std::string &state)
{
	int fd =
	        sys::open((state + "/control").c_str(), O_RDWR | O_CREAT, 0644);
	if (fd < 0)
		return nullptr;
	struct stat st;
	if (::fstat(fd, &st) < 0 ||
	    (st.st_size < static_cast<off_t>(CONTROL_SIZE) &&
	     ::ftruncate(fd, CONTROL_SIZE) < 0)) {
		sys::close(fd);
		return nullptr;
	}
	void *map = ::mmap(nullptr, CONTROL_SIZE, PROT_READ | PROT_WRITE,
	                   MAP_SHARED, fd, 0);
	if (map == MAP_FAILED) {
		sys::close(fd);
		return nullptr;
	}
	auto *page = static_cast<ControlPage *>(map);
	if (std::atomic_ref<uint32_t>(page->magic)
	            .load(std::memory_order_acquire) != CONTROL_MAGIC) {
		// The first mapper fills it in; the lock keeps two from racing.
		int lock = sys::open((state + "/lock").c_str(),
		                     O_RDWR | O_CREAT, 0644);
		if (lock >= 0)
			while (::flock(lock, LOCK_EX) < 0 && errno == EINTR) {
			}
		if (page->magic != CONTROL_MAGIC)
			initialise(page, state);
		if (lock >= 0)
			sys::close(lock);
	}
	sys::close(fd);
	return page;
}

} // namespace zvsim
