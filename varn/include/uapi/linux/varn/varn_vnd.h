/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Network driver types and the tunables records of the networking layer's
 * configuration interface (native byte order).
 */
#ifndef _UAPI_LINUX_VARN_VARN_VND_H
#define _UAPI_LINUX_VARN_VARN_VND_H

#include <linux/types.h>

/* Network driver types: the type half of a network value. */
#define SOCKVND  2
#define O2IBVND  5
#define LOVND    9
#define GNIVND   13
#define GNIIPVND 14
#define PTL4VND  15
#define NUM_VNDS 16

/* A network value: driver type in the upper 16 bits, number in the lower. */
#define VARN_MKNET(type, num) ((((__u32)(type)) << 16) | ((__u32)(num)&0xffff))
#define VARN_NETTYP(net)      (((__u32)(net) >> 16) & 0xffff)
#define VARN_NETNUM(net)      ((__u32)(net)&0xffff)

/* Common tunables of a network (20 bytes). */
struct varn_ioctl_config_vnd_cmn_tunables {
	__u32 vct_version;
	__s32 vct_peer_timeout;
	__s32 vct_peer_tx_credits;
	__s32 vct_peer_rtr_credits;
	__s32 vct_max_tx_credits;
};

/* o2ib driver tunables (32 bytes). */
struct varn_ioctl_config_o2ibvnd_tunables {
	__u32 vnd_version;
	__u32 vnd_peercredits_hiw;
	__u32 vnd_map_on_demand;
	__u32 vnd_concurrent_sends;
	__u32 vnd_fmr_pool_size;
	__u32 vnd_fmr_flush_trigger;
	__u32 vnd_fmr_cache;
	__u16 vnd_conns_per_peer;
	__u16 vnd_ntx;
};

/* Socket driver tunables (8 bytes). */
struct varn_ioctl_config_sockvnd_tunables {
	__u32 vnd_version;
	__u16 vnd_conns_per_peer;
	__u16 vnd_pad;
};

/* Driver tunables; the network type passed alongside says which member. */
struct varn_vnd_tunables {
	union {
		struct varn_ioctl_config_o2ibvnd_tunables vnd_o2ib;
		struct varn_ioctl_config_sockvnd_tunables vnd_sock;
	} vnd_tun_u;
};

#endif /* _UAPI_LINUX_VARN_VARN_VND_H */
