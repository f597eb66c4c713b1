// Per-file records shared by every process of a simulation: one mapped
// table, <state>/files, of fixed-size records keyed by a file's identity
// (inode number and birth time, so that a reused inode number is a new
// file). Families keep counters and small flags there that every process
// must see at once without a system call: heat counts, mirror counts and
// stale marks. Records are claimed without a lock and never freed.
#pragma once

#include "fd_table.h"
#include "state.h"

#include <atomic>
#include <cstdint>
#include <sys/types.h>

namespace zvsim
{

struct FileKey {
	uint64_t ino = 0;
	uint64_t birth = 0; // birth time in ns; 0 where the fs keeps none
};

struct FileRecord {
	uint64_t ino;
	uint64_t birth;
	uint32_t state;      // 0 free, 1 being claimed, 2 in use
	uint32_t heat_flags; // heat family
	uint32_t mirrors;    // mirror family: mirrors the file has (0: one)
	uint32_t seek_data_errno; // mirror family: SEEK_DATA on a mirror fails
	uint64_t stale;           // mirror family: bit id, that mirror is stale
	uint64_t heat[4]; // heat family: reads, writes, bytes read, written
};

// FileRecord::heat in the order the heat record answers them, and the bit
// of heat_flags that stops the counting.
constexpr size_t HEAT_READS = 0, HEAT_WRITES = 1, HEAT_READ_BYTES = 2,
                 HEAT_WRITE_BYTES = 3;
constexpr uint32_t HEAT_COUNTING_OFF = 0x2;

constexpr uint32_t FILE_RECORDS = 16384;

// Identity of the file behind fd, or of path: 0 or -errno.
int file_key(int fd, FileKey &key);
int file_key(const char *path, FileKey &key);

// The record of key in cfg's table, made when create is set; null when
// there is none, the table is full or cannot be mapped.
FileRecord *file_record(const Config &cfg, const FileKey &key, bool create);

// Atomic access to record fields shared between processes.
template <typename T>
std::atomic_ref<T> shared(T &field)
{
	return std::atomic_ref<T>(field);
}

// --- the I/O of files of the mount ----------------------------------------
// Descriptors opened on a file of the mount are counted (fdmark::HEAT):
// their I/O adds to the file's counts and a change of the file through one
// without a mirror selected (fdmark::MIRROR) is a change of the primary.

namespace detail
{
// The state of a counted open file whose record was looked for and not
// found (the table full, the file gone).
inline FileRecord *no_record()
{
	return reinterpret_cast<FileRecord *>(alignof(FileRecord));
}
FileRecord *look_up_counted(int fd) noexcept;
} // namespace detail

// The record of the file a counted descriptor is open on, looked for once
// per open file; null when there is none. known: the open file's state as
// a call saw it (IoSeen), null when it had none yet. Inline up to the
// look, which every read and write of a counted descriptor but its first
// skips.
inline FileRecord *counted_record(int fd, void *known = nullptr)
{
	auto *r = static_cast<FileRecord *>(known);
	if (!r)
		r = detail::look_up_counted(fd);
	return r == detail::no_record() ? nullptr : r;
}
// Adds a read or write on fd that returned result to its file's counts;
// nothing when fd is not counted or counting is off for the file.
void count_io(int fd, IoKind kind, ssize_t result);
// The same for a descriptor known to be counted: its record r (null:
// none), looked up by counted_record(). Inline: every such read and write
// comes here.
inline void count_io(FileRecord *r, IoKind kind, ssize_t result)
{
	if (!r || result < 0 ||
	    shared(r->heat_flags).load(std::memory_order_relaxed) &
	            HEAT_COUNTING_OFF)
		return;
	bool rd = kind == IoKind::Read;
	shared(r->heat[rd ? HEAT_READS : HEAT_WRITES])
	        .fetch_add(1, std::memory_order_relaxed);
	shared(r->heat[rd ? HEAT_READ_BYTES : HEAT_WRITE_BYTES])
	        .fetch_add(static_cast<uint64_t>(result),
	                   std::memory_order_relaxed);
}
// The primary (mirror 1) of r's file changed: every other mirror is stale.
void primary_changed(FileRecord &r) noexcept;

} // namespace zvsim
