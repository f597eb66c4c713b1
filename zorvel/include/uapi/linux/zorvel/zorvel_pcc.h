/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Persistent client cache: the state of a file in the cache and the
 * requests that detach it. A file is attached through the release of a
 * write lease with the ZV_LEASE_PCC_ATTACH intent (zorvel_lease.h).
 */
#ifndef _UAPI_LINUX_ZORVEL_PCC_H
#define _UAPI_LINUX_ZORVEL_PCC_H

#include <linux/ioctl.h>
#include <linux/types.h>
#include <linux/zorvel/zorvel_fid.h>

enum zo_pcc_type {
	ZO_PCC_NONE = 0,
	ZO_PCC_READWRITE = 1,
	ZO_PCC_MAX = 2, /* the count of types */
};

/* Detach of the file the request is issued on: 4 bytes. */
struct zo_pcc_detach {
	__u32 pccd_opt; /* option bits */
};

/* Detach by FID, issued on the mount's root: 20 bytes, without the
 * padding a FID would otherwise bring. */
struct zo_pcc_detach_fid {
	struct zo_fid pccd_fid;
	__u32 pccd_opt;
} __attribute__((packed));

#define ZO_PCC_PATH_MAX 4096

/* Cache state of a file, filled by the kernel: 4112 bytes. */
struct zo_pcc_state {
	__u32 pccs_type;       /* enum zo_pcc_type */
	__u32 pccs_open_count; /* opens using the cache */
	__u32 pccs_flags;      /* the kernel's state flags */
	__u32 pccs_padding;
	char pccs_path[ZO_PCC_PATH_MAX]; /* the cached copy, NUL-terminated */
};

/* Three requests of one number, told apart by direction and size. */
#define ZV_IOC_PCC_DETACH        _IOW('f', 252, struct zo_pcc_detach)
#define ZV_IOC_PCC_DETACH_BY_FID _IOW('f', 252, struct zo_pcc_detach_fid)
#define ZV_IOC_PCC_STATE         _IOR('f', 252, struct zo_pcc_state)

#endif /* _UAPI_LINUX_ZORVEL_PCC_H */
