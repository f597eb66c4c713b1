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

/* One request received: its code, the size encoded in it, and the argument
 * bytes the kernel read on entry. */
struct zvsim_request {
	unsigned long code;
	size_t size;
	size_t nbytes;
	unsigned char *bytes; /* malloc'd; freed by zvsim_log_free */
};

/* Read the log of requests received since setup or the last clear. */
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

#ifdef __cplusplus
}
#endif

#endif /* ZVSIM_ZVSIM_H */
