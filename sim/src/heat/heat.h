// File heat: counts of the reads and writes that processes under the
// simulator make on files of the mount, kept per file in the shared file
// records so that every process adds to the same counts.
//
// A descriptor is counted when it was opened by an absolute path inside
// the mount (the open wrappers test the text and mark it); its counts are
// found once, at its first I/O, and added with atomic operations on the
// shared record: no lock and no system call per call after that.
#pragma once

#include "core/fd_table.h"
#include "core/request.h"

namespace zvsim::heat
{

extern const Family family;

// What an open wrapper does for heat: check() the path before the open,
// opened() with its result.
struct OpenCount {
	bool in_mount = false;
	void check(const char *path);
	int opened(int fd);
};

// Counts a read or write on fd that another family served (a selected
// mirror); nothing when fd is not counted.
void count(int fd, IoKind kind, ssize_t result);

} // namespace zvsim::heat
