/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Client API of the zorvel file system.
 *
 * Conventions, for every function below unless its comment says otherwise:
 * - the result is 0, or a non-negative count, descriptor, index or offset,
 *   on success, and a negative errno value on failure. The exceptions,
 *   each explained in its comment:
 *   . -1 with errno set: zvapi_get_version_string(), zvapi_ladvise(),
 *     libkfx_ukuc_stop(), get_zorvel_param_value() (for a read error),
 *     and for a refused detach zvapi_pcc_detach_fd(),
 *     zvapi_pcc_detach_file(), zvapi_pcc_detach_fid() and
 *     zvapi_pcc_detach_fid_str();
 *   . non-zero with errno set: zvapi_file_get_stripe();
 *   . an answer of 1 or 0: zvapi_search_tgt(), zvapi_search_mdt() and
 *     zvapi_search_ost() (or a negative errno value),
 *     zvapi_changelog_in_buf(), zvapi_nodemap_exists() (0 for yes),
 *     zvapi_is_zorvel_mnttype() (non-zero for yes), and the bool
 *     functions zvapi_file_is_sparse() and zvapi_mirror_is_sparse();
 *   . 1 at the end of the log: zvapi_changelog_recv();
 *   . 0 even when the removal fails: zvapi_direntry_remove();
 *   . no result: the void functions;
 * - failures are reported through zvapi_error() (to standard error, at or
 *   below the level set with zvapi_msg_set_level());
 * - the caller supplies output buffers with their sizes; descriptors opened
 *   inside a call are closed before it returns, except the descriptors that
 *   a call hands out, which the caller closes;
 * - no descriptor a call opens takes the number 0, 1 or 2, even while the
 *   caller has a standard stream closed; those handed out carry the flags
 *   the caller asked for and no others.
 * No function throws, starts a thread or takes a lock.
 */
#ifndef ZORVEL_ZORVELAPI_H
#define ZORVEL_ZORVELAPI_H

#include <glob.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <linux/zorvel/zorvel_advice.h>
#include <linux/zorvel/zorvel_changelog.h>
#include <linux/zorvel/zorvel_fid.h>
#include <linux/zorvel/zorvel_heat.h>
#include <linux/zorvel/zorvel_kernelcomm.h>
#include <linux/zorvel/zorvel_layout.h>
#include <linux/zorvel/zorvel_lease.h>
#include <linux/zorvel/zorvel_mirror.h>
#include <linux/zorvel/zorvel_pcc.h>
#include <linux/zorvel/zorvel_swap.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Messages ---------------------------------------------------------- */

enum zvapi_message_level {
	ZVAPI_MSG_OFF = 0,
	ZVAPI_MSG_FATAL = 1,
	ZVAPI_MSG_ERROR = 2,
	ZVAPI_MSG_WARN = 3,
	ZVAPI_MSG_NORMAL = 4,
	ZVAPI_MSG_INFO = 5,
	ZVAPI_MSG_DEBUG = 6,
	ZVAPI_MSG_MAX = 7
};

/* OR'd into a level: the message carries no error number. */
#define ZVAPI_MSG_NO_ERRNO 0x10
#define ZVAPI_MSG_MASK     0x0f

/* Writes "<program>: <message>" to standard error, followed by
 * ": <error text> (<errno>)" when errcode is non-zero and the level lacks
 * ZVAPI_MSG_NO_ERRNO. errcode may be a negative or positive errno value.
 * Nothing is written above the current level. errno is preserved. */
void zvapi_error(int level, int errcode, const char *fmt, ...)
        __attribute__((format(printf, 3, 4)));

/* Sets the most verbose level written (default ZVAPI_MSG_INFO); returns
 * the previous one. Out-of-range levels are clamped. */
int zvapi_msg_set_level(int level);
int zvapi_msg_get_level(void);

/* ---- Mounts and names -------------------------------------------------- */

