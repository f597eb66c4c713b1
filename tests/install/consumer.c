/* A user of the installed client library: parses a FID and prints it back.
 * Exits 0 only when the round trip gives the text it started from. */
#include <stdio.h>
#include <string.h>

#include <zorvel/zorvelapi.h>

int main(void)
{
	static const char text[] = "[0x200000400:0x2:0x0]";
	struct zo_fid fid;
	char *end = NULL;
	char out[ZO_FID_FMT_LEN];
	int rc;

	rc = zvapi_fid_parse(text, &fid, &end);
	if (rc != 0) {
		fprintf(stderr, "zvapi_fid_parse: %d\n", rc);
		return 1;
	}
	if (end != text + strlen(text)) {
		fprintf(stderr, "parse stopped at offset %td\n", end - text);
		return 1;
	}
	snprintf(out, sizeof(out), ZO_FID_FMT, ZO_FID_ARGS(&fid));
	printf("%s\n", out);
	return strcmp(out, text) == 0 ? 0 : 1;
}
