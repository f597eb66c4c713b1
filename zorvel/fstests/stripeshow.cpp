/* stripeshow: the magic, stripe count and stripe size of a file's
 * striping record. */
#include "fstest.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// Where the record keeps what is printed, whatever its magic.
constexpr size_t STRIPE_SIZE_AT = 24, STRIPE_COUNT_AT = 28;

void show(const unsigned char *rec)
{
	uint32_t magic, size;
	uint16_t count;
	memcpy(&magic, rec, sizeof(magic));
	memcpy(&size, rec + STRIPE_SIZE_AT, sizeof(size));
	memcpy(&count, rec + STRIPE_COUNT_AT, sizeof(count));
	if (magic == ZV_LAYOUT_MAGIC_V1)
		printf("lmm_magic: v1\n");
	else if (magic == ZV_LAYOUT_MAGIC_V3)
		printf("lmm_magic: v3\n");
	else if (magic == ZV_LAYOUT_MAGIC_COMP)
		printf("lmm_magic: LOV_MAGIC component\n");
	printf("stripe_count: %d\nstripe_size: %d\n", count,
	       static_cast<int>(size));
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	if (argc != 2) {
		fprintf(stderr, "Usage: %s <filename>\n", argv[0]);
		return 1;
	}
	auto *rec = static_cast<unsigned char *>(malloc(ZV_LAYOUT_MAX_SIZE));
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
	show(rec);
	free(rec);
	return 0;
}