/* Mount point of the zorvel mount holding path (index 0), into mntdir
 * (PATH_MAX bytes); with index > 0, the index-th zorvel mount in table
 * order. fsname, when not NULL, receives the file-system name
 * (PATH_MAX bytes). -ENODEV when nothing matches. */
int zvapi_search_mounts(const char *path, int index, char *mntdir,
                        char *fsname);

/* File-system name of the mount holding path, into fsname (PATH_MAX). */
int zvapi_search_fsname(const char *path, char *fsname);

/* Root directory of the mount of file system fsname, into rootpath
 * (PATH_MAX bytes). */
int zvapi_search_rootpath(char *rootpath, const char *fsname);

/* Client striping-device identifier of path's mount:
 * "<fsname>-clilov-<instance>". */
int zvapi_file_get_lov_uuid(const char *path, struct obd_uuid *lov_uuid);

/* Removes the trailing line end of text in place. */
void zvapi_chomp_string(char *text);

/* Non-zero when text names this file system's mount type. */
int zvapi_is_zorvel_mnttype(const char *text);

/* ---- Striping ---------------------------------------------------------- */

/* Striping request; read-only for the library, owned by the caller. */
struct zvapi_stripe_param {
	unsigned long long zsp_stripe_size; /* bytes; 0 for the default */
	char *zsp_pool;                     /* pool name, or NULL */
	int zsp_stripe_offset;              /* first target; -1 for any */
	int zsp_stripe_pattern;             /* 0 for the default */
	int zsp_stripe_count;               /* 0 default, -1 all targets */
	bool zsp_is_specific;               /* zsp_osts names the targets */
	bool zsp_is_create;
	uint8_t zsp_max_inherit;
	uint8_t zsp_max_inherit_rr;
	uint32_t zsp_osts[]; /* zsp_stripe_count entries */
};
typedef struct zvapi_stripe_param zvapi_stripe_param;

/* Creates path with the given striping and returns its open descriptor;
 * -EEXIST when the name exists. With O_EXCL in flags the file is this
 * call's own, and a failure after its creation removes it again. */
int zvapi_file_open_param(const char *path, int flags, mode_t mode,
                          const struct zvapi_stripe_param *param);

/* Creates directory name with a foreign layout of the given type, flags
 * and value text; >= 0 on success. */
int zvapi_dir_create_foreign(const char *name, mode_t mode, uint32_t type,
                             uint32_t flags, const char *value);

/* Reads the striping record of path into lum, which must hold
 * ZV_LAYOUT_MAX_SIZE (48048) bytes. On failure the result is non-zero and
 * errno is set. */
int zvapi_file_get_stripe(const char *path, struct zv_layout_v1 *lum);

/* ---- File identifiers -------------------------------------------------- */

/* Parses "[seq:oid:ver]" (brackets optional, numbers in any C base).
 * Sets errno to the positive value of the result; *endptr, when endptr is
 * not NULL, receives where parsing stopped. -EINVAL or -ERANGE. */
int zvapi_fid_parse(const char *fidstr, struct zo_fid *fid, char **endptr);

/* Path of one hard link of the object named by fidstr, relative to the
 * mount's root and without a leading '/' ("dir/file"); the root itself
 * answers "/". path_or_device is a path in the mount (starting with '/')
 * or a file-system name. recno and linkno, when not NULL, are read and
 * written back so that repeated calls walk every hard link. */
int zvapi_fid2path(const char *path_or_device, const char *fidstr, char *path,
                   int pathlen, long long *recno, int *linkno);

/* The same on an open descriptor of the mount's root directory. */
int zvapi_fid2path_at(int mnt_fd, const struct zo_fid *fid, char *path_buf,
                      int path_buf_size, long long *recno, int *linkno);

/* Index of the metadata target holding fid (also in *mdt_index when not
 * NULL); fd is any open descriptor in the file system. */
int zvapi_get_mdt_index_by_fid(int fd, const struct zo_fid *fid,
                               int *mdt_index);

