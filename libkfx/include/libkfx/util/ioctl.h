/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Control-device channel: a registry of up to ten devices addressed by id,
 * opened on first use, and the generic ioctl data record with its packing.
 *
 * Results are 0 (or the value named) on success and a negative errno value
 * on failure, except libkfx_ioctl_pack(), which returns 1 on failure.
 */
#ifndef LIBKFX_UTIL_IOCTL_H
#define LIBKFX_UTIL_IOCTL_H

#include <linux/kfx/kfx_ioctl.h>
#include <linux/types.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Number of device ids, 0 to KFX_MAX_IOC_DEV - 1. */
#define KFX_MAX_IOC_DEV 10

/* Generic data record: 128 bytes, then the inline areas when packed. */
struct libkfx_ioctl_data {
	struct libkfx_ioctl_hdr ioc_hdr;
	__u64 ioc_nid;
	__u64 ioc_u64[1];
	__u32 ioc_flags;
	__u32 ioc_count;
	__u32 ioc_net;
	__u32 ioc_u32[7];
	__u32 ioc_inllen1;
	char *ioc_inlbuf1;
	__u32 ioc_inllen2;
	char *ioc_inlbuf2;
	__u32 ioc_plen1;
	void *ioc_pbuf1;
	__u32 ioc_plen2;
	void *ioc_pbuf2;
	char ioc_bulk[];
};

/* Registers dev_name (kept by pointer, not copied) as device dev_id,
 * closing any device the id had; returns dev_id or -EINVAL. */
int register_ioc_dev(int dev_id, const char *dev_name);
/* Frees the id and closes its device; unknown ids are ignored. */
void unregister_ioc_dev(int dev_id);

/* Sends request opc with argument buf to device dev_id, opening it on
 * first use; the ioctl result or a negative errno. */
int l_ioctl(int dev_id, unsigned int opc, void *buf);

/* Packs data and its inline areas into *pbuf (allocated with malloc when
 * NULL, then freed by the caller; else max bytes long). 0, or 1 on
 * failure. */
int libkfx_ioctl_pack(struct libkfx_ioctl_data *data, char **pbuf, int max);

/* Copies a packed reply back into data and the caller's inline buffers,
 * never beyond the reply's ioc_len nor beyond the caller's inline
 * lengths. */
void libkfx_ioctl_unpack(struct libkfx_ioctl_data *data, char *pbuf);

#ifdef __cplusplus
}
#endif

#endif /* LIBKFX_UTIL_IOCTL_H */
