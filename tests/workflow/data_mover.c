/* A data mover as its users write one: rewrite FILE's data (here: in upper
 * case) through a volatile file and swap it in, refusing the swap when a
 * writer changed FILE meanwhile. Before the swap it waits for a line on
 * standard input, so that the scenario can race a writer in between.
 *   data_mover FILE   exit 0 swapped, 11 (EAGAIN) stale copy, else errno */
#define _GNU_SOURCE
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zorvel/zorvelapi.h>

static int fail(const char *what, int rc)
{
	fprintf(stderr, "data_mover: %s: %s\n", what, strerror(-rc));
	return -rc;
}

int main(int argc, char **argv)
{
	if (argc != 2)
		return 1;
	char dirbuf[4096];
	snprintf(dirbuf, sizeof(dirbuf), "%s", argv[1]);
	const char *dir = dirname(dirbuf);

	int fd = open(argv[1], O_RDWR);
	if (fd < 0)
		return fail("open", -errno);
	uint64_t dv = 0;
	int rc = zvapi_get_data_version(fd, &dv, 0);
	if (rc < 0)
		return fail("data version", rc);
	int vol = zvapi_create_volatile_idx(dir, -1, O_RDWR);
	if (vol < 0)
		return fail("volatile file", vol);

	char buf[65536];
	ssize_t n;
	off_t pos = 0;
	while ((n = pread(fd, buf, sizeof(buf), pos)) > 0) {
		for (ssize_t i = 0; i < n; i++)
			buf[i] = (char)toupper((unsigned char)buf[i]);
		if (pwrite(vol, buf, n, pos) != n)
			return fail("copy", -errno);
		pos += n;
	}
	if (n < 0)
		return fail("read", -errno);

	printf("copied %lld bytes at data version %llu\n", (long long)pos,
	       (unsigned long long)dv);
	fflush(stdout);
	char line[16];
	if (fgets(line, sizeof(line), stdin) == NULL)
		return 1;

	rc = zvapi_fswap_layouts(fd, vol, dv, 0, ZV_SWAP_CHECK_DV1);
	close(vol);
	close(fd);
	if (rc < 0)
		return fail("swap", rc);
	printf("swapped\n");
	return 0;
}
