// Change-log test helpers: records decoded at explicit byte offsets (never
// the client library's accessors), and reads of a whole log device.
#pragma once

#include "helpers.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace zvtest
{

struct Rec {
	uint16_t namelen = 0, flags = 0;
	uint32_t type = 0;
	uint64_t index = 0, prev = 0, time = 0;
	zo_fid tfid{}, pfid{}, sfid{}, spfid{};
	bool has_rename = false, has_jobid = false, has_extra = false;
	std::string jobid;
	uint64_t extra = 0, uid = 0, gid = 0, nid = 0;
	uint32_t oflags = 0;
	std::string xattr, name;
	size_t size = 0; // whole record, by its flags
};

template <typename T>
T get(const char *p, size_t off)
{
	T v;
	memcpy(&v, p + off, sizeof v);
	return v;
}

inline zo_fid get_fid(const char *p, size_t off)
{
	zo_fid f;
	f.f_seq = get<uint64_t>(p, off);
	f.f_oid = get<uint32_t>(p, off + 8);
	f.f_ver = get<uint32_t>(p, off + 12);
	return f;
}

// Decodes the record at p; its size may run past what is there.
inline Rec decode(const char *p)
{
	Rec r;
	r.namelen = get<uint16_t>(p, 0);
	r.flags = get<uint16_t>(p, 2);
	r.type = get<uint32_t>(p, 4);
	r.index = get<uint64_t>(p, 8);
	r.prev = get<uint64_t>(p, 16);
	r.time = get<uint64_t>(p, 24);
	r.tfid = get_fid(p, 32);
	r.pfid = get_fid(p, 48);
	size_t off = 64;
	if ((r.has_rename = r.flags & 0x2000)) {
		r.sfid = get_fid(p, off);
		r.spfid = get_fid(p, off + 16);
		off += 32;
	}
	if ((r.has_jobid = r.flags & 0x4000)) {
		r.jobid.assign(p + off, strnlen(p + off, 32));
		off += 32;
	}
	if ((r.has_extra = r.flags & 0x8000)) {
		r.extra = get<uint64_t>(p, off);
		off += 8;
		if (r.extra & 1) {
			r.uid = get<uint64_t>(p, off);
			r.gid = get<uint64_t>(p, off + 8);
			off += 16;
		}
		if (r.extra & 2) {
			r.nid = get<uint64_t>(p, off);
			off += 24;
		}
		if (r.extra & 4) {
			r.oflags = get<uint32_t>(p, off);
			off += 4;
		}
		if (r.extra & 8) {
			r.xattr.assign(p + off, strnlen(p + off, 256));
			off += 256;
		}
	}
	r.name.assign(p + off, r.namelen);
	r.size = off + r.namelen;
	return r;
}

inline std::string dev_path(const std::string &target)
{
	return "/dev/changelog-" + target;
}

// Every record of a log from its start, read count bytes at a time; each
// read must end on a record boundary.
inline std::vector<Rec> read_log(const std::string &target, size_t count = 4096)
{
	std::vector<Rec> out;
	int fd = open(dev_path(target).c_str(), O_RDONLY);
	EXPECT_GE(fd, 0) << target << ": " << strerror(errno);
	if (fd < 0)
		return out;
	std::vector<char> buf(count);
	for (;;) {
		ssize_t n = read(fd, buf.data(), count);
		EXPECT_GE(n, 0) << strerror(errno);
		if (n <= 0)
			break;
		size_t off = 0;
		while (off < size_t(n)) {
			Rec r = decode(buf.data() + off);
			EXPECT_LE(off + r.size, size_t(n)) << "split record";
			out.push_back(r);
			off += r.size;
		}
	}
	close(fd);
	return out;
}

inline std::string register_user(const std::string &target)
{
	char user[32] = {};
	EXPECT_EQ(zvsim_changelog_register(target.c_str(), user, sizeof user),
	          0);
	return user;
}

} // namespace zvtest
