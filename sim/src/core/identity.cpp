#include "identity.h"

#include "wire.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace zvsim
{

Fid fid_from_ino(uint64_t ino, int mdts)
{
	uint64_t n = static_cast<uint64_t>(mdts);
	return Fid{SEQ_NORMAL + (ino >> 32) * n + ino % n,
	           static_cast<uint32_t>(ino), 0};
}

FidTarget fid_decode(const Fid &fid, int mdts)
{
	FidTarget t;
	if (fid.seq == SEQ_ROOT) {
		t.kind = fid.oid == 1 && fid.ver == 0 ? FidKind::Root
		                                      : FidKind::Unknown;
		return t;
	}
	if (fid.seq == SEQ_DOT_ZORVEL) {
		t.kind = FidKind::Unknown;
		if (fid.ver == 0 && fid.oid == 1)
			t.kind = FidKind::DotZorvel;
		else if (fid.ver == 0 && fid.oid == 2)
			t.kind = FidKind::FidDir;
		return t;
	}
	uint64_t n = static_cast<uint64_t>(mdts);
	// Inode numbers are 64-bit: (2^32 sequences per target) * mdts.
	if (fid.seq < SEQ_NORMAL || (fid.seq - SEQ_NORMAL) / n > 0xFFFFFFFFULL)
		return t; // Foreign
	uint64_t k = fid.seq - SEQ_NORMAL;
	uint64_t ino = ((k / n) << 32) | fid.oid;
	t.kind = FidKind::Unknown;
	if (fid.ver != 0 || ino % n != k % n)
		return t;
	t.kind = FidKind::Normal;
	t.ino = ino;
	t.mdt = static_cast<int>(k % n);
	return t;
}

namespace
{
bool parse_u64(std::string_view &s, uint64_t max, uint64_t &out)
{
	std::string tmp(s.substr(0, 32));
	if (tmp.empty() || !(tmp[0] >= '0' && tmp[0] <= '9'))
		return false;
	char *end = nullptr;
	errno = 0;
	unsigned long long v = strtoull(tmp.c_str(), &end, 0);
	if (errno != 0 || end == tmp.c_str() || v > max)
		return false;
	s.remove_prefix(static_cast<size_t>(end - tmp.c_str()));
	out = v;
	return true;
}
} // namespace

std::optional<Fid> fid_parse(std::string_view s)
{
	bool bracket = !s.empty() && s.front() == '[';
	if (bracket)
		s.remove_prefix(1);
	uint64_t seq, oid, ver;
	if (!parse_u64(s, UINT64_MAX - 1, seq) || s.empty() || s[0] != ':')
		return std::nullopt;
	s.remove_prefix(1);
	if (!parse_u64(s, UINT32_MAX, oid) || s.empty() || s[0] != ':')
		return std::nullopt;
	s.remove_prefix(1);
	if (!parse_u64(s, UINT32_MAX, ver))
		return std::nullopt;
	if (bracket) {
		if (s.empty() || s[0] != ']')
			return std::nullopt;
		s.remove_prefix(1);
	}
	if (!s.empty())
		return std::nullopt;
	return Fid{seq, static_cast<uint32_t>(oid), static_cast<uint32_t>(ver)};
}

std::string fid_format(const Fid &fid)
{
	char buf[64];
	snprintf(buf, sizeof buf, "[%#" PRIx64 ":0x%x:0x%x]", fid.seq, fid.oid,
	         fid.ver);
	return buf;
}

void fid_put(void *buf, size_t off, const Fid &fid)
{
	rec::put64(buf, off + rec::FID_SEQ, fid.seq);
	rec::put32(buf, off + rec::FID_OID, fid.oid);
	rec::put32(buf, off + rec::FID_VER, fid.ver);
}

Fid fid_get(const void *buf, size_t off)
{
	return Fid{rec::get64(buf, off + rec::FID_SEQ),
	           rec::get32(buf, off + rec::FID_OID),
	           rec::get32(buf, off + rec::FID_VER)};
}

} // namespace zvsim
