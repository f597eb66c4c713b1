/* Change-log subcommands: changelog (one record a line) and
 * changelog-clear. */
#include "zorvel_cmd.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace
{

bool fid_is_zero(const zo_fid &f)
{
	return f.f_seq == 0 && f.f_oid == 0 && f.f_ver == 0;
}

/* UTC time with nanoseconds. */
void print_time(uint64_t ns)
{
	time_t sec = ns / 1000000000ULL;
	struct tm tm;
	gmtime_r(&sec, &tm);
	char buf[32];
	strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S", &tm);
	printf("%s.%09" PRIu64 "Z", buf, uint64_t(ns % 1000000000));
}

/* One record a line: index, type, time, flags, target and parent FIDs,
 * name, then the extensions that carry something. */
void print_record(const changelog_rec *rec)
{
	printf("%llu %s ", (unsigned long long)rec->cr_index,
	       changelog_type2str(rec->cr_type));
	print_time(rec->cr_time);
	printf(" 0x%x t=" ZO_FID_FMT " p=" ZO_FID_FMT " %.*s",
	       rec->cr_flags & CLF_FLAGMASK, ZO_FID_ARGS(&rec->cr_tfid),
	       ZO_FID_ARGS(&rec->cr_pfid), int(rec->cr_namelen),
	       changelog_rec_name(rec));

	const changelog_ext_rename *rn = changelog_rec_rename(rec);
	if (!fid_is_zero(rn->cr_sfid) || !fid_is_zero(rn->cr_spfid))
		printf(" s=" ZO_FID_FMT " sp=" ZO_FID_FMT,
		       ZO_FID_ARGS(&rn->cr_sfid), ZO_FID_ARGS(&rn->cr_spfid));
	const changelog_ext_jobid *job = changelog_rec_jobid(rec);
	if (job->cr_jobid[0] != '\0')
		printf(" j=%.*s",
		       int(strnlen(job->cr_jobid, sizeof(job->cr_jobid))),
		       job->cr_jobid);
	const changelog_ext_uidgid *ids = changelog_rec_uidgid(rec);
	printf(" u=%llu:%llu", (unsigned long long)ids->cr_uid,
	       (unsigned long long)ids->cr_gid);
	const changelog_ext_nid *nid = changelog_rec_nid(rec);
	if (nid->cr_nid != 0)
		printf(" nid=0x%llx", (unsigned long long)nid->cr_nid);
	const changelog_ext_openmode *om = changelog_rec_openmode(rec);
	if (om->cr_openflags != 0)
		printf(" m=0%o", om->cr_openflags);
	const changelog_ext_xattr *xa = changelog_rec_xattr(rec);
	if (xa->cr_xattr[0] != '\0')
		printf(" x=%.*s",
		       int(strnlen(xa->cr_xattr, sizeof(xa->cr_xattr))),
		       xa->cr_xattr);
	putchar('\n');
}

bool parse_number(const char *text, long long *out)
{
	char *end;
	errno = 0;
	*out = strtoll(text, &end, 0);
	return errno == 0 && end != text && *end == '\0';
}

} // namespace

int cmd_changelog(int argc, char **argv)
{
	const char *target = nullptr;
	long long startrec = 0;
	bool follow = false, have_start = false;
	for (int i = 1; i < argc; i++) {
		if (strcmp(argv[i], "--follow") == 0) {
			follow = true;
		} else if (target == nullptr && argv[i][0] != '-') {
			target = argv[i];
		} else if (!have_start && parse_number(argv[i], &startrec) &&
		           startrec >= 0) {
			have_start = true;
		} else {
			fprintf(stderr, "zorvel changelog: bad argument '%s'\n",
			        argv[i]);
			return ZV_EXIT_USAGE;
		}
	}
	if (target == nullptr) {
		fprintf(stderr, "usage: zorvel changelog TARGET [STARTREC] "
		                "[--follow]\n");
		return ZV_EXIT_USAGE;
	}

	int flags = CHANGELOG_FLAG_JOBID | CHANGELOG_FLAG_EXTRA_FLAGS |
	            (follow ? CHANGELOG_FLAG_FOLLOW | CHANGELOG_FLAG_BLOCK : 0);
	void *priv = nullptr;
	int rc = zvapi_changelog_start(&priv, changelog_send_flag(flags),
	                               target, startrec);
	if (rc != 0) {
		zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot read the log of '%s'",
		            target);
		return exit_status(rc);
	}
	zvapi_changelog_set_xflags(
	        priv, changelog_send_extra_flag(CHANGELOG_EXTRA_FLAG_UIDGID |
	                                        CHANGELOG_EXTRA_FLAG_NID |
	                                        CHANGELOG_EXTRA_FLAG_OMODE |
	                                        CHANGELOG_EXTRA_FLAG_XATTR));
	int status = 0;
	changelog_rec *rec;
	while ((rc = zvapi_changelog_recv(priv, &rec)) == 0) {
		print_record(rec);
		if (follow)
			fflush(stdout);
		zvapi_changelog_free(&rec);
	}
	if (rc < 0) {
		zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot read the log of '%s'",
		            target);
		status = exit_status(rc);
	}
	zvapi_changelog_fini(&priv);
	return status;
}

int cmd_changelog_clear(int argc, char **argv)
{
	long long endrec;
	if (argc != 4 || !parse_number(argv[3], &endrec)) {
		fprintf(stderr,
		        "usage: zorvel changelog-clear TARGET USER ENDREC\n");
		return ZV_EXIT_USAGE;
	}
	int rc = zvapi_changelog_clear(argv[1], argv[2], endrec);
	return exit_status(rc);
}
