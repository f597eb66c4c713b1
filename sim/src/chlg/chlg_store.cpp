// Storage of the change logs: one file per metadata target.
//
// Header (4096 bytes, native byte order):
//   0 u32 magic "ZVCH"   4 u32 version (1)
//   8 u64 last index     16 u64 first live unit   24 u64 end of units
//  32 u32 type mask      36 u16 format bits       38 u16 extension bits
//  40 u32 next user id   44 u32 user count
//  48 users, 16 bytes each: u32 id, u32 0, u64 cleared index
// 560 u64 size of the pending unit at the end of the units (0: none)
// Units follow from offset 4096, each a 16-byte frame (u32 length, u16
// kind, u16 magic, u64 record index) and its bytes. Offsets only grow:
// purged units are given back to the file system by punching holes, so a
// reader's byte position stays valid across purges.
//
// Updates hold an exclusive flock on the file. Readers take no lock: a
// unit is written before the header announces it, and the first live
// offset moves before its units are punched, so a reader that checks the
// header again after reading knows whether its bytes were still live.
//
// A pending unit (a record written ahead of its operation) lies at the
// end offset, beyond what readers read: its frame's length is the
// record's, and what tells whether the operation took effect follows the
// record. Committing rewrites the frame and record in place, then the
// header announces them; the check behind stays until the next unit
// overwrites it, so a commit cut short can be done again.
#include "chlg.h"
#include "chlg_kept.h"

#include "core/control_page.h"
#include "core/sysio.h"
#include "core/wire.h"

