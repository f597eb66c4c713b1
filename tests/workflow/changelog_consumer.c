/* A change-log consumer as users write one: follows the log of a metadata
 * target, prints each record as "<index> <type> <name>", clears what it
 * has printed for its log user every few records and when it stops, and
 * stops cleanly (status 0) on SIGTERM or SIGINT. Started again, it goes
 * on with the first record it has not cleared.
 *
 * usage: changelog_consumer TARGET USER */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <zorvel/zorvelapi.h>

enum {
	CLEAR_EVERY = 8
};

static volatile sig_atomic_t stop;

static void request_stop(int sig)
{
	(void)sig;
	stop = 1;
}

/* The stopping signals are held except while the consumer waits for the
 * log or reads it, so that one cannot slip in between the check of the
 * flag and the wait. The handler has no SA_RESTART: a waiting read
 * returns -EINTR. */
static int hold_stop_signals(sigset_t *waiting)
{
	struct sigaction sa;
	sigset_t stops;

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = request_stop;
	sigemptyset(&sa.sa_mask);
	sigemptyset(&stops);
	sigaddset(&stops, SIGTERM);
	sigaddset(&stops, SIGINT);
	if (sigaction(SIGTERM, &sa, NULL) != 0 ||
	    sigaction(SIGINT, &sa, NULL) != 0 ||
	    sigprocmask(SIG_BLOCK, &stops, waiting) != 0)
		return -errno;
	sigdelset(waiting, SIGTERM);
	sigdelset(waiting, SIGINT);
	return 0;
}

/* The next record: 0, or a negative errno (-EINTR: a signal came). */
static int next_record(void *priv, struct changelog_rec **rec,
                       const sigset_t *waiting)
{
	struct pollfd p = {zvapi_changelog_get_fd(priv), POLLIN, 0};
	sigset_t held;
	int rc;

	if (stop)
		return -EINTR;
	if (!zvapi_changelog_in_buf(priv) && ppoll(&p, 1, NULL, waiting) < 0)
		return -errno;
	sigprocmask(SIG_SETMASK, waiting, &held);
	rc = zvapi_changelog_recv(priv, rec);
	sigprocmask(SIG_SETMASK, &held, NULL);
	return rc;
}

static int clear_to(const char *target, const char *user, long long last,
                    long long *cleared)
{
	int rc;

	if (last <= *cleared)
		return 0;
	rc = zvapi_changelog_clear(target, user, last);
	if (rc == 0)
		*cleared = last;
	return rc;
}

int main(int argc, char **argv)
{
	const char *target, *user;
	long long last = 0, cleared = 0;
	struct changelog_rec *rec;
	sigset_t waiting;
	void *priv = NULL;
	int rc, status = 0;

	if (argc != 3) {
		fprintf(stderr, "usage: changelog_consumer TARGET USER\n");
		return 2;
	}
	target = argv[1];
	user = argv[2];
	if ((rc = hold_stop_signals(&waiting)) != 0) {
		fprintf(stderr, "signals: %s\n", strerror(-rc));
		return 1;
	}
	rc = zvapi_changelog_start(&priv,
	                           CHANGELOG_FLAG_FOLLOW |
	                                   CHANGELOG_FLAG_JOBID |
	                                   CHANGELOG_FLAG_EXTRA_FLAGS,
	                           target, 0);
	if (rc != 0) {
		fprintf(stderr, "cannot follow %s: %s\n", target,
		        strerror(-rc));
		return 1;
	}
	zvapi_changelog_set_xflags(priv, CHANGELOG_EXTRA_FLAG_UIDGID);

	while ((rc = next_record(priv, &rec, &waiting)) != -EINTR || !stop) {
		if (rc == -EINTR)
			continue;
		if (rc != 0) {
			fprintf(stderr, "cannot read %s: %s\n", target,
			        rc > 0 ? "end of a followed log"
			               : strerror(-rc));
			status = 1;
			break;
		}
		printf("%llu %s %.*s\n", (unsigned long long)rec->cr_index,
		       changelog_type2str(rec->cr_type), (int)rec->cr_namelen,
		       changelog_rec_name(rec));
		last = (long long)rec->cr_index;
		zvapi_changelog_free(&rec);
		/* what is cleared must have reached the reader */
		if (fflush(stdout) != 0) {
			perror("stdout");
			status = 1;
			break;
		}
		if (last - cleared >= CLEAR_EVERY &&
		    (rc = clear_to(target, user, last, &cleared)) != 0) {
			status = 1;
			break;
		}
	}
	if (clear_to(target, user, last, &cleared) != 0)
		status = 1;
	zvapi_changelog_fini(&priv);
	fprintf(stderr, "stopped after record %lld\n", last);
	return status;
}
