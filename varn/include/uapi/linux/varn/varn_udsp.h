/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Selection-policy (UDSP) records of the networking layer's control device.
 *
 * A request is one varn_ioctl_udsp record, followed in the same buffer by
 * the marshaled descriptors (source, destination, router) when it carries
 * any. Native byte order, no gaps between records.
 */
#ifndef _UAPI_LINUX_VARN_VARN_UDSP_H
#define _UAPI_LINUX_VARN_VARN_UDSP_H

#include <linux/ioctl.h>
#include <linux/kfx/kfx_ioctl.h>
#include <linux/types.h>

/* Read-write requests of type 'e' that encode a size of 184 bytes whatever
 * record they pass. */
#define VARN_IOC_TYPE        'e'
#define VARN_IOC_ENCODED_LEN 184
#define VARN_IOC_CONFIG(nr)                                                    \
	_IOC(_IOC_READ | _IOC_WRITE, VARN_IOC_TYPE, nr, VARN_IOC_ENCODED_LEN)

#define VARN_IOC_ADD_UDSP      VARN_IOC_CONFIG(105) /* record + descriptors */
#define VARN_IOC_DEL_UDSP      VARN_IOC_CONFIG(106) /* record alone */
#define VARN_IOC_GET_UDSP_SIZE VARN_IOC_CONFIG(107) /* answer in iou_idx */
#define VARN_IOC_GET_UDSP      VARN_IOC_CONFIG(108) /* record + room */

/* Descriptor type codes: "SRC", "DST", "RTE" and a zero byte as a u32. */
#define VARN_UDSP_SRC 0x00435253U
#define VARN_UDSP_DST 0x00545344U
#define VARN_UDSP_RTE 0x00455452U

enum varn_udsp_action_type {
	EN_VARN_UDSP_ACTION_NONE = 0,
	EN_VARN_UDSP_ACTION_PRIORITY = 1,
	EN_VARN_UDSP_ACTION_PREFERRED_LIST = 2,
};

/* One range on the wire (12 bytes). */
struct varn_range_expr {
	__u32 re_lo;
	__u32 re_hi;
	__u32 re_stride;
};

/* Count of the ranges that follow (4 bytes). */
struct varn_expressions {
	__u32 ve_count;
};

struct varn_ioctl_udsp_descr_hdr {
	__u32 ud_descr_type;  /* VARN_UDSP_SRC, _DST or _RTE */
	__u32 ud_descr_count; /* address expressions after the net ranges */
};

struct varn_ioctl_udsp_net_descr {
	__u32 ud_net_type; /* 0: the descriptor is absent */
	struct varn_expressions ud_net_num_expr;
};

/* Head of one marshaled descriptor (16 bytes). */
struct varn_ioctl_udsp_descr {
	struct varn_ioctl_udsp_descr_hdr iud_src_hdr;
	struct varn_ioctl_udsp_net_descr iud_net;
};

/* The request record (32 bytes). */
struct varn_ioctl_udsp {
	struct libkfx_ioctl_hdr iou_hdr;
	__s32 iou_idx; /* policy index; the size query's answer */
	__u32 iou_action_type;
	__u32 iou_bulk_size; /* bytes of descriptor data */
	union {
		__u32 priority;
	} iou_action;
	void *iou_bulk; /* descriptor data, right after this record */
};

#define VARN_IOCTL_UDSP_LEN  32
#define VARN_IOCTL_DESCR_LEN 16
#define VARN_RANGE_EXPR_LEN  12
#define VARN_EXPRESSIONS_LEN 4

#endif /* _UAPI_LINUX_VARN_VARN_UDSP_H */
