/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Parameter path lookup: a parameter's name relative to a tree, resolved to
 * its files in every kernel parameter tree at once, in fixed tree order.
 */
#ifndef LIBKFX_UTIL_PARAM_H
#define LIBKFX_UTIL_PARAM_H

#include <glob.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The eight trees, in search order, as one brace pattern. */
#define KFX_PARAM_TOPDIR                                                       \
	"{/sys/{fs,kernel/debug}/{varn,zorvel},/proc/{fs,sys}/{varn,zorvel}}"

/* Fills paths with the files matching the printf-formatted name (which may
 * hold glob wildcards and braces) in every tree; 0 with at least one path,
 * which the caller releases with globfree(). On failure -1 with errno set
 * (EINVAL: name too long, E2BIG: pattern too long, ENOENT: no match,
 * ENOMEM, ENODEV), or the negative result of a failed formatting. The first
 * call of a process mounts the debug file system when it is missing. */
int kfx_get_param_paths(glob_t *paths, const char *pattern, ...)
        __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif

#endif /* LIBKFX_UTIL_PARAM_H */
