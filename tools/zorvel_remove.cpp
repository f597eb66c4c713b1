/* Removal subcommands: rmfid (objects by FID) and rm-entry (directory
 * entries without their objects). */
#include "zorvel_cmd.h"
#include "zorvel_fid.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

/* The most FIDs one removal request carries. */
constexpr size_t rmfid_batch = 4096;

struct named_fid {
	const char *text;
	zo_fid fid;
};

/* Removes one batch. The kernel zeroes each FID it removed and leaves the
 * positive errno of a failed one in its version field; a failed request
 * still says in the array which FIDs failed. */
int remove_batch(const char *where, const named_fid *fids, size_t nr, bool json)
{
	std::unique_ptr<fid_array, decltype(&free)> fa(
	        static_cast<fid_array *>(
	                calloc(1, sizeof(fid_array) + nr * sizeof(zo_fid))),
	        &free);
	if (!fa)
		return fail(-ENOMEM, "cannot remove FIDs");
	fa->fa_nr = nr;
	for (size_t i = 0; i < nr; i++)
		fa->fa_fids[i] = fids[i].fid;
	int rc = zvapi_rmfid(where, fa.get());
	first_failure status;
	bool told = false;
	for (size_t i = 0; i < nr; i++) {
		const zo_fid &fid = fa->fa_fids[i];
		if (fid.f_seq == 0 && fid.f_oid == 0) {
			status.note(
			        print_answer(json,
			                     json_line()
			                             .add("fid", fids[i].text)
			                             .add_int("removed", 1),
			                     ""));
			continue;
		}
		int err = fid.f_ver != 0 ? int(fid.f_ver) : rc != 0 ? -rc : EIO;
		status.note(fail(err, "cannot remove %s",
		                 escaped(fids[i].text).c_str()));
		told = true;
	}
	if (rc != 0 && !told)
		status.note(fail(rc, "cannot remove FIDs in '%s'",
		                 escaped(where).c_str()));
	return status.status();
}

int cmd_rmfid(int argc, char **argv)
{
	std::vector<const char *> ops;
	bool json = false;
	if (int bad = take_operands(argc, argv, ops, &json, 2))
		return bad;
	first_failure status;
	/* A malformed FID is told and skipped, like a FID that fails. */
	std::vector<named_fid> fids;
	for (size_t i = 1; i < ops.size(); i++) {
		named_fid f{ops[i], {}};
		int rc = parse_fid(ops[i], &f.fid);
		if (rc != 0)
			status.note(rc);
		else
			fids.push_back(f);
	}
	for (size_t at = 0; at < fids.size(); at += rmfid_batch) {
		size_t nr = std::min(rmfid_batch, fids.size() - at);
		status.note(remove_batch(ops[0], fids.data() + at, nr, json));
	}
	return status.status();
}

int rm_entry_one(const char *path, bool json)
{
	std::string copy = path;
	int rc = zvapi_direntry_remove(copy.data());
	if (rc != 0)
		return fail_path(rc, "remove the entry", path);
	return print_answer(
	        json, json_line().add("path", path).add_int("removed", 1), "");
}

int cmd_rm_entry(int argc, char **argv)
{
	return operand_command(argc, argv, lost_output::go_on, rm_entry_one);
}

} // namespace

const zorvel_cmd rmfid_cmd = {
        .name = "rmfid",
        .run = cmd_rmfid,
        .usage = "[--json] MOUNT|FSNAME FID...",
        .help = "remove the objects named by FID (4096 in each request)\n"
                "  --json keys, a line per FID removed: fid removed",
};

const zorvel_cmd rm_entry_cmd = {
        .name = "rm-entry",
        .run = cmd_rm_entry,
        .usage = "[--json] PATH...",
        .help = "remove directory entries without looking at their objects\n"
                "  --json keys, a line per entry removed: path removed",
};
