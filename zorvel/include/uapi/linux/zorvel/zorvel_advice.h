/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Access advice: a batch of advices on byte ranges of an open file, given
 * in one request.
 */
#ifndef _UAPI_LINUX_ZORVEL_ADVICE_H
#define _UAPI_LINUX_ZORVEL_ADVICE_H

#include <linux/ioctl.h>
#include <linux/types.h>

enum zo_ladvise_type {
	ZO_LADVISE_INVALID = 0,
	ZO_LADVISE_WILLREAD = 1,
	ZO_LADVISE_DONTNEED = 2,
	ZO_LADVISE_LOCKNOEXPAND = 3,
	ZO_LADVISE_LOCKAHEAD = 4,
	ZO_LADVISE_MAX = 5 /* the number of types */
};

/* Flags of a batch; only these reach the kernel. */
enum ladvise_flag {
	LF_ASYNC = 0x1,
	LF_UNSET = 0x2,
};
#define LADVISE_FLAGS_MASK 0x3

/* One advice: 32 bytes, host byte order. */
typedef struct zvapi_zo_ladvise {
	__u16 zla_advice; /* enum zo_ladvise_type */
	__u16 zla_value1;
	__u32 zla_value2;
	__u64 zla_start;  /* first byte of the range */
	__u64 zla_end;    /* end of the range */
	__u32 zla_value3; /* lock-ahead: the kernel's result comes back here */
	__u32 zla_value4;
} zvapi_zo_ladvise;

#define LADVISE_MAGIC     0x1ADF1CE0
#define LADVISE_MAX_COUNT 1023 /* entries in one request */

/* The request: this 32-byte header, then zah_count entries. */
typedef struct zvapi_ladvise_hdr {
	__u32 zah_magic; /* LADVISE_MAGIC */
	__u32 zah_count;
	__u64 zah_flags; /* enum ladvise_flag bits */
	__u32 zah_value1;
	__u32 zah_value2;
	__u64 zah_value3;
	zvapi_zo_ladvise zah_advise[];
} zvapi_ladvise_hdr;

/* The size encoded is the header's alone. */
#define ZV_IOC_LADVISE _IOR('f', 250, struct zvapi_ladvise_hdr)

#endif /* _UAPI_LINUX_ZORVEL_ADVICE_H */
