// Files of the link index (see link_store.h).
//
// base: a 64-byte header, then one 24-byte row per entry sorted by inode,
// then the pool of names:
//   0 u32 magic "ZVLI"   4 u32 version (1)   8 u32 generation
//  12 u32 0             16 u64 row count    24 u64 pool bytes
//  32 u64 root inode    40 16 bytes: the simulation's instance
//  rows: u64 inode, u64 parent inode, u32 name offset, u32 name length
//
// journal record (native byte order):
//   0 u32 magic "ZVLJ"   4 u32 length   8 u32 FNV-1a of bytes 12..length
//  12 u16 what (1: an entry went, 2: an entry was made)
//  14 u16 gone name length   16 u16 made name length   18 u16 0
//  20 u32 0   24 u64 inode   32 u64 gone parent   40 u64 made parent
//  48 the gone name, then the made name
#include "link_store.h"

#include "fd_table.h"
#include "sysio.h"
#include "wire.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zvsim::links
{

namespace
{

constexpr uint32_t BASE_MAGIC = 0x494C565AU; // "ZVLI"
constexpr uint32_t BASE_VERSION = 1;
constexpr size_t B_MAGIC = 0, B_VERSION = 4, B_GEN = 8, B_COUNT = 16,
                 B_POOL = 24, B_ROOT = 32, B_INSTANCE = 40, B_HDR = 64;
constexpr size_t INSTANCE_LEN = 16;
constexpr size_t R_INO = 0, R_PARENT = 8, R_OFF = 16, R_LEN = 20, R_SIZE = 24;

constexpr uint32_t REC_MAGIC = 0x4A4C565AU; // "ZVLJ"
constexpr size_t J_MAGIC = 0, J_LEN = 4, J_CHECK = 8, J_WHAT = 12,
                 J_GONE_LEN = 14, J_MADE_LEN = 16, J_INO = 24, J_GONE = 32,
                 J_MADE = 40, J_HDR = 48;
constexpr uint16_t WHAT_GONE = 1, WHAT_MADE = 2;
constexpr size_t J_MAX = J_HDR + 2 * NAME_MAX;

uint32_t fnv1a(std::string_view bytes)
{
	uint32_t h = 2166136261U;
	for (unsigned char c : bytes)
		h = (h ^ c) * 16777619U;
	return h;
}

bool decode_one(std::string_view r, Change &c)
{
	size_t len = r.size();
	uint16_t what = rec::get16(r.data(), J_WHAT);
	size_t gone_len = rec::get16(r.data(), J_GONE_LEN);
	size_t made_len = rec::get16(r.data(), J_MADE_LEN);
	if (rec::get32(r.data(), J_CHECK) != fnv1a(r.substr(J_CHECK + 4)) ||
	    what == 0 || (what & ~(WHAT_GONE | WHAT_MADE)) ||
	    J_HDR + gone_len + made_len != len)
		return false;
	c.del = what & WHAT_GONE;
	c.set = what & WHAT_MADE;
	c.ino = rec::get64(r.data(), J_INO);
	c.gone = {rec::get64(r.data(), J_GONE),
	          std::string(r.substr(J_HDR, gone_len))};
	c.made = {rec::get64(r.data(), J_MADE),
	          std::string(r.substr(J_HDR + gone_len, made_len))};
	return (c.del ? valid_name(c.gone.name) : gone_len == 0) &&
	       (c.set ? valid_name(c.made.name) && c.ino : made_len == 0);
}

} // namespace

size_t KeyHash::operator()(const Key &k) const
{
	return std::hash<std::string_view>()(k.name) ^
	       (k.parent * 0x9E3779B97F4A7C15ULL);
}

bool valid_name(std::string_view name)
{
	if (name.empty() || name.size() > NAME_MAX || name == "." ||
	    name == "..")
		return false;
	for (char ch : name) // names are short: no search call
		if (ch == '/' || ch == '\0')
			return false;
	return true;
}

// Written in place, without an allocation: every creation in the mount
// writes one while the index is kept.
size_t encode(const Change &c, char (&out)[RECORD_MAX])
{
	static_assert(RECORD_MAX == J_MAX);
	std::string_view gone = c.del ? c.gone.name : std::string_view();
	std::string_view made = c.set ? c.made.name : std::string_view();
	if (gone.size() > NAME_MAX || made.size() > NAME_MAX)
		return 0;
	size_t len = J_HDR + gone.size() + made.size();
	std::memset(out, 0, J_HDR);
	rec::put32(out, J_MAGIC, REC_MAGIC);
	rec::put32(out, J_LEN, static_cast<uint32_t>(len));
	rec::put16(out, J_WHAT,
	           static_cast<uint16_t>((c.del ? WHAT_GONE : 0) |
	                                 (c.set ? WHAT_MADE : 0)));
	rec::put16(out, J_GONE_LEN, static_cast<uint16_t>(gone.size()));
	rec::put16(out, J_MADE_LEN, static_cast<uint16_t>(made.size()));
	rec::put64(out, J_INO, c.set ? c.ino : 0);
	rec::put64(out, J_GONE, c.del ? c.gone.parent : 0);
	rec::put64(out, J_MADE, c.set ? c.made.parent : 0);
	// An empty view may have no bytes at all: not given to memcpy.
	if (!gone.empty())
		std::memcpy(out + J_HDR, gone.data(), gone.size());
	if (!made.empty())
		std::memcpy(out + J_HDR + gone.size(), made.data(),
		            made.size());
	rec::put32(out, J_CHECK,
	           fnv1a(std::string_view(out + J_CHECK + 4,
	                                  len - (J_CHECK + 4))));
	return len;
}

long decode(std::string_view bytes, std::vector<Change> &out)
{
	size_t at = 0;
	while (bytes.size() - at >= J_CHECK) {
		const char *p = bytes.data() + at;
		size_t len = rec::get32(p, J_LEN);
		if (rec::get32(p, J_MAGIC) != REC_MAGIC || len < J_HDR ||
		    len > J_MAX)
			return -1;
		if (len > bytes.size() - at)
			break; // its writer is still at it
		Change c;
		if (!decode_one(bytes.substr(at, len), c))
			return -1;
		out.push_back(std::move(c));
		at += len;
	}
	return static_cast<long>(at);
}

void Entries::add(uint64_t parent, std::string_view name, uint64_t ino)
{
	rows.push_back({ino, parent, static_cast<uint32_t>(pool.size()),
	                static_cast<uint32_t>(name.size())});
	pool += name;
}

std::string Table::build(const Config &cfg, uint32_t gen, Entries &e)
{
	std::sort(e.rows.begin(), e.rows.end(),
	          [](const Entries::Row &a, const Entries::Row &b) {
		          return a.ino != b.ino ? a.ino < b.ino
		                                : a.parent < b.parent;
	          });
	std::string blob(B_HDR + e.rows.size() * R_SIZE, '\0');
	char *p = blob.data();
	rec::put32(p, B_MAGIC, BASE_MAGIC);
	rec::put32(p, B_VERSION, BASE_VERSION);
	rec::put32(p, B_GEN, gen);
	rec::put64(p, B_COUNT, e.rows.size());
	rec::put64(p, B_POOL, e.pool.size());
	rec::put64(p, B_ROOT, cfg.root_ino);
	cfg.instance.copy(p + B_INSTANCE, INSTANCE_LEN);
	for (size_t i = 0; i < e.rows.size(); ++i) {
		size_t at = B_HDR + i * R_SIZE;
		rec::put64(p, at + R_INO, e.rows[i].ino);
		rec::put64(p, at + R_PARENT, e.rows[i].parent);
		rec::put32(p, at + R_OFF, e.rows[i].off);
		rec::put32(p, at + R_LEN, e.rows[i].len);
	}
	blob += e.pool;
	return blob;
}

bool Table::adopt(std::string blob, const Config &cfg, uint32_t gen)
{
	clear();
	if (blob.size() < B_HDR)
		return false;
	const char *p = blob.data();
	uint64_t count = rec::get64(p, B_COUNT);
	uint64_t pool = rec::get64(p, B_POOL);
	uint64_t room = blob.size() - B_HDR;
	if (rec::get32(p, B_MAGIC) != BASE_MAGIC ||
	    rec::get32(p, B_VERSION) != BASE_VERSION ||
	    rec::get32(p, B_GEN) != gen ||
	    rec::get64(p, B_ROOT) != cfg.root_ino ||
	    std::string_view(p + B_INSTANCE, INSTANCE_LEN) != cfg.instance ||
	    count > room / R_SIZE || pool != room - count * R_SIZE)
		return false;
	blob_ = std::move(blob);
	count_ = count;
	pool_at_ = B_HDR + count * R_SIZE;
	pool_len_ = pool;
	return true;
}

std::pair<size_t, size_t> Table::range(uint64_t ino) const
{
	// Rows are sorted by inode; a damaged table just finds nothing.
	size_t lo = 0, hi = count_;
	while (lo < hi) {
		size_t mid = lo + (hi - lo) / 2;
		if (this->ino(mid) < ino)
			lo = mid + 1;
		else
			hi = mid;
	}
	size_t last = lo;
	while (last < count_ && this->ino(last) == ino)
		++last;
	return {lo, last};
}

uint64_t Table::ino(size_t i) const
{
	return rec::get64(blob_.data(), B_HDR + i * R_SIZE + R_INO);
}

uint64_t Table::parent(size_t i) const
{
	return rec::get64(blob_.data(), B_HDR + i * R_SIZE + R_PARENT);
}

std::string_view Table::name(size_t i) const
{
	uint64_t off = rec::get32(blob_.data(), B_HDR + i * R_SIZE + R_OFF);
	uint64_t len = rec::get32(blob_.data(), B_HDR + i * R_SIZE + R_LEN);
	if (off > pool_len_ || len > pool_len_ - off)
		return {};
	std::string_view name(blob_.data() + pool_at_ + off, len);
	return valid_name(name) ? name : std::string_view();
}

std::string dir_path(const Config &cfg)
{
	return cfg.path("links");
}

std::string base_path(const Config &cfg)
{
	return dir_path(cfg) + "/base";
}

std::string journal_path(const Config &cfg, uint32_t gen)
{
	return dir_path(cfg) + "/journal." + std::to_string(gen);
}

int read_from(const std::string &path, uint64_t from, std::string &out)
{
	int fd = sys::open(path.c_str(), O_RDONLY);
	if (fd < 0)
		return fd;
	struct stat st;
	int rc = ::fstat(fd, &st) < 0 ? -errno : 0;
	uint64_t size = rc == 0 ? static_cast<uint64_t>(st.st_size) : 0;
	out.assign(size > from ? size - from : 0, '\0');
	size_t got = 0;
	while (rc == 0 && got < out.size()) {
		ssize_t n = ::pread(fd, out.data() + got, out.size() - got,
		                    static_cast<off_t>(from + got));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			rc = n < 0 ? -errno : -EIO; // shrunk meanwhile
		else
			got += static_cast<size_t>(n);
	}
	sys::close(fd);
	return rc;
}

namespace
{

// The journal this process appends to, kept open from one record to the
// next (one of the simulator's own descriptors): its simulation and
// generation. Under fd_mutex(), held across the write too: a dup2 onto
// the descriptor's number moves it under that mutex, and a write to the
// number read before the move would land in the caller's file.
struct Appender {
	std::string state;
	uint32_t gen = 0;
	int fd = -1;
};

Appender &appender()
{
	static auto *a = new Appender; // never destroyed: used until exit
	return *a;
}

// The kept journal of generation gen, opened when another one was kept:
// its descriptor, or -1.
int kept_journal(const Config &cfg, uint32_t gen)
{
	Appender &a = appender();
	if (a.fd >= 0 && a.gen == gen && a.state == cfg.state)
		return a.fd;
	if (a.fd >= 0)
		detail::unkeep_locked(a.fd);
	a.fd = -1;
	int fd = sys::open(journal_path(cfg, gen).c_str(), O_WRONLY | O_APPEND);
	if (fd < 0 || detail::keep_locked(fd, &a.fd) < 0)
		return -1;
	a.state = cfg.state;
	a.gen = gen;
	return a.fd;
}

} // namespace

void close_journal()
{
	std::lock_guard<std::mutex> lock(detail::fd_mutex());
	Appender &a = appender();
	if (a.fd >= 0 && detail::table_owner())
		detail::unkeep_locked(a.fd);
	a.fd = -1;
}

namespace
{

void append_bytes(const Config &cfg, uint32_t gen, const char *r, size_t len)
{
	{
		std::lock_guard<std::mutex> lock(detail::fd_mutex());
		// A child of vfork changes nothing of our table: it opens the
		// journal for its record alone.
		if (detail::table_owner()) {
			int fd = kept_journal(cfg, gen);
			if (fd >= 0)
				sys::write_all(fd, r, len);
			return;
		}
	}
	int fd = sys::open(journal_path(cfg, gen).c_str(), O_WRONLY | O_APPEND);
	if (fd < 0)
		return;
	sys::write_all(fd, r, len);
	sys::close(fd);
}

} // namespace

void append(const Config &cfg, uint32_t gen, const Change &c)
{
	char r[RECORD_MAX];
	if (size_t len = encode(c, r))
		append_bytes(cfg, gen, r, len);
}

void append(const Config &cfg, uint32_t gen, const std::vector<Change> &cs)
{
	// Batches of whole records: a reader never waits on more than one.
	constexpr size_t BATCH = 64 * 1024;
	std::string batch;
	char r[RECORD_MAX];
	for (size_t i = 0; i < cs.size(); ++i) {
		batch.append(r, encode(cs[i], r));
		if (batch.size() >= BATCH || i + 1 == cs.size()) {
			append_bytes(cfg, gen, batch.data(), batch.size());
			batch.clear();
		}
	}
}

namespace
{

// A directory's mark lies in one of PROBES slots from its hash: its inode
// number, with BIG set once it was found too big to list at every lookup.
constexpr size_t PROBES = 16;
constexpr uint64_t BIG = uint64_t(1) << 63;

std::atomic_ref<uint64_t> made_slot(ControlPage *page, uint64_t dir, size_t i)
{
	size_t h = static_cast<size_t>((dir * 0x9E3779B97F4A7C15ULL) >> 32);
	return std::atomic_ref<uint64_t>(
	        page->made_in[(h + i) % PAGE_MADE_DIRS]);
}

// Sets the first slot of dir that holds want or is free to want; false
// when one holds other, or none is free.
bool claim(ControlPage *page, uint64_t dir, uint64_t want, uint64_t other)
{
	for (size_t i = 0; i < PROBES; ++i) {
		std::atomic_ref<uint64_t> slot = made_slot(page, dir, i);
		uint64_t v = slot.load();
		// A failed exchange leaves in v what the slot holds now.
		if (v == 0 && slot.compare_exchange_strong(v, want))
			return true;
		if (v == want)
			return true;
		if (v == other)
			return false;
	}
	return false;
}

// Clears the slots of dir holding value (a slot freed before its mark
// was set again may hold it twice).
void clear(ControlPage *page, uint64_t dir, uint64_t value)
{
	for (size_t i = 0; i < PROBES; ++i) {
		uint64_t v = value;
		made_slot(page, dir, i).compare_exchange_strong(v, 0);
	}
}

} // namespace

bool mark_made(ControlPage *page, uint64_t dir)
{
	return page && dir && !(dir & BIG) && claim(page, dir, dir, dir | BIG);
}

void unmark(ControlPage *page, uint64_t dir)
{
	if (page)
		clear(page, dir, dir);
}

void mark_big(ControlPage *page, uint64_t dir)
{
	if (page && !(dir & BIG))
		claim(page, dir, dir | BIG, 0);
}

void forget_dir(ControlPage *page, uint64_t dir)
{
	if (page && !(dir & BIG)) {
		clear(page, dir, dir);
		clear(page, dir, dir | BIG);
	}
}

void marked(const ControlPage *page, std::vector<uint64_t> &dirs)
{
	dirs.clear();
	if (!page)
		return;
	for (const uint64_t &slot : page->made_in)
		if (uint64_t v = std::atomic_ref<uint64_t>(
		                         const_cast<uint64_t &>(slot))
		                         .load();
		    v && !(v & BIG))
			dirs.push_back(v);
	std::sort(dirs.begin(), dirs.end());
	dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
}

void clear_marks(ControlPage *page)
{
	if (!page)
		return;
	for (uint64_t &slot : page->made_in) {
		std::atomic_ref<uint64_t> mark(slot);
		if (mark.load()) // a page never marked is left a hole
			mark.store(0);
	}
}

Lock::Lock(const Config &cfg, bool wait)
{
	if (sys::mkdir_p(dir_path(cfg)) < 0)
		return;
	fd_ = sys::open((dir_path(cfg) + "/lock").c_str(), O_RDWR | O_CREAT,
	                0644);
	if (fd_ < 0)
		return;
	int rc;
	while ((rc = ::flock(fd_, LOCK_EX | (wait ? 0 : LOCK_NB))) < 0 &&
	       errno == EINTR) {
	}
	held_ = rc == 0;
}

Lock::~Lock()
{
	if (fd_ >= 0)
		sys::close(fd_);
}

} // namespace zvsim::links
