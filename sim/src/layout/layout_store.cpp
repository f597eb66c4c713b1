// The layout store (layout_store.h).
#include "layout_store.h"
#include "layout_wire.h"

#include "core/sysio.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace zvsim::layout
{

namespace
{
constexpr uint32_t STORE_MAGIC = 0x594C565A; // "ZVLY"
constexpr size_t STORE_HDR = 24;

} // namespace

Birth birth_of(int dirfd, const char *name, int flags)
{
	struct statx sx;
	Birth b;
	if (::statx(dirfd, name, flags | AT_SYMLINK_NOFOLLOW, STATX_BTIME,
	            &sx) == 0 &&
	    (sx.stx_mask & STATX_BTIME)) {
		b.sec = sx.stx_btime.tv_sec;
		b.nsec = sx.stx_btime.tv_nsec;
	}
	return b;
}

Birth birth_of(int fd)
{
	return birth_of(fd, "", AT_EMPTY_PATH);
}

std::string store_path(const Config &cfg, ino_t ino, const char *ext)
{
	return cfg.state + "/layouts/" + std::to_string(ino) + ext;
}

bool load_layout(const Config &cfg, ino_t ino, const Birth &birth,
                 const char *ext, uint32_t &kind, std::string &record)
{
	std::string data;
	if (sys::read_file(store_path(cfg, ino, ext), data) < 0 ||
	    data.size() < STORE_HDR ||
	    rec::get32(data.data(), 0) != STORE_MAGIC)
		return false;
	Birth b{static_cast<int64_t>(rec::get64(data.data(), 8)),
	        rec::get32(data.data(), 16)};
	if (b.sec != birth.sec || b.nsec != birth.nsec)
		return false; // an earlier object with the same inode number
	kind = rec::get32(data.data(), 4);
	record = data.substr(STORE_HDR);
	return true;
}

int save_layout(const Config &cfg, ino_t ino, const Birth &birth,
                const char *ext, uint32_t kind, const std::string &record)
{
	std::string data(STORE_HDR, '\0');
	rec::put32(data.data(), 0, STORE_MAGIC);
	rec::put32(data.data(), 4, kind);
	rec::put64(data.data(), 8, static_cast<uint64_t>(birth.sec));
	rec::put32(data.data(), 16, birth.nsec);
	return sys::write_file_atomic(store_path(cfg, ino, ext), data + record);
}

} // namespace zvsim::layout
