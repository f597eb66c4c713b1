// The open files this process follows, and how its descriptors come and go:
// dups of every kind join the open file they copy, closes leave it, a
// descriptor replaced by dup2 or dup3 leaves the one it named, and the last
// descriptor to leave drops what the families keep on it. A held open file
// keeps a sentinel (holder.h) whose close-on-exec flag follows its
// descriptors', so the kernel itself tells other processes when the open
// file goes, across fork, exec and death.
#include "fd_table.h"

#include "guard.h"
#include "sysio.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvsim
{

namespace
{

// Every open file made so far; those not in use are taken again. Never
// freed: a racing reader of a slot may still look at one.
struct Files {
	std::vector<OpenFile *> all;
	std::vector<OpenFile *> spare;
};

Files &files()
{
	static auto *f = new Files;
	return *f;
}

// The process whose table this is (detail::table_owner()).
pid_t owner;

// Set before this process first calls vfork: from then on the owner of
// the table is told by the process ID, since a child made by vfork shares
// our memory, and runs our code, until it runs another program. Until
// then every caller is the owner, which costs no system call. Where
// vfork is not interposed (libc/vfork.cpp), the process ID always tells.
#if defined(__x86_64__)
bool vfork_seen;
#else
bool vfork_seen = true;
#endif

// Under fd_mutex().

OpenFile *make_file(int fd)
{
	Files &fs = files();
	OpenFile *f;
	if (!fs.spare.empty()) {
		f = fs.spare.back();
		fs.spare.pop_back();
	} else {
		f = new OpenFile;
		fs.all.push_back(f);
	}
	f->fds.push_back(fd);
	detail::set_slot(fd, reinterpret_cast<uintptr_t>(f));
	return f;
}

// fd's open file, followed from now on; null out of the table's range or
// when fd is a device's.
OpenFile *follow(int fd)
{
	uintptr_t slot = fd_slot(fd);
	if (static_cast<unsigned>(fd) >= static_cast<unsigned>(FD_TABLE_SIZE) ||
	    slot_ops(slot) || !detail::table_owner())
		return nullptr;
	OpenFile *f = slot_file(slot);
	return f ? f : make_file(fd);
}

// The sentinel closes on exec when every descriptor of the open file
// does.
void follow_cloexec(OpenFile &f)
{
	if (f.sentinel < 0)
		return;
	bool all = !f.fds.empty();
	for (int fd : f.fds) {
		long flags = ::syscall(SYS_fcntl, fd, F_GETFD);
		if (flags < 0 || !(flags & FD_CLOEXEC)) {
			all = false;
			break;
		}
	}
	::syscall(SYS_fcntl, f.sentinel, F_SETFD, all ? FD_CLOEXEC : 0);
}

// fd no longer names its open file: the open file when that was its last
// descriptor here (to be dropped once the lock is let go).
OpenFile *leave(int fd)
{
	OpenFile *f = slot_file(fd_slot(fd));
	if (!f)
		return nullptr;
	detail::set_slot(fd, 0);
	std::erase(f->fds, fd);
	if (!f->fds.empty()) {
		follow_cloexec(*f);
		return nullptr;
	}
	return f;
}

int publish(const Config &cfg, OpenFile &f, int fd)
{
	struct stat st;
	if (::syscall(SYS_fstat, fd, &st) < 0)
		return -errno;
	Holder h = new_holder();
	int s = sentinel_open(cfg, h);
	if (s < 0)
		return s;
	if ((s = detail::keep_locked(s, &f.sentinel)) < 0)
		return s;
	f.holder = h;
	f.key = key_of(fd, st.st_ino);
	f.state_dir = cfg.state;
	follow_cloexec(f);
	return 0;
}

// --- once the lock is let go --------------------------------------------

// The holder of f is gone from every process: what it held goes.
void release_if_gone(const OpenFile &f)
{
	ConfigPtr cfg = current();
	if (!cfg || cfg->state != f.state_dir || f.holder->alive(*cfg))
		return;
	StateLock lock(*cfg);
	for (const FdHooks *h : fd_hooks_with<&FdHooks::released>())
		h->released(*cfg, f.key, *f.holder);
}

// f lost its last descriptor in this process.
void drop(OpenFile *f)
{
	int ignored = 0;
	guarded(ignored, [&] {
		sys::Reentry guard;
		uint32_t m = f->marks;
		for (const FdHooks *h : fd_hooks_with<&FdHooks::dropped>())
			if (h->mark & m)
				h->dropped(*f);
		if (f->holder) {
			fd_unkeep(&f->sentinel);
			release_if_gone(*f);
		}
		return true;
	});
	std::lock_guard<std::mutex> lock(detail::fd_mutex());
	f->marks = 0;
	std::fill(std::begin(f->state), std::end(f->state), nullptr);
	f->fds.clear();
	f->holder.reset();
	f->key = {};
	f->state_dir.clear();
	f->sentinel = -1;
	files().spare.push_back(f);
}

void drop_all(const std::vector<OpenFile *> &gone)
{
	for (OpenFile *f : gone)
		drop(f);
}

// --- fork --------------------------------------------------------------------

// Open files that hold nothing yet get their sentinel before a fork, so
// that what either process takes through them later is shared with the
// other, as the open file is.
void before_fork()
{
	ConfigPtr cfg;
	if (detail::table_owner() && !files().all.empty() &&
	    !sys::Reentry::inside()) {
		sys::Reentry guard;
		cfg = current();
	}
	detail::fd_mutex().lock();
	if (!cfg)
		return;
	sys::Reentry guard;
	for (OpenFile *f : files().all)
		if (!f->fds.empty() && !f->holder)
			publish(*cfg, *f, f->fds.front());
}

void after_fork_parent()
{
	detail::fd_mutex().unlock();
}

void after_fork_child()
{
	owner = ::getpid();
	detail::fd_mutex().unlock();
}

__attribute__((constructor)) void start_following()
{
	owner = ::getpid();
	pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

} // namespace

bool detail::table_owner()
{
	return !__atomic_load_n(&vfork_seen, __ATOMIC_ACQUIRE) ||
	       ::getpid() == owner;
}

void detail::vfork_coming()
{
	__atomic_store_n(&vfork_seen, true, __ATOMIC_SEQ_CST);
}

void fd_mark(int fd, uint32_t bits)
{
	std::lock_guard<std::mutex> lock(detail::fd_mutex());
	if (OpenFile *f = follow(fd))
		__atomic_fetch_or(&f->marks, bits, __ATOMIC_ACQ_REL);
}

void fd_unmark(int fd, uint32_t bits)
{
	if (OpenFile *f = fd_file(fd))
		__atomic_fetch_and(&f->marks, ~bits, __ATOMIC_ACQ_REL);
}

void *fd_state(int fd, uint32_t mark)
{
	OpenFile *f = fd_file(fd);
	return f ? __atomic_load_n(&f->state[mark_index(mark)],
	                           __ATOMIC_ACQUIRE)
	         : nullptr;
}

bool fd_set_state(int fd, uint32_t mark, void *state)
{
	std::lock_guard<std::mutex> lock(detail::fd_mutex());
	OpenFile *f = follow(fd);
	if (f)
		__atomic_store_n(&f->state[mark_index(mark)], state,
		                 __ATOMIC_RELEASE);
	return f != nullptr;
}

int fd_hold(const Config &cfg, int fd, Holder &out)
{
	std::lock_guard<std::mutex> lock(detail::fd_mutex());
	OpenFile *f = follow(fd);
	if (!f)
		return -EBADF;
	if (!f->holder)
		if (int rc = publish(cfg, *f, fd); rc < 0)
			return rc;
	out = *f->holder;
	return 0;
}

std::optional<Holder> fd_holder(int fd)
{
	if (!fd_file(fd))
		return std::nullopt;
	std::lock_guard<std::mutex> lock(detail::fd_mutex());
	OpenFile *f = fd_file(fd);
	return f ? f->holder : std::nullopt;
}

int detail::fresh_file(int fd)
{
	OpenFile *gone = nullptr;
	{
		std::lock_guard<std::mutex> lock(detail::fd_mutex());
		if (detail::table_owner())
			gone = leave(fd);
	}
	if (gone)
		drop(gone);
	return fd;
}

void fd_closing(int fd)
{
	fd_fresh(fd);
}

void fd_duped(int from, int to)
{
	OpenFile *gone = nullptr;
	{
		std::lock_guard<std::mutex> lock(detail::fd_mutex());
		if (!detail::table_owner() ||
		    static_cast<unsigned>(to) >=
		            static_cast<unsigned>(FD_TABLE_SIZE))
			return;
		gone = leave(to);
		if (OpenFile *f = slot_file(fd_slot(from))) {
			f->fds.push_back(to);
			detail::set_slot(to, reinterpret_cast<uintptr_t>(f));
			follow_cloexec(*f);
		}
	}
	if (gone)
		drop(gone);
}

void fd_range_closing(unsigned first, unsigned last)
{
	std::vector<OpenFile *> gone;
	{
		std::lock_guard<std::mutex> lock(detail::fd_mutex());
		if (!detail::table_owner())
			return;
		last = std::min(last, unsigned(FD_TABLE_SIZE - 1));
		for (unsigned fd = first; fd <= last; ++fd)
			if (OpenFile *f = leave(static_cast<int>(fd)))
				gone.push_back(f);
	}
	drop_all(gone);
}

void fd_cloexec_changed(int fd) noexcept
{
	int saved = errno, ignored = 0;
	guarded(ignored, [&] {
		std::lock_guard<std::mutex> lock(detail::fd_mutex());
		if (!detail::table_owner())
			return true;
		if (fd >= 0) {
			if (OpenFile *f = fd_file(fd))
				follow_cloexec(*f);
			return true;
		}
		for (OpenFile *f : files().all)
			if (!f->fds.empty())
				follow_cloexec(*f);
		return true;
	});
	errno = saved;
}

} // namespace zvsim
