#include "grouplock.h"

#include "core/fd_table.h"
#include "core/sysio.h"

#include <cerrno>
#include <charconv>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <vector>

#include <linux/zorvel/zorvel_swap.h>

namespace zvsim::swap
{

namespace
{

constexpr const char *KIND = "grouplock";
// How often a waiting lock looks again: the object may be freed by any
// process, which has no way to wake us.
constexpr long WAIT_NS = 10 * 1000 * 1000;

struct Entry {
	uint64_t gid;
	Holder holder;
};

std::vector<Entry> parse(const std::vector<std::string> &lines)
{
	std::vector<Entry> out;
	for (const std::string &l : lines) {
		std::string g = line_word(l, 0);
		uint64_t gid = 0;
		auto [end, ec] =
		        std::from_chars(g.data(), g.data() + g.size(), gid);
		auto h = Holder::parse(line_word(l, 1));
		if (ec == std::errc() && h)
			out.push_back({gid, *h});
	}
	return out;
}

int store(const Config &cfg, const ObjectKey &key,
          const std::vector<Entry> &entries)
{
	std::vector<std::string> lines;
	for (const Entry &e : entries)
		lines.push_back(std::to_string(e.gid) + " " + e.holder.text());
	return record_store(cfg, KIND, key, lines);
}

// The live holders; the record loses the dead ones.
std::vector<Entry> load_live(const Config &cfg, const ObjectKey &key)
{
	std::vector<Entry> all = parse(record_load(cfg, KIND, key)), live;
	for (const Entry &e : all)
		if (e.holder.alive(cfg))
			live.push_back(e);
	if (live.size() != all.size())
		store(cfg, key, live);
	return live;
}

// One try: 1 when the object is held under another id.
int try_lock(const Config &cfg, const ObjectKey &key, uint64_t gid,
             const Holder &me)
{
	StateLock lock(cfg);
	std::vector<Entry> entries = load_live(cfg, key);
	for (const Entry &e : entries)
		if (e.holder == me)
			return -EINVAL; // one group lock per open file
	for (const Entry &e : entries)
		if (e.gid != gid)
			return 1;
	entries.push_back({gid, me});
	return store(cfg, key, entries);
}

int do_lock(Request &req)
{
	uint64_t gid = req.value;
	if (gid == 0 || !S_ISREG(req.obj->st.st_mode))
		return -EINVAL;
	Holder me;
	if (int rc = fd_hold(req.cfg, req.fd, me); rc < 0)
		return rc;
	ObjectKey key = key_of(req.fd, req.obj->st.st_ino);
	bool nonblock = ::fcntl(req.fd, F_GETFL) & O_NONBLOCK;
	for (;;) {
		int rc = try_lock(req.cfg, key, gid, me);
		if (rc <= 0)
			return rc;
		if (nonblock)
			return -EAGAIN;
		struct timespec ts = {0, WAIT_NS};
		if (::nanosleep(&ts, nullptr) < 0 && errno == EINTR)
			return -EINTR;
	}
}

int do_unlock(Request &req)
{
	uint64_t gid = req.value;
	auto me = fd_holder(req.fd);
	if (gid == 0 || !me)
		return -EINVAL;
	ObjectKey key = key_of(req.fd, req.obj->st.st_ino);
	StateLock lock(req.cfg);
	std::vector<Entry> entries = load_live(req.cfg, key);
	for (size_t i = 0; i < entries.size(); ++i)
		if (entries[i].gid == gid && entries[i].holder == *me) {
			entries.erase(entries.begin() + long(i));
			return store(req.cfg, key, entries);
		}
	return -EINVAL;
}

// The open file is gone: so are its locks.
void release(const Config &cfg, const ObjectKey &key, const Holder &h)
{
	std::vector<Entry> entries = load_live(cfg, key), kept;
	for (const Entry &e : entries)
		if (!(e.holder == h))
			kept.push_back(e);
	if (kept.size() != entries.size())
		store(cfg, key, kept);
}

constexpr FdHooks hooks = {.released = release};

const Row rows[] = {
        {.code = ZV_IOC_GROUP_LOCK,
         .name = "GROUP_LOCK",
         .target = Target::MountObject,
         .arg = ArgKind::Value,
         .handle = do_lock},
        {.code = ZV_IOC_GROUP_UNLOCK,
         .name = "GROUP_UNLOCK",
         .target = Target::MountObject,
         .arg = ArgKind::Value,
         .handle = do_unlock},
};

} // namespace

const Family grouplock_family = {
        .rows = rows,
        .fd_hooks = &hooks,
};

bool locked_by_other(const Config &cfg, const ObjectKey &key, uint64_t gid)
{
	for (const Entry &e : load_live(cfg, key))
		if (e.gid != gid)
			return true;
	return false;
}

std::string show(const Config &cfg, const ObjectKey &key)
{
	std::string out;
	for (const Entry &e : load_live(cfg, key))
		out += "gid=" + std::to_string(e.gid) +
		       " pid=" + std::to_string(e.holder.pid) + "\n";
	return out;
}

} // namespace zvsim::swap
