/* Compile-time checks of the data-version, swap, group-lock, lease and
 * cache records and request codes: a change that would alter the wire
 * format does not build. */
#include "uapi_checks.h"

#include <cstddef>
#include <linux/zorvel/zorvel_lease.h>
#include <linux/zorvel/zorvel_pcc.h>
#include <linux/zorvel/zorvel_swap.h>

using namespace uapi_check;

/* Data versions, swaps, group locks, volatile names */
static_assert(sizeof(ioc_data_version) == 16);
static_assert(offsetof(ioc_data_version, idv_version) == 0);
static_assert(offsetof(ioc_data_version, idv_layout_version) == 8);
static_assert(offsetof(ioc_data_version, idv_flags) == 12);

static_assert(sizeof(zorvel_swap_layouts) == 32);
static_assert(offsetof(zorvel_swap_layouts, sl_flags) == 0);
static_assert(offsetof(zorvel_swap_layouts, sl_fd) == 8);
static_assert(offsetof(zorvel_swap_layouts, sl_gid) == 12);
static_assert(offsetof(zorvel_swap_layouts, sl_dv1) == 16);
static_assert(offsetof(zorvel_swap_layouts, sl_dv2) == 24);
static_assert(ZV_SWAP_KEEP_MTIME == 0x4 && ZV_SWAP_KEEP_ATIME == 0x8);

static_assert(sizeof(ZV_VOLATILE_HDR) - 1 == ZV_VOLATILE_HDR_LEN);
static_assert(ZV_VOLATILE_HDR[0] == '.' && ZV_VOLATILE_HDR[1] == 0x1A &&
              ZV_VOLATILE_HDR[2] == 0x11 && ZV_VOLATILE_HDR[3] == 0x16 &&
              ZV_VOLATILE_HDR[4] == 0x18 && ZV_VOLATILE_HDR[5] == ':');

static_assert(ZV_IOC_DATA_VERSION == 0x801066DAUL);
static_assert(ZV_IOC_DATA_VERSION == ioc(read_, 'f', 218, 16));
static_assert(ZV_IOC_SWAP_LAYOUTS == 0x402066DBUL);
static_assert(ZV_IOC_SWAP_LAYOUTS == ioc(write_, 'f', 219, 32));
static_assert(ZV_IOC_GROUP_LOCK == 0x4008669EUL);
static_assert(ZV_IOC_GROUP_LOCK == ioc(write_, 'f', 158, 8));
static_assert(ZV_IOC_GROUP_UNLOCK == 0x4008669FUL);
static_assert(ZV_IOC_GROUP_UNLOCK == ioc(write_, 'f', 159, 8));

/* Leases */
static_assert(sizeof(zv_ioc_lease) == 12);
static_assert(offsetof(zv_ioc_lease, zil_mode) == 0);
static_assert(offsetof(zv_ioc_lease, zil_flags) == 4);
static_assert(offsetof(zv_ioc_lease, zil_count) == 8);
static_assert(offsetof(zv_ioc_lease, zil_ids) == 12);
static_assert(sizeof(zv_lease_mode) == 4 && sizeof(zv_lease_flags) == 4);
static_assert(ZV_LEASE_RDLCK == 1 && ZV_LEASE_WRLCK == 2 &&
              ZV_LEASE_UNLCK == 4);
static_assert(ZV_LEASE_RESYNC == 0x1 && ZV_LEASE_RESYNC_DONE == 0x2 &&
              ZV_LEASE_LAYOUT_MERGE == 0x4 && ZV_LEASE_LAYOUT_SPLIT == 0x8 &&
              ZV_LEASE_PCC_ATTACH == 0x10);
static_assert(ZV_IOC_LEASE_SET == 0xC00C66F3UL);
static_assert(ZV_IOC_LEASE_SET == ioc(rw, 'f', 243, 12));
static_assert(ZV_IOC_LEASE_SET_BY_MODE == 0xC00866F3UL);
static_assert(ZV_IOC_LEASE_SET_BY_MODE == ioc(rw, 'f', 243, 8));
static_assert(ZV_IOC_LEASE_CHECK == 0x000066F4UL);
static_assert(ZV_IOC_LEASE_CHECK == ioc(none, 'f', 244, 0));

/* Client cache */
static_assert(sizeof(zo_pcc_type) == 4);
static_assert(ZO_PCC_NONE == 0 && ZO_PCC_READWRITE == 1 && ZO_PCC_MAX == 2);
static_assert(sizeof(zo_pcc_detach) == 4);
static_assert(sizeof(zo_pcc_detach_fid) == 20);
static_assert(offsetof(zo_pcc_detach_fid, pccd_fid) == 0);
static_assert(offsetof(zo_pcc_detach_fid, pccd_opt) == 16);
static_assert(sizeof(zo_pcc_state) == 4112);
static_assert(offsetof(zo_pcc_state, pccs_type) == 0);
static_assert(offsetof(zo_pcc_state, pccs_open_count) == 4);
static_assert(offsetof(zo_pcc_state, pccs_flags) == 8);
static_assert(offsetof(zo_pcc_state, pccs_padding) == 12);
static_assert(offsetof(zo_pcc_state, pccs_path) == 16);
static_assert(ZV_IOC_PCC_DETACH == 0x400466FCUL);
static_assert(ZV_IOC_PCC_DETACH == ioc(write_, 'f', 252, 4));
static_assert(ZV_IOC_PCC_DETACH_BY_FID == 0x401466FCUL);
static_assert(ZV_IOC_PCC_DETACH_BY_FID == ioc(write_, 'f', 252, 20));
static_assert(ZV_IOC_PCC_STATE == 0x901066FCUL);
static_assert(ZV_IOC_PCC_STATE == ioc(read_, 'f', 252, 4112));
