// Heat requests and the counting of I/O on descriptors of the mount's
// files.
#include "heat.h"
#include "heat_wire.h"

#include "core/file_records.h"
#include "core/sysio.h"

#include <cerrno>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_heat.h>

namespace zvsim::heat
{

static_assert(sizeof(struct zo_heat) == rec::ZH_HDR);
static_assert(offsetof(struct zo_heat, zh_flags) == rec::ZH_FLAGS);
static_assert(ZO_HEAT_READ_BYTES == rec::HEAT_READ_BYTES &&
              ZO_HEAT_VALUES == rec::HEAT_VALUES);
static_assert(rec::HEAT_READS == HEAT_READS &&
              rec::HEAT_WRITES == HEAT_WRITES &&
              rec::HEAT_READ_BYTES == HEAT_READ_BYTES &&
              rec::HEAT_WRITE_BYTES == HEAT_WRITE_BYTES &&
              rec::HEAT_OFF == HEAT_COUNTING_OFF);
static_assert(ZO_HEAT_FLAG_CLEAR == rec::HEAT_CLEAR &&
              ZO_HEAT_FLAG_OFF == rec::HEAT_OFF &&
              ZO_HEAT_FLAG_ON == rec::HEAT_ON);

namespace
{

// --- hooks on counted descriptors -----------------------------------------

bool mirror_selected(int fd)
{
	return fd_marks(fd) & fdmark::MIRROR;
}

void after(int fd, const IoSeen &seen, IoKind kind, ssize_t result) noexcept
{
	if (result < 0)
		return; // nothing to count, and no record to look for
	FileRecord *r =
	        counted_record(fd, seen.state[mark_index(fdmark::HEAT)]);
	count_io(r, kind, result);
	// Without a selection a write reaches the primary mirror alone.
	if (r && kind == IoKind::Write && result > 0 &&
	    !(seen.marks & fdmark::MIRROR))
		primary_changed(*r);
}

// Truncations and allocations without a selection change the primary
// mirror: done here, so that the others can be marked stale after.
bool truncate(int fd, int64_t len, int &r)
{
	if (mirror_selected(fd))
		return false;
	r = static_cast<int>(syscall(SYS_ftruncate, fd, len));
	if (r == 0)
		if (FileRecord *rec = counted_record(fd))
			primary_changed(*rec);
	return true;
}

bool allocate(int fd, int mode, int64_t off, int64_t len, int &r)
{
	if (mirror_selected(fd))
		return false;
	r = static_cast<int>(syscall(SYS_fallocate, fd, mode, off, len));
	if (r == 0)
		if (FileRecord *rec = counted_record(fd))
			primary_changed(*rec);
	return true;
}

const FdHooks hooks = {
        .mark = fdmark::HEAT,
        .truncate = truncate,
        .allocate = allocate,
        .after = after,
};

// An open by an absolute path inside the mount is counted.
void opened(const Config &cfg, const OpenCall &call, int fd)
{
	// The slash after the mount's text first: it tells most paths
	// outside the mount at once.
	const char *path = call.path;
	const std::string &m = cfg.mount;
	if (path && call.len > m.size() && path[m.size()] == '/' &&
	    std::memcmp(path, m.data(), m.size()) == 0)
		fd_mark(fd, fdmark::HEAT);
}

// --- requests ---------------------------------------------------------------

FileRecord *request_record(const Request &req)
{
	FileKey key;
	if (file_key(req.obj->fd, key) < 0)
		return nullptr;
	return file_record(req.cfg, key, true);
}

Extent heat_get_extent(const Config &, const void *hdr)
{
	uint32_t n = rec::get32(hdr, rec::ZH_COUNT);
	if (n > rec::HEAT_MAX_COUNT)
		return {rec::ZH_HDR, rec::ZH_HDR};
	return {rec::ZH_HDR, rec::ZH_HDR + size_t(n) * 8};
}

int do_heat_get(Request &req)
{
	uint32_t n = rec::get32(req.arg, rec::ZH_COUNT);
	if (n > rec::HEAT_MAX_COUNT)
		return -EINVAL;
	FileRecord *r = request_record(req);
	if (!r)
		return -ENOSPC;
	uint32_t flags = shared(r->heat_flags).load();
	rec::put32(req.arg, rec::ZH_FLAGS, flags);
	auto *values = static_cast<unsigned char *>(req.arg) + rec::ZH_HDR;
	for (uint32_t i = 0; i < n; i++)
		rec::put64(values, size_t(i) * 8,
		           i < rec::HEAT_VALUES ? shared(r->heat[i]).load()
		                                : 0);
	return 0;
}

int do_heat_set(Request &req)
{
	uint64_t flags = rec::get64(req.arg, 0);
	if (flags & ~(rec::HEAT_CLEAR | rec::HEAT_OFF | rec::HEAT_ON) ||
	    ((flags & rec::HEAT_OFF) && (flags & rec::HEAT_ON)))
		return -EINVAL;
	FileRecord *r = request_record(req);
	if (!r)
		return -ENOSPC;
	if (flags & rec::HEAT_CLEAR)
		for (uint64_t &v : r->heat)
			shared(v).store(0);
	if (flags & rec::HEAT_OFF)
		shared(r->heat_flags).fetch_or(uint32_t(rec::HEAT_OFF));
	if (flags & rec::HEAT_ON)
		shared(r->heat_flags).fetch_and(~uint32_t(rec::HEAT_OFF));
	return 0;
}

const Row rows[] = {
        {.code = ZV_IOC_HEAT_GET,
         .name = "HEAT_GET",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::ZH_HDR,
         .extent = heat_get_extent,
         .handle = do_heat_get},
        {.code = ZV_IOC_HEAT_SET,
         .name = "HEAT_SET",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = 8,
         .handle = do_heat_set},
};

} // namespace

const Family family = {
        .rows = rows,
        .fd_hooks = &hooks,
        .opened = opened,
};

} // namespace zvsim::heat
