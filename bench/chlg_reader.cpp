/* The C side of python_chlg_bench: reads a change log to its end through
 * zvapi_changelog_recv/free, as the Python iterator does (job, uid/gid,
 * NID, open mode and xattr asked for), and prints "RECORDS SECONDS" of the
 * best of RUNS passes, in processor time (this process's, the kernel's
 * work for it included), so that other load on the machine counts little.
 *
 * usage: chlg_reader TARGET [RUNS] */
#include <zorvel/zorvelapi.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace
{

double now()
{
	timespec ts;
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* Records read, or -1. */
long read_all(const char *target)
{
	void *priv;
	if (zvapi_changelog_start(
	            &priv,
	            changelog_send_flag(CHANGELOG_FLAG_JOBID |
	                                CHANGELOG_FLAG_EXTRA_FLAGS),
	            target, 0) != 0)
		return -1;
	zvapi_changelog_set_xflags(
	        priv, changelog_send_extra_flag(CHANGELOG_EXTRA_FLAG_UIDGID |
	                                        CHANGELOG_EXTRA_FLAG_NID |
	                                        CHANGELOG_EXTRA_FLAG_OMODE |
	                                        CHANGELOG_EXTRA_FLAG_XATTR));
	long n = 0;
	changelog_rec *rec;
	int rc;
	while ((rc = zvapi_changelog_recv(priv, &rec)) == 0) {
		n++;
		zvapi_changelog_free(&rec);
	}
	zvapi_changelog_fini(&priv);
	return rc == 1 ? n : -1;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2 || argc > 3) {
		fprintf(stderr, "usage: %s TARGET [RUNS]\n", argv[0]);
		return 2;
	}
	int runs = argc == 3 ? atoi(argv[2]) : 3;
	long records = 0;
	double best = 0;
	for (int i = 0; i < runs; i++) {
		double start = now();
		records = read_all(argv[1]);
		double secs = now() - start;
		if (records < 0) {
			fprintf(stderr, "%s: cannot read the log of %s\n",
			        argv[0], argv[1]);
			return 1;
		}
		if (i == 0 || secs < best)
			best = secs;
	}
	printf("%ld %.6f\n", records, best);
	return 0;
}