/* FID of an open descriptor, or of path itself (a symbolic link's own).
 * -ENOTTY or -EOPNOTSUPP for objects of other file systems. */
int zvapi_fd2fid(int fd, struct zo_fid *fid);
int zvapi_path2fid(const char *path, struct zo_fid *fid);

/* Parent FID and entry name of hard link linkno. parent_fid and name may
 * each be NULL; a name buffer below 2 bytes is -EOVERFLOW. */
int zvapi_fd2parent(int fd, unsigned int linkno, struct zo_fid *parent_fid,
                    char *name, size_t name_size);
int zvapi_path2parent(const char *path, unsigned int linkno,
                      struct zo_fid *parent_fid, char *name, size_t name_size);

/* Opens the object fid of the file system holding zorvel_dir with open
 * flags; returns the descriptor, which the caller closes. */
int zvapi_open_by_fid(const char *zorvel_dir, const struct zo_fid *fid,
                      int flags);

/* ---- Version, targets and names --------------------------------------- */

/* Version of the running kernel client into version (version_size bytes).
 * 0, or -1 with errno set (ENODATA: empty, EOVERFLOW: does not fit). */
int zvapi_get_version_string(char *version, unsigned int version_size);

/* Deprecated: the version into buffer, with *version pointing at it. */
int zvapi_get_version(char *buffer, int buffer_size, char **version);

/* 1 when target tgtname (or, with poolname, a member of that pool; the
 * first member when tgtname is NULL or empty) belongs to file system
 * fsname, 0 when not, or a negative errno value. */
int zvapi_search_tgt(const char *fsname, const char *poolname,
                     const char *tgtname, bool is_mdt);
int zvapi_search_mdt(const char *fsname, const char *poolname,
                     const char *mdtname);
int zvapi_search_ost(const char *fsname, const char *poolname,
                     const char *ostname);

/* Removes the objects named in fa; path is a path in the file system or
 * its name. What the kernel writes back into fa is the caller's to read. */
int zvapi_rmfid(const char *path, struct fid_array *fa);

/* Removes directory entry dname without looking at its object. 0 even when
 * the kernel refuses the removal, which is only reported. */
int zvapi_direntry_remove(char *dname);

/* Removes a foreign file or directory. */
int zvapi_unlink_foreign(char *name);

/* File-system name and client instance of path's mount; either buffer may
 * be NULL (not both). -ENAMETOOLONG when a text does not fit. errno is
 * set to the positive value of the result. */
int zvapi_get_fsname_instance(const char *path, char *fsname, size_t fsname_len,
                              char *instance, size_t instance_len);
int zvapi_get_fsname(const char *path, char *fsname, size_t fsname_len);
int zvapi_get_instance(const char *path, char *instance, size_t instance_len);

/* Client name "<fsname>-<instance>" of path's mount. */
int zvapi_getname(const char *path, char *name, size_t namelen);

/* ---- Change logs ------------------------------------------------------- */

/* Opens the log of metadata target device, a target name such as
 * "demo-MDT0000", at record startrec (0: the start) into a new handle
 * *priv, released with zvapi_changelog_fini(). CHANGELOG_FLAG_FOLLOW
 * keeps reading at the end of the log and waits for new records (a
 * failed follow request only warns); CHANGELOG_FLAG_BLOCK is kept with
 * the flags and changes nothing in the reader. Without
 * CHANGELOG_FLAG_JOBID or CHANGELOG_FLAG_EXTRA_FLAGS the first start of
 * the process warns once each ("warning: zvapi_changelog_start() called
 * without CHANGELOG_FLAG_JOBID"), at ZVAPI_MSG_WARN. A log holds records
 * only while a log user is registered on the target. */
int zvapi_changelog_start(void **priv, enum changelog_send_flag flags,
                          const char *device, long long startrec);

/* Chooses the extra extensions of the records received; without
 * CHANGELOG_EXTRA_FLAG_UIDGID the first call of the process warns once
 * ("warning: zvapi_changelog_set_xflags() called without
 * CHANGELOG_EXTRA_FLAG_UIDGID"). */
