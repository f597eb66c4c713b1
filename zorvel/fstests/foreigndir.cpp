/* foreigndir: creates a directory with a foreign layout. */
#include "fstest.h"

#include <zorvel/zorvelapi.h>

#include <cstdio>
#include <unistd.h>

namespace
{

void usage(const char *prog)
{
	fprintf(stderr,
	        "Usage: %s [-d <dirname>] [-m <octalmode>] "
	        "[-x <LOV EA content>] [-t <type>] [-f <hexflags>]\n",
	        prog);
}

} // namespace

int main(int argc, char **argv)
{
	const char *name = "foreign_dir", *value = "UUID@UUID";
	uint32_t mode = 0700, type = ZV_FOREIGN_TYPE_SYMLINK, flags = 0xDA05;
	int c;
	opterr = 0;
	while ((c = getopt(argc, argv, "hd:f:m:t:x:")) != -1) {
		switch (c) {
		case 'd':
			name = optarg;
			break;
		case 'm':
			if (!fstest::parse_u32(optarg, mode, 8)) {
				fprintf(stderr, "%s: invalid mode '%s'\n",
				        argv[0], optarg);
				return 1;
			}
			break;
		case 't':
			if (!fstest::parse_u32(optarg, type)) {
				fprintf(stderr, "%s: invalid type '%s'\n",
				        argv[0], optarg);
				return 1;
			}
			break;
		case 'f':
			if (!fstest::parse_u32(optarg, flags) ||
			    flags == 0xFFFFFFFFU) {
				fprintf(stderr, "%s: invalid flags '%s'\n",
				        argv[0], optarg);
				return 1;
			}
			break;
		case 'x':
			value = optarg;
			break;
		default:
			usage(argv[0]);
			return 0;
		}
	}
	int rc = zvapi_dir_create_foreign(name, mode, type, flags, value);
	if (rc < 0)
		fprintf(stderr, "zvapi_dir_create_foreign() error : %d\n", rc);
	return rc;
}
