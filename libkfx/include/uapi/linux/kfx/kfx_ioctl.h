/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Control-device records: the 8-byte header that starts every record sent
 * to a control device (the networking layer's among them), and the record
 * versions the device checks.
 */
#ifndef _UAPI_LINUX_KFX_IOCTL_H
#define _UAPI_LINUX_KFX_IOCTL_H

#include <linux/types.h>

#define KFX_IOCTL_VERSION_DATA   0x0001000a /* generic data record */
#define KFX_IOCTL_VERSION_CONFIG 0x0001000b /* configuration records */

struct libkfx_ioctl_hdr {
	__u32 ioc_len; /* bytes of the record as sent, data included */
	__u32 ioc_version;
};

#endif /* _UAPI_LINUX_KFX_IOCTL_H */
