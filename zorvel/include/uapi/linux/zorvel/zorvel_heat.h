/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * File heat: counts of a file's accesses kept by the kernel client, and
 * the flags that clear them and stop or restart counting.
 */
#ifndef _UAPI_LINUX_ZORVEL_HEAT_H
#define _UAPI_LINUX_ZORVEL_HEAT_H

#include <linux/ioctl.h>
#include <linux/types.h>

/* The caller sizes the record for the zh_count values it wants. */
struct zo_heat {
	__u32 zh_count; /* number of values in zh_heat */
	__u32 zh_flags; /* on return: ZO_HEAT_FLAG_OFF while not counting */
	__u64 zh_heat[];
};

/* The values, in this order; values past these read as 0. */
enum zo_heat_value {
	ZO_HEAT_READ_SAMPLES = 0,  /* reads */
	ZO_HEAT_WRITE_SAMPLES = 1, /* writes */
	ZO_HEAT_READ_BYTES = 2,    /* bytes read */
	ZO_HEAT_WRITE_BYTES = 3,   /* bytes written */
	ZO_HEAT_VALUES = 4
};

/* Flags set with ZV_IOC_HEAT_SET (a 64-bit value). */
#define ZO_HEAT_FLAG_CLEAR 0x1ULL /* all counts back to 0 */
#define ZO_HEAT_FLAG_OFF   0x2ULL /* stop counting */
#define ZO_HEAT_FLAG_ON    0x4ULL /* count again */

/* The size encoded is the header's alone. */
#define ZV_IOC_HEAT_GET _IOWR('f', 251, struct zo_heat)
#define ZV_IOC_HEAT_SET _IOW('f', 251, __u64)

#endif /* _UAPI_LINUX_ZORVEL_HEAT_H */
