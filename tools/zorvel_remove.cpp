/* Removal subcommands: rmfid (objects by FID) and rm-entry (directory
 * entries without their objects). */
#include "zorvel_cmd.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

/* The kernel zeroes each FID it removed and leaves the positive errno of
 * a failed one in its version field. */
int cmd_rmfid(int argc, char **argv)
{
	if (argc < 3) {
		fprintf(stderr, "usage: zorvel rmfid MOUNT|FSNAME FID...\n");
		return ZV_EXIT_USAGE;
	}
	int nr = argc - 2;
	std::unique_ptr<fid_array, decltype(&free)> fa(
	        static_cast<fid_array *>(
	                calloc(1, sizeof(fid_array) + nr * sizeof(zo_fid))),
	        &free);
	if (!fa) {
		zvapi_error(ZVAPI_MSG_ERROR, ENOMEM, "cannot remove FIDs");
		return ENOMEM;
	}
	fa->fa_nr = nr;
	for (int i = 0; i < nr; i++) {
		int rc = zvapi_fid_parse(argv[i + 2], &fa->fa_fids[i], nullptr);
		if (rc != 0) {
			zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
			            "bad FID format '%s', should be "
			            "[seq:oid:ver]",
			            argv[i + 2]);
			return exit_status(rc);
		}
	}
	/* A failed request still says in the array which FIDs failed. */
	int rc = zvapi_rmfid(argv[1], fa.get());
	int status = 0;
	for (int i = 0; i < nr; i++) {
		const zo_fid &fid = fa->fa_fids[i];
		if (fid.f_seq == 0 && fid.f_oid == 0)
			continue;
		int err = fid.f_ver != 0 ? int(fid.f_ver) : rc != 0 ? -rc : EIO;
		zvapi_error(ZVAPI_MSG_ERROR, err, "cannot remove %s",
		            argv[i + 2]);
		if (status == 0)
			status = exit_status(err);
	}
	if (rc != 0 && status == 0) {
		zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot remove FIDs in '%s'",
		            argv[1]);
		status = exit_status(rc);
	}
	return status;
}

int cmd_rm_entry(int argc, char **argv)
{
	if (argc < 2) {
		fprintf(stderr, "usage: zorvel rm-entry PATH...\n");
		return ZV_EXIT_USAGE;
	}
	int status = 0;
	for (int i = 1; i < argc; i++) {
		int rc = zvapi_direntry_remove(argv[i]);
		if (rc != 0 && status == 0)
			status = exit_status(rc);
	}
	return status;
}
