// ZV_IOC_PCC_STATE, ZV_IOC_PCC_DETACH and ZV_IOC_PCC_DETACH_BY_FID, and the
// opens of attached files, which the state's open count reports.
#include "pcc.h"
#include "pcc_store.h"
#include "pcc_wire.h"

#include "core/control_page.h"
#include "core/fd_table.h"
#include "core/tree.h"
#include "swap/swap.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include <linux/zorvel/zorvel_pcc.h>

namespace zvsim::pcc
{

static_assert(sizeof(struct zo_pcc_detach) == rec::PCCD_SIZE);
static_assert(sizeof(struct zo_pcc_detach_fid) == rec::PCCDF_SIZE);
static_assert(offsetof(struct zo_pcc_detach_fid, pccd_opt) == rec::PCCDF_OPT);
static_assert(sizeof(struct zo_pcc_state) == rec::PCCS_SIZE);
static_assert(offsetof(struct zo_pcc_state, pccs_flags) == rec::PCCS_FLAGS);
static_assert(offsetof(struct zo_pcc_state, pccs_path) == rec::PCCS_PATH);
static_assert(ZO_PCC_READWRITE == rec::PCC_READWRITE);

namespace
{

// Whether the file's data moved since it was attached.
uint32_t state_flags(const Config &cfg, const Object &obj, const Attached &a)
{
	swap::Versions v;
	if (swap::versions_locked(cfg, obj, v) < 0)
		return 0;
	return v.data != a.data_version ? STATE_STALE : 0;
}

Extent state_extent(const Config &, const void *)
{
	return {0, rec::PCCS_SIZE};
}

int do_state(Request &req)
{
	char *p = static_cast<char *>(req.arg);
	std::memset(p, 0, rec::PCCS_SIZE);
	if (!S_ISREG(req.obj->st.st_mode))
		return 0; // never attached
	ObjectKey key = key_of(req.fd, req.obj->st.st_ino);
	StateLock lock(req.cfg);
	std::optional<Attached> a = load(req.cfg, key);
	if (!a)
		return 0;
	if (a->path.size() >= rec::PCCS_PATH_MAX)
		return -ENAMETOOLONG;
	// Opens other than the asking one's own.
	auto me = fd_holder(req.fd);
	uint32_t opens = 0;
	for (const Holder &h : a->opens)
		opens += !(me && h == *me);
	rec::put32(p, rec::PCCS_TYPE, rec::PCC_READWRITE);
	rec::put32(p, rec::PCCS_OPEN_COUNT, opens);
	rec::put32(p, rec::PCCS_FLAGS, state_flags(req.cfg, *req.obj, *a));
	std::memcpy(p + rec::PCCS_PATH, a->path.c_str(), a->path.size() + 1);
	return 0;
}

// The option bits are accepted and mean nothing here.
int do_detach(Request &req)
{
	ObjectKey key = key_of(req.fd, req.obj->st.st_ino);
	StateLock lock(req.cfg);
	return detach_locked(req.cfg, key);
}

// Issued on the mount's root (any descriptor of the mount is taken).
int do_detach_by_fid(Request &req)
{
	Fid fid = fid_get(req.arg, rec::PCCDF_FID);
	std::string rel;
	int rc = fid_to_rel(req.cfg, fid, rel);
	if (rc < 0)
		return rc;
	ObjectKey key;
	if ((rc = key_of_path(req.cfg, req.cfg.abs(rel).c_str(), key)) < 0)
		return rc;
	StateLock lock(req.cfg);
	return detach_locked(req.cfg, key);
}

// An open of an attached file counts until its open file is closed.
void opened(const Config &cfg, const OpenCall &call, int fd)
{
	int flags = call.flags;
	if (!cfg.page || !page_get(cfg.page, attached_flag) || (flags & O_PATH))
		return;
	Object obj;
	if (!object_of(cfg, fd, obj) || !S_ISREG(obj.st.st_mode))
		return;
	ObjectKey key = key_of(fd, obj.st.st_ino);
	StateLock lock(cfg);
	std::optional<Attached> a = load(cfg, key);
	Holder h;
	if (!a || fd_hold(cfg, fd, h) < 0)
		return;
	a->opens.push_back(h);
	store(cfg, key, *a);
}

void release(const Config &cfg, const ObjectKey &key, const Holder &h)
{
	std::optional<Attached> a = load(cfg, key);
	if (a && std::erase(a->opens, h))
		store(cfg, key, *a);
}

constexpr FdHooks hooks = {.released = release};

const Row rows[] = {
        {.code = ZV_IOC_PCC_STATE,
         .name = "PCC_STATE",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .extent = state_extent,
         .handle = do_state},
        {.code = ZV_IOC_PCC_DETACH,
         .name = "PCC_DETACH",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::PCCD_SIZE,
         .handle = do_detach},
        {.code = ZV_IOC_PCC_DETACH_BY_FID,
         .name = "PCC_DETACH_BY_FID",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::PCCDF_SIZE,
         .handle = do_detach_by_fid},
        {.code = REQ_COMMAND, .name = "PCC_COMMAND", .target = Target::Call},
};

} // namespace

const Family family = {
        .rows = rows,
        .fd_hooks = &hooks,
        .page_flags = {&attached_flag, 1},
        .open = param_open,
        .open_words = {"sys", "proc"},
        .opened = opened,
};

std::string show(const Config &cfg, const ObjectKey &key)
{
	StateLock lock(cfg);
	std::optional<Attached> a = load(cfg, key);
	if (!a)
		return {};
	return "archive_id=" + std::to_string(a->id) +
	       " opens=" + std::to_string(a->opens.size()) +
	       " path=" + a->path + "\n";
}

} // namespace zvsim::pcc
