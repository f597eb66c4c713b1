/* Tunable parameter access: parameter patterns by device type and
 * instance, and reading parameter files. */
#include "zorvelapi_internal.h"

#include <libkfx/util/param.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace
{

constexpr size_t pattern_max = 4096;

size_t page_size()
{
	long size = sysconf(_SC_PAGESIZE);
	return size > 0 ? size_t(size) : 4096;
}

/* read() that retries on interruption. */
ssize_t read_some(int fd, void *buf, size_t len)
{
	ssize_t n;
	do
		n = read(fd, buf, len);
	while (n < 0 && errno == EINTR);
	return n;
}

} // namespace

/* Bytes left to read from fd, read through a page-size scratch buffer. */
int bytes_remaining(int fd, size_t *file_size)
{
	auto scratch = zv::malloc_as(page_size());
	if (!scratch)
		return -ENOMEM;
	size_t total = 0;
	for (;;) {
		ssize_t n = read_some(fd, scratch.get(), page_size());
		if (n < 0)
			return -errno;
		if (n == 0)
			break;
		total += n;
	}
	*file_size = total;
	return 0;
}

int required_size(const char *path, size_t *buflen)
{
	zv::unique_fd fd(zv::open_high(path, O_RDONLY | O_CLOEXEC));
	if (!fd.valid())
		return -errno;
	size_t size;
	int rc = bytes_remaining(fd.get(), &size);
	if (rc == 0)
		*buflen = size + 1;
	return rc;
}

int copy_file_expandable(const char *path, char **buf, size_t *buflen)
{
	FILE *out = open_memstream(buf, buflen);
	if (out == nullptr)
		return -errno;
	int rc = 0;
	zv::unique_fd fd(zv::open_high(path, O_RDONLY | O_CLOEXEC));
	auto chunk = zv::malloc_as(page_size());
	if (!fd.valid()) {
		rc = -errno;
	} else if (!chunk) {
		rc = -ENOMEM;
	} else {
		for (;;) {
			ssize_t n =
			        read_some(fd.get(), chunk.get(), page_size());
			if (n == 0)
				break;
			if (n < 0 ||
			    fwrite(chunk.get(), 1, n, out) != size_t(n)) {
				rc = errno ? -errno : -EIO;
				break;
			}
		}
	}
	/* Closing the stream finalizes *buf and *buflen; the C library
	 * reports success even when its last allocation there failed and
	 * left *buf NULL. */
	if (fclose(out) != 0 && rc == 0)
		rc = errno ? -errno : -ENOMEM;
	if (rc == 0 && *buf == nullptr)
		rc = -ENOMEM;
	if (rc != 0) {
		free(*buf);
		*buf = nullptr;
	}
	return rc;
}

int copy_file_fixed(const char *path, char *buf, size_t *buflen)
{
	zv::unique_fd fd(zv::open_high(path, O_RDONLY | O_CLOEXEC));
	if (!fd.valid())
		return -errno;
	if (*buflen == 0)
		return -EINVAL; /* no room even for the NUL */

	size_t held = 0;
	while (held < *buflen - 1) {
		ssize_t n = read_some(fd.get(), buf + held, *buflen - 1 - held);
		if (n == 0) {
			buf[held] = '\0';
			*buflen = held + 1;
			return 0;
		}
		if (n < 0)
			break;
		held += n;
	}
	buf[*buflen - 1] = '\0';
	size_t left;
	int rc = bytes_remaining(fd.get(), &left);
	if (rc != 0)
		return rc;
	if (left > 0) {
		*buflen = held + left + 1;
		return -EOVERFLOW;
	}
	*buflen = held;
	return 0;
}

ZV_EXPORT int get_zorvel_param_path(const char *obd_type, const char *filter,
                                    enum param_filter type,
                                    const char *param_name, glob_t *param)
{
	char pattern[pattern_max];
	if (filter == nullptr && type != FILTER_BY_NONE)
		return -EINVAL;

	switch (type) {
	case FILTER_BY_NONE:
		if (kfx_get_param_paths(param, "%s", param_name) != 0)
			return -errno;
		return 0;
	case FILTER_BY_EXACT:
		if (strlen(filter) + 1 > sizeof(pattern))
			return -E2BIG;
		strcpy(pattern, filter);
		break;
	case FILTER_BY_FS_NAME: {
		int len = snprintf(pattern, sizeof(pattern), "%s-*", filter);
		if (len < 0)
			return len;
		if (size_t(len) >= sizeof(pattern))
			return -EINVAL;
		break;
	}
	case FILTER_BY_PATH: {
		int rc = zvapi_search_fsname(filter, pattern);
		if (rc != 0) {
			zvapi_error(ZVAPI_MSG_ERROR, rc,
			            "'%s' is not on a Zorvel filesystem",
			            filter);
			return rc;
		}
		if (strlen(pattern) + 3 > sizeof(pattern))
			return -E2BIG;
		strcat(pattern, "-*");
		break;
	}
	default:
		return -EINVAL;
	}

	int rc = param_name != nullptr
	                 ? kfx_get_param_paths(param, "%s/%s/%s", obd_type,
	                                       pattern, param_name)
	                 : kfx_get_param_paths(param, "%s/%s", obd_type,
	                                       pattern);
	return rc != 0 ? -errno : 0;
}

ZV_EXPORT int get_zorvel_param_value(const char *obd_type, const char *filter,
                                     enum param_filter type,
                                     const char *param_name, char *value,
                                     size_t val_len)
{
	zv::unique_glob paths;
	if (get_zorvel_param_path(obd_type, filter, type, param_name,
	                          paths.out()) != 0)
		return -ENOENT;
	paths.filled();

	zv::unique_file f(zv::high_stream(fopen(paths.first(), "re"), "re"));
	if (!f) {
		int rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, rc, "error: opening '%s'",
		            paths.first());
		return rc;
	}
	if (val_len > 1 && fgets(value, int(std::min<size_t>(val_len, INT_MAX)),
	                         f.get()) == nullptr)
		return ferror(f.get()) ? -1 : 0;
	return 0;
}

ZV_EXPORT int zvapi_param_get_paths(const char *pattern, glob_t *paths)
{
	return get_zorvel_param_path(nullptr, nullptr, FILTER_BY_NONE, pattern,
	                             paths);
}

ZV_EXPORT int zvapi_param_get_value(const char *path, char **buf,
                                    size_t *buflen)
{
	int rc;
	if (path == nullptr || buflen == nullptr)
		rc = -EINVAL;
	else if (buf == nullptr)
		rc = required_size(path, buflen);
	else if (*buf == nullptr)
		rc = copy_file_expandable(path, buf, buflen);
	else
		rc = copy_file_fixed(path, *buf, buflen);
	errno = -rc;
	return rc;
}

ZV_EXPORT void zvapi_param_paths_free(glob_t *paths)
{
	globfree(paths);
}
