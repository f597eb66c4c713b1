/* Version, target and pool search, removal by FID, directory entry and
 * foreign object removal, file-system and client names, and the library
 * constructor. */
#include "zorvelapi_internal.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/time.h>

bool libzorvelapi_initialized;

namespace
{

constexpr size_t text_buf = 4096;
constexpr const char *clilov = "-clilov-";

/* The file a target search reads: the pool's member list or the
 * target_obd list; 0 or a negative errno value (also in errno). */
int search_file(const char *fsname, const char *poolname, bool is_mdt,
                const char *tgtname, std::string *file)
{
	zv::unique_glob paths;
	int rc;
	if (poolname != nullptr && poolname[0] != '\0') {
		rc = get_zorvel_param_path("lov", fsname, FILTER_BY_FS_NAME,
		                           "pools", paths.out());
		if (rc == 0) {
			paths.filled();
			char buf[text_buf - 1];
			snprintf(buf, sizeof(buf), "%s/%s", paths.first(),
			         poolname);
			*file = buf;
		}
	} else {
		if (tgtname == nullptr || tgtname[0] == '\0') {
			errno = EINVAL;
			return -EINVAL;
		}
		rc = get_zorvel_param_path(is_mdt ? "lmv" : "lov", fsname,
		                           FILTER_BY_FS_NAME, "target_obd",
		                           paths.out());
		if (rc == 0) {
			paths.filled();
			*file = std::string(paths.first())
			                .substr(0, text_buf - 1);
		}
	}
	if (rc != 0)
		errno = -rc;
	return rc;
}

/* Pool lines name a member; target lines are "<index>: <name> <state>". */
bool line_matches(const char *line, const char *tgtname, bool pool_mode)
{
	if (pool_mode) {
		if (tgtname == nullptr)
			return true;
		return strncmp(line, tgtname, strlen(tgtname)) == 0;
	}
	const char *blank = strchr(line, ' ');
	if (blank == nullptr)
		return false;
	return strncmp(blank + 1, tgtname, strlen(tgtname)) == 0;
}

} // namespace

ZV_EXPORT int zvapi_get_version_string(char *version, unsigned int version_size)
{
	if (version == nullptr || version_size == 0) {
		errno = EINVAL;
		return -1;
	}
	char buffer[text_buf] = "";
	int rc = get_zorvel_param_value(nullptr, nullptr, FILTER_BY_NONE,
	                                "version", buffer, sizeof(buffer));
	if (rc != 0) {
		errno = -rc;
		return -1;
	}
	char *text = buffer;
	char *tag = strstr(buffer, "zorvel:");
	if (tag != nullptr) {
		text = tag + strlen("zorvel:");
		while (*text == ' ' || *text == '\t')
			text++;
	}
	zvapi_chomp_string(text);
	if (text[0] == '\0') {
		errno = ENODATA;
		return -1;
	}
	if (size_t(snprintf(version, version_size, "%s", text)) >=
	    version_size) {
		errno = EOVERFLOW;
		return -1;
	}
	return 0;
}

ZV_EXPORT int zvapi_get_version(char *buffer, int buffer_size, char **version)
{
	static bool printed;
	if (!printed) {
		fprintf(stderr,
		        "%s deprecated, use zvapi_get_version_string()\n",
		        __func__);
		printed = true;
	}
	if (buffer_size < 0)
		return -EINVAL;
	if (zvapi_get_version_string(buffer, buffer_size) == -1)
		return -errno;
	*version = buffer;
	return 0;
}

ZV_EXPORT int zvapi_search_tgt(const char *fsname, const char *poolname,
                               const char *tgtname, bool is_mdt)
{
	if (fsname == nullptr || fsname[0] == '\0') {
		errno = EINVAL;
		return -EINVAL;
	}
	if (tgtname != nullptr && tgtname[0] == '\0')
		tgtname = nullptr;
	bool pool_mode = poolname != nullptr && poolname[0] != '\0';

	return zv::c_boundary(ENOMEM, [&] {
		std::string file;
		int rc = search_file(fsname, poolname, is_mdt, tgtname, &file);
		if (rc != 0)
			return rc;
		zv::unique_file f(fopen(file.c_str(), "re"));
		if (!f)
			return -errno;
		char line[text_buf];
		while (fgets(line, sizeof(line), f.get()) != nullptr)
			if (line_matches(line, tgtname, pool_mode))
				return 1;
		return 0;
	});
}

ZV_EXPORT int zvapi_search_mdt(const char *fsname, const char *poolname,
                               const char *mdtname)
{
	return zvapi_search_tgt(fsname, poolname, mdtname, true);
}

ZV_EXPORT int zvapi_search_ost(const char *fsname, const char *poolname,
                               const char *ostname)
{
	return zvapi_search_tgt(fsname, poolname, ostname, false);
}

