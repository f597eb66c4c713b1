/* Mirror I/O and copy: one mirror of a file selected on an open descriptor
 * for each operation, and copies from one mirror to others, skipping the
 * holes of a sparse source. The selection is the kernel's state on the
 * descriptor: every operation clears it before it returns. */
#include "thread_spare.h"
#include "zorvelapi_internal.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace
{

constexpr size_t COPY_BUF = 4u << 20;

size_t page_size()
{
	long ps = sysconf(_SC_PAGESIZE);
	return ps > 0 ? static_cast<size_t>(ps) : 4096;
}

bool aligned(uint64_t v, size_t page)
{
	return v % page == 0;
}

uint64_t round_up(uint64_t v, size_t page)
{
	return (v + page - 1) / page * page;
}

int select_mirror(int fd, unsigned int id)
{
	if (ioctl(fd, ZV_IOC_MIRROR_SET, static_cast<unsigned long>(id)) < 0)
		return -errno;
	return 0;
}

/* A mirror selected for the length of one operation: cleared when it goes,
 * whatever the path, with errno kept for the caller. */
class selection
{
      public:
	selection(int fd, unsigned int id) : fd_(fd)
	{
		rc_ = zvapi_mirror_set(fd, id);
	}
	~selection()
	{
		if (rc_ == 0)
			zv::keeping_errno([this] { select_mirror(fd_, 0); });
	}
	selection(const selection &) = delete;
	selection &operator=(const selection &) = delete;
	/* 0, or the error of the selection (nothing to clear then). */
	int rc() const
	{
		return rc_;
	}

      private:
	int fd_;
	int rc_;
};

/* The 4 MiB page-aligned copy buffer. A thread keeps its last one for its
 * next copy: a fresh buffer costs a page fault and a zeroed page for every
 * 4 KiB a copy reads into it, which was a fifth of the copy of a sparse
 * file. */
struct copy_buffer {
	zv::unique_malloc<char> mem;
	int rc = 0;
	explicit copy_buffer(size_t page)
	{
		if (void *kept = zv::take_spare(zv::SPARE_COPY_BUFFER)) {
			mem.reset(static_cast<char *>(kept));
			return;
		}
		void *p = nullptr;
		rc = -posix_memalign(&p, page, COPY_BUF);
		mem.reset(static_cast<char *>(p));
	}
	~copy_buffer()
	{
		put_back();
	}
	copy_buffer(const copy_buffer &) = delete;
	copy_buffer &operator=(const copy_buffer &) = delete;
	/* Done with it: kept as the spare when the thread has none. */
	void put_back()
	{
		if (mem && zv::keep_spare(zv::SPARE_COPY_BUFFER, mem.get()))
			(void)mem.release();
		mem.reset();
	}
};

/* The destinations of a copy to many: the live ones are the first n
 * entries; a failed one is swapped with the last live entry. */
struct destinations {
	uint16_t *ids;
	size_t live;
	ssize_t pending = 0; /* the last destination error */

	void drop(size_t i, ssize_t err)
	{
		std::swap(ids[i], ids[live - 1]);
		live--;
		pending = err;
	}
	/* Runs op(id) on each live destination; one that fails drops out. */
	template <typename Op>
	void each(Op &&op)
	{
		for (size_t i = 0; i < live;) {
			ssize_t rc = op(ids[i]);
			if (rc < 0)
				drop(i, rc);
			else
				i++;
		}
	}
};

} // namespace

ZV_EXPORT int zvapi_mirror_set(int fd, unsigned int id)
{
	int rc = select_mirror(fd, id);
	if (rc < 0 || id == 0)
		return rc;
	struct stat st;
	if (fstat(fd, &st) == 0)
		return 0;
	rc = -errno;
	select_mirror(fd, 0);
	return rc;
}

ZV_EXPORT int zvapi_mirror_clear(int fd)
{
	return zvapi_mirror_set(fd, 0);
}

