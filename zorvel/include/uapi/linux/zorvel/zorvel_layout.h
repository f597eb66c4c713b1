/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Layouts: striping records of files, directory striping requests, foreign
 * layouts, and the requests that read and set them.
 */
#ifndef _UAPI_LINUX_ZORVEL_LAYOUT_H
#define _UAPI_LINUX_ZORVEL_LAYOUT_H

#include <linux/ioctl.h>
#include <linux/types.h>

#define ZV_LAYOUT_MAGIC_V1          0x0BD10BD0U
#define ZV_LAYOUT_MAGIC_V3          0x0BD30BD0U
#define ZV_LAYOUT_MAGIC_SPECIFIC    0x0BD50BD0U /* v3 with chosen targets */
#define ZV_LAYOUT_MAGIC_COMP        0x0BD60BD0U
#define ZV_FOREIGN_FILE_MAGIC       0x0BD70BD0U
#define ZV_FOREIGN_DIR_MAGIC        0x0CD50CD0U
#define ZV_DIR_STRIPE_REQUEST_MAGIC 0x0CD20CD0U
#define ZV_FOREIGN_TYPE_SYMLINK     0xDA05U

#define ZV_LAYOUT_PATTERN_RAID0    0x001U
#define ZV_LAYOUT_POOL_NAME_LEN    16
#define ZV_LAYOUT_MAX_STRIPE_COUNT 2000
#define ZV_OBD_UUID_LEN            40

/* Open flag that asks the kernel client not to create a layout at open:
 * O_NOCTTY, O_ASYNC and bit 0x1000000 together. */
#define ZV_O_DELAY_CREATE 0x1002100

/* Object identifier of a data object on a storage target. */
struct zv_ost_id {
	__u64 oi_id;
	__u64 oi_seq;
};

/* One stripe of a file: 24 bytes. */
struct zv_layout_ost_data {
	struct zv_ost_id l_ost_oi;
	__u32 l_ost_gen;
	__u32 l_ost_idx;
};

/* Striping record of a plain file, version 1: a 32-byte header. */
struct zv_layout_v1 {
	__u32 lmm_magic;
	__u32 lmm_pattern;
	struct zv_ost_id lmm_oi;
	__u32 lmm_stripe_size; /* bytes */
	__u16 lmm_stripe_count;
	__u16 lmm_stripe_offset; /* first target; the layout generation on read
	                          */
	struct zv_layout_ost_data lmm_objects[];
};

/* Version 3 adds the pool name: a 48-byte header. */
struct zv_layout_v3 {
	__u32 lmm_magic;
	__u32 lmm_pattern;
	struct zv_ost_id lmm_oi;
	__u32 lmm_stripe_size;
	__u16 lmm_stripe_count;
	__u16 lmm_stripe_offset;
	char lmm_pool_name[ZV_LAYOUT_POOL_NAME_LEN];
	struct zv_layout_ost_data lmm_objects[];
};

/* Room for the largest striping record the kernel returns: 48048 bytes. */
#define ZV_LAYOUT_MAX_SIZE                                                     \
	(sizeof(struct zv_layout_v3) +                                         \
	 ZV_LAYOUT_MAX_STRIPE_COUNT * sizeof(struct zv_layout_ost_data))

/* Foreign layout: a 16-byte header and an opaque value. */
struct zv_foreign_layout {
	__u32 lfm_magic;
	__u32 lfm_length; /* value bytes after the header */
	__u32 lfm_type;
	__u32 lfm_flags;
	char lfm_value[];
};

/* Directory striping request and record head: 48 bytes. */
struct zv_lmv_user_md {
	__u32 lum_magic;
	__u32 lum_stripe_count;
	__u32 lum_stripe_offset;
	__u32 lum_hash_type;
	__u32 lum_type;
	__u8 lum_max_inherit;
	__u8 lum_max_inherit_rr;
	__u16 lum_padding1;
	__u32 lum_padding2;
	__u32 lum_padding3;
	char lum_pool_name[ZV_LAYOUT_POOL_NAME_LEN];
};

/*
 * Creation of a directory with a foreign layout, sent to the parent
 * directory: this 16-byte header, the NUL-terminated entry name padded to a
 * multiple of 8 bytes, then a zv_foreign_layout with the directory magic.
 * zfd_reclen is the size of the whole record.
 */
struct zv_foreign_dir_create {
	__u32 zfd_mode;
	__u32 zfd_namelen; /* name bytes including the NUL, before padding */
	__u32 zfd_reclen;
	__u32 zfd_padding;
	char zfd_name[];
};

/* Client striping-device identifier: "<fsname>-clilov-<instance>". */
struct obd_uuid {
	char uuid[ZV_OBD_UUID_LEN];
};

#define ZV_IOC_GETOBDNAME    _IOR('f', 149, struct obd_uuid)
#define ZV_IOC_LOV_SETSTRIPE _IOW('f', 154, long)
#define ZV_IOC_LOV_GETSTRIPE _IOW('f', 155, long)
#define ZV_IOC_LMV_SETSTRIPE _IOW('f', 240, long)
#define ZV_IOC_LMV_GETSTRIPE _IOWR('f', 241, struct zv_lmv_user_md)
/* Removes a directory entry by name without looking at its object. */
#define ZV_IOC_REMOVE_ENTRY _IOWR('f', 242, long)
/* Prepares a foreign file or directory for unlinking. */
#define ZV_IOC_FOREIGN_UNLINK_PREP _IO('f', 242)

#endif /* _UAPI_LINUX_ZORVEL_LAYOUT_H */
