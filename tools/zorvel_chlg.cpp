/* Change-log subcommands: changelog (one record a line; a follower stops
 * cleanly on SIGINT and SIGTERM) and changelog-clear. */
#include "zorvel_cmd.h"
#include "zorvel_fid.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <poll.h>
#include <string>
#include <vector>

namespace
{

bool fid_is_zero(const zo_fid &f)
{
	return f.f_seq == 0 && f.f_oid == 0 && f.f_ver == 0;
}

/* UTC time with nanoseconds. */
std::string time_text(uint64_t ns)
{
	time_t sec = ns / 1000000000ULL;
	struct tm tm;
	gmtime_r(&sec, &tm);
	char buf[32], out[48];
	strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S", &tm);
	snprintf(out, sizeof out, "%s.%09" PRIu64 "Z", buf,
	         uint64_t(ns % 1000000000));
	return out;
}

std::string bounded(const char *p, size_t max)
{
	return std::string(p, strnlen(p, max));
}

/* One record a line: index, type, time, flags, target and parent FIDs,
 * name, then the extensions that carry something. */
int print_record(const changelog_rec *rec, bool json)
{
	std::string name(changelog_rec_name(rec), rec->cr_namelen);
	name = bounded(name.c_str(), name.size());
	const changelog_ext_rename *rn = changelog_rec_rename(rec);
	bool renamed = !fid_is_zero(rn->cr_sfid) || !fid_is_zero(rn->cr_spfid);
	std::string job = bounded(changelog_rec_jobid(rec)->cr_jobid,
	                          sizeof(changelog_ext_jobid::cr_jobid));
	const changelog_ext_uidgid *ids = changelog_rec_uidgid(rec);
	uint64_t nid = changelog_rec_nid(rec)->cr_nid;
	unsigned mode = changelog_rec_openmode(rec)->cr_openflags;
	std::string xattr = bounded(changelog_rec_xattr(rec)->cr_xattr,
	                            sizeof(changelog_ext_xattr::cr_xattr));
	if (json) {
		json_line line;
		line.add_u64("index", rec->cr_index)
		        .add("type", changelog_type2str(rec->cr_type))
		        .add("time", time_text(rec->cr_time))
		        .add_u64("flags", rec->cr_flags & CLF_FLAGMASK)
		        .add("tfid", fid_text(rec->cr_tfid))
		        .add("pfid", fid_text(rec->cr_pfid))
		        .add("name", name);
		if (renamed)
			line.add("sfid", fid_text(rn->cr_sfid))
			        .add("spfid", fid_text(rn->cr_spfid));
		if (!job.empty())
			line.add("jobid", job);
		line.add_u64("uid", ids->cr_uid).add_u64("gid", ids->cr_gid);
		if (nid != 0)
			line.add_u64("nid", nid);
		if (mode != 0)
			line.add_u64("openmode", mode);
		if (!xattr.empty())
			line.add("xattr", xattr);
		return exit_status(line.write());
	}
	std::string text = std::to_string(rec->cr_index) + " " +
	                   changelog_type2str(rec->cr_type) + " " +
	                   time_text(rec->cr_time);
	char buf[64];
	snprintf(buf, sizeof buf, " 0x%x", rec->cr_flags & CLF_FLAGMASK);
	text += buf;
	text += " t=" + fid_text(rec->cr_tfid) +
	        " p=" + fid_text(rec->cr_pfid) + " " + escaped(name.c_str());
	if (renamed)
		text += " s=" + fid_text(rn->cr_sfid) +
		        " sp=" + fid_text(rn->cr_spfid);
	if (!job.empty())
		text += " j=" + escaped(job.c_str());
	text += " u=" + std::to_string(ids->cr_uid) + ":" +
	        std::to_string(ids->cr_gid);
	if (nid != 0) {
		snprintf(buf, sizeof buf, " nid=0x%llx",
		         (unsigned long long)nid);
		text += buf;
	}
	if (mode != 0) {
		snprintf(buf, sizeof buf, " m=0%o", mode);
		text += buf;
	}
	if (!xattr.empty())
		text += " x=" + escaped(xattr.c_str());
	out_printf("%s\n", text.c_str());
	return 0;
}

/* Set by SIGINT or SIGTERM: a follower stops after the record in hand. */
volatile sig_atomic_t stop_requested;

void request_stop(int)
{
	stop_requested = 1;
}

/* A follower stops on SIGINT and SIGTERM. Their handlers only set
 * stop_requested, and have no SA_RESTART, so that a read waiting for the
 * next record returns EINTR. Both signals are held except while the
 * follower waits for the log (ppoll) or reads it, so one that comes
 * between the check of the flag and the wait is not missed. A signal
 * ignored when the command started (a background job) stays ignored.
 * Nothing is restored: the command ends right after, and a second signal
 * must not end it before its output is flushed. */
class follow_stop
{
      public:
	follow_stop()
	{
		sigemptyset(&stop_);
		for (int sig : {SIGINT, SIGTERM}) {
			struct sigaction old;
			if (sigaction(sig, nullptr, &old) == 0 &&
			    old.sa_handler == SIG_IGN)
				continue;
			struct sigaction sa = {};
			sa.sa_handler = request_stop;
			sigemptyset(&sa.sa_mask);
			sigaction(sig, &sa, nullptr);
			sigaddset(&stop_, sig);
		}
		sigprocmask(SIG_BLOCK, &stop_, &waiting_);
		for (int sig : {SIGINT, SIGTERM})
			if (sigismember(&stop_, sig))
				sigdelset(&waiting_, sig);
	}
	bool requested() const
	{
		return stop_requested != 0;
	}
	/* Waits until fd is readable: 0, -EINTR for a signal, or -errno. */
	int wait_readable(int fd) const
	{
		struct pollfd p = {fd, POLLIN, 0};
		return ppoll(&p, 1, nullptr, &waiting_) < 0 ? -errno : 0;
	}
	/* The stopping signals let through while f runs. */
	template <typename F>
	int with_signals(F &&f) const
	{
		sigprocmask(SIG_SETMASK, &waiting_, nullptr);
		int rc = f();
		sigprocmask(SIG_BLOCK, &stop_, nullptr);
		return rc;
	}

