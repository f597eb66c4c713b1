#include "lease.h"
#include "lease_wire.h"

#include "core/control_page.h"
#include "core/fd_table.h"
#include "core/sysio.h"
#include "pcc/pcc.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <vector>

#include <linux/zorvel/zorvel_lease.h>

namespace zvsim::lease
{

static_assert(sizeof(struct zv_ioc_lease) == rec::ZIL_HDR);
static_assert(offsetof(struct zv_ioc_lease, zil_count) == rec::ZIL_COUNT);
static_assert(ZV_LEASE_RDLCK == rec::LEASE_RDLCK &&
              ZV_LEASE_WRLCK == rec::LEASE_WRLCK &&
              ZV_LEASE_UNLCK == rec::LEASE_UNLCK &&
              ZV_LEASE_PCC_ATTACH == rec::LEASE_PCC_ATTACH);

namespace
{

uint32_t by_mode_only_initial(const std::string &state)
{
	return page_has_file(state + "/lease/by-mode-only");
}

// On the control page: leases held (opens must look for conflicts), and
// whether the record form of LEASE_SET answers ENOTTY.
enum {
	HELD,
	BY_MODE_ONLY
};
const PageFlag page_flags[] = {{}, {.initial = by_mode_only_initial}};

constexpr const char *KIND = "lease";

struct Lease {
	Holder holder;
	uint32_t mode = 0;
	bool held = true;
};

// An object's record: its leases and whether the next grant breaks.
struct Record {
	std::vector<Lease> leases;
	bool break_next = false;

	size_t held() const
	{
		size_t n = 0;
		for (const Lease &l : leases)
			n += l.held;
		return n;
	}
	Lease *of(const Holder &h)
	{
		for (Lease &l : leases)
			if (l.holder == h)
				return &l;
		return nullptr;
	}
	void drop(const Holder &h)
	{
		std::erase_if(leases,
		              [&](const Lease &l) { return l.holder == h; });
	}
};

const char *mode_name(uint32_t mode)
{
	return mode == rec::LEASE_WRLCK ? "WRITE" : "READ";
}

// The record with the leases of live processes only. Every change of the
// record goes through Loaded, which keeps the control page's count of
// held leases in step.
class Loaded
{
      public:
	Loaded(const Config &cfg, const ObjectKey &key) : cfg_(cfg), key_(key)
	{
		for (const std::string &l : record_load(cfg, KIND, key)) {
			if (l == "break-next") {
				rec.break_next = true;
				continue;
			}
			auto h = Holder::parse(line_word(l, 0));
			std::string mode = line_word(l, 1);
			if (!h || !h->alive(cfg))
				continue;
			rec.leases.push_back({*h,
			                      mode == "WRITE"
			                              ? rec::LEASE_WRLCK
			                              : rec::LEASE_RDLCK,
			                      line_word(l, 2) == "held"});
		}
		// Leases of processes gone are no longer counted.
		held_before_ = counted_held(cfg, key);
	}
	int store()
	{
		std::vector<std::string> lines;
		for (const Lease &l : rec.leases)
			lines.push_back(l.holder.text() + " " +
			                mode_name(l.mode) +
			                (l.held ? " held" : " broken"));
		if (rec.break_next)
			lines.push_back("break-next");
		int rc = record_store(cfg_, KIND, key_, lines);
		if (rc == 0)
			count(static_cast<int64_t>(rec.held()) -
			      static_cast<int64_t>(held_before_));
		return rc;
	}
	Record rec;

