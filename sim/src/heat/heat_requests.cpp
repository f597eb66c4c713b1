// Heat requests and the counting of I/O on descriptors of the mount's
// files.
#include "heat.h"
#include "heat_wire.h"

#include "core/file_records.h"
#include "core/sysio.h"
#include "mirror/mirror.h"

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
static_assert(ZO_HEAT_FLAG_CLEAR == rec::HEAT_CLEAR &&
              ZO_HEAT_FLAG_OFF == rec::HEAT_OFF &&
              ZO_HEAT_FLAG_ON == rec::HEAT_ON);

namespace
{

// The record of a counted open file, found at its first I/O. NONE:
// looked for and not found (the table full, the file gone).
FileRecord *const NONE = reinterpret_cast<FileRecord *>(alignof(FileRecord));

FileRecord *record_of(int fd)
{
	auto *r = static_cast<FileRecord *>(fd_state(fd, fdmark::HEAT));
	if (!r) {
		sys::Reentry guard;
		ConfigPtr cfg = current();
		FileKey key;
		if (cfg && file_key(fd, key) == 0)
			r = file_record(*cfg, key, true);
		if (!r)
			r = NONE;
		fd_set_state(fd, fdmark::HEAT, r);
	}
	return r == NONE ? nullptr : r;
}

void add(FileRecord &r, IoKind kind, ssize_t bytes)
{
	if (shared(r.heat_flags).load(std::memory_order_relaxed) &
	    rec::HEAT_OFF)
		return;
	bool rd = kind == IoKind::Read;
	shared(r.heat[rd ? rec::HEAT_READS : rec::HEAT_WRITES])
	        .fetch_add(1, std::memory_order_relaxed);
	shared(r.heat[rd ? rec::HEAT_READ_BYTES : rec::HEAT_WRITE_BYTES])
	        .fetch_add(static_cast<uint64_t>(bytes),
	                   std::memory_order_relaxed);
}

// --- hooks on counted descriptors -----------------------------------------

void after(int fd, IoKind kind, ssize_t result)
{
	if (result < 0)
		return;
	FileRecord *r = record_of(fd);
	if (!r)
		return;
	add(*r, kind, result);
	// Without a selection a write reaches the primary mirror alone.
	if (kind == IoKind::Write && result > 0 && !mirror::selected(fd))
		mirror::primary_changed(*r);
}

// Truncations and allocations without a selection change the primary
// mirror: done here, so that the others can be marked stale after.
bool truncate(int fd, int64_t len, int &r)
{
	if (mirror::selected(fd))
		return false;
	r = static_cast<int>(syscall(SYS_ftruncate, fd, len));
	if (r == 0)
		if (FileRecord *rec = record_of(fd))
			mirror::primary_changed(*rec);
	return true;
}

bool allocate(int fd, int mode, int64_t off, int64_t len, int &r)
{
	if (mirror::selected(fd))
		return false;
	r = static_cast<int>(syscall(SYS_fallocate, fd, mode, off, len));
	if (r == 0)
		if (FileRecord *rec = record_of(fd))
			mirror::primary_changed(*rec);
	return true;
}

const FdHooks hooks = {
        .mark = fdmark::HEAT,
        .truncate = truncate,
        .allocate = allocate,
        .after = after,
};

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
        {ZV_IOC_HEAT_GET, "HEAT_GET", Target::MountObject, ArgKind::Struct,
         rec::ZH_HDR, heat_get_extent, do_heat_get},
        {ZV_IOC_HEAT_SET, "HEAT_SET", Target::MountObject, ArgKind::Struct, 8,
         nullptr, do_heat_set},
};

} // namespace

void OpenCount::check(const char *path)
{
	if (path[0] != '/')
		return;
	ConfigPtr cfg = current();
	if (!cfg)
		return;
	const std::string &m = cfg->mount;
	in_mount =
	        strncmp(path, m.data(), m.size()) == 0 && path[m.size()] == '/';
}

int OpenCount::opened(int fd)
{
	if (in_mount && fd >= 0)
		fd_mark(fd, fdmark::HEAT);
	return fd;
}

void count(int fd, IoKind kind, ssize_t result)
{
	if (result < 0 || !(fd_marks(fd) & fdmark::HEAT))
		return;
	if (FileRecord *r = record_of(fd))
		add(*r, kind, result);
}

const Family family = {"heat", rows, nullptr, nullptr, nullptr, &hooks};

} // namespace zvsim::heat
