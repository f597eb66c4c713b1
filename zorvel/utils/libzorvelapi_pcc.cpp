/* The persistent client cache: attach a file through a write lease
 * released with the attach intent, detach it, read its state, and set or
 * print the client's cache configuration. */
#include "zorvelapi_internal.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>

#include <libkfx/util/param.h>

namespace
{

/* The example FID of the FID-text messages. */
constexpr unsigned long long example_seq = 0x200000400ULL;

/* Room for a client name "<fsname>-<instance>". */
constexpr size_t name_room = 40;

/* One field "0x<hex digits>" of FID text, at most max; *s moves past it. */
bool hex_field(const char **s, unsigned long long max,
               unsigned long long *value)
{
	const char *p = *s;
	if (p[0] != '0' || p[1] != 'x')
		return false;
	p += 2;
	unsigned long long v = 0;
	const char *digits = p;
	for (;; p++) {
		int d = *p >= '0' && *p <= '9'   ? *p - '0'
		        : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
		        : *p >= 'A' && *p <= 'F' ? *p - 'A' + 10
		                                 : -1;
		if (d < 0)
			break;
		if (v > (max - d) / 16)
			return false; /* does not fit its field */
		v = v * 16 + d;
	}
	if (p == digits)
		return false;
	*value = v;
	*s = p;
	return true;
}

/* Any number of '[', then "0x<seq>:0x<oid>:0x<ver>"; the rest ignored. */
bool parse_fid_text(const char *text, zo_fid *fid)
{
	const char *p = text;
	while (*p == '[')
		p++;
	unsigned long long seq, oid, ver;
	if (!hex_field(&p, ~0ULL, &seq) || *p++ != ':' ||
	    !hex_field(&p, UINT32_MAX, &oid) || *p++ != ':' ||
	    !hex_field(&p, UINT32_MAX, &ver))
		return false;
	fid->f_seq = seq;
	fid->f_oid = static_cast<uint32_t>(oid);
	fid->f_ver = static_cast<uint32_t>(ver);
	return true;
}

bool fid_is_sane(const zo_fid &fid)
{
	return (fid.f_seq >= FID_SEQ_START && fid.f_ver == 0) ||
	       (fid.f_seq >= FID_SEQ_IGIF && fid.f_seq <= FID_SEQ_IGIF_MAX) ||
	       (fid.f_seq >= FID_SEQ_IDIF && fid.f_seq <= FID_SEQ_IDIF_MAX) ||
	       (fid.f_seq >= 1 && fid.f_seq <= FID_SEQ_RSVD);
}

int bad_fid_text(const char *text)
{
	zvapi_error(
	        ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
	        "bad FID format '%s', should be [seq:oid:ver] (e.g. " ZO_FID_FMT
	        ")\n",
	        text, example_seq, 2U, 0U);
	return -EINVAL;
}

/* Attaches open file fd to cache area archive_id: a write lease, then
 * its release with the attach intent, which the kernel carries out only
 * if nobody broke the lease in between. */
int zvapi_readwrite_pcc_attach_fd(int fd, uint32_t archive_id)
{
	int rc = zvapi_lease_acquire(fd, ZV_LEASE_WRLCK);
	if (rc < 0) {
		zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot get lease");
		return rc;
	}
	auto data = zv::calloc_as<zv_ioc_lease>(sizeof(zv_ioc_lease) +
	                                        sizeof(uint32_t));
	if (!data) {
		zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, -ENOMEM,
		            "failed to allocate memory");
		return -ENOMEM;
	}
	data->zil_mode = ZV_LEASE_UNLCK;
	data->zil_flags = ZV_LEASE_PCC_ATTACH;
	data->zil_count = 1;
	data->zil_ids[0] = archive_id;
	rc = zvapi_lease_set(fd, data.get());
	if (rc > 0)
		return 0;
	if (rc == 0)
		rc = -EBUSY; /* broken before the release: nothing attached */
	zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot attach with ID: %u",
	            archive_id);
	return rc;
}

/* Attaches and detaches by path open the file for reading and writing,
 * without waiting. */