int zvapi_changelog_set_xflags(void *priv,
                               enum changelog_send_extra_flag extra_flags);

/* The next record, in the layout asked for, into *rech (released with
 * zvapi_changelog_free()); 1 at the end of the log with *rech NULL.
 * -EPROTO for a malformed record from the kernel: one that is not whole
 * within the bytes read (the rest of that read is dropped) or too large
 * for CHLG_REC_MAXSIZE (it is skipped); the handle stays usable.
 * A failed read of the device is -errno, with *rech NULL and nothing
 * consumed: -EINTR when a signal handler interrupted it, -EAGAIN on a
 * non-blocking descriptor with nothing to read. The next call goes on
 * with the next record, none lost or repeated.
 *
 * The name is cr_namelen bytes. The record's buffer holds a NUL after it
 * whenever the record is shorter than CHLG_REC_MAXSIZE, but a name that
 * fills the buffer has none: print it as
 * printf("%.*s", (int)rec->cr_namelen, changelog_rec_name(rec)).
 *
 * Stopping a follower (CHANGELOG_FLAG_FOLLOW), which otherwise waits in
 * this call for the next record:
 * - install the stopping signal's handler with sigaction() WITHOUT
 *   SA_RESTART (with it, the read is restarted and this call does not
 *   return); the handler sets a flag. This call then returns -EINTR:
 *   stop when the flag is set, call again otherwise;
 * - a signal that comes between the check of the flag and the read is
 *   seen only with the next record. To close that gap, or to wait on
 *   several logs and timers at once, block the signal and wait with
 *   ppoll() (or pselect()) on zvapi_changelog_get_fd() with the signal
 *   unblocked in its mask; call this only when the descriptor is
 *   readable or zvapi_changelog_in_buf() says records wait. The
 *   descriptor is readable when a record waits (or, without
 *   CHANGELOG_FLAG_FOLLOW, at the end of the log). */
int zvapi_changelog_recv(void *priv, struct changelog_rec **rech);
/* Frees a record received above; *rech becomes NULL. Only a record that
 * zvapi_changelog_recv() gave: the thread may keep its buffer for the next
 * record it receives (and frees it when it ends). */
int zvapi_changelog_free(struct changelog_rec **rech);

/* 1 when records wait in the handle's buffer (no read needed), else 0. */
int zvapi_changelog_in_buf(void *priv);

/* The log device's descriptor, for poll(); -EINVAL for a bad handle. */
int zvapi_changelog_get_fd(void *priv);

/* Closes and frees the handle; *priv becomes NULL. */
int zvapi_changelog_fini(void **priv);

/* Purges, for log user idstr (anything after its first '-' is ignored),
 * the records of target mdtname up to and including endrec. */
int zvapi_changelog_clear(const char *mdtname, const char *idstr,
                          long long endrec);

/* ---- Kernel-to-user messages -------------------------------------------- */

/* Creates the receiving pipe, its read end with file status rfd_flags. */
int libkfx_ukuc_start(struct zorvel_kernelcomm *link, int group, int rfd_flags);

/* Closes both ends (the write end unless handed over and set to -1);
 * returns close()'s result for the read end (0, or -1 with errno). */
int libkfx_ukuc_stop(struct zorvel_kernelcomm *link);

/* The read end, for poll() or select(). */
int libkfx_ukuc_get_rfd(struct zorvel_kernelcomm *link);

/* Reads the next whole message for transport (or a generic one) into buf,
 * header first, skipping other transports' messages. A message that the
 * pipe delivers in pieces (longer than PIPE_BUF) is read to its end: on a
 * non-blocking read end the call waits with poll() for the rest once a
 * message has begun; when none has, -EAGAIN says nothing waits.
 * -EMSGSIZE when it exceeds maxsize (it is dropped, so the next read finds
 * the next message), -EPROTO for a bad header or a message cut short by
 * the end of the file, -EPIPE at end of file between messages, -EINVAL
 * when maxsize cannot hold a header. */
