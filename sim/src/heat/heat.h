// File heat: counts of the reads and writes that processes under the
// simulator make on files of the mount, kept per file in the shared file
// records so that every process adds to the same counts.
//
// A descriptor is counted when it was opened by an absolute path inside
// the mount (a test of the text when it opened marks it); its counts are
// found once, at its first I/O, and added with atomic operations on the
// shared record: no lock and no system call per call after that.
#pragma once

#include "core/fd_table.h"
#include "core/request.h"

namespace zvsim::heat
{

extern const Family family;

} // namespace zvsim::heat