int open_cached(const char *path, zv::unique_fd *fd)
{
	fd->reset(zv::open_high(path, O_RDWR | O_NONBLOCK | O_CLOEXEC));
	if (fd->valid())
		return 0;
	int rc = -errno;
	zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot open '%s'", path);
	return rc;
}

/* Opens the mount's cache parameter with flags; name receives the client
 * name it is under, *path its file (valid while paths lives). 0 or a
 * negative errno value; open_failure is the message of a failed open. */
int open_pcc_param(const char *mntpath, int flags, const char *open_failure,
                   char *name, zv::unique_glob *paths, const char **path,
                   zv::unique_fd *fd)
{
	int rc = zvapi_getname(mntpath, name, name_room);
	if (rc < 0) {
		zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot get name for '%s'",
		            mntpath);
		return rc;
	}
	rc = kfx_get_param_paths(paths->out(), "zvlite/%s/pcc", name);
	if (rc != 0)
		return rc == -1 ? -errno : rc;
	paths->filled();
	*path = paths->first();
	fd->reset(zv::open_high(*path, flags | O_CLOEXEC));
	if (fd->valid())
		return 0;
	rc = -errno;
	zvapi_error(ZVAPI_MSG_ERROR, rc, open_failure, *path);
	return rc;
}

/* A request whose only success is 0 (see libzorvelapi_swap.cpp). */
int zero_or_errno(int rc)
{
	if (rc == 0)
		return 0;
	return rc < 0 ? -errno : -EPROTO;
}

} // namespace

ZV_EXPORT int zvapi_pcc_attach(const char *path, uint32_t id,
                               enum zo_pcc_type type)
{
	if (type != ZO_PCC_READWRITE || path == nullptr)
		return -EINVAL;
	zv::unique_fd fd;
	int rc = open_cached(path, &fd);
	return rc < 0 ? rc : zvapi_readwrite_pcc_attach_fd(fd.get(), id);
}

ZV_EXPORT int zvapi_pcc_attach_fid(const char *mntpath,
                                   const struct zo_fid *fid, uint32_t id,
                                   enum zo_pcc_type type)
{
	if (type != ZO_PCC_READWRITE)
		return -EINVAL;
	if (mntpath == nullptr || fid == nullptr)
		return -EINVAL;
	/* The open's own result: errno is not set on every failure. */
	zv::unique_fd fd(zvapi_open_by_fid(mntpath, fid, O_RDWR | O_NONBLOCK));
	if (!fd.valid()) {
		int rc = fd.get();
		zvapi_error(ZVAPI_MSG_ERROR, rc,
		            "zvapi_open_by_fid for " ZO_FID_FMT "failed",
		            ZO_FID_ARGS(fid));
		return rc;
	}
	return zvapi_readwrite_pcc_attach_fd(fd.get(), id);
}

ZV_EXPORT int zvapi_pcc_attach_fid_str(const char *mntpath, const char *fidstr,
                                       uint32_t id, enum zo_pcc_type type)
{
	if (fidstr == nullptr)
		return -EINVAL;
	zo_fid fid;
	if (!parse_fid_text(fidstr, &fid))
		return bad_fid_text(fidstr);
	return zvapi_pcc_attach_fid(mntpath, &fid, id, type);
}

ZV_EXPORT int zvapi_pcc_detach_fd(int fd, uint32_t option)
{
	zo_pcc_detach detach = {option};
	return ioctl(fd, ZV_IOC_PCC_DETACH, &detach);
}

ZV_EXPORT int zvapi_pcc_detach_file(const char *path, uint32_t option)
{
	if (path == nullptr)
		return -EINVAL;
	zv::unique_fd fd;
	int rc = open_cached(path, &fd);
	return rc < 0 ? rc : zvapi_pcc_detach_fd(fd.get(), option);
}