int libkfx_ukuc_msg_get(struct zorvel_kernelcomm *link, char *buf, int maxsize,
                        int transport);

/* ---- Parameters -------------------------------------------------------- */

/* How the device instance part of a parameter pattern is formed. */
enum param_filter {
	FILTER_BY_NONE = 0,    /* none; filter may be NULL */
	FILTER_BY_EXACT = 1,   /* filter is the device instance name */
	FILTER_BY_FS_NAME = 2, /* filter is a file-system name: "<name>-*" */
	FILTER_BY_PATH = 3,    /* filter is a path in a mount: its name, "-*" */
};

/* Paths of parameter param_name of the devices of type obd_type (such as
 * "lov" or "lmv"), narrowed by type and filter; with param_name NULL, the
 * device directories themselves. With FILTER_BY_NONE, param_name alone is
 * the pattern. On success param holds the paths, which the caller releases
 * with globfree() or zvapi_param_paths_free(); on failure there is nothing
 * to release. */
int get_zorvel_param_path(const char *obd_type, const char *filter,
                          enum param_filter type, const char *param_name,
                          glob_t *param);

/* The first line of the first parameter file that get_zorvel_param_path()
 * finds, newline kept, into value (val_len bytes, NUL-terminated); value is
 * left as it was when the file is empty. -ENOENT when the lookup fails,
 * whatever its cause; -1 with errno set (the read's own) for a read error.
 * Nothing is left to release. */
int get_zorvel_param_value(const char *obd_type, const char *filter,
                           enum param_filter type, const char *param_name,
                           char *value, size_t val_len);

/* Paths of the parameter files matching pattern (a name relative to the
 * parameter trees, glob wildcards allowed); release with
 * zvapi_param_paths_free(). */
int zvapi_param_get_paths(const char *pattern, glob_t *paths);

/* Reads the whole parameter file path. buflen must not be NULL.
 * - buf NULL: *buflen receives the size needed (bytes plus 1);
 * - *buf NULL: *buf receives a malloc'd NUL-terminated copy (the caller
 *   frees it) and *buflen its length;
 * - else *buf holds *buflen bytes: the NUL-terminated content, with
 *   *buflen set to its length (plus 1 when the file ended before the
 *   buffer filled); -EOVERFLOW, *buflen the size needed, when it does not
 *   fit.
 * errno is set to the positive value of the result. */
int zvapi_param_get_value(const char *path, char **buf, size_t *buflen);

void zvapi_param_paths_free(glob_t *paths);

/* ---- Sparse files ----------------------------------------------------- */

/* True when the file of fd is not empty and has a hole that starts before
 * its end; false on any seek failure. Leaves the file offset at the first
 * hole. */
bool zvapi_file_is_sparse(int fd);

/* Offset of the next data at or after offset, with the length of that
 * stretch of data in *length; past the last data, the end of the file with
 * *length 0. Moves the file offset. */
off_t zvapi_data_seek(int src_fd, off_t offset, size_t *length);

/* Punches a hole over [start, start + length), keeping the file size. */
int zvapi_hole_punch(int fd, off_t start, size_t length);

/* ---- Mirrors ---------------------------------------------------------- */

/* Mirror ids are 1 and up; 0 selects no mirror. Every call below selects
 * its mirror on fd, works, and clears the selection again before it
 * returns, on every path; none reports messages. */

/* Selects mirror id on fd (0: clears the selection); I/O through fd then
 * reaches that mirror alone. The selection is checked with fstat; when
 * that fails it is cleared and fstat's error returned. */
int zvapi_mirror_set(int fd, unsigned int id);

/* zvapi_mirror_set(fd, 0). */
int zvapi_mirror_clear(int fd);

/* Bytes read from mirror id at pos, up to count; ends at the first read
 * that is not a multiple of the page size. */
ssize_t zvapi_mirror_read(int fd, unsigned int id, void *buf, size_t count,
                          off_t pos);

