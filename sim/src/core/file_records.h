// Per-file records shared by every process of a simulation: one mapped
// table, <state>/files, of fixed-size records keyed by a file's identity
// (inode number and birth time, so that a reused inode number is a new
// file). Families keep counters and small flags there that every process
// must see at once without a system call: heat counts, mirror counts and
// stale marks. Records are claimed without a lock and never freed.
#pragma once

#include "state.h"

#include <atomic>
#include <cstdint>

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

} // namespace zvsim
