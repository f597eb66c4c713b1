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
	fstest::hold_standard_streams();
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
			if (!fstest::option_u32(argv[0], "mode", optarg, mode,
			                        8)) {
				return 1;
			}
			break;
		case 't':
			if (!fstest::option_u32(argv[0], "type", optarg,
			                        type)) {
				return 1;
			}
			break;
		case 'f':
			if (!fstest::option_u32(argv[0], "flags", optarg, flags,
			                        0, true)) {
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
