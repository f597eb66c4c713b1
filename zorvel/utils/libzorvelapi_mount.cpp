/* Mount lookup through the mount table, the names of a mount (file system
 * and client instance), and small text helpers. */
#include "zorvelapi_internal.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mntent.h>
#include <string_view>

namespace
{

constexpr const char *clilov = "-clilov-";

/* The kernel's view of the mounts; every other table derives from it. */
constexpr const char *mount_table = "/proc/mounts";

struct mntent_closer {
	void operator()(FILE *f) const
	{
		endmntent(f);
	}
};

/* "<nid>:/<fsname>[/subdir]" gives fsname. */
std::string fsname_of_source(std::string_view source)
{
	size_t pos = source.rfind(":/");
	std::string_view name =
	        pos == std::string_view::npos ? source : source.substr(pos + 2);
	size_t slash = name.find('/');
	if (slash != std::string_view::npos)
		name = name.substr(0, slash);
	return std::string(name);
}

/* Length of the mount point dir if it holds path, else 0. */
size_t holds_path(std::string_view dir, std::string_view path)
{
	while (dir.size() > 1 && dir.back() == '/')
		dir.remove_suffix(1);
	if (dir == "/")
		return path.starts_with('/') ? 1 : 0;
	if (!path.starts_with(dir))
		return 0;
	if (path.size() == dir.size() || path[dir.size()] == '/')
		return dir.size();
	return 0;
}

/* Absolute form of path without resolving links; "" when that fails. */
std::string absolute_path(const char *path)
{
	if (path[0] == '/')
		return path;
	char cwd[PATH_MAX];
	if (getcwd(cwd, sizeof(cwd)) == nullptr)
		return {};
	std::string abs(cwd);
	if (abs.back() != '/')
		abs += '/';
	abs += path;
	return abs;
}

/* Path with its links resolved, even when the last component is missing. */
std::string resolved_path(const char *path)
{
	char buf[PATH_MAX];
	if (realpath(path, buf) != nullptr)
		return buf;
	std::string p(path);
	size_t slash = p.find_last_of('/');
	if (slash == std::string::npos)
		return {};
	std::string dir = slash == 0 ? "/" : p.substr(0, slash);
	if (realpath(dir.c_str(), buf) == nullptr)
		return {};
	std::string out(buf);
	if (out.back() != '/')
		out += '/';
	return out + p.substr(slash + 1);
}

/* Scans the table for the best mount of this file system. */
int scan_mounts(const std::string &path, const char *fsname, int index,
                zv::mount_entry *out)
{
	std::unique_ptr<FILE, mntent_closer> table(
	        zv::high_stream(setmntent(mount_table, "r"), "r"));
	if (!table)
		return -errno ? -errno : -ENOENT;

	size_t best = 0;
	int seen = 0;
	bool found = false;
	struct mntent ent;
	char buf[3 * PATH_MAX];
	while (getmntent_r(table.get(), &ent, buf, sizeof(buf)) != nullptr) {
		if (!zvapi_is_zorvel_mnttype(ent.mnt_type))
			continue;
		std::string name = fsname_of_source(ent.mnt_fsname);
		bool match;
		size_t score = 1;
		if (index > 0) {
			match = ++seen == index;
		} else if (fsname != nullptr && fsname[0] != '\0') {
			match = name == fsname;
		} else {
			score = holds_path(ent.mnt_dir, path);
			match = score > best;
		}
		if (!match)
			continue;
		best = score;
		found = true;
		out->dir = ent.mnt_dir;
		out->fsname = std::move(name);
		out->source = ent.mnt_fsname;
		/* The first mount of a name, or the n-th, settles it. */
		if (index > 0 || (fsname != nullptr && fsname[0] != '\0'))
			break;
	}
	return found ? 0 : -ENODEV;
}

} // namespace

