// Exchanging the data of two files while each keeps its inode (and so its
// FID and names): the first is copied aside, the second copied over it,
// and the copy over the second. Copies run in the kernel and skip holes.
#include "swap.h"

#include "core/sysio.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace zvsim::swap
{

namespace
{

class Fd
{
      public:
	explicit Fd(int fd) : fd_(fd)
	{
	}
	~Fd()
	{
		if (fd_ >= 0)
			sys::close(fd_);
	}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	int get() const
	{
		return fd_;
	}

      private:
	int fd_;
};

// A descriptor of our own on the caller's file, for reading and writing
// whatever the caller's access mode (it may have opened write-only).
int reopen(int fd)
{
	std::string self = "/proc/self/fd/" + std::to_string(fd);
	return sys::open(self.c_str(), O_RDWR | O_CLOEXEC);
}

// An unnamed file beside the mount, on its file system.
int scratch(const Config &cfg)
{
	int fd = sys::open(cfg.state.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC,
	                   0600);
	if (fd != -EOPNOTSUPP && fd != -EISDIR)
		return fd;
	std::string name = cfg.path("swap.tmp.") + std::to_string(::getpid()) +
	                   "." + std::to_string(::gettid());
	fd = sys::open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC,
	               0600);
	if (fd >= 0)
		::syscall(SYS_unlink, name.c_str());
	return fd;
}

int copy_by_hand(int from, int to, off_t off, off_t len)
{
	std::vector<char> buf(1 << 20);
	while (len > 0) {
		size_t want = static_cast<size_t>(
		        std::min<off_t>(len, static_cast<off_t>(buf.size())));
		ssize_t n = ::pread(from, buf.data(), want, off);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return n < 0 ? -errno : 0; // the file shrank
		int rc = 0;
		for (ssize_t done = 0; done < n && rc == 0;) {
			ssize_t w = ::pwrite(to, buf.data() + done,
			                     static_cast<size_t>(n - done),
			                     off + done);
			if (w > 0)
				done += w;
			else if (w < 0 && errno != EINTR)
				rc = -errno;
		}
		if (rc < 0)
			return rc;
		off += n;
		len -= n;
	}
	return 0;
}

// Bytes [off, off + len) of from into the same place of to.
int copy_range(int from, int to, off_t off, off_t len)
{
	loff_t in = off, out = off;
	while (len > 0) {
		ssize_t n = ::copy_file_range(from, &in, to, &out,
		                              static_cast<size_t>(len), 0);
		if (n > 0) {
			len -= n;
			continue;
		}
		if (n == 0)
			return 0; // the file shrank meanwhile
		if (errno == EINTR)
			continue;
		if (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
		    errno == EOPNOTSUPP)
			return copy_by_hand(from, to, in, len);
		return -errno;
	}
	return 0;
}

} // namespace

int copy_data(int from, int to)
{
	struct stat st;
	if (::syscall(SYS_fstat, from, &st) < 0 || ::ftruncate(to, 0) < 0)
		return -errno;
	off_t off = 0;
	while (off < st.st_size) {
		off_t data = ::lseek(from, off, SEEK_DATA);
		off_t hole = st.st_size;
		if (data < 0 && errno == ENXIO)
			break; // only a hole remains
		if (data < 0)
			data = off; // no hole search here: copy the rest
		else if (off_t h = ::lseek(from, data, SEEK_HOLE); h >= data)
			hole = std::min(h, st.st_size);
		if (int rc = copy_range(from, to, data, hole - data); rc < 0)
			return rc;
		off = hole;
	}
	return ::ftruncate(to, st.st_size) < 0 ? -errno : 0;
}

int exchange_data(const Config &cfg, int fd1, int fd2)
{
	Fd a(reopen(fd1)), b(reopen(fd2)), aside(scratch(cfg));
	for (int fd : {a.get(), b.get(), aside.get()})
		if (fd < 0)
			return fd;
	int rc = copy_data(a.get(), aside.get());
	if (rc < 0)
		return rc; // nothing changed yet
	if ((rc = copy_data(b.get(), a.get())) < 0) {
		copy_data(aside.get(), a.get());
		return rc;
	}
	if ((rc = copy_data(aside.get(), b.get())) < 0) {
		// The first file holds the second's data now.
		copy_data(a.get(), b.get());
		copy_data(aside.get(), a.get());
	}
	return rc;
}

} // namespace zvsim::swap
