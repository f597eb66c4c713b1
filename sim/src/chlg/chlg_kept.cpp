// The change logs' descriptors kept by this process (see chlg_kept.h).
#include "chlg_kept.h"

#include "chlg.h"

#include "core/fd_table.h"
#include "core/sysio.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvsim::chlg
{

namespace
{

constexpr int MAX_LOGS = 64; // targets of a simulation

KeptLog *slots()
{
	static auto *s = new KeptLog[MAX_LOGS]; // never destroyed
	return s;
}

// Held while a slot's fields change, and across fork, so that a child
// finds them whole. Never held while waiting for anything else.
std::mutex &fields_mutex()
{
	static auto *m = new std::mutex;
	return *m;
}

} // namespace

// A child of fork shares its parent's open files: each kept descriptor
// gets an open file of its own under the same number (the descriptor
// table's record of it stays right), or is left to be reopened. No thread
// of the child holds a slot.
struct KeptFork {
	static void prepare()
	{
		fields_mutex().lock();
	}
	static void parent()
	{
		fields_mutex().unlock();
	}
	static void child()
	{
		KeptLog *s = slots();
		for (int i = 0; i < MAX_LOGS; ++i) {
			KeptLog &k = s[i];
			new (&k.use_) std::mutex;
			if (k.fd_ < 0)
				continue;
			long fresh = k.path_.empty()
			                     ? -1
			                     : ::syscall(SYS_openat, AT_FDCWD,
			                                 k.path_.c_str(),
			                                 O_RDWR | O_CLOEXEC);
			if (fresh < 0 ||
			    ::syscall(SYS_dup3, fresh, k.fd_, O_CLOEXEC) < 0)
				k.state_.clear(); // reopened at its next use
			if (fresh >= 0)
				::syscall(SYS_close, fresh);
		}
		fields_mutex().unlock();
	}
};

namespace
{
__attribute__((constructor)) void follow_forks()
{
	pthread_atfork(KeptFork::prepare, KeptFork::parent, KeptFork::child);
}
} // namespace

int KeptLog::fd() const
{
	return __atomic_load_n(&fd_, __ATOMIC_ACQUIRE);
}

bool KeptLog::of(const Config &cfg) const
{
	return fd() >= 0 && state_ == cfg.state && instance_ == cfg.instance;
}

KeptLog *KeptLog::take(const Config &cfg, int index, int &rc)
{
	rc = 0;
	// A child of vfork must not change our descriptor table.
	if (index < 0 || index >= MAX_LOGS || !detail::table_owner())
		return nullptr;
	KeptLog &k = slots()[index];
	k.use_.lock();
	if (!k.of(cfg) && (rc = k.reopen(cfg, index)) < 0) {
		k.use_.unlock();
		return nullptr;
	}
	return &k;
}

void KeptLog::release()
{
	use_.unlock();
}

void KeptLog::drop()
{
	char *header;
	{
		std::lock_guard<std::mutex> lock(fields_mutex());
		header = header_;
		header_ = nullptr;
		state_.clear();
		instance_.clear();
	}
	if (header)
		::munmap(header, HDR_SIZE);
	fd_unkeep(&fd_);
}

int KeptLog::reopen(const Config &cfg, int index)
{
	drop();
	std::string path = log_path(cfg, index);
	{
		std::lock_guard<std::mutex> lock(fields_mutex());
		path_ = path;
	}
	int fd = sys::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	if (fd < 0)
		return fd;
	if ((fd = fd_keep(fd, &fd_)) < 0)
		return fd;
	std::lock_guard<std::mutex> lock(fields_mutex());
	state_ = cfg.state;
	instance_ = cfg.instance;
	return 0;
}

void KeptLog::map_header()
{
	if (header_)
		return;
	void *p = ::mmap(nullptr, HDR_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED,
	                 fd(), 0);
	if (p == MAP_FAILED)
		return;
	std::lock_guard<std::mutex> lock(fields_mutex());
	header_ = static_cast<char *>(p);
}

void KeptLog::forsake()
{
	std::lock_guard<std::mutex> lock(fields_mutex());
	state_.clear();
}

void KeptLog::forget_all()
{
	KeptLog *s = slots();
	for (int i = 0; i < MAX_LOGS; ++i) {
		std::lock_guard<std::mutex> lock(s[i].use_);
		if (s[i].fd() >= 0 || s[i].header_)
			s[i].drop();
	}
}

} // namespace zvsim::chlg
