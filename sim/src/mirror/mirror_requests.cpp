// The mirror selection request and the I/O of open files with a mirror
// selected (the selection belongs to the open file: every descriptor
// naming it shares it): mirror 1 is the file itself, so its I/O goes on to
// libc; any other reaches the mirror's backing file through raw system calls,
// at the descriptor's own position where the call has none.
#include "mirror.h"

#include "core/fd_table.h"
#include "core/sysio.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_mirror.h>

namespace zvsim::mirror
{

static_assert(_IOC_SIZE(ZV_IOC_MIRROR_SET) == 8);

namespace
{

// A selection on an open file, in this process.
struct Selection {
	unsigned id = 0;           // 0: none
	bool missing = false;      // the file has no mirror of this id
	int backing = -1;          // mirrors 2 and up
	int flags = 0;             // the descriptor's status flags
	FileRecord *rec = nullptr; // the file's shared record, if any
};

Selection *selection_of(int fd)
{
	if (!(fd_marks(fd) & fdmark::MIRROR))
		return nullptr;
	auto *s = static_cast<Selection *>(fd_state(fd, fdmark::MIRROR));
	return s && s->id ? s : nullptr;
}

void let_go(Selection *s)
{
	if (!s)
		return;
	fd_unkeep(&s->backing);
	delete s;
}

void clear(int fd)
{
	fd_unmark(fd, fdmark::MIRROR);
	let_go(static_cast<Selection *>(fd_state(fd, fdmark::MIRROR)));
	fd_set_state(fd, fdmark::MIRROR, nullptr);
}

// The system call's convention: -1 with errno.
template <typename T>
bool fail(T &r, int err)
{
	errno = err;
	r = -1;
	return true;
}

template <typename T>
bool raw(T &r, long rc)
{
	r = static_cast<T>(rc);
	return true;
}

int64_t position(int fd)
{
	return syscall(SYS_lseek, fd, 0, SEEK_CUR);
}

// Mirror s of the file open on fd changed: it is current again, and the
// file's modification time moves as with any write to the file, so its
// data version does too.
void changed(int fd, Selection &s)
{
	if (s.rec)
		shared(s.rec->stale).fetch_and(~(uint64_t(1) << s.id));
	const struct timespec now[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
	syscall(SYS_utimensat, fd, nullptr, now, 0);
}

// A selection this hook serves: not the primary. err: why the call fails
// there (the mirror is missing, or the descriptor's mode forbids it: an
// access mode of refused_mode gives mode_err).
Selection *served(int fd, int &err, int refused_mode = -1, int mode_err = 0)
{
	Selection *s = selection_of(fd);
	if (!s || (s->id == 1 && !s->missing))
		return nullptr;
	err = s->missing                               ? ENOENT
	      : (s->flags & O_ACCMODE) == refused_mode ? mode_err
	                                               : 0;
	return s;
}

// --- hooks ------------------------------------------------------------------

bool read(int fd, void *buf, size_t n, int64_t off, ssize_t &r)
{
	int err;
	Selection *s = served(fd, err, O_WRONLY, EBADF);
	if (!s || err)
		return s && fail(r, err);
	int64_t pos = off >= 0 ? off : position(fd);
	if (pos < 0)
		return fail(r, errno);
	r = syscall(SYS_pread64, s->backing, buf, n, pos);
	if (r > 0 && off < 0)
		syscall(SYS_lseek, fd, pos + r, SEEK_SET);
	count_io(fd, IoKind::Read, r);
	return true;
}

bool write(int fd, const void *buf, size_t n, int64_t off, ssize_t &r)
{
	int err;
	Selection *s = served(fd, err, O_RDONLY, EBADF);
	if (!s || err)
		return s && fail(r, err);
	int64_t pos = off;
	if (off < 0) {
		struct stat st;
		if (s->flags & O_APPEND)
			pos = syscall(SYS_fstat, s->backing, &st) < 0
			              ? -1
			              : st.st_size;
		else
			pos = position(fd);
	}
	if (pos < 0)
		return fail(r, errno);
	r = syscall(SYS_pwrite64, s->backing, buf, n, pos);
	if (r > 0) {
		changed(fd, *s);
		if (off < 0)
			syscall(SYS_lseek, fd, pos + r, SEEK_SET);
	}
	count_io(fd, IoKind::Write, r);
	return true;
}

// Positions belong to the descriptor; the end, data and holes are the
// mirror's.
bool seek(int fd, int64_t off, int whence, int64_t &r)
{
	int err;
	Selection *s = served(fd, err);
	if (!s ||
	    (whence != SEEK_END && whence != SEEK_DATA && whence != SEEK_HOLE))
		return false;
	if (err)
		return fail(r, err);
	int64_t to;
	if (whence == SEEK_END) {
		struct stat st;
		if (syscall(SYS_fstat, s->backing, &st) < 0)
			return fail(r, errno);
		to = st.st_size + off;
		if (to < 0)
			return fail(r, EINVAL);
	} else {
		int fail_with = s->rec && whence == SEEK_DATA
		                        ? shared(s->rec->seek_data_errno).load()
		                        : 0;
		if (fail_with)
			return fail(r, fail_with);
		to = syscall(SYS_lseek, s->backing, off, whence);
		if (to < 0)
			return fail(r, errno);
	}
	return raw(r, syscall(SYS_lseek, fd, to, SEEK_SET));
}

bool truncate(int fd, int64_t len, int &r)
{
	int err;
	Selection *s = served(fd, err, O_RDONLY, EINVAL);
	if (!s || err)
		return s && fail(r, err);
	raw(r, syscall(SYS_ftruncate, s->backing, len));
	if (r == 0)
		changed(fd, *s);
	return true;
}

bool allocate(int fd, int mode, int64_t off, int64_t len, int &r)
{
	int err;
	Selection *s = served(fd, err, O_RDONLY, EBADF);
	if (!s || err)
		return s && fail(r, err);
	raw(r, syscall(SYS_fallocate, s->backing, mode, off, len));
	if (r == 0)
		changed(fd, *s);
	return true;
}

// The file's own metadata, with the mirror's size and blocks.
bool stat(int fd, struct stat64 *st, int &r)
{
	int err;
	Selection *s = served(fd, err);
	if (!s || err)
		return s && fail(r, err);
	struct stat b;
	if (syscall(SYS_fstat, fd, st) < 0 ||
	    syscall(SYS_fstat, s->backing, &b) < 0)
		return fail(r, errno);
	st->st_size = b.st_size;
	st->st_blocks = b.st_blocks;
	r = 0;
	return true;
}

void dropped(OpenFile &file)
{
	let_go(static_cast<Selection *>(
	        file.state[mark_index(fdmark::MIRROR)]));
}

const FdHooks hooks = {
        .mark = fdmark::MIRROR,
        .read = read,
        .write = write,
        .seek = seek,
        .truncate = truncate,
        .allocate = allocate,
        .stat = stat,
        .dropped = dropped,
};

// --- the request ------------------------------------------------------------

// A selection of an id the file does not have succeeds; the fstat that
// follows it (and any I/O) fails with ENOENT.
int do_mirror_set(Request &req)
{
	if (req.value > UINT_MAX)
		return -EINVAL;
	unsigned id = static_cast<unsigned>(req.value);
	int fd = req.fd;
	if (id == 0) {
		clear(fd);
		return 0;
	}
	if (!S_ISREG(req.obj->st.st_mode))
		return -EINVAL;
	auto s = std::make_unique<Selection>();
	s->id = id;
	s->flags = static_cast<int>(syscall(SYS_fcntl, fd, F_GETFL));
	FileKey key;
	if (int rc = file_key(fd, key); rc < 0)
		return rc;
	s->rec = file_record(req.cfg, key, false);
	unsigned n = s->rec ? shared(s->rec->mirrors).load() : 0;
	if (id > (n ? n : 1)) {
		s->missing = true;
	} else if (id > 1) {
		int b = sys::open(backing_path(req.cfg, key, id).c_str(),
		                  O_RDWR);
		if (b < 0 || fd_keep(b, &s->backing) < 0)
			return -EIO; // the backing file went missing
	}
	clear(fd);
	if (!fd_set_state(fd, fdmark::MIRROR, s.get())) {
		let_go(s.release());
		return -EBADF; // beyond the descriptors followed
	}
	s.release();
	fd_mark(fd, fdmark::MIRROR);
	return 0;
}

const Row rows[] = {
        {.code = ZV_IOC_MIRROR_SET,
         .name = "MIRROR_SET",
         .target = Target::MountObject,
         .arg = ArgKind::Value,
         .handle = do_mirror_set},
};

} // namespace

const Family family = {
        .rows = rows,
        .fd_hooks = &hooks,
};

} // namespace zvsim::mirror
