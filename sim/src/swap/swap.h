// Data versions, layout swaps and volatile files.
//
// A file's data version is a counter kept in <state>/versions/<inode>
// with the modification time and size it was last seen with: a request
// that finds either changed (a write or a truncation by any process)
// counts one more. A swap counts one more on both files and moves their
// layout generation. The layout version is twice the generation, plus one
// while the file has a stored layout (so a set-stripe moves it too).
#pragma once

#include "core/request.h"

#include <cstdint>

namespace zvsim::swap
{

extern const Family family;

// Request code of a volatile creation, for the log and for injection.
constexpr uint32_t REQ_VOLATILE_OPEN = 0x5A560010U;

struct Versions {
	uint64_t data = 0;
	uint32_t layout = 0;
};

// The object's versions, its data version first brought in step with the
// backing file; with swapped, both move on. The caller holds StateLock.
int versions_locked(const Config &cfg, const Object &obj, Versions &out,
                    bool swapped = false);

// Exchanges the data (content and size, holes kept) of two regular files
// through a temporary copy of the first, each file read once. On failure
// what was overwritten is put back as far as the file system lets it.
int exchange_data(const Config &cfg, int fd1, int fd2);

// The whole data of from (size and content, holes kept) into to, both
// descriptors of the simulator's own: 0 or -errno.
int copy_data(int from, int to);

// An open of a volatile name in a directory of the mount: true when the
// name is refused (result -1 with errno set); false lets the open go on.
bool volatile_open(OpenCall &call, int &result);

} // namespace zvsim::swap
