/* stripeshow: the magic, stripe count and stripe size of a file's
 * striping record. */
#include "fstest.h"
#include "stripe_record.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	if (argc != 2) {
		fprintf(stderr, "Usage: %s <filename>\n", argv[0]);
		return 1;
	}
	// zeroed: a short record must not show what the heap held
	auto *rec = static_cast<unsigned char *>(calloc(1, ZV_LAYOUT_MAX_SIZE));
	if (!rec)
		return ENOMEM;
	int rc = zvapi_file_get_stripe(argv[1],
	                               reinterpret_cast<zv_layout_v1 *>(rec));
	if (rc != 0) {
		// A failure without an errno must not read as success.
		int err = errno ? errno : (rc < 0 ? -rc : EIO);
		free(rec);
		return err;
	}
	fstest::show_stripe(rec);
	free(rec);
	return 0;
}
