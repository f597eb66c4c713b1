// Records the simulated kernel keeps per object in the state directory
// (data versions, group locks, leases, cache attachments): one text file
// <state>/<kind>/<inode number> whose first line names the object's birth
// time, so that a record left behind by a deleted object is not taken for
// a later object that reuses its inode number. Callers hold StateLock
// around a load and the store that follows it.
#pragma once

#include "state.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zvsim
{

// Birth time from statx (zero where the file system keeps none: the check
// is then void).
struct Birth {
	int64_t sec = 0;
	uint32_t nsec = 0;
	bool operator==(const Birth &) const = default;
};
Birth birth_of(int fd);
Birth birth_of_path(const std::string &path);

struct ObjectKey {
	ino_t ino = 0;
	Birth birth;
};
ObjectKey key_of(int fd, ino_t ino);
// The key of the object at path (not followed when it is a symbolic
// link), which must lie in the mount: 0, -EINVAL outside it, or -errno.
int key_of_path(const Config &cfg, const char *path, ObjectKey &key);

// The record's lines (without the birth line): empty when there is none
// or it belonged to an earlier object.
std::vector<std::string> record_load(const Config &cfg, const char *kind,
                                     const ObjectKey &key);
// Writes the lines; no lines removes the record.
int record_store(const Config &cfg, const char *kind, const ObjectKey &key,
                 const std::vector<std::string> &lines);
// Inode numbers that have a record of this kind.
std::vector<ino_t> record_list(const Config &cfg, const char *kind);
// A steering call's text answer: up to len bytes copied into buf; the
// text's full size.
int copy_out_text(const std::string &text, char *buf, size_t len);
// Word number index (from 0) of a line; empty when it has fewer.
std::string line_word(const std::string &line, size_t index);

} // namespace zvsim
