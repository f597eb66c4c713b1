/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Metadata change logs: the record a metadata target's log device hands
 * out, its extensions, and accessors that find each part of a record.
 *
 * A record is a 64-byte header, then the extensions its flags announce, in
 * a fixed order and without padding between them, then cr_namelen bytes of
 * name text. Records follow each other without padding in a read buffer,
 * so a record there may be unaligned: copy it before reading its fields.
 */
#ifndef _UAPI_LINUX_ZORVEL_CHANGELOG_H
#define _UAPI_LINUX_ZORVEL_CHANGELOG_H

#include <linux/ioctl.h>
#include <linux/types.h>
#include <linux/zorvel/zorvel_fid.h>

/* Record types. */
enum changelog_rec_type {
	CL_MARK = 0,
	CL_CREATE = 1,
	CL_MKDIR = 2,
	CL_HARDLINK = 3,
	CL_SOFTLINK = 4,
	CL_MKNOD = 5,
	CL_UNLINK = 6,
	CL_RMDIR = 7,
	CL_RENAME = 8,
	CL_OPEN = 9,
	CL_CLOSE = 10,
	CL_TRUNC = 11,
	CL_SETATTR = 12,
	CL_SETXATTR = 13,
	CL_MTIME = 14,
	CL_CTIME = 15,
	CL_ATIME = 16,
	CL_LAYOUT = 17,
	CL_LAST
};

/* Short name of a record type, for tools; "?" for an unknown type. */
static inline const char *changelog_type2str(__u32 type)
{
	static const char *const names[CL_LAST] = {
	        "MARK",  "CREATE", "MKDIR",   "HARDLINK", "SOFTLINK",
	        "MKNOD", "UNLINK", "RMDIR",   "RENAME",   "OPEN",
	        "CLOSE", "TRUNC",  "SETATTR", "SETXATTR", "MTIME",
	        "CTIME", "ATIME",  "LAYOUT"};
	return type < CL_LAST ? names[type] : "?";
}

/* Format bits in the high four bits of cr_flags. */
enum changelog_rec_flags {
	CLF_VERSION = 0x1000,
	CLF_RENAME = 0x2000,
	CLF_JOBID = 0x4000,
	CLF_EXTRA_FLAGS = 0x8000,
	CLF_SUPPORTED = 0xF000,
	CLF_FLAGMASK = 0x0FFF,
	CLF_VERMASK = -4096 /* every bit above the low 12 */
};

/* Extension bits in cr_extra_flags. */
enum changelog_rec_extra_flags {
	CLFE_INVALID = 0x0,
	CLFE_UIDGID = 0x1,
	CLFE_NID = 0x2,
	CLFE_OPEN = 0x4,
	CLFE_XATTR = 0x8,
	CLFE_SUPPORTED = 0xF
};

/* What a reader asks for when it starts. */
enum changelog_send_flag {
	CHANGELOG_FLAG_FOLLOW = 0x1,
	CHANGELOG_FLAG_BLOCK = 0x2,
	CHANGELOG_FLAG_JOBID = 0x4,
	CHANGELOG_FLAG_EXTRA_FLAGS = 0x8
};

/* Extra extensions a reader asks for; each has the value of its bit. */
enum changelog_send_extra_flag {
	CHANGELOG_EXTRA_FLAG_UIDGID = 0x1,
	CHANGELOG_EXTRA_FLAG_NID = 0x2,
	CHANGELOG_EXTRA_FLAG_OMODE = 0x4,
	CHANGELOG_EXTRA_FLAG_XATTR = 0x8
};

struct changelog_rec {
	__u16 cr_namelen;
	__u16 cr_flags; /* low 12 bits: type flags; high 4: format */
	__u32 cr_type;
	__u64 cr_index;
	__u64 cr_prev;
	__u64 cr_time; /* nanoseconds since the epoch */
	union {
		struct zo_fid cr_tfid;
		__u32 cr_markerflags;
	};
	struct zo_fid cr_pfid;
};

struct changelog_ext_rename {
	struct zo_fid cr_sfid;  /* source */
	struct zo_fid cr_spfid; /* source parent */
};

#define CHANGELOG_JOBID_SIZE 32
struct changelog_ext_jobid {
	char cr_jobid[CHANGELOG_JOBID_SIZE];
};

struct changelog_ext_extra_flags {
	__u64 cr_extra_flags;
};

struct changelog_ext_uidgid {
	__u64 cr_uid;
	__u64 cr_gid;
};

struct changelog_ext_nid {
	__u64 cr_nid;
	__u64 extra;
	__u32 padding;
};

struct changelog_ext_openmode {
	__u32 cr_openflags;
};

#define CHANGELOG_XATTR_SIZE 256
struct changelog_ext_xattr {
	char cr_xattr[CHANGELOG_XATTR_SIZE];
};

/* Largest header with every extension, and the record buffer handed to
 * readers: that header and 516 bytes of name. */
#define CHANGELOG_REC_MAXHDR 436
#define CHLG_REC_MAXSIZE     952

/* Bytes from the start of a record to its name for these format and
 * extension bits. */
static inline __kernel_size_t
changelog_rec_offset(enum changelog_rec_flags crf,
                     enum changelog_rec_extra_flags cref)
{
	__kernel_size_t size = sizeof(struct changelog_rec);

