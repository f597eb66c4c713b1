/* Parameter path lookup over the kernel's parameter trees. */
#include <libkfx/util/param.h>

#include "kfx_internal.h"

#include <zv/high_fd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mntent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>

namespace
{

constexpr size_t param_buf = 4096;
constexpr long debugfs_magic = 0x64626720;
constexpr const char *debugfs_dir = "/sys/kernel/debug";
constexpr const char *mtab = "/etc/mtab";

/* Set before the check so that it runs once per process, whatever its
 * outcome. */
char test_mounted;

/* Records a mount of ours in the mount table when it is a real file. */
void record_debugfs_mount()
{
	struct stat st;
	if (lstat(mtab, &st) != 0 || S_ISLNK(st.st_mode))
		return;
	FILE *table = zv::high_stream(setmntent(mtab, "r+"), "r+");
	if (table == nullptr) {
		fprintf(stderr, "could not open %s: %s\n", mtab,
		        strerror(errno));
		return;
	}
	struct mntent ent = {};
	ent.mnt_fsname = const_cast<char *>("debugfs");
	ent.mnt_dir = const_cast<char *>(debugfs_dir);
	ent.mnt_type = const_cast<char *>("debugfs");
	ent.mnt_opts = const_cast<char *>("rw,relatime");
	if (addmntent(table, &ent) != 0)
		fprintf(stderr, "failed to add debugfs to %s: %s\n", mtab,
		        strerror(errno));
	endmntent(table);
}

void check_debugfs()
{
	if (test_mounted)
		return;
	test_mounted = 1;

	struct statfs st;
	if (statfs("/sys/kernel/debug/", &st) == 0 &&
	    st.f_type == debugfs_magic)
		return;
	if (mount("none", debugfs_dir, "debugfs", 0, "") != 0) {
		if (errno != EPERM && errno != EBUSY)
			fprintf(stderr, "Warning: failed to mount debug: %s\n",
			        strerror(errno));
		return;
	}
	record_debugfs_mount();
}

} // namespace

KFX_EXPORT int kfx_get_param_paths(glob_t *paths, const char *pattern, ...)
{
	check_debugfs();

	char buf[param_buf];
	va_list args;
	va_start(args, pattern);
	int len = vsnprintf(buf, sizeof(buf), pattern, args);
	va_end(args);
	if (len < 0)
		return len;
	if (size_t(len) >= sizeof(buf)) {
		errno = EINVAL;
		return -1;
	}

	char path[param_buf];
	len = snprintf(path, sizeof(path), "%s/%s", KFX_PARAM_TOPDIR, buf);
	if (len < 0 || size_t(len) >= sizeof(path)) {
		errno = E2BIG;
		return -1;
	}

	int rc = glob(path, GLOB_BRACE, nullptr, paths);
	switch (rc) {
	case 0:
		return 0;
	case GLOB_NOSPACE:
		errno = ENOMEM;
		break;
	case GLOB_ABORTED:
		errno = ENODEV;
		break;
	default:
		errno = ENOENT;
	}
	return -1;
}
