/* What the subcommands taking FIDs share. */
#ifndef ZORVEL_TOOLS_ZORVEL_FID_H
#define ZORVEL_TOOLS_ZORVEL_FID_H

#include <zorvel/zorvelapi.h>

#include <string>

/* The text of a FID, as [seq:oid:ver]. */
std::string fid_text(const zo_fid &fid);

/* A whole FID text into *fid: 0, or the exit status after the message
 * (the zero FID names nothing and is refused too). */
int parse_fid(const char *text, zo_fid *fid);

/* The mount root of a mount path or file-system name, and a descriptor of
 * it that the caller closes: 0, or the exit status after the message. */
int open_root(const char *mount_or_fsname, std::string *root, int *root_fd);

#endif
