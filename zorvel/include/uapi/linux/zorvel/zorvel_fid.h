/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * File identifiers: the FID record, its sequence ranges, and the records and
 * requests that translate between FIDs, paths and parents.
 *
 * Every record here crosses the user/kernel boundary as laid out; the build
 * checks each size, offset and request code.
 */
#ifndef _UAPI_LINUX_ZORVEL_FID_H
#define _UAPI_LINUX_ZORVEL_FID_H

#include <linux/ioctl.h>
#include <linux/types.h>

/* 128-bit object name, independent of any path. */
struct zo_fid {
	__u64 f_seq; /* sequence number */
	__u32 f_oid; /* object number within the sequence */
	__u32 f_ver; /* version */
};

/* Printed as [seq:oid:ver]; a zero sequence prints as a bare 0. */
#define ZO_FID_FMT "[%#llx:0x%x:0x%x]"
#define ZO_FID_ARGS(fid)                                                       \
	(unsigned long long)(fid)->f_seq, (unsigned int)(fid)->f_oid,          \
	        (unsigned int)(fid)->f_ver
#define ZO_FID_FMT_LEN 56 /* enough for any FID text and its NUL */

/* Sequence ranges. An enumerator must fit an int, so the ranges beyond
 * are constants of the sequence's own 64-bit type. */
enum fid_seq {
	FID_SEQ_OST_MDT0 = 0x0,
	FID_SEQ_ZLOG = 0x1,
	FID_SEQ_ECHO = 0x2,
	FID_SEQ_UNUSED_START = 0x3,
	FID_SEQ_UNUSED_END = 0x9,
	FID_SEQ_ZLOG_NAME = 0xA,
	FID_SEQ_RSVD = 0xB,
	FID_SEQ_IGIF = 0xC
};
#define FID_SEQ_IGIF_MAX       0xFFFFFFFFULL
#define FID_SEQ_IDIF           0x100000000ULL
#define FID_SEQ_IDIF_MAX       0x1FFFFFFFFULL
#define FID_SEQ_START          0x200000000ULL
#define FID_SEQ_LOCAL_FILE     0x200000001ULL
#define FID_SEQ_DOT_ZORVEL     0x200000002ULL
#define FID_SEQ_LOCAL_NAME     0x200000003ULL
#define FID_SEQ_SPECIAL        0x200000004ULL
#define FID_SEQ_QUOTA          0x200000005ULL
#define FID_SEQ_QUOTA_GLB      0x200000006ULL
#define FID_SEQ_ROOT           0x200000007ULL
#define FID_SEQ_LAYOUT_RBTREE  0x200000008ULL
#define FID_SEQ_UPDATE_LOG     0x200000009ULL
#define FID_SEQ_UPDATE_LOG_DIR 0x20000000AULL
#define FID_SEQ_NORMAL         0x200000400ULL
#define FID_SEQ_LOV_DEFAULT    0xFFFFFFFFFFFFFFFFULL

/*
 * FID-to-path request: a 32-byte header followed by gf_pathlen bytes into
 * which the kernel writes the NUL-terminated path of one hard link, relative
 * to the mount's root.
 *
 * The area has two views; standard C has no flexible member inside a
 * union, so the union of zero-length arrays is marked as the one compiler
 * extension of these headers.
 */
struct getinfo_fid2path {
	struct zo_fid gf_fid; /* in: object to resolve */
	__u64 gf_recno;       /* in/out: change-log record number */
	__u32 gf_linkno;      /* in/out: which hard link */
	__u32 gf_pathlen;     /* in: size of the path area */
	__extension__ union {
		char gf_path[0];
		struct zo_fid gf_root_fid[0];
	} gf_u;
};

/* Parent request: a 24-byte header followed by the entry name area. */
struct getparent {
	struct zo_fid gp_fid; /* out: parent FID */
	__u32 gp_linkno;      /* in: which hard link */
	__u32 gp_name_size;   /* in: size of gp_name */
	char gp_name[];       /* out: entry name, NUL-terminated */
};

/* Payload of this file system's kernel file handles. */
#define FILEID_ZORVEL 0x97
struct zorvel_file_handle {
	struct zo_fid zfh_child;  /* the object itself */
	struct zo_fid zfh_parent; /* its parent */
};

/* Removal of objects by FID: a 16-byte header, then fa_nr FIDs. */
struct fid_array {
	__u32 fa_nr;
	__u32 fa_padding0;
	__u64 fa_padding1;
	struct zo_fid fa_fids[];
};

/* Directory at the root of every mount that opens objects by FID text. */
#define ZV_DOT_ZORVEL_FID_DIR ".zorvel/fid"

/* The size field of FID2PATH says 8 whatever the record's length. */
#define ZV_IOC_FID2PATH   _IOWR('f', 150, long)
#define ZV_IOC_RMFID      _IOR('f', 242, struct fid_array)
#define ZV_IOC_FID2MDTIDX _IOWR('f', 248, struct zo_fid)
#define ZV_IOC_GETPARENT  _IOWR('f', 249, struct getparent)

#endif /* _UAPI_LINUX_ZORVEL_FID_H */