ZV_EXPORT ssize_t zvapi_mirror_read(int fd, unsigned int id, void *buf,
                                    size_t count, off_t pos)
{
	size_t page = page_size();
	selection sel(fd, id);
	if (sel.rc() < 0)
		return sel.rc();
	ssize_t total = 0;
	char *at = static_cast<char *>(buf);
	while (count > 0) {
		ssize_t n = pread(fd, at, count, pos);
		if (n == 0)
			break;
		if (n < 0)
			return -errno;
		total += n;
		at += n;
		pos += n;
		count -= n;
		if (!aligned(n, page)) /* the end of the data */
			break;
	}
	return total;
}

ZV_EXPORT ssize_t zvapi_mirror_write(int fd, unsigned int id, const void *buf,
                                     size_t count, off_t pos)
{
	size_t page = page_size();
	if (!aligned(reinterpret_cast<uintptr_t>(buf), page) ||
	    !aligned(pos, page))
		return -EINVAL;
	selection sel(fd, id);
	if (sel.rc() < 0)
		return sel.rc();
	ssize_t total = 0;
	const char *at = static_cast<const char *>(buf);
	while (count > 0) {
		if (!aligned(pos, page))
			return -EINVAL; /* a partial write ended inside a page
			                 */
		ssize_t n = pwrite(fd, at, count, pos);
		if (n < 0)
			return -errno;
		if (n == 0) /* no progress: it would never end */
			return -EIO;
		total += n;
		at += n;
		pos += n;
		count -= n;
	}
	return total;
}

ZV_EXPORT int zvapi_mirror_truncate(int fd, unsigned int id, off_t length)
{
	selection sel(fd, id);
	if (sel.rc() < 0)
		return sel.rc();
	return ftruncate(fd, length) == 0 ? 0 : -errno;
}

ZV_EXPORT int zvapi_mirror_punch(int fd, unsigned int id, off_t start,
                                 size_t length)
{
	selection sel(fd, id);
	if (sel.rc() < 0)
		return sel.rc();
	return zvapi_hole_punch(fd, start, length);
}

ZV_EXPORT bool zvapi_mirror_is_sparse(int fd, unsigned int id)
{
	selection sel(fd, id);
	return sel.rc() == 0 && zvapi_file_is_sparse(fd);
}

ZV_EXPORT off_t zvapi_mirror_data_seek(int fd, unsigned int id, off_t pos,
                                       size_t *size)
{
	selection sel(fd, id);
	if (sel.rc() < 0)
		return sel.rc();
	return zvapi_data_seek(fd, pos, size);
}

namespace
{

/* Up to count bytes of the source at pos: mirror src, or the file as a
 * whole (0) read without a selection. Both end only at the end of the
 * data or at a read that is not a page multiple. */
ssize_t read_source(int fd, unsigned int src, char *buf, size_t count,
                    off_t pos)
{
	if (src != 0)
		return zvapi_mirror_read(fd, src, buf, count, pos);
	size_t page = page_size(), total = 0;
	while (total < count) {
		ssize_t n = pread(fd, buf + total, count - total, pos + total);
		if (n < 0)
			return -errno;
		total += n;
		if (n == 0 || !aligned(n, page))
			break;
	}
	return static_cast<ssize_t>(total);
}

/* The size of the source: mirror src, or the file as a whole (0). */
int source_size(int fd, unsigned int src, off_t &size)
{
	auto size_of = [&] {
		struct stat st;
		if (fstat(fd, &st) < 0)
			return -errno;
		size = st.st_size;
		return 0;
	};
	if (src == 0)
		return size_of();
	selection sel(fd, src);
	return sel.rc() < 0 ? sel.rc() : size_of();
}

/* Zeroes the buffer from n to the next page boundary, so that a write
 * rounded up to whole pages carries zeros past the data, not what an
 * earlier chunk left there: the length to write. */
size_t pad_to_page(char *buf, size_t n, size_t page)
{
	size_t to_write = round_up(n, page);
	memset(buf + n, 0, to_write - n);
	return to_write;
}

/* Makes [from, to) a hole in each live destination; one that cannot be
 * punched drops out, since it would keep stale data there. */
void punch_all(int fd, destinations &to, off_t from, off_t end)
{
	if (from >= end)
		return;
	to.each([&](uint16_t id) {
		return zvapi_mirror_punch(fd, id, from, end - from);
	});
}

} // namespace