      private:
	// Held leases as the record stands (dead holders included: they
	// were counted when taken).
	static size_t counted_held(const Config &cfg, const ObjectKey &key)
	{
		size_t n = 0;
		for (const std::string &l : record_load(cfg, KIND, key))
			n += line_word(l, 2) == "held";
		return n;
	}
	void count(int64_t delta)
	{
		if (!cfg_.page || delta == 0)
			return;
		int64_t now = page_get(cfg_.page, page_flags[HELD]) + delta;
		page_set(cfg_.page, page_flags[HELD],
		         static_cast<uint32_t>(now < 0 ? 0 : now));
	}
	const Config &cfg_;
	ObjectKey key_;
	size_t held_before_ = 0;
};

bool access_allows(int fd, uint32_t mode)
{
	int acc = ::fcntl(fd, F_GETFL) & O_ACCMODE;
	return mode == rec::LEASE_WRLCK ? acc == O_WRONLY || acc == O_RDWR
	                                : acc == O_RDONLY || acc == O_RDWR;
}

int acquire(Request &req, uint32_t mode)
{
	if (!S_ISREG(req.obj->st.st_mode))
		return -EINVAL;
	if (!access_allows(req.fd, mode))
		return -EBADF;
	Holder me;
	if (int rc = fd_hold(req.cfg, req.fd, me); rc < 0)
		return rc;
	StateLock lock(req.cfg);
	Loaded loaded(req.cfg, key_of(req.fd, req.obj->st.st_ino));
	Record &r = loaded.rec;
	for (const Lease &l : r.leases)
		if (!(l.holder == me) && l.held &&
		    (mode == rec::LEASE_WRLCK || l.mode == rec::LEASE_WRLCK))
			return -EBUSY;
	r.drop(me);
	// As if another client opened the file right after the grant.
	r.leases.push_back({me, mode, !r.break_next});
	r.break_next = false;
	return loaded.store();
}

// A release: the mode held (positive) and the intent done, or 0 when the
// lease had been broken (or never taken) and the intent is dropped.
int release(Request &req, uint32_t flags, const char *ids, uint32_t count)
{
	auto me = fd_holder(req.fd);
	if (!me)
		return 0;
	StateLock lock(req.cfg);
	Loaded loaded(req.cfg, key_of(req.fd, req.obj->st.st_ino));
	Lease *l = loaded.rec.of(*me);
	uint32_t held = l && l->held ? l->mode : 0;
	if (l) {
		loaded.rec.drop(*me);
		if (int rc = loaded.store(); rc < 0)
			return rc;
	}
	if (!held || !(flags & rec::LEASE_PCC_ATTACH))
		return static_cast<int>(held);
	// Only a write lease keeps others out while the file is attached.
	if (count < 1 || held != rec::LEASE_WRLCK)
		return -EINVAL;
	int rc = pcc::attach_locked(req.cfg, *req.obj, rec::get32(ids, 0));
	return rc < 0 ? rc : static_cast<int>(held);
}

int set_lease(Request &req, uint32_t mode, uint32_t flags, const char *ids,
              uint32_t count)
{
	switch (mode) {
	case rec::LEASE_RDLCK:
	case rec::LEASE_WRLCK:
		// An intent travels with a release only.
		return flags ? -EINVAL : acquire(req, mode);
	case rec::LEASE_UNLCK:
		return release(req, flags, ids, count);
	default:
		return -EINVAL;
	}
}

bool by_mode_only(const Config &cfg)
{
	return cfg.page && page_get(cfg.page, page_flags[BY_MODE_ONLY]);
}

Extent set_extent(const Config &, const void *hdr)
{
	uint32_t count = rec::get32(hdr, rec::ZIL_COUNT);
	size_t n = count <= rec::ZIL_MAX_IDS
	                   ? rec::ZIL_HDR + size_t{count} * rec::ZIL_ID
	                   : rec::ZIL_HDR;
	return {n, n};
}

int do_set(Request &req)
{
	if (by_mode_only(req.cfg))
		return -ENOTTY; // an older kernel: the record form is unknown
	const char *p = static_cast<const char *>(req.arg);
	uint32_t count = rec::get32(p, rec::ZIL_COUNT);
	if (count > rec::ZIL_MAX_IDS)
		return -EINVAL;
	return set_lease(req, rec::get32(p, rec::ZIL_MODE),
	                 rec::get32(p, rec::ZIL_FLAGS), p + rec::ZIL_HDR,
	                 count);
}

int do_set_by_mode(Request &req)
{
	if (req.value > UINT32_MAX)
		return -EINVAL;
	return set_lease(req, static_cast<uint32_t>(req.value), 0, nullptr, 0);
}

int do_check(Request &req)
{
	auto me = fd_holder(req.fd);
	if (!me)
		return 0;
	StateLock lock(req.cfg);
	Loaded loaded(req.cfg, key_of(req.fd, req.obj->st.st_ino));
	const Lease *l = loaded.rec.of(*me);
	return l && l->held ? static_cast<int>(l->mode) : 0;
}

// Another open of the file: a write lease goes whatever the access, a
// read lease when the open may write.
void opened(const Config &cfg, const OpenCall &call, int fd)
{
	int flags = call.flags;
	if (!cfg.page || !page_get(cfg.page, page_flags[HELD]) ||
	    (flags & O_PATH))
		return;
	Object obj;
	if (!object_of(cfg, fd, obj) || !S_ISREG(obj.st.st_mode))
		return;
	bool writes = (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC);
	StateLock lock(cfg);
	Loaded loaded(cfg, key_of(fd, obj.st.st_ino));
	bool changed = false;
	for (Lease &l : loaded.rec.leases)
		if (l.held && (l.mode == rec::LEASE_WRLCK || writes)) {
			l.held = false;
			changed = true;
		}
	if (changed)
		loaded.store();
}

void release_closed(const Config &cfg, const ObjectKey &key, const Holder &h)
{
	Loaded loaded(cfg, key);
	if (loaded.rec.of(h)) {
		loaded.rec.drop(h);
		loaded.store();
	}
}

constexpr FdHooks hooks = {.released = release_closed};

const Row rows[] = {
        {.code = ZV_IOC_LEASE_SET,
         .name = "LEASE_SET",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::ZIL_HDR,
         .extent = set_extent,
         .handle = do_set},
        {.code = ZV_IOC_LEASE_SET_BY_MODE,
         .name = "LEASE_SET_BY_MODE",
         .target = Target::MountObject,
         .arg = ArgKind::Value,
         .handle = do_set_by_mode},
        {.code = ZV_IOC_LEASE_CHECK,
         .name = "LEASE_CHECK",
         .target = Target::MountObject,
         .handle = do_check},
};

} // namespace

const Family family = {
        .rows = rows,
        .fd_hooks = &hooks,
        .page_flags = page_flags,
        .opened = opened,
};

int break_leases(const Config &cfg, const ObjectKey &key, bool next)
{
	StateLock lock(cfg);
	Loaded loaded(cfg, key);
	if (next)
		loaded.rec.break_next = true;
	else
		for (Lease &l : loaded.rec.leases)
			l.held = false;
	return loaded.store();
}

std::string show(const Config &cfg, const ObjectKey &key)
{
	StateLock lock(cfg);
	Loaded loaded(cfg, key);
	std::string out;
	for (const Lease &l : loaded.rec.leases)
		out += std::string("mode=") + mode_name(l.mode) +
		       (l.held ? " state=held" : " state=broken") +
		       " pid=" + std::to_string(l.holder.pid) + "\n";
	if (loaded.rec.break_next)
		out += "break=next\n";
	return out;
}

int set_by_mode_only(const Config &cfg, bool on)
{
	StateLock lock(cfg);
	std::string dir = cfg.path("lease"), flag = dir + "/by-mode-only";
	int rc = on ? sys::mkdir_p(dir) : 0;
	if (rc == 0 && on)
		rc = sys::write_file_atomic(flag, "1\n");
	else if (rc == 0 && ::syscall(SYS_unlink, flag.c_str()) < 0 &&
	         errno != ENOENT)
		rc = -errno;
	if (rc == 0)
		page_set(cfg.page, page_flags[BY_MODE_ONLY], on);
	return rc;
}

} // namespace zvsim::lease
