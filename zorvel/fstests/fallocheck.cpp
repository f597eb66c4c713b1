/* fallocheck: preallocation at the end of a file and inside a hole, and the
 * size the file reports afterwards. The file must lie on a zorvel mount. */
#include "fstest.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mntent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int ALLOC_MODE = 0; // plain allocation that may extend the file

struct Run {
	int fd;
	long long blksize;
	std::unique_ptr<char[]> buf; // blksize bytes of 'X' and a NUL
};

int write_blocks(Run &r)
{
	for (int i = 0; i < 10; i++) {
		memset(r.buf.get(), 'X', r.blksize);
		r.buf[r.blksize] = '\0';
		ssize_t n = write(r.fd, r.buf.get(), r.blksize);
		if (n < 0) {
			int err = errno;
			fprintf(stderr, "write failed error %s\n",
			        strerror(err));
			return err;
		}
		// A short write leaves the file smaller than the checks
		// assume: a failure of its own, not a wrong size later.
		if (n != r.blksize) {
			fprintf(stderr, "short write: %zd of %lld bytes\n", n,
			        r.blksize);
			return EIO;
		}
	}
	return 0;
}

int stat_size(int fd, long long &size)
{
	struct stat st;
	memset(&st, 0, sizeof(st));
	if (fstat(fd, &st) < 0) {
		int err = errno;
		fprintf(stderr, "stat file error: %s\n", strerror(err));
		return err;
	}
	size = st.st_size;
	return 0;
}

int seek(int fd, off_t off, int whence, off_t *where = nullptr)
{
	off_t r = lseek(fd, off, whence);
	if (r < 0) {
		int err = errno;
		fprintf(stderr, "lseek error: %s\n", strerror(err));
		return err;
	}
	if (where)
		*where = r;
	return 0;
}

int allocate_and_check(Run &r, off_t offset, long long expected)
{
	unsigned long long off = offset, len = r.blksize;
	if (fallocate(r.fd, ALLOC_MODE, offset, r.blksize) < 0) {
		int err = errno;
		fprintf(stderr,
		        "fallocate failed, error %s, mode %d, offset %llu, "
		        "len %llu\n",
		        strerror(err), ALLOC_MODE, off, len);
		return err;
	}
	long long size;
	if (int rc = stat_size(r.fd, size))
		return rc;
	if (size != expected) {
		fprintf(stderr, "fallocate succeeded but size reported is "
		                "wrong\n");
		fprintf(stderr,
		        "mode %d, offset %llu, len %llu, new_size %llu, "
		        "expected_new_size %llu\n",
		        ALLOC_MODE, off, len, (unsigned long long)size,
		        (unsigned long long)expected);
		fprintf(stderr, "post_fallocate_checks failed for mode %d\n",
		        ALLOC_MODE);
		return -1;
	}
	return 0;
}

// Ten blocks, then one more allocated past the end: the file grows.
int test_end(Run &r)
{
	long long size;
	off_t end = 0;
	int rc;
	if ((rc = seek(r.fd, 0, SEEK_SET)) || (rc = write_blocks(r)) ||
	    (rc = stat_size(r.fd, size)) ||
	    (rc = seek(r.fd, 0, SEEK_END, &end)))
		return rc;
	return allocate_and_check(r, end, 11 * r.blksize);
}

// Ten blocks, a hole of ten, ten blocks; a block allocated inside the hole
// leaves the size alone.
int test_hole(Run &r)
{
	if (ftruncate(r.fd, 0) < 0) {
		int err = errno;
		fprintf(stderr, "ftruncate error %s\n", strerror(err));
		return err;
	}
	long long size;
	int rc;
	if ((rc = seek(r.fd, 0, SEEK_SET)) || (rc = write_blocks(r)) ||
	    (rc = seek(r.fd, 10 * r.blksize, SEEK_CUR)) ||
	    (rc = write_blocks(r)) || (rc = stat_size(r.fd, size)) ||
	    (rc = seek(r.fd, 15 * r.blksize, SEEK_SET)))
		return rc;
	return allocate_and_check(r, 15 * r.blksize, 30 * r.blksize);
}

// Whether the mount table lists a zorvel mount: the walk ends at the first
// entry whose type is the file system's.
int find_zorvel_mount(bool &found)
{
	FILE *mtab = setmntent("/etc/mtab", "r");
	if (!mtab) {
		int err = errno;
		fprintf(stderr, "setmntent error: %s\n", strerror(err));
		return err;
	}
	found = false;
	while (struct mntent *ent = getmntent(mtab)) {
		if (zvapi_is_zorvel_mnttype(ent->mnt_type)) {
			found = true;
			break;
		}
	}
	endmntent(mtab);
	return 0;
}

int run(int fd)
{
	bool found = false;
	if (int rc = find_zorvel_mount(found))
		return rc;
	if (!found) {
		fprintf(stderr, "file not on zorvel filesystem?\n");
		return -EINVAL;
	}
	struct stat st;
	memset(&st, 0, sizeof(st));
	if (fstat(fd, &st) < 0) {
		int err = errno;
		fprintf(stderr, "stat file error: %s\n", strerror(err));
		return err;
	}
	Run r{fd, static_cast<long long>(st.st_blksize),
	      std::unique_ptr<char[]>(
	              new (std::nothrow) char[st.st_blksize + 1])};
	if (!r.buf) {
		fprintf(stderr, "cannot allocate %lld bytes\n", r.blksize);
		return ENOMEM;
	}
	if (int rc = test_end(r))
		return rc;
	return test_hole(r);
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	if (argc != 2) {
		fprintf(stderr, "usage: %s <filepath>\n", argv[0]);
		fprintf(stderr, "filepath: absolute pathname of Zorvel file\n");
		return 1;
	}
	const char *path = argv[1];
	if (path[0] != '/') {
		fprintf(stderr, "Need absolute path of the file\n");
		return -EINVAL;
	}
	int fd = open(path, O_RDWR | O_CREAT, 0700);
	if (fd < 0) {
		int err = errno;
		fprintf(stderr, "open file %s error: %s\n", path,
		        strerror(err));
		return err;
	}
	int rc = run(fd);
	close(fd);
	return rc;
}