/* Writes count bytes to mirror id at pos: count, or an error (-EINVAL when
 * buf or pos is not page-aligned, or a partial write ends inside a page);
 * there is no partial success. */
ssize_t zvapi_mirror_write(int fd, unsigned int id, const void *buf,
                           size_t count, off_t pos);

/* ftruncate of mirror id to length. */
int zvapi_mirror_truncate(int fd, unsigned int id, off_t length);

/* zvapi_hole_punch() on mirror id. */
int zvapi_mirror_punch(int fd, unsigned int id, off_t start, size_t length);

/* zvapi_file_is_sparse() on mirror id; false when it cannot be selected. */
bool zvapi_mirror_is_sparse(int fd, unsigned int id);

/* zvapi_data_seek() on mirror id. */
off_t zvapi_mirror_data_seek(int fd, unsigned int id, off_t pos, size_t *size);

/* Copies count bytes at pos ((size_t)-1: to the end) from mirror src (0:
 * the file as a whole) to mirror dst through a 4 MiB buffer, densely (the
 * source's holes are written as zeros): the bytes copied, or an error.
 * pos and count must be page-aligned, dst not 0 and not src (-EINVAL).
 * A copy that meets the end of the source (count (size_t)-1, or a range
 * that runs past the end) leaves dst exactly the source's size; a range
 * that ends inside the source changes dst only within the range. dst is
 * written only with data already read, so a copy from 0 to the mirror
 * that serves the file's reads loses nothing. The result is wide enough
 * for copies of 2 GiB and more. */
ssize_t zvapi_mirror_copy(int fd, unsigned int src, unsigned int dst, off_t pos,
                          size_t count);

/* Copies the whole of mirror src (0: the file as a whole) to the count
 * mirrors listed in dst. A sparse source is copied stretch by stretch:
 * its data is written, its holes are punched (whole pages) into each
 * destination, and each ends with the source's size, so the copies hold
 * the same bytes and the same holes. Nothing is truncated or emptied
 * before the source's data has been read.
 * Returns the number of destinations that hold the copy, which are then
 * the first entries of dst: a destination that fails, and one equal to
 * src (a mirror is not copied onto itself), is moved past them. -EINVAL
 * when every destination is src; the last destination error when none
 * holds the copy. */
ssize_t zvapi_mirror_copy_many(int fd, uint16_t src, uint16_t *dst,
                               size_t count);

/* ---- Advice, heat and nodemaps ---------------------------------------- */

/* Gives the num_advise advices of ladvise (1 to 1023) for fd in one
 * request, with flags masked to LF_ASYNC | LF_UNSET. On success the
 * kernel's result of each lock-ahead entry is copied into its zla_value3.
 * Returns 0, or -1 with errno set (not a negative errno value). */
int zvapi_ladvise(int fd, uint64_t flags, int num_advise,
                  zvapi_zo_ladvise *ladvise);

/* Fills the caller's record, sized for heat->zh_count values, with the
 * file's heat. */
int zvapi_heat_get(int fd, struct zo_heat *heat);

/* Sets the file's heat flags (ZO_HEAT_FLAG_*). */
int zvapi_heat_set(int fd, uint64_t flags);

/* 0 when a nodemap of this name is published among the parameters (a
 * directory of them), 1 when not, or when the lookup fails. A name is one
 * plain component: an empty one, ".", or one holding '/', "..", or a
 * character of patterns (*, ?, [, ], {, } or \), names no nodemap. */
int zvapi_nodemap_exists(const char *nodemap);

/* ---- JSON lists ------------------------------------------------------- */

/* Types of the values of a JSON list item. */
enum zvapi_json_types {
	ZVAPI_JSON_INTEGER = 1, /* int, written with "%d" */
	ZVAPI_JSON_BIGNUM = 2,  /* uint64_t, written with "%llu" */
	ZVAPI_JSON_REAL = 3,   /* double, written with "%f"; not finite: null */
	ZVAPI_JSON_STRING = 4, /* text, escaped between double quotes */
};

