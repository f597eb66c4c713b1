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
//   zvsim_probe in-place         opens and stats the text at the end of
//                                its data segment, with process_vm_readv
//                                forbidden (the process killed if called):
//                                "ok", or "aligned" when that end is a
//                                page's
#include "zvtest/file_handle.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <link.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <mntent.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

// The end of the program's writable segment: its last page is mapped
// whole and zeroed past it.
static const char *data_end()
{
	const char *end = nullptr;
	dl_iterate_phdr(
	        [](struct dl_phdr_info *info, size_t, void *out) {
		        for (int i = 0; i < info->dlpi_phnum; ++i) {
			        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
			        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W))
				        *static_cast<const char **>(out) =
				                reinterpret_cast<const char *>(
				                        info->dlpi_addr +
				                        ph.p_vaddr +
				                        ph.p_memsz);
		        }
		        return 1; // the program comes first
	        },
	        &end);
	return end;
}

// From now on a read of this process's memory through the kernel kills
// it.
static bool forbid_process_vm_readv()
{
	struct sock_filter f[] = {
	        BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
	                 offsetof(struct seccomp_data, nr)),
	        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_process_vm_readv, 0, 1),
	        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
	        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	struct sock_fprog prog = {sizeof f / sizeof f[0], f};
	return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
	       prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
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
	if (argc == 2 && strcmp(argv[1], "in-place") == 0) {
		const char *end = data_end();
		if (!end || reinterpret_cast<uintptr_t>(end) % 4096 == 0) {
			printf("aligned\n");
			return 0;
		}
		if (!forbid_process_vm_readv())
			return fail(errno);
		struct stat st;
		int fd = open(end - 1, O_RDONLY);
		if (fd >= 0)
			close(fd);
		stat(end - 1, &st);
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
	fprintf(stderr,
	        "usage: %s fid|mounts|open|in-place|obdname|param|glob ...\n",
	        argv[0]);
	return 1;
}