ZV_EXPORT int zvapi_rmfid(const char *path, struct fid_array *fa)
{
	if (path == nullptr || fa == nullptr)
		return -EINVAL;
	zv::unique_fd fd(
	        open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
	if (!fd.valid()) {
		if (errno != ENOENT)
			return -errno;
		char root[PATH_MAX];
		int rc = zvapi_search_rootpath(root, path);
		if (rc != 0)
			return rc;
		fd.reset(open(root,
		              O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
		if (!fd.valid())
			return -errno;
	}
	if (ioctl(fd.get(), ZV_IOC_RMFID, fa) != 0)
		return -errno;
	return 0;
}

ZV_EXPORT int zvapi_direntry_remove(char *dname)
{
	if (dname == nullptr)
		return -EINVAL;
	zv::unique_malloc<char> name_copy(strdup(dname));
	zv::unique_malloc<char> dir_copy(strdup(dname));
	if (!name_copy || !dir_copy)
		return -ENOMEM;
	const char *name = basename(name_copy.get());
	const char *dir = dirname(dir_copy.get());

	zv::unique_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	if (!fd.valid()) {
		int rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, rc, "unable to open '%s'", name);
		return rc;
	}
	if (ioctl(fd.get(), ZV_IOC_REMOVE_ENTRY, name) != 0) {
		/* Reported and returned: a silent 0 would hide the failure. */
		int err = errno;
		zvapi_error(ZVAPI_MSG_ERROR, err,
		            "error on ioctl %#lx for '%s' (%d)",
		            (unsigned long)ZV_IOC_REMOVE_ENTRY, name, fd.get());
		return -err;
	}
	return 0;
}

ZV_EXPORT int zvapi_unlink_foreign(char *name)
{
	if (name == nullptr)
		return -EINVAL;
	zv::unique_fd fd(
	        open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
	if (!fd.valid() && errno == ENOTDIR)
		fd.reset(open(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
	if (!fd.valid()) {
		int rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, rc, "unable to open '%s'", name);
		return rc;
	}
	if (ioctl(fd.get(), ZV_IOC_FOREIGN_UNLINK_PREP) != 0)
		zvapi_error(ZVAPI_MSG_ERROR, errno,
		            "error on ioctl %#lx for '%s' (%d)",
		            (unsigned long)ZV_IOC_FOREIGN_UNLINK_PREP, name,
		            fd.get());
	int rc = unlinkat(AT_FDCWD, name, 0);
	if (rc != 0 && errno == EISDIR)
		rc = unlinkat(AT_FDCWD, name, AT_REMOVEDIR);
	if (rc != 0) {
		rc = -errno;
		zvapi_error(ZVAPI_MSG_ERROR, -rc,
		            "error on unlinkat for '%s' (%d)", name, fd.get());
	}
	return rc;
}

ZV_EXPORT int zvapi_get_fsname_instance(const char *path, char *fsname,
                                        size_t fsname_len, char *instance,
                                        size_t instance_len)
{
	struct obd_uuid uuid = {};
	int rc = zvapi_file_get_lov_uuid(path, &uuid);
	if (rc != 0)
		return rc;
	char *sep = strstr(uuid.uuid, clilov);
	if (sep == nullptr || (fsname == nullptr && instance == nullptr)) {
		errno = EINVAL;
		return -EINVAL;
	}
	*sep = '\0';
	rc = 0;
	if (instance != nullptr &&
	    size_t(snprintf(instance, instance_len, "%s",
	                    sep + strlen(clilov))) >= instance_len)
		rc = -ENAMETOOLONG;
	if (fsname != nullptr && size_t(snprintf(fsname, fsname_len, "%s",
	                                         uuid.uuid)) >= fsname_len) {
		errno = ENAMETOOLONG;
		return -ENAMETOOLONG;
	}
	errno = -rc;
	return rc;
}

ZV_EXPORT int zvapi_get_fsname(const char *path, char *fsname,
                               size_t fsname_len)
{
	return zvapi_get_fsname_instance(path, fsname, fsname_len, nullptr, 0);
}

ZV_EXPORT int zvapi_get_instance(const char *path, char *instance,
                                 size_t instance_len)
{
	return zvapi_get_fsname_instance(path, nullptr, 0, instance,
	                                 instance_len);
}

ZV_EXPORT int zvapi_getname(const char *path, char *name, size_t namelen)
{
	char fsname[16], instance[40];
	int rc = zvapi_get_fsname_instance(path, fsname, sizeof(fsname),
	                                   instance, sizeof(instance));
	if (rc != 0)
		return rc;
	if (size_t(snprintf(name, namelen, "%s-%s", fsname, instance)) >=
	    namelen) {
		errno = ENAMETOOLONG;
		return -ENAMETOOLONG;
	}
	return 0;
}

/* Seeds the process's random generator, which volatile-file names draw
 * from, when the library is loaded. */
__attribute__((constructor)) static void libzorvelapi_init(void)
{
	unsigned int seed = syscall(SYS_gettid);
	struct timeval tv;
	if (gettimeofday(&tv, nullptr) == 0)
		seed = unsigned(tv.tv_usec) ^ unsigned(tv.tv_sec) ^ seed;
	zv::unique_fd fd(
	        open("/dev/urandom", O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
	if (fd.valid()) {
		unsigned int word = 0;
		ssize_t n = read(fd.get(), &word, sizeof(word));
		/* A failed read adds nothing rather than stale bytes. */
		if (n > 0)
			seed ^= word ^ unsigned(n);
	}
	srandom(seed);
	libzorvelapi_initialized = true;
}
