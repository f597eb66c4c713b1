// The mirrors' backing files and the steering that makes and shows them.
#include "mirror.h"

#include "core/sysio.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvsim::mirror
{

namespace
{

// A regular file of the mount named by path: its key and record.
int file_of(const Config &cfg, const char *path, FileKey &key, FileRecord *&rec,
            bool create)
{
	if (!path)
		return -EINVAL;
	std::string real, rel;
	int fd = sys::open(path, O_RDONLY | O_NOFOLLOW);
	if (fd < 0)
		return fd;
	struct stat st;
	int rc = sys::fd_path(fd, real);
	if (rc == 0 && syscall(SYS_fstat, fd, &st) < 0)
		rc = -errno;
	if (rc == 0 && (!cfg.relative(real, rel) || st.st_dev != cfg.dev))
		rc = -EXDEV;
	if (rc == 0 && !S_ISREG(st.st_mode))
		rc = -EINVAL;
	if (rc == 0)
		rc = file_key(fd, key);
	sys::close(fd);
	if (rc < 0)
		return rc;
	rec = file_record(cfg, key, create);
	if (!rec && create)
		return -ENOSPC;
	return 0;
}

// Data stretches of the file open on fd, as "<off>+<len>,...".
std::string extents(int fd)
{
	std::string out;
	off_t pos = 0;
	for (;;) {
		off_t data = lseek(fd, pos, SEEK_DATA);
		if (data < 0)
			break;
		off_t hole = lseek(fd, data, SEEK_HOLE);
		if (hole < 0)
			break;
		if (!out.empty())
			out += ",";
		out += std::to_string(data) + "+" + std::to_string(hole - data);
		pos = hole;
	}
	return out.empty() ? "-" : out;
}

// Opens mirror id of the file at path (id 1: the file itself).
int open_mirror(const Config &cfg, const char *path, const FileKey &key,
                unsigned id, int flags)
{
	return id == 1 ? sys::open(path, flags)
	               : sys::open(backing_path(cfg, key, id).c_str(), flags);
}

} // namespace

std::string mirrors_dir(const Config &cfg, const FileKey &key)
{
	return cfg.path("mirrors") + "/" + std::to_string(key.ino) + "." +
	       std::to_string(key.birth);
}

std::string backing_path(const Config &cfg, const FileKey &key, unsigned id)
{
	return mirrors_dir(cfg, key) + "/" + std::to_string(id);
}

unsigned count_of(const FileRecord *rec)
{
	unsigned n =
	        rec ? shared(const_cast<FileRecord *>(rec)->mirrors).load() : 0;
	return n ? n : 1;
}

int set_count(const Config &cfg, const char *path, unsigned n)
{
	if (n < 1 || n > MAX_MIRRORS)
		return -EINVAL;
	FileKey key;
	FileRecord *rec = nullptr;
	int rc = file_of(cfg, path, key, rec, true);
	if (rc < 0)
		return rc;
	StateLock lock(cfg);
	unsigned old = count_of(rec);
	if (n > 1 && (rc = sys::mkdir_p(mirrors_dir(cfg, key), 0755)) < 0)
		return rc;
	for (unsigned id = old + 1; id <= n; id++) {
		int fd = sys::open(backing_path(cfg, key, id).c_str(),
		                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
		if (fd < 0)
			return fd;
		sys::close(fd);
		shared(rec->stale).fetch_or(uint64_t(1) << id);
	}
	for (unsigned id = n + 1; id <= old; id++) {
		::unlink(backing_path(cfg, key, id).c_str());
		shared(rec->stale).fetch_and(~(uint64_t(1) << id));
	}
	if (n == 1)
		::rmdir(mirrors_dir(cfg, key).c_str());
	shared(rec->mirrors).store(n);
	return 0;
}

int list(const Config &cfg, const char *path, std::string &out)
{
	FileKey key;
	FileRecord *rec = nullptr;
	int rc = file_of(cfg, path, key, rec, false);
	if (rc < 0)
		return rc;
	unsigned n = count_of(rec);
	uint64_t stale = rec ? shared(rec->stale).load() : 0;
	out.clear();
	for (unsigned id = 1; id <= n; id++) {
		int fd = open_mirror(cfg, path, key, id, O_RDONLY);
		if (fd < 0)
			return fd;
		struct stat st;
		rc = syscall(SYS_fstat, fd, &st) < 0 ? -errno : 0;
		if (rc == 0)
			out += std::to_string(id) + " " +
			       std::to_string(st.st_size) + " " +
			       ((stale >> id) & 1 ? "1 " : "0 ") + extents(fd) +
			       "\n";
		sys::close(fd);
		if (rc < 0)
			return rc;
	}
	return 0;
}

int read(const Config &cfg, const char *path, unsigned id, int64_t off,
         size_t len, std::string &out)
{
	FileKey key;
	FileRecord *rec = nullptr;
	int rc = file_of(cfg, path, key, rec, false);
	if (rc < 0)
		return rc;
	if (id < 1 || id > count_of(rec) || off < 0)
		return -EINVAL;
	int fd = open_mirror(cfg, path, key, id, O_RDONLY);
	if (fd < 0)
		return fd;
	out.resize(len);
	ssize_t n = pread(fd, out.data(), len, off);
	rc = n < 0 ? -errno : 0;
	sys::close(fd);
	out.resize(n < 0 ? 0 : size_t(n));
	return rc;
}

int fail_data_seek(const Config &cfg, const char *path, int err)
{
	if (err < 0 || err > 4095)
		return -EINVAL;
	FileKey key;
	FileRecord *rec = nullptr;
	int rc = file_of(cfg, path, key, rec, true);
	if (rc < 0)
		return rc;
	shared(rec->seek_data_errno).store(static_cast<uint32_t>(err));
	return 0;
}

} // namespace zvsim::mirror
