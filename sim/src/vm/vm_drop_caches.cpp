// A stand-in for /proc/sys/vm/drop_caches: processes under a simulation
// that open it get a descriptor of <state>/vm/drop_caches (fopen: a stream
// of its own, as the C library's internal writes pass no wrapper), whose
// writes are checked as the kernel checks them ("1", "2" or "3", a line end
// allowed) and counted in <state>/vm/drops, shared by every process. The host's
// caches are never touched. Nothing is cached by the simulated client, so
// a drop only counts.
#include "vm.h"

#include "core/fd_table.h"
#include "core/fopenmode.h"
#include "core/guard.h"
#include "core/sysio.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace zvsim::vm
{

namespace
{

constexpr const char *DROP_CACHES = "/proc/sys/vm/drop_caches";

std::string file_of(const Config &cfg)
{
	return cfg.path("vm/drop_caches");
}

// The count is 8 bytes in host order, updated under a lock on its file.
int count_drop(const Config &cfg)
{
	int fd = sys::open(cfg.path("vm/drops").c_str(),
	                   O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	if (fd < 0)
		return fd;
	while (::flock(fd, LOCK_EX) < 0 && errno == EINTR) {
	}
	unsigned long long n = 0;
	int rc = 0;
	if (::pread(fd, &n, sizeof n, 0) < 0)
		rc = -errno;
	++n;
	if (rc == 0 && ::pwrite(fd, &n, sizeof n, 0) != sizeof n)
		rc = -EIO;
	sys::close(fd);
	return rc;
}

bool valid_value(const char *buf, size_t n)
{
	if (n > 0 && buf[n - 1] == '\n')
		--n;
	return n == 1 && buf[0] >= '1' && buf[0] <= '3';
}

// Whether fd still names our file (not closed behind our back and reused).
bool ours(const Config &cfg, int fd)
{
	std::string path;
	return sys::fd_path(fd, path) == 0 && path == file_of(cfg);
}

// One write of the control file: count, or -errno.
ssize_t take_write(const Config &cfg, const void *buf, size_t count)
{
	char text[8];
	size_t n = count < sizeof text ? count : sizeof text;
	std::memcpy(text, buf, n);
	if (count > 4 || !valid_value(text, count))
		return -EINVAL;
	int rc = count_drop(cfg);
	return rc < 0 ? rc : static_cast<ssize_t>(count);
}

bool op_write(int fd, const void *buf, size_t count, ssize_t &result)
{
	sys::Reentry guard;
	ConfigPtr cfg = current();
	if (!cfg || !ours(*cfg, fd)) {
		fd_forget(fd);
		return false;
	}
	result = syscall_result(take_write(*cfg, buf, count));
	return true;
}

// A stream's flushes, one write each as the kernel would see them; the
// stream keeps the configuration it was opened under.
ssize_t stream_write(void *cookie, const char *buf, size_t count)
{
	sys::Reentry guard;
	ssize_t rc = take_write(**static_cast<ConfigPtr *>(cookie), buf, count);
	if (rc >= 0)
		return rc;
	errno = static_cast<int>(-rc);
	return 0; // a stream's write reports failure as nothing written
}

int stream_close(void *cookie)
{
	delete static_cast<ConfigPtr *>(cookie);
	return 0;
}

bool op_read(int, void *, size_t, ssize_t &result)
{
	result = syscall_result<ssize_t>(-EBADF); // opened write-only
	return true;
}

bool op_seek(int, int64_t, int, int64_t &result)
{
	result = 0;
	return true;
}

void op_closed(int fd)
{
	fd_forget(fd);
}

extern const FileOps drop_ops;

void op_duped(int, int to)
{
	fd_register(to, &drop_ops);
}

const FileOps drop_ops = {"drop_caches", {},        op_read, op_write,
                          op_seek,       op_closed, op_duped};

int vm_init(const Config &cfg)
{
	int rc = sys::mkdir_p(cfg.path("vm"), 0755);
	if (rc < 0)
		return rc;
	int fd = sys::open(file_of(cfg).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC,
	                   0200);
	if (fd < 0)
		return fd;
	sys::close(fd);
	return 0;
}

} // namespace

bool drop_caches_open(OpenCall &call, int &result)
{
	int flags = call.flags;
	if (std::strcmp(call.path, DROP_CACHES) != 0)
		return false;
	sys::Reentry guard;
	ConfigPtr cfg = current();
	if (!cfg)
		return false;
	if ((flags & O_ACCMODE) == O_RDONLY) {
		// Only root may even look at it; what it holds is unreadable.
		result = syscall_result(-EACCES);
		return true;
	}
	int fd = sys::open_for_caller(
	        file_of(*cfg).c_str(),
	        O_WRONLY | (flags & (O_CLOEXEC | O_NONBLOCK)));
	if (fd >= 0)
		fd_register(fd, &drop_ops);
	result = syscall_result(fd);
	return true;
}

bool drop_caches_fopen(const char *path, const char *mode, FILE *&result)
{
	int flags;
	if (std::strcmp(path, DROP_CACHES) != 0 ||
	    !parse_fopen_mode(mode, flags))
		return false;
	sys::Reentry guard;
	ConfigPtr cfg = current();
	if (!cfg)
		return false;
	result = nullptr;
	if ((flags & O_ACCMODE) != O_WRONLY) {
		errno = EACCES; // not readable, as for open()
		return true;
	}
	auto *copy = new ConfigPtr(cfg);
	cookie_io_functions_t io = {nullptr, stream_write, nullptr,
	                            stream_close};
	result = ::fopencookie(copy, "w", io);
	if (!result)
		delete copy;
	return true;
}

long long drops(const Config &cfg)
{
	int fd = sys::open(cfg.path("vm/drops").c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return fd == -ENOENT ? 0 : fd;
	unsigned long long n = 0;
	ssize_t r = ::pread(fd, &n, sizeof n, 0);
	sys::close(fd);
	return r < 0 ? -errno : static_cast<long long>(n);
}

const Family family = {
        .init = vm_init,
        .open = drop_caches_open,
        .open_words = {std::string_view(DROP_CACHES).substr(1)},
        .fopen = drop_caches_fopen,
};

} // namespace zvsim::vm
