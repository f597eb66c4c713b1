/* Compile-time checks of every kernel record and request code: a change
 * that would alter the wire format does not build. */
#include "uapi_checks.h"

#include <cstddef>
#include <linux/ioctl.h>
#include <linux/zorvel/zorvel_fid.h>
#include <linux/zorvel/zorvel_layout.h>

using namespace uapi_check;

/* File identifiers */
static_assert(sizeof(zo_fid) == 16);
static_assert(offsetof(zo_fid, f_seq) == 0);
static_assert(offsetof(zo_fid, f_oid) == 8);
static_assert(offsetof(zo_fid, f_ver) == 12);

static_assert(sizeof(getinfo_fid2path) == 32);
static_assert(offsetof(getinfo_fid2path, gf_fid) == 0);
static_assert(offsetof(getinfo_fid2path, gf_recno) == 16);
static_assert(offsetof(getinfo_fid2path, gf_linkno) == 24);
static_assert(offsetof(getinfo_fid2path, gf_pathlen) == 28);
static_assert(offsetof(getinfo_fid2path, gf_u) == 32);

static_assert(sizeof(getparent) == 24);
static_assert(offsetof(getparent, gp_fid) == 0);
static_assert(offsetof(getparent, gp_linkno) == 16);
static_assert(offsetof(getparent, gp_name_size) == 20);
static_assert(offsetof(getparent, gp_name) == 24);

static_assert(sizeof(zorvel_file_handle) == 32);
static_assert(offsetof(zorvel_file_handle, zfh_child) == 0);
static_assert(offsetof(zorvel_file_handle, zfh_parent) == 16);
static_assert(FILEID_ZORVEL == 0x97);

static_assert(FID_SEQ_ROOT == 0x200000007ULL);
static_assert(FID_SEQ_NORMAL == 0x200000400ULL);
static_assert(FID_SEQ_LOV_DEFAULT == 0xFFFFFFFFFFFFFFFFULL);

static_assert(ZV_IOC_FID2PATH == 0xC0086696UL);
static_assert(ZV_IOC_FID2PATH == ioc(rw, 'f', 150, 8));
static_assert(ZV_IOC_FID2MDTIDX == 0xC01066F8UL);
static_assert(ZV_IOC_FID2MDTIDX == ioc(rw, 'f', 248, 16));
static_assert(sizeof(fid_array) == 16);
static_assert(offsetof(fid_array, fa_nr) == 0);
static_assert(offsetof(fid_array, fa_padding1) == 8);
static_assert(offsetof(fid_array, fa_fids) == 16);
static_assert(ZV_IOC_RMFID == 0x801066F2UL);
static_assert(ZV_IOC_RMFID == ioc(read_, 'f', 242, 16));
static_assert(ZV_IOC_GETPARENT == 0xC01866F9UL);
static_assert(ZV_IOC_GETPARENT == ioc(rw, 'f', 249, 24));

/* Layouts */
static_assert(sizeof(zv_layout_ost_data) == 24);
static_assert(sizeof(zv_layout_v1) == 32);
static_assert(offsetof(zv_layout_v1, lmm_magic) == 0);
static_assert(offsetof(zv_layout_v1, lmm_stripe_size) == 24);
static_assert(offsetof(zv_layout_v1, lmm_stripe_count) == 28);
static_assert(offsetof(zv_layout_v1, lmm_objects) == 32);
static_assert(sizeof(zv_layout_v3) == 48);
static_assert(offsetof(zv_layout_v3, lmm_pool_name) == 32);
static_assert(offsetof(zv_layout_v3, lmm_objects) == 48);
static_assert(ZV_LAYOUT_MAX_SIZE == 48048);
static_assert(sizeof(zv_foreign_layout) == 16);
static_assert(offsetof(zv_foreign_layout, lfm_length) == 4);
static_assert(offsetof(zv_foreign_layout, lfm_type) == 8);
static_assert(offsetof(zv_foreign_layout, lfm_flags) == 12);
static_assert(sizeof(zv_lmv_user_md) == 48);
static_assert(sizeof(zv_foreign_dir_create) == 16);
static_assert(sizeof(obd_uuid) == 40);
static_assert(ZV_O_DELAY_CREATE == 0x1002100);

static_assert(ZV_IOC_LOV_SETSTRIPE == 0x4008669AUL);
static_assert(ZV_IOC_LOV_SETSTRIPE == ioc(write_, 'f', 154, 8));
static_assert(ZV_IOC_LOV_GETSTRIPE == 0x4008669BUL);
static_assert(ZV_IOC_LOV_GETSTRIPE == ioc(write_, 'f', 155, 8));
static_assert(ZV_IOC_LMV_GETSTRIPE == 0xC03066F1UL);
static_assert(ZV_IOC_LMV_GETSTRIPE == ioc(rw, 'f', 241, 48));
static_assert(ZV_IOC_LMV_SETSTRIPE == ioc(write_, 'f', 240, 8));
static_assert(ZV_IOC_GETOBDNAME == ioc(read_, 'f', 149, 40));
static_assert(ZV_IOC_REMOVE_ENTRY == 0xC00866F2UL);
static_assert(ZV_IOC_REMOVE_ENTRY == ioc(rw, 'f', 242, 8));
static_assert(ZV_IOC_FOREIGN_UNLINK_PREP == 0x000066F2UL);
static_assert(ZV_IOC_FOREIGN_UNLINK_PREP == ioc(none, 'f', 242, 0));
