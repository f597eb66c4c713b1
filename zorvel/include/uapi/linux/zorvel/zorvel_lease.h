/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Leases: a read or write lease held on an open file until it is released,
 * the descriptor closed, or the kernel breaks it for another opener. A
 * release may carry an intent (flags and ids) that takes effect only while
 * the lease is still held.
 */
#ifndef _UAPI_LINUX_ZORVEL_LEASE_H
#define _UAPI_LINUX_ZORVEL_LEASE_H

#include <linux/ioctl.h>
#include <linux/types.h>

/* Lease modes: single bits, so 3 is not a mode. */
enum zv_lease_mode {
	ZV_LEASE_RDLCK = 0x1,
	ZV_LEASE_WRLCK = 0x2,
	ZV_LEASE_UNLCK = 0x4,
};

/* Intent flags of a release. */
enum zv_lease_flags {
	ZV_LEASE_RESYNC = 0x1,
	ZV_LEASE_RESYNC_DONE = 0x2,
	ZV_LEASE_LAYOUT_MERGE = 0x4,
	ZV_LEASE_LAYOUT_SPLIT = 0x8,
	ZV_LEASE_PCC_ATTACH = 0x10, /* zil_ids[0]: the cache archive id */
};

/* A 12-byte header followed by zil_count ids in the same buffer. */
struct zv_ioc_lease {
	__u32 zil_mode;  /* enum zv_lease_mode */
	__u32 zil_flags; /* enum zv_lease_flags, ORed; 0 without an intent */
	__u32 zil_count; /* entries of zil_ids */
	__u32 zil_ids[];
};

/* The record form encodes the header's size whatever the count. The
 * by-mode form, older, takes the mode itself as its argument; a kernel
 * that knows only it answers the record form with ENOTTY. */
#define ZV_IOC_LEASE_SET         _IOWR('f', 243, struct zv_ioc_lease)
#define ZV_IOC_LEASE_SET_BY_MODE _IOWR('f', 243, long)
#define ZV_IOC_LEASE_CHECK       _IO('f', 244)

#endif /* _UAPI_LINUX_ZORVEL_LEASE_H */
