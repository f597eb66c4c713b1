/* Internal services shared by the units of the client library. */
#ifndef ZORVEL_UTILS_ZORVELAPI_INTERNAL_H
#define ZORVEL_UTILS_ZORVELAPI_INTERNAL_H

#include <zorvel/zorvelapi.h>
#include <zv/c_boundary.h>
#include <zv/high_fd.h>
#include <zv/owners.h>

#include <cerrno>
#include <cstdlib>
#include <glob.h>
#include <limits.h>
#include <string>
#include <unistd.h>

#define ZV_EXPORT __attribute__((visibility("default")))

/* Mount type and the name of its file system in the mount table. */
#define ZV_MNTTYPE "zorvel"

namespace zv
{

/* One entry of the file system's mounts. */
struct mount_entry {
	std::string dir;    /* mount point */
	std::string fsname; /* file-system name */
	std::string source; /* mount-table source, "<nid>:/<fsname>" */
};

/* Finds a mount of this file system: by fsname when it is non-empty, else
 * the one holding path. index -1 or 0 takes the best match, index > 0 the
 * index-th mount of the file system in table order. 0, -EINVAL, -ENOMEM
 * or -ENODEV. */
int find_mount(const char *path, const char *fsname, int index,
               mount_entry *out) noexcept;

} // namespace zv

/* What get_root_path() hands back. */
#define WANT_PATH   0x1
#define WANT_FSNAME 0x2
#define WANT_FD     0x4

/* Root of a mount named by fsname or holding path (the other NULL). With
 * WANT_FD an open descriptor of the root directory is left in *outfd, which
 * the caller closes; with WANT_PATH the mount point is copied into path
 * (when fsname selected the mount), with WANT_FSNAME the file-system name
 * into fsname (when path did); both buffers are PATH_MAX bytes. */
int get_root_path(int want, char *fsname, int *outfd, char *path, int index);

/* Rebuilds a change-log record in place in the layout of these bits. */
void changelog_remap_rec(struct changelog_rec *rec,
                         enum changelog_rec_flags crf_wanted,
                         enum changelog_rec_extra_flags cref_want);

/* Copies a path or name from the kernel into tgt, folding runs of '/'; an
 * empty result becomes "/". -ERANGE (errno too) when it does not fit. */
int copy_strip_dne_path(const char *src, char *tgt, size_t tgtlen);

#endif /* ZORVEL_UTILS_ZORVELAPI_INTERNAL_H */
