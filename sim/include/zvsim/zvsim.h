/*
 * Steering interface of the simulated kernel client.
 *
 * All state lives in one state directory, so a test and the programs it
 * starts share one simulated file system. The directory is named by the
 * environment variable ZVSIM_STATE; zvsim_setup() sets it for the calling
 * process and its children.
 *
 * Every call returns 0 (or a count) on success and a negative errno value on
 * failure, unless said otherwise.
 */
#ifndef ZVSIM_ZVSIM_H
#define ZVSIM_ZVSIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZVSIM_STATE_ENV "ZVSIM_STATE"
#define ZVSIM_MOUNT_ENV "ZVSIM_MOUNT"

/*
 * Request codes for the log and for injection. Kernel requests use their
 * ioctl code; calls that are not ioctls have codes of their own.
 */
#define ZVSIM_REQ_NAME_TO_HANDLE 0x5A560001UL /* name_to_handle_at */
#define ZVSIM_REQ_OPEN_BY_FID    0x5A560002UL /* open under .zorvel/fid */
#define ZVSIM_REQ_STATFS         0x5A560003UL /* statfs of the debugfs dir */
#define ZVSIM_REQ_MOUNT          0x5A560004UL /* mount on the debugfs dir */

/* Create a state directory (made if missing) holding one mount of file
 * system fsname with mdt_count metadata targets, and make it the current
 * simulation (sets ZVSIM_STATE and ZVSIM_MOUNT in the environment). An
 * existing state directory is attached to as it is. */
int zvsim_setup(const char *state_dir, const char *fsname, int mdt_count);

/* Forget the current simulation in this process (the directory stays) and
 * unset the environment variables. */
int zvsim_teardown(void);

/* Mount path of the current simulation, or NULL. */
const char *zvsim_mount_path(void);

/* Client instance text and file-system name of the current mount. */
const char *zvsim_instance(void);
const char *zvsim_fsname(void);

/* Make the next (always == 0) or every (always != 0) request with this code
 * fail with err (a positive errno value). */
int zvsim_inject_errno(unsigned long code, int err, int always);

/* Make the next reply of this request copy len bytes over the start of the
 * caller's argument (clipped to what the request says the argument holds)
 * and return result. */
int zvsim_inject_reply(unsigned long code, const void *bytes, size_t len,
                       int result);

/* Drop every pending injection. */
int zvsim_clear_injections(void);

/* The code of a request by its name ("FID2PATH" or "ZV_IOC_FID2PATH",
 * "OPEN_BY_FID", "CHLG_CLEAR"...; any case): 0, or -ENOENT for a name no
 * request has. */
int zvsim_request_code(const char *name, unsigned long *code);

/* One request received: its code, the size encoded in it, and the argument
 * bytes the kernel read on entry. */
struct zvsim_request {
	unsigned long code;
	size_t size;
	size_t nbytes;
	unsigned char *bytes; /* malloc'd; freed by zvsim_log_free */
};

/* Turn the request log on (on != 0) or off for every process of the
 * simulation. It starts off: a request then costs no system call beyond
 * what the simulated kernel does for it. */
int zvsim_log_enable(int on);

/* Read the log of requests received while it was on, since the last
 * clear. */
int zvsim_log_read(struct zvsim_request **reqs, size_t *count);
void zvsim_log_free(struct zvsim_request *reqs, size_t count);
int zvsim_log_clear(void);

/* As zvsim_setup, also choosing the number of storage targets (0: the
 * default, 2). */
int zvsim_setup_ex(const char *state_dir, const char *fsname, int mdt_count,
                   int ost_count);

/* Make an existing state directory the current simulation; -ENOENT when it
 * holds none. */
int zvsim_attach(const char *state_dir);

/* Real path of the current state directory, or NULL. */
const char *zvsim_state_dir(void);

/* Target counts of the current simulation (-ENOENT without one). */
int zvsim_mdt_count(void);
int zvsim_ost_count(void);

/*
 * Parameter trees. Paths are kernel paths under one of the eight trees
 * /sys/fs/{varn,zorvel}, /sys/kernel/debug/{varn,zorvel},
 * /proc/fs/{varn,zorvel} and /proc/sys/{varn,zorvel}; anything else is
 * -EINVAL. Missing directories are created.
 */
/* Set a parameter file's whole content. */
int zvsim_param_set(const char *kernel_path, const void *data, size_t len);
/* Remove a parameter file or a whole directory of them. */
int zvsim_param_remove(const char *kernel_path);
/* Make a directory (and its parents); an existing one is fine. */
int zvsim_param_mkdir(const char *kernel_path);
/* Copy up to len bytes of a parameter file into buf; the result is the
 * file's full size (larger than len when it did not fit). */
int zvsim_param_get(const char *kernel_path, void *buf, size_t len);
/* Create or replace pool `pool` of the client's striping device: one member
 * a line, in the given order (n == 0: an empty pool). */
int zvsim_pool_set(const char *pool, const char *const *members, size_t n);

/* The debug file system at /sys/kernel/debug. mounted != 0: statfs reports
 * it and a mount answers EBUSY. mounted == 0: statfs reports an empty sysfs
 * directory, the debug trees are hidden, and a mount fails with mount_errno
 * or, when it is 0, succeeds and mounts it. */
