// File identifiers: FID to path, parent of a link, FID to target index, the
// striping device's name, handles of objects and opens by FID.
#pragma once

#include "core/request.h"

struct file_handle;

namespace zvsim::fid
{

extern const Family family;

// The directory of opens by FID, from the mount's root.
constexpr std::string_view FID_DIR_MARK = ".zorvel/fid";

// Request codes of the calls that are not ioctls.
constexpr uint32_t REQ_NAME_TO_HANDLE = 0x5A560001U;
constexpr uint32_t REQ_OPEN_BY_FID = 0x5A560002U;

// name_to_handle_at() of an object in the mount: true when served here
// (result in the system call's convention).
bool name_to_handle(int dirfd, const char *path, ::file_handle *handle,
                    int *mount_id, int flags, int &result);

// An open under <mount>/.zorvel/fid opens the object by its FID: true when
// served here. Other opens in the mount lose the delay-create bit in flags.
bool open_hook(OpenCall &call, int &result);

// Whether dirfd + path names .zorvel or .zorvel/fid of the mount, which
// cannot be removed, renamed or replaced (EPERM).
bool own_directory(int dirfd, const char *path) noexcept;

} // namespace zvsim::fid
