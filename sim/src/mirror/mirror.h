// Mirrored files. Mirror 1 is the file of the mount itself (the primary);
// a file given N mirrors keeps mirrors 2..N in sparse backing files,
// <state>/mirrors/<ino>.<birth>/<id>, each with its own data, holes and
// size. Their number and stale marks live in the shared file records.
//
// ZV_IOC_MIRROR_SET puts a selection on the descriptor (a mark and this
// process's entry for it): I/O through it then reaches that mirror alone.
// Ordinary I/O reaches the primary; a change of the primary without a
// selection marks every other mirror stale, and a change of a mirror
// through a selection clears its own mark.
#pragma once

#include "core/file_records.h"
#include "core/request.h"

#include <string>

namespace zvsim::mirror
{

extern const Family family;

constexpr unsigned MAX_MIRRORS = 32;

// Steering (mirror_store.cpp): results 0 or -errno.
// Gives the file at path n mirrors (1..MAX_MIRRORS); new ones start
// empty and stale, dropped ones lose their data.
int set_count(const Config &cfg, const char *path, unsigned n);
// The mirrors as text, a line each: "<id> <size> <stale 0|1> <data>"
// with data "<offset>+<length>,..." or "-" when the mirror is all hole.
int list(const Config &cfg, const char *path, std::string &out);
// Up to len bytes of mirror id at off into out.
int read(const Config &cfg, const char *path, unsigned id, int64_t off,
         size_t len, std::string &out);

// SEEK_DATA on the file's mirrors 2 and up fails with err (0: works).
int fail_data_seek(const Config &cfg, const char *path, int err);

// The backing file of mirror id (2 and up) of a file, and their folder.
std::string backing_path(const Config &cfg, const FileKey &key, unsigned id);
std::string mirrors_dir(const Config &cfg, const FileKey &key);
// The number of mirrors of a file by its record (none: 1).
unsigned count_of(const FileRecord *rec);

// A layout swap of the files open on fd1 and fd2 (regular files of the
// mount, the state lock held): each takes the other's mirrors 2 and up,
// with their data, holes, sizes and stale marks. 0, or -errno with
// nothing changed as far as the file system lets it be put back.
int exchange(const Config &cfg, int fd1, int fd2);

} // namespace zvsim::mirror
