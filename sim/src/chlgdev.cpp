// The change-log devices /dev/changelog-<target>.
//
// An open of the device returns a real descriptor on the log's storage
// file, so the kernel keeps its position (a byte offset in the storage)
// and shares it between dup()ed descriptors and across fork(), as it
// shares a device's file position. A bitmap marks this process's log
// descriptors: read, write, lseek and close look at one bit before
// anything else, so other descriptors cost next to nothing.
#include "chlg.h"
#include "guard.h"

#include "control.h"
#include "real.h"
#include "records.h"

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
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <zvsim/zvsim.h>

#define ZV_EXPORT extern "C" __attribute__((visibility("default")))

namespace zvsim::chlg
{

namespace
{

constexpr std::string_view DEV_PREFIX = "/dev/changelog-";
constexpr int MAX_FD = 65536;
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

std::atomic<uint64_t> fd_bits[MAX_FD / 64];

struct Table {
	std::mutex mu;
	std::map<int, EntryPtr> entries;
};

Table &table()
{
	static Table *t = new Table; // never destroyed: closes run late
	return *t;
}

void set_bit(int fd, bool on)
{
	uint64_t bit = uint64_t(1) << (fd & 63);
	if (on)
		fd_bits[fd >> 6].fetch_or(bit, std::memory_order_relaxed);
	else
		fd_bits[fd >> 6].fetch_and(~bit, std::memory_order_relaxed);
}

void remember(int fd, EntryPtr e)
{
	Table &t = table();
	std::lock_guard<std::mutex> lock(t.mu);
	t.entries[fd] = std::move(e);
	set_bit(fd, true);
}

void forget(int fd) noexcept
{
	if (!is_log_fd(fd))
		return;
	Table &t = table();
	std::lock_guard<std::mutex> lock(t.mu);
	t.entries.erase(fd);
	set_bit(fd, false);
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

// -errno results as system calls report them.
template <typename T>
T sys_result(T rc)
{
	if (rc >= 0)
		return rc;
	errno = static_cast<int>(-rc);
	return -1;
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

// Waits until the log's bounds change: -EINTR on a signal.
int wait_for_change(int fd, const Bounds &seen)
{
	for (;;) {
		struct timespec ts {
			0, FOLLOW_POLL_NS
		};
		if (::nanosleep(&ts, nullptr) < 0 && errno == EINTR)
			return -EINTR;
		Bounds b;
		int rc = read_bounds(fd, b);
		if (rc < 0)
			return rc;
		if (b.first != seen.first || b.end != seen.end)
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
				std::memcpy(buf + out, f + FRAME, len);
			} else if (::pread(fd, buf + out, len,
			                   static_cast<off_t>(at + FRAME)) !=
			           static_cast<ssize_t>(len)) {
				return -EIO;
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

// Whole units from the descriptor's position, as many as fit in count.
ssize_t serve_read(int fd, Entry &e, char *buf, size_t count)
{
	if (e.accmode == O_WRONLY)
		return -EBADF;
	for (;;) {
		Bounds b;
		int rc = read_bounds(fd, b);
		if (rc < 0)
			return rc;
		int64_t cur = raw_seek(fd, 0, SEEK_CUR);
		if (cur < 0)
			return -errno;
		uint64_t pos = std::max<uint64_t>(cur, b.first);
		if (pos >= b.end) {
			if (!e.follow)
				return 0;
			int fl = ::fcntl(fd, F_GETFL);
			if (fl >= 0 && (fl & O_NONBLOCK))
				return -EAGAIN;
			if ((rc = wait_for_change(fd, b)) < 0)
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

ssize_t serve_write(int fd, Entry &e, const char *buf, size_t count)
{
	(void)fd;
	if (e.accmode == O_RDONLY)
		return -EBADF;
	std::string_view cmd(buf, std::min(count, MAX_COMMAND));
	ConfigPtr cfg = current();
	if (cfg && cfg->state == e.state) {
		log_append(*cfg, REQ_CLEAR, 0, cmd.data(), cmd.size());
		if (auto inj = inject_take(*cfg, REQ_CLEAR))
			return inj->reply ? inj->result : -inj->err;
	}
	if (count > MAX_COMMAND)
		return -EINVAL;
	int rc = clear_command(e.path, cmd);
	return rc < 0 ? rc : static_cast<ssize_t>(count);
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

int serve_ioctl(Entry &e, uint32_t code, void *arg)
{
	if (code != REQ_FOLLOW)
		return -ENOTTY;
	// The argument is the value itself, not an address.
	long value = reinterpret_cast<long>(arg);
	ConfigPtr cfg = current();
	if (cfg && cfg->state == e.state) {
		log_append(*cfg, code, _IOC_SIZE(code), &value, sizeof value);
		if (auto inj = inject_take(*cfg, code))
			return inj->reply ? inj->result : -inj->err;
	}
	e.follow = value != 0;
	return 0;
}

// The calls behind ours.
template <typename F>
F next(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using read_fn = ssize_t (*)(int, void *, size_t);
using write_fn = ssize_t (*)(int, const void *, size_t);
using lseek_fn = off_t (*)(int, off_t, int);
using close_fn = int (*)(int);
using dup_fn = int (*)(int);
using dup2_fn = int (*)(int, int);
using dup3_fn = int (*)(int, int, int);

struct Next {
	read_fn read = next<read_fn>("read");
	write_fn write = next<write_fn>("write");
	lseek_fn lseek = next<lseek_fn>("lseek");
	lseek_fn lseek64 = next<lseek_fn>("lseek64");
	close_fn close = next<close_fn>("close");
	dup_fn dup = next<dup_fn>("dup");
	dup2_fn dup2 = next<dup2_fn>("dup2");
	dup3_fn dup3 = next<dup3_fn>("dup3");
};

const Next &nx()
{
	static const Next n;
	return n;
}

template <typename R>
R missing()
{
	errno = ENOSYS;
	return -1;
}

bool ours(int fd)
{
	return is_log_fd(fd) && !sys::Reentry::inside();
}

ssize_t log_read(int fd, void *buf, size_t count)
{
	ssize_t r = -1;
	if (guarded(r, [&] {
		    EntryPtr e = lookup(fd);
		    if (!e)
			    return false;
		    sys::Reentry guard;
		    r = sys_result(serve_read(fd, *e, static_cast<char *>(buf),
		                              count));
		    return true;
	    }))
		return r;
	auto fn = nx().read;
	return fn ? fn(fd, buf, count) : missing<ssize_t>();
}

off_t log_seek(int fd, off_t off, int whence, lseek_fn fn)
{
	off_t r = -1;
	if (guarded(r, [&] {
		    EntryPtr e = lookup(fd);
		    if (!e)
			    return false;
		    sys::Reentry guard;
		    r = static_cast<off_t>(
		            sys_result(serve_seek(fd, *e, off, whence)));
		    return true;
	    }))
		return r;
	return fn ? fn(fd, off, whence) : missing<off_t>();
}

} // namespace

bool is_log_fd(int fd)
{
	return static_cast<unsigned>(fd) < static_cast<unsigned>(MAX_FD) &&
	       (fd_bits[fd >> 6].load(std::memory_order_relaxed) >> (fd & 63)) &
	               1;
}

bool open_hook(int dirfd, const char *path, int flags, unsigned mode,
               int &result)
{
	if (std::strncmp(path, DEV_PREFIX.data(), DEV_PREFIX.size()) != 0)
		return (flags & O_CREAT) &&
		       create_open(dirfd, path, flags, mode, result);
	sys::Reentry guard;
	ConfigPtr cfg = current();
	if (!cfg)
		return false;
	result = sys_result(device_open(*cfg, path, flags));
	return true;
}

bool log_ioctl(int fd, uint32_t code, void *arg, int &rc)
{
	EntryPtr e = lookup(fd);
	if (!e)
		return false;
	sys::Reentry guard;
	rc = sys_result(serve_ioctl(*e, code, arg));
	return true;
}

} // namespace zvsim::chlg

using zvsim::guarded;

using namespace zvsim::chlg;

ZV_EXPORT ssize_t read(int fd, void *buf, size_t count)
{
	if (ours(fd))
		return log_read(fd, buf, count);
	auto fn = nx().read;
	return fn ? fn(fd, buf, count) : missing<ssize_t>();
}

// The fortified read() some callers are compiled to.
ZV_EXPORT ssize_t __read_chk(int fd, void *buf, size_t count, size_t room)
{
	if (count > room) {
		using chk_fail_fn = void (*)();
		auto fail = next<chk_fail_fn>("__chk_fail");
		if (fail)
			fail();
		abort();
	}
	return read(fd, buf, count);
}

ZV_EXPORT ssize_t write(int fd, const void *buf, size_t count)
{
	if (ours(fd)) {
		ssize_t r = -1;
		if (guarded(r, [&] {
			    EntryPtr e = lookup(fd);
			    if (!e)
				    return false;
			    zvsim::sys::Reentry guard;
			    r = sys_result(serve_write(
			            fd, *e, static_cast<const char *>(buf),
			            count));
			    return true;
		    }))
			return r;
	}
	auto fn = nx().write;
	return fn ? fn(fd, buf, count) : missing<ssize_t>();
}

ZV_EXPORT off_t lseek(int fd, off_t off, int whence)
{
	if (ours(fd))
		return log_seek(fd, off, whence, nx().lseek);
	auto fn = nx().lseek;
	return fn ? fn(fd, off, whence) : missing<off_t>();
}

ZV_EXPORT off_t lseek64(int fd, off_t off, int whence)
{
	if (ours(fd))
		return log_seek(fd, off, whence, nx().lseek64);
	auto fn = nx().lseek64;
	return fn ? fn(fd, off, whence) : missing<off_t>();
}

ZV_EXPORT int close(int fd)
{
	if (is_log_fd(fd))
		forget(fd);
	auto fn = nx().close;
	return fn ? fn(fd) : missing<int>();
}

ZV_EXPORT int dup(int old)
{
	auto fn = nx().dup;
	int fd = fn ? fn(old) : missing<int>();
	if (fd >= 0 && is_log_fd(old)) {
		int ignored = 0;
		guarded(ignored, [&] {
			copy_entry(old, fd);
			return true;
		});
	}
	return fd;
}

namespace
{
// dup2/dup3: the kernel closes newfd first, then it names old's file.
int after_dup(int old, int fd)
{
	if (fd < 0 || fd == old)
		return fd;
	int ignored = 0;
	guarded(ignored, [&] {
		forget(fd);
		if (is_log_fd(old))
			copy_entry(old, fd);
		return true;
	});
	return fd;
}
} // namespace

ZV_EXPORT int dup2(int old, int newfd)
{
	auto fn = nx().dup2;
	return after_dup(old, fn ? fn(old, newfd) : missing<int>());
}

ZV_EXPORT int dup3(int old, int newfd, int flags)
{
	auto fn = nx().dup3;
	return after_dup(old, fn ? fn(old, newfd, flags) : missing<int>());
}