/* One key and its value; the item owns its key and string value. */
typedef struct zvapi_json_item {
	char *zji_key;
	uint32_t zji_type;
	union {
		int zji_integer;
		uint64_t zji_u64;
		double zji_real;
		char *zji_string;
	};
	struct zvapi_json_item *zji_next;
} zvapi_json_item;

/* A flat object: the most recently added item comes first. */
typedef struct zvapi_json_item_list {
	int zjil_item_count;
	zvapi_json_item *zjil_items;
} zvapi_json_item_list;

/* An empty list into *json_items, released with zvapi_json_destroy_list(). */
int zvapi_json_init_list(zvapi_json_item_list **json_items);

/* Adds a copy of key and of the value at val (an int, uint64_t or double
 * for the number types, the text itself for ZVAPI_JSON_STRING) in front of
 * the list; the caller's buffers may be reused at once. -EINVAL for a null
 * argument or an unknown type (list unchanged), -ENOMEM. */
int zvapi_json_add_item(zvapi_json_item_list **json_items, char *key,
                        uint32_t type, void *val);

/* Writes the list to fp as one line of JSON: keys and strings escaped
 * (control characters without a short escape as \u00XX), a real that is
 * not finite as null. Write errors of the stream are the caller's to see. */
int zvapi_json_write_list(zvapi_json_item_list **json_items, FILE *fp);

/* Frees the list, its items and their texts; *json_items becomes NULL. */
int zvapi_json_destroy_list(zvapi_json_item_list **json_items);

/* A malloc'd escaped copy of in_string into *out_string (the caller frees
 * it); *out_string is untouched on failure. */
int zvapi_json_escape_string(char **out_string, char *in_string);

/* ---- Data versions, volatile files, layout swaps, group locks ---------- */

/* The data version of open file fd into *data_version (left untouched on
 * failure); flags (the low 32 bits) are the kernel's request flags. */
int zvapi_get_data_version(int fd, uint64_t *data_version, uint64_t flags);

/* The layout version of open file fd into *layout_version. */
int zvapi_get_ost_layout_version(int fd, uint32_t *layout_version);

/* Creates a file in directory that has no name once the call returns and
 * hands out its descriptor, which the caller closes (the file goes with its
 * last descriptor). mdt_idx is the metadata target carried in the name, or
 * -1 for none; an O_RDONLY access mode becomes O_RDWR, and O_CREAT, O_EXCL
 * and O_NOFOLLOW are added. stripe_param, when not NULL, is the striping
 * asked for (read only). A name collision is retried with a new name, a
 * few thousand times at most, then -EEXIST. No name is left behind on
 * failure either. errno is kept on success. */
int zvapi_create_volatile_param(const char *directory, int mdt_idx,
                                int open_flags, mode_t mode,
                                const zvapi_stripe_param *stripe_param);

/* The same with mode 0600 and no striping request. */
int zvapi_create_volatile_idx(const char *directory, int mdt_idx,
                              int open_flags);

/* Exchanges the layouts (the data) of open files fd1 and fd2 under group
 * lock id gid. flags go to the kernel (ZV_SWAP_CHECK_DV1/2 compare dv1 and
 * dv2 with the files' data versions: -EAGAIN when one moved); with
 * ZV_SWAP_KEEP_MTIME or ZV_SWAP_KEEP_ATIME each file keeps its own time
 * (whole seconds), and a time not kept is exchanged. */
int zvapi_fswap_layouts_grouplock(int fd1, int fd2, uint64_t dv1, uint64_t dv2,
                                  int gid, uint64_t flags);

/* The same under a random non-zero group lock id. */
int zvapi_fswap_layouts(int fd1, int fd2, uint64_t dv1, uint64_t dv2,
                        uint64_t flags);

/* The same on two paths, each opened for writing for the call. */
int zvapi_swap_layouts(const char *path1, const char *path2, uint64_t dv1,
                       uint64_t dv2, uint64_t flags);

