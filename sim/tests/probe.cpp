// A plain program run in child processes: it reaches the simulator only
// when zvsim run preloads it.
//   zvsim_probe fid PATH         FID text of PATH itself (a link unfollowed)
//   zvsim_probe mounts           the mount-table lines of type zorvel
//   zvsim_probe open PATH        opens PATH read-only: "ok" or the errno name
//   zvsim_probe obdname PATH     the client's striping-device name
//   zvsim_probe param PATH       a parameter file's content (fopen)
//   zvsim_probe glob PATTERN     brace-expanded matches, one a line
//   zvsim_probe exit-open PATH   opens PATH, then again from an exit
//                                handler registered before the first call
#include "zvtest/file_handle.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <mntent.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <linux/zorvel/zorvel_fid.h>
#include <linux/zorvel/zorvel_layout.h>

static const char *exit_path;

static void open_at_exit()
{
	int fd = open(exit_path, O_RDONLY);
	printf(fd < 0 ? "error at exit\n" : "ok at exit\n");
	if (fd >= 0)
		close(fd);
}

static int fail(int err)
{
	printf("error %s\n", strerrorname_np(err));
	return 2;
}

int main(int argc, char **argv)
{
	if (argc == 3 && strcmp(argv[1], "fid") == 0) {
		zvtest::file_handle_room h;
		if (h.take(AT_FDCWD, argv[2]) < 0)
			return fail(errno);
		if (h.fh.handle_type != FILEID_ZORVEL)
			return fail(EOPNOTSUPP);
		struct zo_fid fid = h.as<zo_fid>();
		printf(ZO_FID_FMT "\n", ZO_FID_ARGS(&fid));
		return 0;
	}
	if (argc == 2 && strcmp(argv[1], "mounts") == 0) {
		FILE *fp = setmntent("/proc/mounts", "r");
		if (!fp)
			return fail(errno);
		while (struct mntent *m = getmntent(fp))
			if (strcmp(m->mnt_type, "zorvel") == 0)
				printf("%s %s %s %s\n", m->mnt_fsname,
				       m->mnt_dir, m->mnt_type, m->mnt_opts);
		endmntent(fp);
		return 0;
	}
	bool exit_open = argc == 3 && strcmp(argv[1], "exit-open") == 0;
	if (exit_open) {
		exit_path = argv[2];
		atexit(open_at_exit);
	}
	if (exit_open || (argc == 3 && strcmp(argv[1], "open") == 0)) {
		int fd = open(argv[2], O_RDONLY);
		if (fd < 0)
			return fail(errno);
		close(fd);
		printf("ok\n");
		return 0;
	}
	if (argc == 3 && strcmp(argv[1], "obdname") == 0) {
		int fd = open(argv[2], O_RDONLY);
		char name[ZV_OBD_UUID_LEN];
		if (fd < 0)
			return fail(errno);
		int rc = ioctl(fd, ZV_IOC_GETOBDNAME, name);
		int err = errno;
		close(fd);
		if (rc < 0)
			return fail(err);
		printf("%s\n", name);
		return 0;
	}
	if (argc == 3 && strcmp(argv[1], "param") == 0) {
		FILE *fp = fopen(argv[2], "re");
		if (!fp)
			return fail(errno);
		char buf[4096];
		size_t n;
		while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
			fwrite(buf, 1, n, stdout);
		fclose(fp);
		return 0;
	}
	if (argc == 3 && strcmp(argv[1], "glob") == 0) {
		glob_t g;
		int rc = glob(argv[2], GLOB_BRACE, nullptr, &g);
		if (rc != 0) {
			printf("glob %d\n", rc);
			return 2;
		}
		for (size_t i = 0; i < g.gl_pathc; ++i)
			printf("%s\n", g.gl_pathv[i]);
		globfree(&g);
		return 0;
	}
	fprintf(stderr, "usage: %s fid|mounts|open|obdname|param|glob ...\n",
	        argv[0]);
	return 1;
}