	crf = (enum changelog_rec_flags)(crf & CLF_SUPPORTED);
	cref = (enum changelog_rec_extra_flags)(cref & CLFE_SUPPORTED);
	if (crf & CLF_RENAME)
		size += sizeof(struct changelog_ext_rename);
	if (crf & CLF_JOBID)
		size += sizeof(struct changelog_ext_jobid);
	if (crf & CLF_EXTRA_FLAGS) {
		size += sizeof(struct changelog_ext_extra_flags);
		if (cref & CLFE_UIDGID)
			size += sizeof(struct changelog_ext_uidgid);
		if (cref & CLFE_NID)
			size += sizeof(struct changelog_ext_nid);
		if (cref & CLFE_OPEN)
			size += sizeof(struct changelog_ext_openmode);
		if (cref & CLFE_XATTR)
			size += sizeof(struct changelog_ext_xattr);
	}
	return size;
}

/* Extension bits of a record; 0 without the extra-flags extension. */
static inline enum changelog_rec_extra_flags
changelog_rec_extra_bits(const struct changelog_rec *rec)
{
	__kernel_size_t off;

	if (!(rec->cr_flags & CLF_EXTRA_FLAGS))
		return CLFE_INVALID;
	off = changelog_rec_offset(
	        (enum changelog_rec_flags)(rec->cr_flags &
	                                   (CLF_RENAME | CLF_JOBID)),
	        CLFE_INVALID);
	return (enum changelog_rec_extra_flags)(
	        ((const struct changelog_ext_extra_flags *)((const char *)rec +
	                                                    off))
	                ->cr_extra_flags &
	        CLFE_SUPPORTED);
}

static inline __kernel_size_t
changelog_rec_varsize(const struct changelog_rec *rec)
{
	return changelog_rec_offset((enum changelog_rec_flags)rec->cr_flags,
	                            changelog_rec_extra_bits(rec));
}

/* Whole size of a record: header, extensions and name. */
static inline __kernel_size_t
changelog_rec_size(const struct changelog_rec *rec)
{
	return changelog_rec_varsize(rec) + rec->cr_namelen;
}

/* Place of one part: the offset of every part before it. */
static inline void *changelog_rec_at(const struct changelog_rec *rec,
                                     enum changelog_rec_flags crf,
                                     enum changelog_rec_extra_flags cref)
{
	return (char *)rec + changelog_rec_offset(crf, cref);
}

static inline struct changelog_ext_rename *
changelog_rec_rename(const struct changelog_rec *rec)
{
	return (struct changelog_ext_rename *)changelog_rec_at(rec, CLF_VERSION,
	                                                       CLFE_INVALID);
}

static inline struct changelog_ext_jobid *
changelog_rec_jobid(const struct changelog_rec *rec)
{
	return (struct changelog_ext_jobid *)changelog_rec_at(
	        rec, (enum changelog_rec_flags)(rec->cr_flags & CLF_RENAME),
	        CLFE_INVALID);
}

static inline struct changelog_ext_extra_flags *
changelog_rec_extra_flags(const struct changelog_rec *rec)
{
	return (struct changelog_ext_extra_flags *)changelog_rec_at(
	        rec,
	        (enum changelog_rec_flags)(rec->cr_flags &
	                                   (CLF_RENAME | CLF_JOBID)),
	        CLFE_INVALID);
}

/* The extra extensions sit after the extra-flags word. */
static inline void *changelog_rec_extra_at(const struct changelog_rec *rec,
                                           enum changelog_rec_extra_flags cref)
{
	return changelog_rec_at(
	        rec,
	        (enum changelog_rec_flags)(
	                rec->cr_flags &
	                (CLF_RENAME | CLF_JOBID | CLF_EXTRA_FLAGS)),
	        (enum changelog_rec_extra_flags)(changelog_rec_extra_bits(rec) &
	                                         cref));
}

static inline struct changelog_ext_uidgid *
changelog_rec_uidgid(const struct changelog_rec *rec)
{
	return (struct changelog_ext_uidgid *)changelog_rec_extra_at(
	        rec, CLFE_INVALID);
}

static inline struct changelog_ext_nid *
changelog_rec_nid(const struct changelog_rec *rec)
{
	return (struct changelog_ext_nid *)changelog_rec_extra_at(rec,
	                                                          CLFE_UIDGID);
}

static inline struct changelog_ext_openmode *
changelog_rec_openmode(const struct changelog_rec *rec)
{
	return (struct changelog_ext_openmode *)changelog_rec_extra_at(
	        rec, (enum changelog_rec_extra_flags)(CLFE_UIDGID | CLFE_NID));
}

static inline struct changelog_ext_xattr *
changelog_rec_xattr(const struct changelog_rec *rec)
{
	return (struct changelog_ext_xattr *)changelog_rec_extra_at(
	        rec, (enum changelog_rec_extra_flags)(CLFE_UIDGID | CLFE_NID |
	                                              CLFE_OPEN));
}

/* The name text: cr_namelen bytes, not NUL-terminated in the kernel's
 * record. Print it with its length: printf("%.*s", (int)rec->cr_namelen,
 * changelog_rec_name(rec)). */
static inline char *changelog_rec_name(const struct changelog_rec *rec)
{
	return (char *)rec + changelog_rec_varsize(rec);
}

/* Keep a read at the end of the log waiting for new records (the value 1
 * is passed by value). */
#define ZV_IOC_CHLG_FOLLOW _IOR('f', 233, long)

/* Device of the log of a metadata target. */
#define CHANGELOG_DEV_FMT "/dev/changelog-%s"

#endif /* _UAPI_LINUX_ZORVEL_CHANGELOG_H */
