#include "file_records.h"

#include "sysio.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvsim
{

namespace
{

constexpr size_t TABLE_BYTES = sizeof(FileRecord) * FILE_RECORDS;
constexpr uint32_t FREE = 0, CLAIMING = 1, IN_USE = 2;

int key_of(int dirfd, const char *path, int flags, FileKey &key)
{
	struct statx sx;
	if (syscall(SYS_statx, dirfd, path, flags, STATX_INO | STATX_BTIME,
	            &sx) < 0)
		return -errno;
	key.ino = sx.stx_ino;
	key.birth = (sx.stx_mask & STATX_BTIME)
	                    ? uint64_t(sx.stx_btime.tv_sec) * 1000000000u +
	                              sx.stx_btime.tv_nsec
	                    : 0;
	return 0;
}

// Every process maps a state's table once and keeps it: records handed
// out stay valid for the life of the process.
FileRecord *table_of(const Config &cfg)
{
	static std::mutex mutex;
	static std::map<std::string, FileRecord *> tables;
	std::lock_guard<std::mutex> lock(mutex);
	if (auto it = tables.find(cfg.state); it != tables.end())
		return it->second;
	int fd = sys::open(cfg.path("files").c_str(), O_RDWR | O_CREAT, 0644);
	if (fd < 0)
		return nullptr;
	// A file of zeros is an empty table: whoever comes first sizes it.
	struct stat st;
	void *base = MAP_FAILED;
	if (syscall(SYS_fstat, fd, &st) == 0 &&
	    (st.st_size >= off_t(TABLE_BYTES) ||
	     syscall(SYS_ftruncate, fd, TABLE_BYTES) == 0))
		base = mmap(nullptr, TABLE_BYTES, PROT_READ | PROT_WRITE,
		            MAP_SHARED, fd, 0);
	sys::close(fd);
	if (base == MAP_FAILED)
		return nullptr;
	return tables[cfg.state] = static_cast<FileRecord *>(base);
}

uint32_t slot_of(const FileKey &key)
{
	uint64_t h = (key.ino ^ (key.birth * 0x9E3779B97F4A7C15ull)) *
	             0xBF58476D1CE4E5B9ull;
	return static_cast<uint32_t>(h >> 40) % FILE_RECORDS;
}

} // namespace

int file_key(int fd, FileKey &key)
{
	return key_of(fd, "", AT_EMPTY_PATH, key);
}

int file_key(const char *path, FileKey &key)
{
	return key_of(AT_FDCWD, path, 0, key);
}

FileRecord *file_record(const Config &cfg, const FileKey &key, bool create)
{
	FileRecord *table = table_of(cfg);
	if (!table)
		return nullptr;
	uint32_t start = slot_of(key);
	for (uint32_t i = 0; i < FILE_RECORDS; i++) {
		FileRecord &r = table[(start + i) % FILE_RECORDS];
		uint32_t state = shared(r.state).load();
		if (state == FREE) {
			if (!create)
				return nullptr;
			if (shared(r.state).compare_exchange_strong(state,
			                                            CLAIMING)) {
				r.ino = key.ino;
				r.birth = key.birth;
				shared(r.state).store(IN_USE);
				return &r;
			}
			// Taken meanwhile: state is what it is now.
		}
		while (state == CLAIMING) // its keys are being written
			state = shared(r.state).load();
		if (r.ino == key.ino && r.birth == key.birth)
			return &r;
	}
	return nullptr;
}

FileRecord *detail::look_up_counted(int fd) noexcept
{
	// Once per open file: what it calls keeps the caller's errno, and a
	// failure leaves the file uncounted.
	FileRecord *r = nullptr;
	int saved = errno;
	try {
		r = static_cast<FileRecord *>(fd_state(fd, fdmark::HEAT));
		if (r)
			return r;
		sys::Reentry guard;
		ConfigPtr cfg = current();
		FileKey key;
		if (cfg && file_key(fd, key) == 0)
			r = file_record(*cfg, key, true);
		if (!r)
			r = no_record();
		fd_set_state(fd, fdmark::HEAT, r);
	} catch (...) {
		r = no_record();
	}
	errno = saved;
	return r;
}

void count_io(int fd, IoKind kind, ssize_t result)
{
	if (result >= 0 && fd_marks(fd) & fdmark::HEAT)
		count_io(counted_record(fd), kind, result);
}

void primary_changed(FileRecord &r) noexcept
{
	unsigned n = shared(r.mirrors).load(std::memory_order_relaxed);
	if (n <= 1)
		return;
	uint64_t others =
	        ((n >= 63 ? ~uint64_t(0) : (uint64_t(1) << (n + 1)) - 1)) &
	        ~uint64_t(3);
	if ((shared(r.stale).load(std::memory_order_relaxed) & others) !=
	    others)
		shared(r.stale).fetch_or(others);
}

} // namespace zvsim
