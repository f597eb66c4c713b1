#include "real.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvsim::real
{

namespace
{
template <typename F>
F next(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

Table load()
{
	Table t{};
	t.open = next<open_fn>("open");
	t.open64 = next<open_fn>("open64");
	t.openat = next<openat_fn>("openat");
	t.openat64 = next<openat_fn>("openat64");
	t.open_2 = next<open2_fn>("__open_2");
	t.open64_2 = next<open2_fn>("__open64_2");
	t.openat_2 = next<openat2_fn>("__openat_2");
	t.openat64_2 = next<openat2_fn>("__openat64_2");
	t.ioctl = next<ioctl_fn>("ioctl");
	t.name_to_handle_at = next<nth_fn>("name_to_handle_at");
	t.setmntent = next<setmntent_fn>("setmntent");
	t.fopen = next<fopen_fn>("fopen");
	t.fopen64 = next<fopen_fn>("fopen64");
	t.stat = next<stat_fn>("stat");
	t.lstat = next<stat_fn>("lstat");
	t.stat64 = next<stat64_fn>("stat64");
	t.lstat64 = next<stat64_fn>("lstat64");
	t.fstatat = next<fstatat_fn>("fstatat");
	t.fstatat64 = next<fstatat64_fn>("fstatat64");
	t.statx = next<statx_fn>("statx");
	t.access = next<access_fn>("access");
	t.faccessat = next<faccessat_fn>("faccessat");
	t.opendir = next<opendir_fn>("opendir");
	t.glob = next<glob_fn>("glob");
	t.glob64 = next<glob64_fn>("glob64");
	t.statfs = next<statfs_fn>("statfs");
	t.statfs64 = next<statfs64_fn>("statfs64");
	t.mount = next<mount_fn>("mount");
	return t;
}
} // namespace

const Table &fns()
{
	static const Table table = load();
	return table;
}

} // namespace zvsim::real

namespace zvsim::sys
{

namespace
{
thread_local int reentry_depth;
}

Reentry::Reentry()
{
	++reentry_depth;
}
Reentry::~Reentry()
{
	--reentry_depth;
}
bool Reentry::inside()
{
	return reentry_depth > 0;
}

int openat(int dirfd, const char *path, int flags, mode_t mode)
{
	long fd = syscall(SYS_openat, dirfd, path, flags | O_CLOEXEC, mode);
	return fd < 0 ? -errno : static_cast<int>(fd);
}

int open(const char *path, int flags, mode_t mode)
{
	return openat(AT_FDCWD, path, flags, mode);
}

int close(int fd)
{
	return ::close(fd) < 0 ? -errno : 0;
}

int read_file(const std::string &path, std::string &out)
{
	int fd = open(path.c_str(), O_RDONLY);
	if (fd < 0)
		return fd;
	out.clear();
	char buf[8192];
	for (;;) {
		ssize_t n = ::read(fd, buf, sizeof buf);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			int err = -errno;
			::close(fd);
			return err;
		}
		if (n == 0)
			break;
		out.append(buf, static_cast<size_t>(n));
	}
	::close(fd);
	return 0;
}

int write_all(int fd, const void *data, size_t len)
{
	const char *p = static_cast<const char *>(data);
	while (len > 0) {
		ssize_t n = ::write(fd, p, len);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return -errno;
		}
		p += n;
		len -= static_cast<size_t>(n);
	}
	return 0;
}

int write_file_atomic(const std::string &path, const std::string &data)
{
	std::string tmp = path + ".tmp." + std::to_string(getpid()) + "." +
	                  std::to_string(gettid());
	int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0)
		return fd;
	int rc = write_all(fd, data.data(), data.size());
	::close(fd);
	if (rc == 0 && ::rename(tmp.c_str(), path.c_str()) < 0)
		rc = -errno;
	if (rc < 0)
		::unlink(tmp.c_str());
	return rc;
}

int fd_path(int fd, std::string &out, bool *deleted)
{
	char link[64];
	snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	char buf[4096 + 16];
	ssize_t n = ::readlink(link, buf, sizeof buf - 1);
	if (n < 0)
		return -errno;
	out.assign(buf, static_cast<size_t>(n));
	static constexpr std::string_view suffix = " (deleted)";
	// A name may itself end in the suffix: only a link count of 0 says the
	// object is gone.
	struct stat st;
	bool del = out.size() > suffix.size() && out.ends_with(suffix) &&
	           ::fstat(fd, &st) == 0 && st.st_nlink == 0;
	if (del)
		out.resize(out.size() - suffix.size());
	if (deleted)
		*deleted = del;
	return 0;
}

} // namespace zvsim::sys
