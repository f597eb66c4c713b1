#include "sysio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace zvsim::sys
{

__thread int reentry_depth __attribute__((tls_model("initial-exec")));

int above_stdio(int fd)
{
	if (fd < 0 || fd > 2)
		return fd;
	long up = syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, 3);
	int err = errno;
	syscall(SYS_close, fd);
	return up < 0 ? -err : static_cast<int>(up);
}

int openat(int dirfd, const char *path, int flags, mode_t mode)
{
	long fd = syscall(SYS_openat, dirfd, path, flags | O_CLOEXEC, mode);
	return fd < 0 ? -errno : above_stdio(static_cast<int>(fd));
}

int open_for_caller(const char *path, int flags, mode_t mode)
{
	long fd = syscall(SYS_openat, AT_FDCWD, path, flags, mode);
	return fd < 0 ? -errno : static_cast<int>(fd);
}

int open(const char *path, int flags, mode_t mode)
{
	return openat(AT_FDCWD, path, flags, mode);
}

int close(int fd)
{
	return syscall(SYS_close, fd) < 0 ? -errno : 0;
}

int read_file(const std::string &path, std::string &out)
{
	int fd = open(path.c_str(), O_RDONLY);
	if (fd < 0)
		return fd;
	out.clear();
	char buf[8192];
	for (;;) {
		ssize_t n = syscall(SYS_read, fd, buf, sizeof buf);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			int err = -errno;
			close(fd);
			return err;
		}
		if (n == 0)
			break;
		out.append(buf, static_cast<size_t>(n));
	}
	close(fd);
	return 0;
}

int write_all(int fd, const void *data, size_t len)
{
	const char *p = static_cast<const char *>(data);
	while (len > 0) {
		ssize_t n = syscall(SYS_write, fd, p, len);
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
	close(fd);
	if (rc == 0 && syscall(SYS_rename, tmp.c_str(), path.c_str()) < 0)
		rc = -errno;
	if (rc < 0)
		syscall(SYS_unlink, tmp.c_str());
	return rc;
}

int fd_path(int fd, std::string &out, bool *deleted)
{
	char link[64];
	snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	char buf[4096 + 16];
	ssize_t n = syscall(SYS_readlink, link, buf, sizeof buf - 1);
	if (n < 0)
		return -errno;
	out.assign(buf, static_cast<size_t>(n));
	static constexpr std::string_view suffix = " (deleted)";
	// A name may itself end in the suffix: only a link count of 0 says the
	// object is gone.
	struct stat st;
	bool del = out.size() > suffix.size() && out.ends_with(suffix) &&
	           syscall(SYS_fstat, fd, &st) == 0 && st.st_nlink == 0;
	if (del)
		out.resize(out.size() - suffix.size());
	if (deleted)
		*deleted = del;
	return 0;
}

int mkdir_p(const std::string &path, mode_t mode)
{
	if (path.empty())
		return -EINVAL;
	for (size_t pos = 1; pos <= path.size(); ++pos) {
		if (pos != path.size() && path[pos] != '/')
			continue;
		std::string part = path.substr(0, pos);
		if (syscall(SYS_mkdir, part.c_str(), mode) < 0 &&
		    errno != EEXIST)
			return -errno;
	}
	struct stat st;
	if (syscall(SYS_stat, path.c_str(), &st) < 0)
		return -errno;
	return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

DIR *open_dir(int dirfd, const char *path)
{
	int fd = openat(dirfd, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
	if (fd < 0) {
		errno = -fd;
		return nullptr;
	}
	DIR *dir = ::fdopendir(fd);
	if (!dir)
		close(fd);
	return dir;
}

namespace
{

int remove_at(int dirfd, const char *name)
{
	struct stat st;
	if (syscall(SYS_newfstatat, dirfd, name, &st, AT_SYMLINK_NOFOLLOW) < 0)
		return -errno;
	if (!S_ISDIR(st.st_mode))
		return syscall(SYS_unlinkat, dirfd, name, 0) < 0 ? -errno : 0;
	DIR *dir = open_dir(dirfd, name);
	if (!dir)
		return -errno;
	std::vector<std::string> names;
	while (struct dirent *de = ::readdir(dir))
		if (strcmp(de->d_name, ".") != 0 &&
		    strcmp(de->d_name, "..") != 0)
			names.emplace_back(de->d_name);
	int rc = 0;
	for (const std::string &n : names)
		if (int r = remove_at(::dirfd(dir), n.c_str());
		    r < 0 && rc == 0)
			rc = r;
	::closedir(dir);
	if (rc == 0 && syscall(SYS_unlinkat, dirfd, name, AT_REMOVEDIR) < 0)
		rc = -errno;
	return rc;
}

} // namespace

int remove_all(const std::string &path)
{
	return remove_at(AT_FDCWD, path.c_str());
}

} // namespace zvsim::sys