namespace zv
{

int find_mount(const char *path, const char *fsname, int index,
               mount_entry *out) noexcept
{
	/* Strings of paths: only their length can fail them otherwise. */
	return c_boundary(ENAMETOOLONG, [&] {
		bool by_name = fsname != nullptr && fsname[0] != '\0';
		if (!by_name && index <= 0 &&
		    (path == nullptr || path[0] == '\0'))
			return -EINVAL;
		if (by_name || index > 0)
			return scan_mounts({}, fsname, index, out);

		std::string abs = absolute_path(path);
		int rc = abs.empty() ? -ENODEV
		                     : scan_mounts(abs, nullptr, index, out);
		if (rc != -ENODEV)
			return rc;
		/* The path may reach the mount through a symbolic link. */
		std::string real =
		        resolved_path(abs.empty() ? path : abs.c_str());
		if (real.empty() || real == abs)
			return rc;
		return scan_mounts(real, nullptr, index, out);
	});
}

} // namespace zv

int get_root_path(int want, char *fsname, int *outfd, char *path, int index)
{
	zv::mount_entry mnt;
	bool by_name = fsname != nullptr && fsname[0] != '\0';
	int rc = zv::find_mount(by_name ? nullptr : path,
	                        by_name ? fsname : nullptr, index, &mnt);
	if (rc != 0)
		return rc;

	if ((want & WANT_PATH) && by_name && path != nullptr)
		snprintf(path, PATH_MAX, "%s", mnt.dir.c_str());
	if ((want & WANT_FSNAME) && !by_name && fsname != nullptr)
		snprintf(fsname, PATH_MAX, "%s", mnt.fsname.c_str());
	if (want & WANT_FD) {
		int fd = zv::open_high(mnt.dir.c_str(), O_RDONLY | O_DIRECTORY |
		                                                O_NONBLOCK |
		                                                O_CLOEXEC);
		if (fd < 0)
			return -errno;
		*outfd = fd;
	}
	return 0;
}

ZV_EXPORT int zvapi_search_mounts(const char *path, int index, char *mntdir,
                                  char *fsname)
{
	if (mntdir == nullptr)
		return -EINVAL;
	zv::mount_entry mnt;
	int rc = zv::find_mount(path, nullptr, index, &mnt);
	if (rc != 0)
		return rc;
	if (mnt.dir.size() >= PATH_MAX)
		return -ENAMETOOLONG;
	snprintf(mntdir, PATH_MAX, "%s", mnt.dir.c_str());
	if (fsname != nullptr)
		snprintf(fsname, PATH_MAX, "%s", mnt.fsname.c_str());
	return 0;
}

ZV_EXPORT int zvapi_search_fsname(const char *path, char *fsname)
{
	if (fsname == nullptr)
		return -EINVAL;
	zv::mount_entry mnt;
	int rc = zv::find_mount(path, nullptr, 0, &mnt);
	if (rc != 0)
		return rc;
	snprintf(fsname, PATH_MAX, "%s", mnt.fsname.c_str());
	return 0;
}

ZV_EXPORT int zvapi_search_rootpath(char *rootpath, const char *fsname)
{
	if (rootpath == nullptr || fsname == nullptr || fsname[0] == '\0')
		return -EINVAL;
	zv::mount_entry mnt;
	int rc = zv::find_mount(nullptr, fsname, 0, &mnt);
	if (rc != 0)
		return rc;
	if (mnt.dir.size() >= PATH_MAX)
		return -ENAMETOOLONG;
	snprintf(rootpath, PATH_MAX, "%s", mnt.dir.c_str());
	return 0;
}

ZV_EXPORT int zvapi_is_zorvel_mnttype(const char *text)
{
	return text != nullptr && strcmp(text, ZV_MNTTYPE) == 0;
}

ZV_EXPORT void zvapi_chomp_string(char *text)
{
	if (text == nullptr)
		return;
	size_t len = strlen(text);
	if (len > 0 && text[len - 1] == '\n')
		text[--len] = '\0';
	if (len > 0 && text[len - 1] == '\r')
		text[--len] = '\0';
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
