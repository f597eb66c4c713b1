/* Compile-time checks of the data-path records and request codes (mirrors,
 * advice, heat): a change that would alter the wire format does not
 * build. */
#include "uapi_checks.h"

#include <cstddef>
#include <linux/zorvel/zorvel_advice.h>
#include <linux/zorvel/zorvel_heat.h>
#include <linux/zorvel/zorvel_mirror.h>

using namespace uapi_check;

/* Mirrors */
static_assert(ZV_IOC_MIRROR_SET == 0x400866B1UL);
static_assert(ZV_IOC_MIRROR_SET == ioc(write_, 'f', 177, 8));

/* Advice */
static_assert(sizeof(zvapi_zo_ladvise) == 32);
static_assert(offsetof(zvapi_zo_ladvise, zla_advice) == 0);
static_assert(offsetof(zvapi_zo_ladvise, zla_value1) == 2);
static_assert(offsetof(zvapi_zo_ladvise, zla_value2) == 4);
static_assert(offsetof(zvapi_zo_ladvise, zla_start) == 8);
static_assert(offsetof(zvapi_zo_ladvise, zla_end) == 16);
static_assert(offsetof(zvapi_zo_ladvise, zla_value3) == 24);
static_assert(offsetof(zvapi_zo_ladvise, zla_value4) == 28);
static_assert(sizeof(zvapi_ladvise_hdr) == 32);
static_assert(offsetof(zvapi_ladvise_hdr, zah_magic) == 0);
static_assert(offsetof(zvapi_ladvise_hdr, zah_count) == 4);
static_assert(offsetof(zvapi_ladvise_hdr, zah_flags) == 8);
static_assert(offsetof(zvapi_ladvise_hdr, zah_value1) == 16);
static_assert(offsetof(zvapi_ladvise_hdr, zah_value2) == 20);
static_assert(offsetof(zvapi_ladvise_hdr, zah_value3) == 24);
static_assert(offsetof(zvapi_ladvise_hdr, zah_advise) == 32);
static_assert(LADVISE_MAGIC == 0x1ADF1CE0);
static_assert(LADVISE_MAX_COUNT == 1023);
static_assert(ZO_LADVISE_WILLREAD == 1 && ZO_LADVISE_DONTNEED == 2 &&
              ZO_LADVISE_LOCKNOEXPAND == 3 && ZO_LADVISE_LOCKAHEAD == 4 &&
              ZO_LADVISE_MAX == 5);
static_assert(LF_ASYNC == 0x1 && LF_UNSET == 0x2);
static_assert(ZV_IOC_LADVISE == 0x802066FAUL);
static_assert(ZV_IOC_LADVISE == ioc(read_, 'f', 250, 32));

/* Heat */
static_assert(sizeof(zo_heat) == 8);
static_assert(offsetof(zo_heat, zh_count) == 0);
static_assert(offsetof(zo_heat, zh_flags) == 4);
static_assert(offsetof(zo_heat, zh_heat) == 8);
static_assert(ZV_IOC_HEAT_GET == 0xC00866FBUL);
static_assert(ZV_IOC_HEAT_GET == ioc(rw, 'f', 251, 8));
static_assert(ZV_IOC_HEAT_SET == 0x400866FBUL);
static_assert(ZV_IOC_HEAT_SET == ioc(write_, 'f', 251, 8));
