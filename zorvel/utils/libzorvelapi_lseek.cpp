/* Sparse files: whether a file has holes, where its next data is, and
 * punching holes. Plain Linux calls; any file, of any file system. */
#include "zorvelapi_internal.h"

#include <fcntl.h>

ZV_EXPORT bool zvapi_file_is_sparse(int fd)
{
	off_t end = lseek(fd, 0, SEEK_END);
	off_t hole = lseek(fd, 0, SEEK_HOLE);
	return end > 0 && hole >= 0 && hole < end;
}

ZV_EXPORT off_t zvapi_data_seek(int src_fd, off_t offset, size_t *length)
{
	if (offset < 0) {
		zvapi_error(ZVAPI_MSG_ERROR, -EINVAL, "wrong offset: %jd",
		            (intmax_t)offset);
		return -EINVAL;
	}
	if (length == nullptr)
		return -EINVAL;
	off_t data = lseek(src_fd, offset, SEEK_DATA);
	if (data >= 0) {
		off_t hole = lseek(src_fd, data, SEEK_HOLE);
		if (hole < 0) {
			int rc = -errno;
			zvapi_error(ZVAPI_MSG_ERROR, rc,
			            "failed SEEK_HOLE from %jd",
			            (intmax_t)data);
			return rc;
		}
		*length = hole - data;
		return data;
	}
	if (errno == ENXIO) {
		/* No data at or after offset: the end, told by length 0. A
		 * failing end seek is returned as its error, not as -1. */
		*length = 0;
		off_t end = lseek(src_fd, 0, SEEK_END);
		return end < 0 ? -errno : end;
	}
	int rc = -errno;
	zvapi_error(ZVAPI_MSG_ERROR, rc, "failed SEEK_DATA from %jd",
	            (intmax_t)offset);
	return rc;
}

ZV_EXPORT int zvapi_hole_punch(int fd, off_t start, size_t length)
{
	if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, start,
	              (off_t)length) != 0)
		return -errno;
	return 0;
}