ZV_EXPORT ssize_t zvapi_mirror_copy(int fd, unsigned int src, unsigned int dst,
                                    off_t pos, size_t count)
{
	if (count == 0)
		return 0;
	size_t page = page_size();
	if (pos < 0 || !aligned(pos, page) || dst == 0 || src == dst ||
	    (!aligned(count, page) && count != SIZE_MAX))
		return -EINVAL;
	copy_buffer buf(page);
	if (buf.rc < 0)
		return buf.rc;

	size_t copied = 0;
	ssize_t last = 0; /* the last read: 0 or short when the end was met */
	bool at_end = false;
	while (copied < count) {
		size_t to_read = std::min(count - copied, COPY_BUF);
		last = read_source(fd, src, buf.mem.get(), to_read, pos);
		if (last < 0)
			return last;
		if (last == 0) {
			at_end = true;
			break;
		}
		size_t to_write = pad_to_page(buf.mem.get(), last, page);
		ssize_t w = zvapi_mirror_write(fd, dst, buf.mem.get(), to_write,
		                               pos);
		if (w < 0)
			return w;
		pos += last;
		copied += last;
		if (static_cast<size_t>(last) < to_read) {
			at_end = true;
			break;
		}
	}
	buf.put_back();
	/* A copy that met the source's end leaves the destination exactly
	 * the source's size: cut back what the last page wrote past it, and
	 * whatever the destination held beyond. */
	if (at_end) {
		off_t end = pos;
		if (last == 0) {
			int rc = source_size(fd, src, end);
			if (rc < 0)
				return rc;
		}
		int rc = zvapi_mirror_truncate(fd, dst, end);
		if (rc < 0)
			return rc;
	}
	return static_cast<ssize_t>(copied);
}

ZV_EXPORT ssize_t zvapi_mirror_copy_many(int fd, uint16_t src, uint16_t *dst,
                                         size_t count)
{
	if (count == 0)
		return 0;
	if (dst == nullptr)
		return -EINVAL;
	destinations to{dst, count};
	/* The source is not a destination of its own copy. */
	if (src != 0)
		to.each([&](uint16_t id) { return id == src ? -EINVAL : 0; });
	if (to.live == 0)
		return -EINVAL;
	size_t page = page_size();
	copy_buffer buf(page);
	if (buf.rc < 0)
		return buf.rc;

	/* Nothing is emptied up front: each destination is written over,
	 * the source's holes are punched into it once the data after them
	 * is written, and the last truncation gives it the source's size.
	 * So a destination that is the source itself (source 0, served by
	 * one of the mirrors) loses nothing. */
	bool sparse = zvapi_mirror_is_sparse(fd, src);
	off_t pos = 0, data_end = 0, written_end = 0;
	while (to.live > 0) {
		if (sparse && pos >= data_end) {
			size_t size = 0;
			off_t data =
			        zvapi_mirror_data_seek(fd, src, pos, &size);
			if (data < 0) {
				sparse = false; /* a plain copy from here on */
			} else if (size == 0) {
				pos = data; /* the end of the file */
				break;
			} else {
				data_end = round_up(data + size, page);
				pos = data / page * page;
			}
		}
		size_t to_read =
		        sparse ? std::min<uint64_t>(data_end - pos, COPY_BUF)
		               : COPY_BUF;
		ssize_t n = read_source(fd, src, buf.mem.get(), to_read, pos);
		if (n == 0)
			break;
		if (n < 0)
			return n;
		size_t to_write = pad_to_page(buf.mem.get(), n, page);
		to.each([&](uint16_t id) {
			return zvapi_mirror_write(fd, id, buf.mem.get(),
			                          to_write, pos);
		});
		punch_all(fd, to, written_end, pos);
		written_end = pos + to_write;
		pos += n;
		if (static_cast<size_t>(n) < to_read)
			break;
	}
	buf.put_back();
	/* A hole at the end, its last page whole: a partial page punched
	 * would stay allocated. */
	punch_all(fd, to, written_end, round_up(pos, page));
	to.each([&](uint16_t id) {
		return zvapi_mirror_truncate(fd, id, pos);
	});
	return to.live > 0 ? static_cast<ssize_t>(to.live) : to.pending;
}
