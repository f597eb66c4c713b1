/* The striping record of a file as the stripe query returns it, printed by
 * stripeshow: its magic, stripe count and stripe size, read at their fixed
 * places whatever the magic says. */
#ifndef ZORVEL_FSTESTS_STRIPE_RECORD_H
#define ZORVEL_FSTESTS_STRIPE_RECORD_H

#include <zorvel/zorvelapi.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace fstest
{

constexpr size_t STRIPE_SIZE_AT = 24, STRIPE_COUNT_AT = 28;
constexpr size_t STRIPE_RECORD_MIN = STRIPE_COUNT_AT + sizeof(uint16_t);

/* rec holds at least STRIPE_RECORD_MIN bytes. */
inline void show_stripe(const unsigned char *rec)
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

} // namespace fstest

#endif
