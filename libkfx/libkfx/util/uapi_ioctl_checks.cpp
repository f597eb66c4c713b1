/* Compile-time checks of the control-device records: a change that would
 * alter what a control device receives does not build. */
#include <libkfx/util/ioctl.h>

#include <cstddef>

/* The header every control-device record starts with */
static_assert(sizeof(libkfx_ioctl_hdr) == 8);

/* The generic data record, before its inline areas */
static_assert(sizeof(libkfx_ioctl_data) == 128);
static_assert(offsetof(libkfx_ioctl_data, ioc_nid) == 8);
static_assert(offsetof(libkfx_ioctl_data, ioc_flags) == 24);
static_assert(offsetof(libkfx_ioctl_data, ioc_net) == 32);
static_assert(offsetof(libkfx_ioctl_data, ioc_inllen1) == 64);
static_assert(offsetof(libkfx_ioctl_data, ioc_inlbuf1) == 72);
static_assert(offsetof(libkfx_ioctl_data, ioc_inllen2) == 80);
static_assert(offsetof(libkfx_ioctl_data, ioc_inlbuf2) == 88);
static_assert(offsetof(libkfx_ioctl_data, ioc_plen1) == 96);
static_assert(offsetof(libkfx_ioctl_data, ioc_pbuf2) == 120);
static_assert(offsetof(libkfx_ioctl_data, ioc_bulk) == 128);