#include <linux/zorvel/zorvel_changelog.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvsim::chlg
{

namespace
{

constexpr uint32_t HDR_MAGIC = 0x4843565AU; // "ZVCH"
constexpr uint32_t HDR_VERSION = 1;
constexpr size_t H_MAGIC = 0, H_VERSION = 4, H_LAST = 8, H_FIRST = 16,
                 H_END = 24, H_MASK = 32, H_CRF = 36, H_CREF = 38,
                 H_NEXT_USER = 40, H_NUSERS = 44, H_USERS = 48, U_SIZE = 16,
                 H_PENDING = H_USERS + MAX_USERS * U_SIZE;
constexpr size_t SCAN_CHUNK = 64 * 1024;

constexpr uint32_t ALL_TYPES = (1U << CL_LAST) - 1;
constexpr uint16_t DEFAULT_CRF =
        CLF_VERSION | CLF_RENAME | CLF_JOBID | CLF_EXTRA_FLAGS;
constexpr uint16_t DEFAULT_CREF =
        CLFE_UIDGID | CLFE_NID | CLFE_OPEN | CLFE_XATTR;

Header fresh_header()
{
	Header h;
	h.first_off = h.end_off = HDR_SIZE;
	h.mask = ALL_TYPES;
	h.crf = DEFAULT_CRF;
	h.cref = DEFAULT_CREF;
	h.next_user = 1;
	return h;
}

// Bytes read up to len, fewer at the end of the file; or -errno.
ssize_t pread_upto(int fd, void *buf, size_t len, uint64_t off)
{
	char *p = static_cast<char *>(buf);
	size_t got = 0;
	while (got < len) {
		ssize_t n = ::pread(fd, p + got, len - got,
		                    static_cast<off_t>(off + got));
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return -errno;
		if (n == 0)
			break;
		got += static_cast<size_t>(n);
	}
	return static_cast<ssize_t>(got);
}

int pread_all(int fd, void *buf, size_t len, uint64_t off)
{
	ssize_t n = pread_upto(fd, buf, len, off);
	return n < 0 ? static_cast<int>(n) : size_t(n) < len ? -EIO : 0;
}

int pwrite_all(int fd, const void *buf, size_t len, uint64_t off)
{
	const char *p = static_cast<const char *>(buf);
	while (len > 0) {
		ssize_t n = ::pwrite(fd, p, len, static_cast<off_t>(off));
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return -errno;
		p += n;
		len -= static_cast<size_t>(n);
		off += static_cast<uint64_t>(n);
	}
	return 0;
}

std::string dir_path(const Config &cfg)
{
	return cfg.path("changelog");
}

std::string marker_path(const Config &cfg)
{
	return dir_path(cfg) + "/active";
}

// "cl<decimal>" to its id; 0 when the text is no user name.
uint32_t user_id(std::string_view name)
{
	if (name.size() < 3 || name.substr(0, 2) != "cl")
		return 0;
	uint32_t id = 0;
	auto [p, ec] =
	        std::from_chars(name.data() + 2, name.data() + name.size(), id);
	return ec == std::errc() && p == name.data() + name.size() ? id : 0;
}

// Calls fn(offset, length, kind, index) for each unit from `from` until
// it returns false or the units end; -EIO on a broken frame.
template <typename Fn>
int scan(int fd, uint64_t from, uint64_t end, Fn &&fn)
{
	std::string chunk;
	uint64_t off = from;
	while (off < end) {
		size_t want = static_cast<size_t>(
		        std::min<uint64_t>(end - off, SCAN_CHUNK));
		if (want < FRAME)
			return -EIO;
		chunk.resize(want);
		int rc = pread_all(fd, chunk.data(), want, off);
		if (rc < 0)
			return rc;
		size_t at = 0;
		while (at + FRAME <= want) {
			const char *f = chunk.data() + at;
			uint32_t len = rec::get32(f, 0);
			if (rec::get16(f, 6) != FRAME_MAGIC ||
			    off + at + FRAME + len > end)
				return -EIO;
			if (!fn(off + at, len, rec::get16(f, 4),
			        rec::get64(f, 8)))
				return 0;
			at += FRAME + len;
		}
		off += at;
	}
	return 0;
}

int make_dir(const Config &cfg)
{
	if (::mkdir(dir_path(cfg).c_str(), 0755) < 0 && errno != EEXIST)
		return -errno;
	return 0;
}

} // namespace

int target_index(const Config &cfg, std::string_view name)
{
	std::string_view prefix = "-MDT";
	if (name.size() != cfg.fsname.size() + prefix.size() + 4 ||
	    name.substr(0, cfg.fsname.size()) != cfg.fsname ||
	    name.substr(cfg.fsname.size(), prefix.size()) != prefix)
		return -1;
	int index = 0;
	for (char c : name.substr(name.size() - 4)) {
		int d = c >= '0' && c <= '9'   ? c - '0'
		        : c >= 'a' && c <= 'f' ? c - 'a' + 10
		                               : -1;
		if (d < 0)
			return -1;
		index = index * 16 + d;
	}
	return index < cfg.mdts ? index : -1;
}

std::string target_name(const Config &cfg, int index)
{
	char buf[16];
	snprintf(buf, sizeof buf, "-MDT%04x", static_cast<unsigned>(index));
	return cfg.fsname + buf;
}

std::string log_path(const Config &cfg, int index)
{
	return dir_path(cfg) + "/" + target_name(cfg, index);
}

namespace
{

int parse_header(const char *buf, Header &h)
{
	uint32_t n = rec::get32(buf, H_NUSERS);
	if (rec::get32(buf, H_MAGIC) != HDR_MAGIC ||
	    rec::get32(buf, H_VERSION) != HDR_VERSION || n > MAX_USERS)
		return -EIO;
	h.last_index = rec::get64(buf, H_LAST);
	h.first_off = rec::get64(buf, H_FIRST);
	h.end_off = rec::get64(buf, H_END);
	h.mask = rec::get32(buf, H_MASK);
	h.crf = rec::get16(buf, H_CRF);
	h.cref = rec::get16(buf, H_CREF);
	h.next_user = rec::get32(buf, H_NEXT_USER);
	h.pending = rec::get64(buf, H_PENDING);
	h.users.resize(n);
	for (uint32_t i = 0; i < n; ++i) {
		h.users[i].id = rec::get32(buf, H_USERS + i * U_SIZE);
		h.users[i].cleared = rec::get64(buf, H_USERS + i * U_SIZE + 8);
	}
	return 0;
}

} // namespace

int read_header(int fd, Header &h)
{
	char buf[H_PENDING + 8];
	int rc = pread_all(fd, buf, sizeof buf, 0);
	return rc < 0 ? rc : parse_header(buf, h);
}

int read_bounds(int fd, Bounds &b)
{
	char buf[H_PENDING + 8];
	int rc = pread_all(fd, buf, sizeof buf, 0);
	if (rc < 0)
		return rc;
	if (rec::get32(buf, H_MAGIC) != HDR_MAGIC)
		return -EIO;
	b.first = rec::get64(buf, H_FIRST);
	b.end = rec::get64(buf, H_END);
	b.pending = rec::get64(buf, H_PENDING);
	return 0;
}

Locked::~Locked()
{
	close();
}

int Locked::fd() const
{
	return kept_ ? kept_->fd() : fd_;
}

void Locked::close()
{
	if (kept_) {
		::flock(kept_->fd(), LOCK_UN);
		kept_->release();
	} else if (fd_ >= 0) {
		::close(fd_); // also releases the lock
	}
	kept_ = nullptr;
	fd_ = -1;
}

int Locked::open(const Config &cfg, int index, bool retried)
{
	int rc;
	kept_ = KeptLog::take(cfg, index, rc);
	// The folder comes with the first log: only then is it missing.
	if (rc == -ENOENT && (rc = make_dir(cfg)) == 0)
		kept_ = KeptLog::take(cfg, index, rc);
	if (rc < 0)
		return rc;
	if (!kept_)
		rc = open(log_path(cfg, index));
	else if ((rc = lock(true)) == 0)
		kept_->map_header();
	else if (rc == -EBADF && !retried) {
		// Closed behind our back (a raw system call): opened again.
		kept_->forsake();
		close();
		return open(cfg, index, true);
	}
	return rc == 0 && h.pending ? settle(cfg, *this) : rc;
}

// Close on exec: a program started meanwhile must not keep the lock alive.
int Locked::open(const std::string &path, bool wait)
{
	fd_ = sys::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	if (fd_ < 0)
		return fd_;
	return lock(wait);
}

int Locked::lock(bool wait)
{
	while (::flock(fd(), LOCK_EX | (wait ? 0 : LOCK_NB)) < 0)
		if (errno != EINTR)
			return -errno;
	// Only holders of the lock write the header: once it is whole, its
	// mapping reads as the file.
	if (kept_ && kept_->header())
		return parse_header(kept_->header(), h);
	// One read tells a log without its whole header (new, or cut short)
	// from one with it.
	char buf[HDR_SIZE];
	ssize_t got = pread_upto(fd(), buf, sizeof buf, 0);
	if (got < 0)
		return static_cast<int>(got);
	if (size_t(got) < sizeof buf) {
		h = fresh_header();
		return store(true);
	}
	return parse_header(buf, h);
}

int Locked::store(bool whole_page)
{
	// Only the fields are zeroed for an update: the rest of the page is
	// the file's already.
	size_t len = whole_page ? HDR_SIZE : H_PENDING + 8;
	char buf[HDR_SIZE];
	std::memset(buf, 0, len);
	rec::put32(buf, H_MAGIC, HDR_MAGIC);
	rec::put32(buf, H_VERSION, HDR_VERSION);
	rec::put64(buf, H_LAST, h.last_index);
	rec::put64(buf, H_FIRST, h.first_off);
	rec::put64(buf, H_END, h.end_off);
	rec::put32(buf, H_MASK, h.mask);
	rec::put16(buf, H_CRF, h.crf);
	rec::put16(buf, H_CREF, h.cref);
	rec::put32(buf, H_NEXT_USER, h.next_user);
	rec::put32(buf, H_NUSERS, static_cast<uint32_t>(h.users.size()));
	rec::put64(buf, H_PENDING, h.pending);
	for (size_t i = 0; i < h.users.size(); ++i) {
		rec::put32(buf, H_USERS + i * U_SIZE, h.users[i].id);
		rec::put64(buf, H_USERS + i * U_SIZE + 8, h.users[i].cleared);
	}
	// Through the mapping when there is one: the same page the file's
	// readers read, without a system call for each record.
	if (kept_ && kept_->header() && !whole_page) {
		std::memcpy(kept_->header(), buf, len);
		return 0;
	}
	return pwrite_all(fd(), buf, len, 0);
}

// Without the lock when the log exists: a writer holds it across its
// operation, and an open of the device must not wait for that.
int ensure_log(const Config &cfg, int index)
{
	struct stat st;
	if (::stat(log_path(cfg, index).c_str(), &st) == 0 &&
	    st.st_size >= static_cast<off_t>(HDR_SIZE))
		return 0;
	Locked log;
	return log.open(cfg, index);
}

namespace
{

// A unit: its frame (the length is the record's), the record, and what
// follows it (a pending unit's check).
std::string unit_of(uint16_t kind, uint64_t index, std::string_view bytes,
                    std::string_view tail = {})
{
	std::string unit(FRAME, '\0');
	rec::put32(unit.data(), 0, static_cast<uint32_t>(bytes.size()));
	rec::put16(unit.data(), 4, kind);
	rec::put16(unit.data(), 6, FRAME_MAGIC);
	rec::put64(unit.data(), 8, index);
	unit += bytes;
	unit += tail;
	return unit;
}

// Numbers a record as the next one of the log.
uint64_t number(Locked &log, std::string &record)
{
	uint64_t index = log.h.last_index + 1;
	rec::put64(record.data(), 8, index);
	rec::put64(record.data(), 16, log.h.last_index);
	return index;
}

// The unit first, then the header that makes it visible.
int announce(Locked &log, const std::string &unit, uint64_t index)
{
	int rc = pwrite_all(log.fd(), unit.data(), unit.size(), log.h.end_off);
	if (rc < 0)
		return rc;
	log.h.end_off += unit.size();
	log.h.last_index = std::max(log.h.last_index, index);
	log.h.pending = 0;
	return log.store();
}

} // namespace

int append_unit(Locked &log, uint16_t kind, std::string &bytes)
{
	if (log.h.pending)
		return -EBUSY; // it would overwrite the pending unit
	uint64_t index = kind == KIND_RECORD  ? number(log, bytes)
	                 : bytes.size() >= 16 ? rec::get64(bytes.data(), 8)
	                                      : 0;
	return announce(log, unit_of(kind, index, bytes), index);
}

int write_pending(Locked &log, std::string &record, std::string_view check)
{
	if (log.h.pending)
		return -EBUSY;
	std::string unit =
	        unit_of(KIND_PENDING, number(log, record), record, check);
	int rc = pwrite_all(log.fd(), unit.data(), unit.size(), log.h.end_off);
	if (rc < 0)
		return rc;
	log.h.pending = unit.size();
	return log.store();
}

int read_pending(Locked &log, std::string &record, std::string &check)
{
	uint64_t size = log.h.pending;
	if (size < FRAME || size > FRAME + MAX_RAW)
		return -EIO;
	std::string unit(size, '\0');
	int rc = pread_all(log.fd(), unit.data(), size, log.h.end_off);
	if (rc < 0)
		return rc;
	uint32_t len = rec::get32(unit.data(), 0);
	uint16_t kind = rec::get16(unit.data(), 4);
	// A commit cut short has already turned the frame into a record's.
	if (rec::get16(unit.data(), 6) != FRAME_MAGIC || FRAME + len > size ||
	    (kind != KIND_PENDING && kind != KIND_RECORD) ||
	    rec::get64(unit.data(), 8) != log.h.last_index + 1)
		return -EIO;
	record = unit.substr(FRAME, len);
	check = unit.substr(FRAME + len);
	return 0;
}

int commit_pending(Locked &log, const std::string &record)
{
	uint64_t index = log.h.last_index + 1;
	return announce(log, unit_of(KIND_RECORD, index, record), index);
}

int drop_pending(Locked &log)
{
	log.h.pending = 0;
	return log.store();
}

int purge(Locked &log)
{
	uint64_t upto = UINT64_MAX;
	for (const User &u : log.h.users)
		upto = std::min(upto, u.cleared);
	uint64_t first = log.h.first_off;
	int rc = scan(log.fd(), first, log.h.end_off,
	              [&](uint64_t off, uint32_t len, uint16_t, uint64_t idx) {
		              if (idx > upto)
			              return false;
		              first = off + FRAME + len;
		              return true;
	              });
	if (rc < 0 || first == log.h.first_off)
		return rc;
	log.h.first_off = first;
	if ((rc = log.store()) < 0)
		return rc;
	// Give whole purged blocks back; a file system without holes keeps
	// them, which only costs space.
	uint64_t hole_end = first & ~uint64_t(HDR_SIZE - 1);
	if (hole_end > HDR_SIZE)
		(void)::fallocate(
		        log.fd(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
		        HDR_SIZE, static_cast<off_t>(hole_end - HDR_SIZE));
	return 0;
}

int clear_command(const std::string &path, std::string_view cmd)
{
	if (!cmd.empty() && cmd.back() == '\0')
		cmd.remove_suffix(1);
	if (!cmd.empty() && cmd.back() == '\n')
		cmd.remove_suffix(1);
	std::string_view verb = "clear:";
	if (cmd.substr(0, verb.size()) != verb)
		return -EINVAL;
	cmd.remove_prefix(verb.size());
	size_t colon = cmd.find(':');
	if (colon == 0 || colon == std::string_view::npos ||
	    colon + 1 == cmd.size())
		return -EINVAL;
	std::string_view user = cmd.substr(0, colon),
	                 num = cmd.substr(colon + 1);
	uint64_t endrec = 0;
	auto [p, ec] =
	        std::from_chars(num.data(), num.data() + num.size(), endrec);
	if (ec != std::errc() || p != num.data() + num.size())
		return -EINVAL;
	uint32_t id = user_id(user);
	Locked log;
	int rc = log.open(path);
	if (rc < 0)
		return rc;
	auto it = std::find_if(log.h.users.begin(), log.h.users.end(),
	                       [&](const User &u) { return id && u.id == id; });
	if (it == log.h.users.end())
		return -ENOENT;
	// A user cannot clear records that do not exist yet.
	endrec = std::min(endrec, log.h.last_index);
	it->cleared = std::max(it->cleared, endrec);
	if ((rc = log.store()) < 0)
		return rc;
	return purge(log);
}

int seek_offset(int fd, uint64_t recno, uint64_t &pos, bool &found)
{
	Header h;
	int rc = read_header(fd, h);
	if (rc < 0)
		return rc;
	pos = h.end_off;
	found = false;
	return scan(fd, h.first_off, h.end_off,
	            [&](uint64_t off, uint32_t, uint16_t, uint64_t idx) {
		            if (idx < recno)
			            return true;
		            pos = off;
		            found = true;
		            return false;
	            });
}

const PageFlag users_flag{.initial = [](const std::string &state) {
	return uint32_t(page_has_file(state + "/changelog/active"));
}};

bool any_user(const Config &cfg)
{
	return page_get(cfg.page, users_flag) != 0;
}

int user_register(const Config &cfg, int index, std::string &name)
{
	StateLock global(cfg);
	Locked log;
	int rc = log.open(cfg, index);
	if (rc < 0)
		return rc;
	if (log.h.users.size() >= MAX_USERS || log.h.next_user == UINT32_MAX)
		return -ENOSPC;
	// A new user has seen nothing, but holds back no record older than
	// its registration either.
	User u{log.h.next_user++, log.h.last_index};
	log.h.users.push_back(u);
	if ((rc = log.store()) < 0)
		return rc;
	int fd = sys::open(marker_path(cfg).c_str(), O_WRONLY | O_CREAT, 0644);
	if (fd < 0)
		return fd;
	sys::close(fd);
	page_set(cfg.page, users_flag, 1);
	name = "cl" + std::to_string(u.id);
	return 0;
}

int user_deregister(const Config &cfg, int index, std::string_view name)
{
	uint32_t id = user_id(name);
	StateLock global(cfg);
	bool empty;
	{
		Locked log;
		int rc = log.open(cfg, index);
		if (rc < 0)
			return rc;
		auto it = std::find_if(
		        log.h.users.begin(), log.h.users.end(),
		        [&](const User &u) { return id && u.id == id; });
		if (it == log.h.users.end())
			return -ENOENT;
		log.h.users.erase(it);
		if ((rc = log.store()) < 0)
			return rc;
		// The user is gone once stored: a purge that fails (damaged
		// units) keeps their space, not the user.
		(void)purge(log);
		empty = log.h.users.empty();
	}
	if (!empty)
		return 0;
	for (int i = 0; i < cfg.mdts; ++i) {
		int fd = sys::open(log_path(cfg, i).c_str(), O_RDONLY);
		if (fd < 0)
			continue;
		Header h;
		bool used = read_header(fd, h) == 0 && !h.users.empty();
		::close(fd);
		if (used)
			return 0;
	}
	if (::unlink(marker_path(cfg).c_str()) < 0 && errno != ENOENT)
		return -errno;
	page_set(cfg.page, users_flag, 0);
	return 0;
}

int users_text(const Config &cfg, int index, std::string &out)
{
	Locked log;
	int rc = log.open(cfg, index);
	if (rc < 0)
		return rc;
	out.clear();
	for (const User &u : log.h.users)
		out += "cl" + std::to_string(u.id) + " " +
		       std::to_string(u.cleared) + "\n";
	return 0;
}

int set_mask(const Config &cfg, int index, uint32_t mask)
{
	Locked log;
	int rc = log.open(cfg, index);
	if (rc < 0)
		return rc;
	log.h.mask = mask;
	return log.store();
}

int set_layout(const Config &cfg, int index, int crf, int cref)
{
	if ((crf & ~CLF_SUPPORTED) || (cref & ~CLFE_SUPPORTED))
		return -EINVAL;
	Locked log;
	int rc = log.open(cfg, index);
	if (rc < 0)
		return rc;
	log.h.crf = static_cast<uint16_t>(crf);
	log.h.cref = static_cast<uint16_t>(cref);
	return log.store();
}

int append_raw(const Config &cfg, int index, const void *bytes, size_t len)
{
	if (len == 0 || len > MAX_RAW)
		return -EINVAL;
	Locked log;
	int rc = log.open(cfg, index);
	if (rc < 0)
		return rc;
	std::string unit(static_cast<const char *>(bytes), len);
	return append_unit(log, KIND_RAW, unit);
}

} // namespace zvsim::chlg