/* Take or release group lock gid on open file fd: the kernel's
 * non-negative result. The 32-bit forms pass gid zero-extended. */
int zvapi_group_lock(int fd, int gid);
int zvapi_group_unlock(int fd, int gid);
int zvapi_group_lock64(int fd, uint64_t gid);
int zvapi_group_unlock64(int fd, uint64_t gid);

/* ---- Leases ------------------------------------------------------------ */

/* Sends the lease record data (header and data->zil_count ids) unchanged;
 * the kernel's non-negative result. Releases answer the mode that was
 * still held (positive: the intent took effect) or 0 when the kernel had
 * broken the lease meanwhile. */
int zvapi_lease_set(int fd, const struct zv_ioc_lease *data);

/* Takes a read or write lease on fd (ZV_LEASE_RDLCK or ZV_LEASE_WRLCK,
 * else -EINVAL); on a kernel that knows only the by-mode request, falls
 * back to it after one message. */
int zvapi_lease_acquire(int fd, enum zv_lease_mode mode);

/* Gives the lease of fd back; no fallback. */
int zvapi_lease_release(int fd);

/* Gives the lease back with the intent of data (its mode must be
 * ZV_LEASE_UNLCK, else -EINVAL). */
int zvapi_lease_release_intent(int fd, struct zv_ioc_lease *data);

/* The kernel's report on the lease fd holds (0: none). */
int zvapi_lease_check(int fd);

/* The by-mode pair: take (mode 1 or 2, else -EINVAL) and give back; no
 * messages. */
int zvapi_lease_get(int fd, int mode);
int zvapi_lease_put(int fd);

/* ---- Persistent client cache ------------------------------------------ */

/* Attach the file at path (or FID fid, or FID text fidstr, under the mount
 * at mntpath) to cache area id: a write lease on the file, released with
 * the attach intent. Only ZO_PCC_READWRITE is accepted (-EINVAL). -EBUSY
 * when another opener broke the lease before the attach took place. */
int zvapi_pcc_attach(const char *path, uint32_t id, enum zo_pcc_type type);
int zvapi_pcc_attach_fid(const char *mntpath, const struct zo_fid *fid,
                         uint32_t id, enum zo_pcc_type type);
/* fidstr: any number of '[', then "0x<seq>:0x<oid>:0x<ver>" (hexadecimal,
 * each within its field's width); what follows is ignored. */
int zvapi_pcc_attach_fid_str(const char *mntpath, const char *fidstr,
                             uint32_t id, enum zo_pcc_type type);

/* Detach the open file fd, the file at path, or the file of FID fid (or
 * text fidstr, which must also name a FID this file system can issue)
 * under the mount at mntpath, with the kernel's option bits. These return
 * the detach request's own result: 0, or -1 with errno set; failures
 * before the request are negative errno values. */
int zvapi_pcc_detach_fd(int fd, uint32_t option);
int zvapi_pcc_detach_file(const char *path, uint32_t option);
int zvapi_pcc_detach_fid(const char *mntpath, const struct zo_fid *fid,
                         uint32_t option);
int zvapi_pcc_detach_fid_str(const char *mntpath, const char *fidstr,
                             uint32_t option);

/* The cache state of the open file fd (or of the file at path) into
 * *state. */
int zvapi_pcc_state_get_fd(int fd, struct zo_pcc_state *state);
int zvapi_pcc_state_get(const char *path, struct zo_pcc_state *state);

/* Write the text cmd (exactly its bytes, no line end) to the cache
 * configuration of the mount at mntpath. */
int zvapi_pccdev_set(const char *mntpath, const char *cmd);

/* Copy the cache configuration of the mount at mntpath to the standard
 * output stream (not flushed). */
int zvapi_pccdev_get(const char *mntpath);

#ifdef __cplusplus
}
#endif

#endif /* ZORVEL_ZORVELAPI_H */
