/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Mirrored files: selecting one mirror on an open descriptor, so that I/O
 * through it reaches that mirror alone.
 */
#ifndef _UAPI_LINUX_ZORVEL_MIRROR_H
#define _UAPI_LINUX_ZORVEL_MIRROR_H

#include <linux/ioctl.h>
#include <linux/types.h>

/* The argument is the mirror id by value, zero-extended; 0 clears. */
#define ZV_IOC_MIRROR_SET _IOW('f', 177, __u64)

#endif /* _UAPI_LINUX_ZORVEL_MIRROR_H */
