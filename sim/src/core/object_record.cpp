#include "object_record.h"

#include "sysio.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvsim
{

namespace
{

Birth birth_at(int dirfd, const char *path, int flags)
{
	struct statx sx;
	Birth b;
	if (::statx(dirfd, path, flags, STATX_BTIME, &sx) == 0 &&
	    (sx.stx_mask & STATX_BTIME)) {
		b.sec = sx.stx_btime.tv_sec;
		b.nsec = sx.stx_btime.tv_nsec;
	}
	return b;
}

std::string record_path(const Config &cfg, const char *kind, ino_t ino)
{
	return cfg.state + "/" + kind + "/" + std::to_string(ino);
}

std::string birth_line(const Birth &b)
{
	return "birth " + std::to_string(b.sec) + " " + std::to_string(b.nsec);
}

} // namespace

Birth birth_of(int fd)
{
	return birth_at(fd, "", AT_EMPTY_PATH);
}

Birth birth_of_path(const std::string &path)
{
	return birth_at(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW);
}

ObjectKey key_of(int fd, ino_t ino)
{
	return {ino, birth_of(fd)};
}

int key_of_path(const Config &cfg, const char *path, ObjectKey &key)
{
	if (!path)
		return -EINVAL;
	int fd = sys::open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0)
		return fd;
	struct stat st;
	std::string real, rel;
	int rc = 0;
	if (::syscall(SYS_fstat, fd, &st) < 0)
		rc = -errno;
	else if (st.st_dev != cfg.dev || sys::fd_path(fd, real) < 0 ||
	         !cfg.relative(real, rel))
		rc = -EINVAL;
	else
		key = {st.st_ino, birth_of(fd)};
	sys::close(fd);
	return rc;
}

std::vector<std::string> record_load(const Config &cfg, const char *kind,
                                     const ObjectKey &key)
{
	std::vector<std::string> lines;
	std::string text;
	if (sys::read_file(record_path(cfg, kind, key.ino), text) < 0)
		return lines;
	std::istringstream in(text);
	std::string line;
	if (!std::getline(in, line) || line != birth_line(key.birth))
		return lines;
	while (std::getline(in, line))
		if (!line.empty())
			lines.push_back(line);
	return lines;
}

int record_store(const Config &cfg, const char *kind, const ObjectKey &key,
                 const std::vector<std::string> &lines)
{
	std::string path = record_path(cfg, kind, key.ino);
	if (lines.empty()) {
		if (::syscall(SYS_unlink, path.c_str()) < 0 && errno != ENOENT)
			return -errno;
		return 0;
	}
	int rc = sys::mkdir_p(cfg.state + "/" + kind);
	if (rc < 0)
		return rc;
	std::string text = birth_line(key.birth) + "\n";
	for (const std::string &l : lines)
		text += l + "\n";
	return sys::write_file_atomic(path, text);
}

std::vector<ino_t> record_list(const Config &cfg, const char *kind)
{
	std::vector<ino_t> out;
	int fd = sys::open((cfg.state + "/" + kind).c_str(),
	                   O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return out;
	DIR *dir = ::fdopendir(fd);
	if (!dir) {
		sys::close(fd);
		return out;
	}
	while (struct dirent *de = ::readdir(dir)) {
		char *end;
		unsigned long long ino = strtoull(de->d_name, &end, 10);
		if (end != de->d_name && *end == '\0')
			out.push_back(static_cast<ino_t>(ino));
	}
	::closedir(dir);
	return out;
}

int copy_out_text(const std::string &text, char *buf, size_t len)
{
	if (text.size() > INT_MAX)
		return -EFBIG;
	if (buf && len)
		memcpy(buf, text.data(), std::min(len, text.size()));
	return static_cast<int>(text.size());
}

std::string line_word(const std::string &line, size_t index)
{
	std::istringstream in(line);
	std::string word;
	for (size_t i = 0; i <= index; ++i)
		if (!(in >> word))
			return {};
	return word;
}

} // namespace zvsim