int zvsim_debugfs(int mounted, int mount_errno);

/* What /etc/mtab is for lstat, stat and setmntent in update modes. */
#define ZVSIM_MTAB_NONE    0 /* absent */
#define ZVSIM_MTAB_REGULAR 1 /* a regular file listing the mount */
#define ZVSIM_MTAB_SYMLINK 2 /* a link to the state's mount list (default) */
int zvsim_mtab(int kind);
/* Real path that stands for /etc/mtab, or NULL without a simulation. */
const char *zvsim_mtab_path(void);

/*
 * Change logs, one per metadata target; targets are named
 * "<fsname>-MDT<index as 4 lowercase hex digits>" (-ENOENT for any other
 * name). Records are produced only while the log has a user.
 */
#define ZVSIM_REQ_CHLG_CLEAR 0x5A560005UL /* write to a change-log device */

/* Register a log user; its name ("cl1", "cl2"...) is copied NUL-terminated
 * into user (-EOVERFLOW when len is too small: the user stays
 * registered). -ENOSPC beyond 32 users. */
int zvsim_changelog_register(const char *target, char *user, size_t len);
/* Remove a log user (-ENOENT when unknown); records every remaining user
 * has cleared, all of them when none remains, are dropped. */
int zvsim_changelog_deregister(const char *target, const char *user);
/* The users as text, one "<user> <last cleared index>\n" each in
 * registration order; copies up to len bytes and returns the full size. */
int zvsim_changelog_users(const char *target, char *buf, size_t len);
/* Record types the log keeps: bit (1 << type); default all. */
int zvsim_changelog_mask(const char *target, uint32_t types);
/* Format bits (CLF_*) and extension bits (CLFE_*) of produced records;
 * default all of both. -EINVAL for unsupported bits. */
int zvsim_changelog_layout(const char *target, int crf_bits, int cref_bits);
/* Append len bytes (1 to 1 MiB) as they stand: a read serves them as one
 * record, whole, whatever their header says. */
int zvsim_changelog_append(const char *target, const void *bytes, size_t len);

/*
 * Layouts stored as raw records: bytes (len 0 to 65536) become the "lov"
 * (file striping, or a directory's default) or "lmv" (a directory's own
 * layout) record of the object at path, replacing what it had; the layout
 * requests and the attributes "zorvel.lov" and "trusted.lmv" answer them
 * as they stand, byte for byte. -EXDEV for a path outside the mount,
 * -ENOTDIR for "lmv" on a non-directory.
 */
#define ZVSIM_REQ_GETXATTR  0x5A560010UL /* a layout attribute read */
#define ZVSIM_REQ_LISTXATTR 0x5A560011UL /* attributes listed */
int zvsim_layout_store(const char *path, const char *which, const void *bytes,
                       size_t len);

/*
 * Further mounts of the file system: path (absolute, not existing, or a
 * link made by an earlier call) becomes a symbolic link to the mount, so it
 * names the same objects; it is listed in the mount table after the mount.
 * -EEXIST when something else is there.
 */
int zvsim_mount_add(const char *path);
/* The further mounts, one a line: copies up to len bytes and returns the
 * full size. */
int zvsim_mounts(char *buf, size_t len);
/* Removes every further mount (the links) and empties the list. */
int zvsim_mounts_remove(void);

/* Writes the drop-caches stand-in took (/proc/sys/vm/drop_caches opened
 * under a simulation), or -ENOENT without one. */
long long zvsim_drop_caches_count(void);

/*
 * Mirrored files. Mirror 1 is the file itself; ordinary I/O reaches it
 * alone and marks the others stale. A mirror selected on a descriptor
 * (ZV_IOC_MIRROR_SET) takes that descriptor's I/O.
 */
/* Give the regular file at path (in the mount) n mirrors, 1 to 32: new
 * ones start empty and stale, dropped ones lose their data. */
int zvsim_mirror_count(const char *path, unsigned n);
/* The mirrors as text, a line each: "<id> <size> <stale 0|1> <data>", data
 * "<offset>+<length>,..." or "-" for none; copies up to len bytes and
 * returns the full size. */
int zvsim_mirror_list(const char *path, char *buf, size_t len);
/* Up to len bytes of mirror id at off into buf: the bytes read. */
int zvsim_mirror_read(const char *path, unsigned id, int64_t off, void *buf,
                      size_t len);

/* Make SEEK_DATA on the selected mirrors 2 and up of the file at path fail
 * with err (a positive errno value; 0: work again). */
int zvsim_mirror_fail_data_seek(const char *path, int err);

/* What the simulated kernel answers in zla_value3 of each lock-ahead
 * advice. */
#define ZVSIM_LOCKAHEAD_GRANTED 1

/* Nodemaps: directories /proc/fs/zorvel/nodemap/<name> (1 to 64 letters,
 * digits, '_', '-' or '.'). -EEXIST, -ENOENT. */
int zvsim_nodemap_add(const char *name);
int zvsim_nodemap_remove(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* ZVSIM_ZVSIM_H */