      private:
	sigset_t stop_, waiting_;
};

/* The next record of a follower, waiting for the log while the stopping
 * signals can come: 0, 1 at the end, -EINTR when a signal came. */
int follow_recv(void *priv, changelog_rec **rec, const follow_stop &stop)
{
	if (stop.requested())
		return -EINTR;
	if (zvapi_changelog_in_buf(priv))
		return zvapi_changelog_recv(priv, rec);
	int rc = stop.wait_readable(zvapi_changelog_get_fd(priv));
	if (rc < 0)
		return rc;
	/* a record purged since the poll leaves this read waiting: it
	 * must be interruptible too */
	return stop.with_signals(
	        [&] { return zvapi_changelog_recv(priv, rec); });
}

bool parse_number(const char *text, long long *out)
{
	char *end;
	errno = 0;
	*out = strtoll(text, &end, 0);
	return errno == 0 && end != text && *end == '\0';
}

int cmd_changelog(int argc, char **argv)
{
	std::vector<const char *> ops;
	bool follow = false, json = false, options = true;
	for (int i = 1; i < argc; i++) {
		if (options && strcmp(argv[i], "--") == 0)
			options = false;
		else if (options && strcmp(argv[i], "--follow") == 0)
			follow = true;
		else if (options && strcmp(argv[i], "--json") == 0)
			json = true;
		else if (options && argv[i][0] == '-')
			return usage_error((std::string("unknown option '") +
			                    argv[i] + "'")
			                           .c_str());
		else
			ops.push_back(argv[i]);
	}
	if (ops.empty())
		return missing_arguments();
	long long startrec = 0;
	if (ops.size() > 2 ||
	    (ops.size() == 2 &&
	     (!parse_number(ops[1], &startrec) || startrec < 0)))
		return usage_error("STARTREC is one number, 0 or more");
	const char *target = ops[0];

	int flags = CHANGELOG_FLAG_JOBID | CHANGELOG_FLAG_EXTRA_FLAGS |
	            (follow ? CHANGELOG_FLAG_FOLLOW | CHANGELOG_FLAG_BLOCK : 0);
	void *priv = nullptr;
	int rc = zvapi_changelog_start(&priv, changelog_send_flag(flags),
	                               target, startrec);
	if (rc != 0)
		return fail(rc, "cannot read the log of '%s'",
		            escaped(target).c_str());
	zvapi_changelog_set_xflags(
	        priv, changelog_send_extra_flag(CHANGELOG_EXTRA_FLAG_UIDGID |
	                                        CHANGELOG_EXTRA_FLAG_NID |
	                                        CHANGELOG_EXTRA_FLAG_OMODE |
	                                        CHANGELOG_EXTRA_FLAG_XATTR));
	int status = 0;
	changelog_rec *rec;
	std::optional<follow_stop> stop;
	if (follow)
		stop.emplace();
	while (status == 0 && output_ok()) {
		rc = follow ? follow_recv(priv, &rec, *stop)
		            : zvapi_changelog_recv(priv, &rec);
		if (rc == -EINTR && follow) {
			if (stop->requested()) {
				rc = 0; /* a clean stop */
				break;
			}
			continue;
		}
		if (rc != 0)
			break;
		status = print_record(rec, json);
		/* a follower's reader sees each record as it comes */
		if (follow && fflush(stdout) != 0)
			output_ok();
		zvapi_changelog_free(&rec);
	}
	if (status == 0 && rc < 0)
		status = fail(rc, "cannot read the log of '%s'",
		              escaped(target).c_str());
	zvapi_changelog_fini(&priv);
	return status;
}

int cmd_changelog_clear(int argc, char **argv)
{
	std::vector<const char *> ops;
	bool json = false;
	if (int bad = take_operands(argc, argv, ops, &json, 3))
		return bad;
	long long endrec;
	if (ops.size() > 3 || !parse_number(ops[2], &endrec) || endrec < 0)
		return usage_error("ENDREC is one number, 0 or more");
	int rc = zvapi_changelog_clear(ops[0], ops[1], endrec);
	if (rc != 0)
		return fail(rc, "cannot purge the records of user '%s' on '%s'",
		            escaped(ops[1]).c_str(), escaped(ops[0]).c_str());
	if (json)
		return exit_status(json_line()
		                           .add("target", ops[0])
		                           .add("user", ops[1])
		                           .add_u64("endrec", endrec)
		                           .write());
	return 0;
}

} // namespace

