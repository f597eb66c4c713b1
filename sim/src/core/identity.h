// Object identity in a simulated mount.
//
// A FID is derived from the inode number, so it is stable across renames,
// shared by hard links and the same in every process:
//   target = ino % mdts
//   f_seq  = FID_SEQ_NORMAL + (ino >> 32) * mdts + target
//   f_oid  = ino & 0xffffffff
//   f_ver  = 0
// The root is [0x200000007:0x1:0x0]; the .zorvel directory and .zorvel/fid
// are [0x200000002:0x1:0x0] and [0x200000002:0x2:0x0].
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace zvsim
{

struct Fid {
	uint64_t seq = 0;
	uint32_t oid = 0;
	uint32_t ver = 0;
	bool operator==(const Fid &) const = default;
};

constexpr uint64_t SEQ_NORMAL = 0x200000400ULL;
constexpr uint64_t SEQ_ROOT = 0x200000007ULL;
constexpr uint64_t SEQ_DOT_ZORVEL = 0x200000002ULL;

constexpr Fid ROOT_FID{SEQ_ROOT, 1, 0};
constexpr Fid DOT_ZORVEL_FID{SEQ_DOT_ZORVEL, 1, 0};
constexpr Fid FID_DIR_FID{SEQ_DOT_ZORVEL, 2, 0};

Fid fid_from_ino(uint64_t ino, int mdts);

enum class FidKind {
	Foreign,
	Root,
	DotZorvel,
	FidDir,
	Normal,
	Unknown
};

// What a FID names in a mount with mdts targets. Foreign: not a sequence of
// this file system. Unknown: one of its sequences, but no object can have it.
struct FidTarget {
	FidKind kind = FidKind::Foreign;
	uint64_t ino = 0; // Normal only
	int mdt = 0;
};
FidTarget fid_decode(const Fid &fid, int mdts);

// Text form "[seq:oid:ver]", brackets optional, numbers in any C base.
std::optional<Fid> fid_parse(std::string_view text);
std::string fid_format(const Fid &fid);

void fid_put(void *buf, size_t off, const Fid &fid);
Fid fid_get(const void *buf, size_t off);

} // namespace zvsim
