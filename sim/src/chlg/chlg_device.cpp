// The change-log devices /dev/changelog-<target>.
//
// An open of the device returns a real descriptor on the log's storage
// file, so the kernel keeps its position (a byte offset in the storage)
// and shares it between dup()ed descriptors and across fork(), as it
// shares a device's file position. This process's log descriptors are
// descriptors in the descriptor table (core/fd_table.h), so the I/O calls
// on other descriptors cost one load.
#include "chlg.h"
#include "chlg_intent.h"
#include "chlg_kept.h"

#include "core/fd_table.h"
#include "core/real.h"
#include "core/signals_held.h"
#include "core/sysio.h"
#include "core/user_memory.h"
#include "core/wire.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ioctl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <zvsim/zvsim.h>

namespace zvsim::chlg
{

namespace
{

constexpr std::string_view DEV_PREFIX = "/dev/changelog-";
constexpr int MAX_FD = FD_TABLE_SIZE;
constexpr long FOLLOW_POLL_NS = 10 * 1000 * 1000;
constexpr size_t MAX_COMMAND = 4096;

// What the device remembers per open file; dup()ed descriptors share it.
struct Entry {
	std::string state; // state directory the log belongs to
	std::string path;  // storage file
	dev_t dev = 0;
	ino_t ino = 0;
	int accmode = O_RDONLY;
	std::atomic<bool> follow{false};
	// After a seek past the last record: units below this index are
	// skipped until one at or above it is served.
	std::atomic<uint64_t> skip_below{0};
};
using EntryPtr = std::shared_ptr<Entry>;

struct Table {
	std::mutex mu;
	std::map<int, EntryPtr> entries;
};

Table &table()
{
	static Table *t = new Table; // never destroyed: closes run late
	return *t;
}

extern const FileOps log_ops;

void remember(int fd, EntryPtr e)
{
	Table &t = table();
	std::lock_guard<std::mutex> lock(t.mu);
	t.entries[fd] = std::move(e);
	fd_register(fd, &log_ops);
}

void forget(int fd) noexcept
{
	Table &t = table();
	std::lock_guard<std::mutex> lock(t.mu);
	t.entries.erase(fd);
	fd_forget(fd);
}

// The entry of a log descriptor. A descriptor closed behind our back
// (fclose, close_range) and reused for another file is forgotten.
EntryPtr lookup(int fd)
{
	EntryPtr e;
	{
		Table &t = table();
		std::lock_guard<std::mutex> lock(t.mu);
		auto it = t.entries.find(fd);
		if (it != t.entries.end())
			e = it->second;
	}
	struct stat st;
	if (e && (::fstat(fd, &st) < 0 || st.st_dev != e->dev ||
	          st.st_ino != e->ino)) {
		forget(fd);
		e.reset();
	}
	return e;
}

void copy_entry(int from, int to)
{
	if (to < 0 || to >= MAX_FD)
		return;
	EntryPtr e = lookup(from);
	if (e)
		remember(to, std::move(e));
}

int64_t raw_seek(int fd, int64_t off, int whence)
{
	return ::syscall(SYS_lseek, fd, off, whence);
}

int device_open(const Config &cfg, const char *path, int flags)
{
	int index = target_index(
	        cfg, std::string_view(path).substr(DEV_PREFIX.size()));
	if (index < 0)
		return -ENOENT;
	int acc = flags & O_ACCMODE;
	if (acc == O_ACCMODE)
		return -EINVAL;
	if ((flags & O_CREAT) && (flags & O_EXCL))
		return -EEXIST;
	if (flags & O_DIRECTORY)
		return -ENOTDIR;
	int rc = ensure_log(cfg, index);
	if (rc < 0)
		return rc;
	std::string storage = log_path(cfg, index);
	if (flags & O_PATH) {
		int fd = real::fns().openat(AT_FDCWD, storage.c_str(),
		                            O_PATH | (flags & O_CLOEXEC));
		return fd < 0 ? -errno : fd;
	}
	// The storage is only ever read through the caller's descriptor.
	int fd = real::fns().openat(AT_FDCWD, storage.c_str(),
	                            O_RDONLY |
	                                    (flags & (O_CLOEXEC | O_NONBLOCK)));
	if (fd < 0)
		return -errno;
	auto e = std::make_shared<Entry>();
	struct stat st;
	if (fd >= MAX_FD || ::fstat(fd, &st) < 0) {
		::close(fd);
		return fd >= MAX_FD ? -EMFILE : -EIO;
	}
	e->state = cfg.state;
	e->path = std::move(storage);
	e->dev = st.st_dev;
	e->ino = st.st_ino;
	e->accmode = acc;
	remember(fd, std::move(e));
	return fd;
}

// A record left pending by a writer that died would never reach a reader
// if no other writer came: a reader at the end of the log settles it when
// no process holds the log's lock. True when it did.
bool settle_for_reader(const Entry &e)
{
	ConfigPtr cfg = current();
	return cfg && cfg->state == e.state && settle_idle(*cfg, e.path);
}

// Waits until the log's bounds change: -EINTR on a signal.
int wait_for_change(int fd, const Entry &e, const Bounds &seen,
                    SignalsHeld &signals)
{
	signals.hold();
	for (;;) {
		if (signals.sleep(FOLLOW_POLL_NS) < 0)
			return -EINTR;
		Bounds b;
		int rc = read_bounds(fd, b);
		if (rc < 0)
			return rc;
		if (b != seen || (b.pending && settle_for_reader(e)))
			return 0;
	}
}

// Copies whole units from storage offset at on into buf, as many as fit
// in count and up to the first raw append; at ends after the last unit
// copied or skipped. Allocates
// nothing: chunks of frames pass through the stack, and a unit larger
// than a chunk is read straight into buf.
ssize_t copy_units(int fd, Entry &e, uint64_t &at, uint64_t end, char *buf,
                   size_t count)
{
	char chunk[16384];
	size_t out = 0;
	uint64_t skip = e.skip_below.load();
	while (at < end) {
		size_t want = static_cast<size_t>(
		        std::min<uint64_t>(end - at, sizeof chunk));
		ssize_t got = ::pread(fd, chunk, want, static_cast<off_t>(at));
		if (got < 0)
			return -errno;
		if (static_cast<size_t>(got) < FRAME)
			return -EIO;
		size_t off = 0;
		while (off + FRAME <= static_cast<size_t>(got)) {
			const char *f = chunk + off;
			uint32_t len = rec::get32(f, 0);
			if (rec::get16(f, 6) != FRAME_MAGIC ||
			    at + FRAME + len > end)
				return -EIO;
			if (skip && rec::get64(f, 8) < skip) {
				at += FRAME + len;
				off += FRAME + len;
				continue;
			}
			if (out + len > count)
				return out > 0 ? static_cast<ssize_t>(out)
				               : -EINVAL;
			if (off + FRAME + len <= static_cast<size_t>(got)) {
				if (copy_to_user(buf + out, f + FRAME, len) < 0)
					return -EFAULT;
			} else if (ssize_t n = ::pread(
			                   fd, buf + out, len,
			                   static_cast<off_t>(at + FRAME));
			           n != static_cast<ssize_t>(len)) {
				// The kernel checked the caller's buffer.
				return n < 0 && errno == EFAULT ? -EFAULT
				                                : -EIO;
			}
			out += len;
			at += FRAME + len;
			off += FRAME + len;
			skip = 0;
			// A raw append ends its read: its bytes are the read's
			// tail whatever its header claims.
			if (rec::get16(f, 4) == KIND_RAW)
				return static_cast<ssize_t>(out);
		}
	}
	return static_cast<ssize_t>(out);
}

// The log's bounds and where the descriptor's next read starts (its
// position, or the first live unit when those before it were purged).
int read_position(int fd, Bounds &b, uint64_t &pos)
{
	int rc = read_bounds(fd, b);
	if (rc < 0)
		return rc;
	int64_t cur = raw_seek(fd, 0, SEEK_CUR);
	if (cur < 0)
		return -errno;
	pos = std::max<uint64_t>(cur, b.first);
	return 0;
}

// Whole units from the descriptor's position, as many as fit in count.
ssize_t serve_read(int fd, Entry &e, char *buf, size_t count)
{
	if (e.accmode == O_WRONLY)
		return -EBADF;
	SignalsHeld signals;
	if (e.follow)
		signals.hold();
	for (;;) {
		Bounds b;
		uint64_t pos = 0;
		int rc = read_position(fd, b, pos);
		if (rc < 0)
			return rc;
		if (pos >= b.end) {
			if (b.pending && settle_for_reader(e))
				continue;
			if (!e.follow)
				return 0;
			int fl = ::fcntl(fd, F_GETFL);
			if (fl >= 0 && (fl & O_NONBLOCK))
				return -EAGAIN;
			if ((rc = wait_for_change(fd, e, b, signals)) < 0)
				return rc;
			continue;
		}
		uint64_t at = pos;
		ssize_t out = copy_units(fd, e, at, b.end, buf, count);
		// Units purged while we read them leave holes: start over.
		Bounds after;
		if ((rc = read_bounds(fd, after)) < 0)
			return rc;
		if (after.first > pos)
			continue;
		if (out < 0)
			return out;
		if (out > 0)
			e.skip_below = 0;
		if (raw_seek(fd, static_cast<int64_t>(at), SEEK_SET) < 0)
			return -errno;
		if (out > 0)
			return out;
	}
}

// Whether a read would return without waiting: a unit waits at the
// descriptor's position (and is not skipped after a seek past the end),
// or the log has ended for a reader that does not follow. 1, 0 or -errno.
int read_ready(int fd, Entry &e)
{
	for (;;) {
		Bounds b;
		uint64_t pos = 0;
		int rc = read_position(fd, b, pos);
		if (rc < 0)
			return rc;
		bool waiting = pos < b.end;
		if (uint64_t skip = e.skip_below.load(); waiting && skip) {
			uint64_t pos;
			if ((rc = seek_offset(fd, skip, pos, waiting)) < 0)
				return rc;
		}
		if (waiting)
			return 1;
		if (b.pending && settle_for_reader(e))
			continue;
		return e.follow ? 0 : 1;
	}
}

// The clear command: copied in as the device reads it (the first 4096
// bytes), logged and open to injections.
ssize_t serve_write(Entry &e, const char *buf, size_t count)
{
	if (e.accmode == O_RDONLY)
		return -EBADF;
	std::string cmd(std::min(count, MAX_COMMAND), '\0');
	if (copy_from_user(cmd.data(), buf, cmd.size()) < 0)
		return -EFAULT;
	auto clear = [&]() -> int {
		if (count > MAX_COMMAND)
			return -EINVAL;
		int rc = clear_command(e.path, cmd);
		return rc < 0 ? rc : static_cast<int>(count);
	};
	ConfigPtr cfg = current();
	if (!cfg || cfg->state != e.state)
		return clear(); // a log of another simulation: not traced
	return request_tail(*cfg, REQ_CLEAR, 0, cmd, nullptr, 0, clear);
}

int64_t serve_seek(int fd, Entry &e, int64_t off, int whence)
{
	if (whence != SEEK_SET || off < 0)
		return -EINVAL;
	uint64_t pos;
	bool found;
	int rc = seek_offset(fd, static_cast<uint64_t>(off), pos, found);
	if (rc < 0)
		return rc;
	if (raw_seek(fd, static_cast<int64_t>(pos), SEEK_SET) < 0)
		return -errno;
	e.skip_below = found ? 0 : static_cast<uint64_t>(off);
	return off;
}

// ZV_IOC_CHLG_FOLLOW: the argument is the value itself, not an address.
int do_follow(Request &req)
{
	EntryPtr e = lookup(req.fd);
	if (!e)
		return -EBADF;
	e->follow = req.value != 0;
	return 0;
}

bool op_read(int fd, void *buf, size_t count, ssize_t &result)
{
	EntryPtr e = lookup(fd);
	if (!e)
		return false;
	sys::Reentry guard;
	result = syscall_result(
	        serve_read(fd, *e, static_cast<char *>(buf), count));
	return true;
}

bool op_write(int fd, const void *buf, size_t count, ssize_t &result)
{
	EntryPtr e = lookup(fd);
	if (!e)
		return false;
	sys::Reentry guard;
	result = syscall_result(
	        serve_write(*e, static_cast<const char *>(buf), count));
	return true;
}

bool op_seek(int fd, int64_t off, int whence, int64_t &result)
{
	EntryPtr e = lookup(fd);
	if (!e)
		return false;
	sys::Reentry guard;
	result = syscall_result(serve_seek(fd, *e, off, whence));
	return true;
}

bool op_poll(int fd, short events, short &revents)
{
	EntryPtr e = lookup(fd);
	if (!e)
		return false;
	sys::Reentry guard;
	revents = 0;
	if (e->accmode != O_RDONLY)
		revents |= events & (POLLOUT | POLLWRNORM);
	if (e->accmode != O_WRONLY && (events & (POLLIN | POLLRDNORM))) {
		int rc = read_ready(fd, *e);
		if (rc < 0)
			revents |= POLLERR;
		else if (rc > 0)
			revents |= events & (POLLIN | POLLRDNORM);
	}
	return true;
}

void op_closed(int fd)
{
	forget(fd);
}

void op_duped(int from, int to)
{
	copy_entry(from, to);
}

const Row device_rows[] = {
        {.code = REQ_FOLLOW,
         .name = "CHLG_FOLLOW",
         .target = Target::Device,
         .arg = ArgKind::Value,
         .handle = do_follow},
};

const FileOps log_ops = {"changelog", device_rows, op_read,  op_write,
                         op_seek,     op_closed,   op_duped, op_poll};

// The clear write is a request of its own for the log and injections.
const Row rows[] = {
        device_rows[0],
        {.code = REQ_CLEAR, .name = "CHLG_CLEAR", .target = Target::Call},
};

} // namespace

bool device_open(OpenCall &call, int &result)
{
	const char *path = call.path;
	if (std::strncmp(path, DEV_PREFIX.data(), DEV_PREFIX.size()) != 0)
		return false;
	sys::Reentry guard;
	ConfigPtr cfg = current();
	if (!cfg)
		return false;
	result = syscall_result(device_open(*cfg, path, call.flags));
	return true;
}

const Family family = {
        .rows = rows,
        .watching = any_user,
        .observe = produce,
        .intent = intent_of,
        .intends = any_user,
        .page_flags = {&users_flag, 1},
        .open = device_open,
        .open_words = {DEV_PREFIX.substr(1)},
        .forget = KeptLog::forget_all,
};

} // namespace zvsim::chlg
