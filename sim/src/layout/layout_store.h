// Where layouts are kept: <state>/layouts/<inode>.lov (file striping,
// foreign file layout, directory default, a raw record) and <inode>.lmv
// (foreign directory layout, a raw record), each a 24-byte header and the
// record. The header keeps the object's birth time, so a layout left behind
// by a deleted object is not taken for the layout of a later object that
// reuses its inode number.
#pragma once

#include "core/state.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace zvsim::layout
{

enum Kind : uint32_t {
	KIND_STRIPED = 1,
	KIND_FOREIGN_FILE = 2,
	KIND_DIR_DEFAULT = 3,
	KIND_FOREIGN_DIR = 4,
	// Bytes stored by steering as they stand, answered as they stand.
	KIND_RAW = 5,
};

constexpr const char *LOV = ".lov";
constexpr const char *LMV = ".lmv";

struct Birth {
	int64_t sec = 0;
	uint32_t nsec = 0;
};

// Birth time of the object at dirfd/name (flags of statx), or of fd.
Birth birth_of(int dirfd, const char *name, int flags);
Birth birth_of(int fd);

std::string store_path(const Config &cfg, ino_t ino, const char *ext);

// The stored record of an object, when one exists and belongs to it.
bool load_layout(const Config &cfg, ino_t ino, const Birth &birth,
                 const char *ext, uint32_t &kind, std::string &record);
int save_layout(const Config &cfg, ino_t ino, const Birth &birth,
                const char *ext, uint32_t kind, const std::string &record);

} // namespace zvsim::layout
