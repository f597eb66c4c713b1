/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Data versions, layout swaps, group locks and volatile files: the records
 * and requests through which a data mover copies a file aside and swaps its
 * data placement with the copy's once it knows the data did not move.
 */
#ifndef _UAPI_LINUX_ZORVEL_SWAP_H
#define _UAPI_LINUX_ZORVEL_SWAP_H

#include <linux/ioctl.h>
#include <linux/types.h>

/* Data version of a file: 16 bytes, host byte order. */
struct ioc_data_version {
	__u64 idv_version;        /* out: changes whenever the data does */
	__u32 idv_layout_version; /* out: changes whenever the layout does */
	__u32 idv_flags;          /* in: the kernel's request flags */
};

/* Layout swap, issued on the first file: 32 bytes. */
struct zorvel_swap_layouts {
	__u64 sl_flags; /* ZV_SWAP_* and the kernel's own bits */
	__u32 sl_fd;    /* descriptor of the second file */
	__u32 sl_gid;   /* group lock id taken for the swap */
	__u64 sl_dv1;   /* data version expected of the first file */
	__u64 sl_dv2;   /* data version expected of the second file */
};

/* Swap flags. The kernel fails the swap with EAGAIN when a checked data
 * version no longer matches; the two time-keeping bits are acted on by the
 * client library after the swap. */
#define ZV_SWAP_CHECK_DV1  0x1ULL
#define ZV_SWAP_CHECK_DV2  0x2ULL
#define ZV_SWAP_KEEP_MTIME 0x4ULL
#define ZV_SWAP_KEEP_ATIME 0x8ULL

/* A name starting with this 14-byte header asks the kernel client for a
 * volatile file: a dot, four control bytes and ":VOLATILE", followed by
 * ":<target index>:<random>" or "::<random>" (upper-case hexadecimal, at
 * least four digits each). */
#define ZV_VOLATILE_HDR     ".\x1a\x11\x16\x18:VOLATILE"
#define ZV_VOLATILE_HDR_LEN 14

#define ZV_IOC_GROUP_LOCK   _IOW('f', 158, long) /* the id by value */
#define ZV_IOC_GROUP_UNLOCK _IOW('f', 159, long) /* the id by value */
#define ZV_IOC_DATA_VERSION _IOR('f', 218, struct ioc_data_version)
#define ZV_IOC_SWAP_LAYOUTS _IOW('f', 219, struct zorvel_swap_layouts)

#endif /* _UAPI_LINUX_ZORVEL_SWAP_H */