const zorvel_cmd changelog_cmd = {
        .name = "changelog",
        .run = cmd_changelog,
        .usage = "[--json] [--follow] TARGET [STARTREC]",
        .help = "print the change log of a metadata "
                "target, one record a line\n"
                "  TARGET is a target name such "
                "as demo-MDT0000; records from\n"
                "  STARTREC (default 0, the first); --follow waits for more\n"
                "  until SIGINT or SIGTERM, which "
                "stop it (status 0) once what\n"
                "  was read is printed.\n"
                "  A log keeps records only while a user is registered:\n"
                "    zvsim changelog register TARGET "
                " (prints the user, e.g. cl1)\n"
                "  a line per record:\n"
                "    INDEX TYPE TIME FLAGS t=FID "
                "p=FID NAME [s=FID sp=FID] [j=JOB]\n"
                "    u=UID:GID [nid=NID] [m=MODE] [x=XATTR]\n"
                "  INDEX the record number; TYPE "
                "such as CREATE, MKDIR, RENAME; TIME\n"
                "  UTC with nanoseconds; FLAGS "
                "hexadecimal; t= the target and p=\n"
                "  the parent FID; NAME the entry "
                "name; s= and sp= the source\n"
                "  and its parent of a rename; j= "
                "the job; u= the user and group;\n"
                "  nid= the client (hexadecimal); "
                "m= the open flags (octal); x= the\n"
                "  extended attribute. Names are escaped (\\n, \\t, \\\\).\n"
                "  --json keys: index type time "
                "flags tfid pfid name [sfid spfid]\n"
                "    [jobid] uid gid [nid] [openmode] [xattr]",
};

const zorvel_cmd changelog_clear_cmd = {
        .name = "changelog-clear",
        .run = cmd_changelog_clear,
        .usage = "[--json] TARGET USER ENDREC",
        .help = "purge the records of log user USER up to ENDREC\n"
                "  records are numbered from 1: "
                "ENDREC 0 purges nothing, and an\n"
                "  ENDREC past the last record purges up to the last\n"
                "  --json keys: target user endrec",
};
