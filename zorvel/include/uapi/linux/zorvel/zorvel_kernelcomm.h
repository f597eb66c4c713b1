/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Kernel-to-user messages: the registration record of a receiving pipe and
 * the header framing every message the kernel writes into it.
 */
#ifndef _UAPI_LINUX_ZORVEL_KERNELCOMM_H
#define _UAPI_LINUX_ZORVEL_KERNELCOMM_H

#include <linux/types.h>

#define KUC_HDR_MAGIC 0x191C

/* In front of every message: 8 bytes, host byte order. */
struct kuc_hdr {
	__u16 kuc_magic;
	__u8 kuc_transport; /* enum kuc_transport_type */
	__u8 kuc_flags;
	__u16 kuc_msgtype;
	__u16 kuc_msglen; /* whole message, header included */
};

enum kuc_transport_type {
	KUC_TRANSPORT_GENERIC = 1,
	KUC_TRANSPORT_HSM = 2
};

/* A receiving pipe as registered with the kernel. */
struct zorvel_kernelcomm {
	__u32 zk_wfd;   /* write end, the kernel's; -1 when none */
	__u32 zk_rfd;   /* read end, the process's; -1 when none */
	__u32 zk_uid;   /* process id of the receiver */
	__u32 zk_group; /* group of messages registered for */
	__u32 zk_data_count;
	__u32 zk_flags;
	__u32 zk_data[];
};

#endif /* _UAPI_LINUX_ZORVEL_KERNELCOMM_H */