ZV_EXPORT int zvapi_pcc_detach_fid(const char *mntpath,
                                   const struct zo_fid *fid, uint32_t option)
{
	if (mntpath == nullptr || fid == nullptr)
		return -EINVAL;
	int root_fd = -1;
	int rc = get_root_path(WANT_FD, nullptr, &root_fd,
	                       const_cast<char *>(mntpath), -1);
	if (rc != 0) {
		zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot get root path: %s",
		            mntpath);
		return rc;
	}
	zv::unique_fd root(root_fd);
	zo_pcc_detach_fid detach;
	detach.pccd_fid = *fid;
	detach.pccd_opt = option;
	return ioctl(root.get(), ZV_IOC_PCC_DETACH_BY_FID, &detach);
}

ZV_EXPORT int zvapi_pcc_detach_fid_str(const char *mntpath, const char *fidstr,
                                       uint32_t option)
{
	if (fidstr == nullptr)
		return -EINVAL;
	zo_fid fid;
	if (!parse_fid_text(fidstr, &fid) || !fid_is_sane(fid))
		return bad_fid_text(fidstr);
	return zvapi_pcc_detach_fid(mntpath, &fid, option);
}

ZV_EXPORT int zvapi_pcc_state_get_fd(int fd, struct zo_pcc_state *state)
{
	if (state == nullptr)
		return -EINVAL;
	return zero_or_errno(ioctl(fd, ZV_IOC_PCC_STATE, state));
}

ZV_EXPORT int zvapi_pcc_state_get(const char *path, struct zo_pcc_state *state)
{
	if (path == nullptr || state == nullptr)
		return -EINVAL;
	zv::unique_fd fd(
	        zv::open_high(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
	if (!fd.valid())
		return -errno;
	return zvapi_pcc_state_get_fd(fd.get(), state);
}

ZV_EXPORT int zvapi_pccdev_set(const char *mntpath, const char *cmd)
{
	if (mntpath == nullptr || cmd == nullptr)
		return -EINVAL;
	char name[name_room];
	zv::unique_glob paths;
	const char *path;
	zv::unique_fd fd;
	int rc = open_pcc_param(mntpath, O_WRONLY, "error opening %s", name,
	                        &paths, &path, &fd);
	if (rc != 0)
		return rc;
	size_t len = strlen(cmd);
	ssize_t count = write(fd.get(), cmd, len);
	if (count < 0) {
		rc = -errno;
		if (errno != EIO)
			zvapi_error(ZVAPI_MSG_ERROR, rc,
			            "error: setting zvlite.%s.pcc='%s'", name,
			            cmd);
	} else if (size_t(count) < len) {
		rc = -EINVAL;
		zvapi_error(ZVAPI_MSG_ERROR, rc,
		            "setting zvlite.%s.pcc='%s': wrote only %zd", name,
		            cmd, count);
	}
	return rc;
}

ZV_EXPORT int zvapi_pccdev_get(const char *mntpath)
{
	if (mntpath == nullptr)
		return -EINVAL;
	long page = sysconf(_SC_PAGESIZE);
	size_t piece = page > 0 ? size_t(page) : 4096;
	char name[name_room];
	zv::unique_glob paths;
	const char *path;
	zv::unique_fd fd;
	int rc = open_pcc_param(mntpath, O_RDONLY,
	                        "error: pccdev_get: opening '%s'", name, &paths,
	                        &path, &fd);
	if (rc != 0)
		return rc;
	auto buf = zv::calloc_as(piece);
	if (!buf) {
		zvapi_error(ZVAPI_MSG_ERROR, -ENOMEM,
		            "error: pccdev_get: allocating '%s' buffer", path);
		return -ENOMEM;
	}
	for (;;) {
		ssize_t n = read(fd.get(), buf.get(), piece);
		if (n == 0)
			break;
		if (n < 0) {
			rc = -errno;
			if (errno != EIO)
				zvapi_error(
				        ZVAPI_MSG_ERROR, rc,
				        "error: pccdev_get: reading failed");
			break;
		}
		errno = 0;
		if (fwrite(buf.get(), 1, size_t(n), stdout) < size_t(n)) {
			rc = errno != 0 ? -errno : -EIO;
			zvapi_error(ZVAPI_MSG_ERROR, rc,
			            "error: get_param: write to stdout");
			break;
		}
	}
	return rc;
}
