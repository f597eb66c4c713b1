// The advice request: a 32-byte header and 1 to 1023 entries of 32 bytes.
#include "ladvise.h"

#include "core/wire.h"

#include <cerrno>
#include <cstddef>

#include <linux/zorvel/zorvel_advice.h>
#include <zvsim/zvsim.h>

namespace zvsim::rec
{
constexpr size_t ZAH_MAGIC = 0, ZAH_COUNT = 4, ZAH_FLAGS = 8, ZAH_HDR = 32;
constexpr size_t ZLA_ADVICE = 0, ZLA_VALUE3 = 24, ZLA_SIZE = 32;
constexpr uint32_t ADVICE_MAGIC = 0x1ADF1CE0, ADVICE_MAX = 1023;
constexpr uint64_t ADVICE_FLAGS = 0x3;
constexpr uint16_t ADVICE_FIRST = 1, ADVICE_LAST = 4, ADVICE_LOCKAHEAD = 4;
// The answer to every lock-ahead entry.
constexpr uint32_t ADVICE_LOCK_GRANTED = 1;
} // namespace zvsim::rec

namespace zvsim::ladvise
{

static_assert(sizeof(zvapi_ladvise_hdr) == rec::ZAH_HDR);
static_assert(sizeof(zvapi_zo_ladvise) == rec::ZLA_SIZE);
static_assert(offsetof(zvapi_zo_ladvise, zla_value3) == rec::ZLA_VALUE3);
static_assert(offsetof(zvapi_ladvise_hdr, zah_flags) == rec::ZAH_FLAGS);
static_assert(LADVISE_MAGIC == rec::ADVICE_MAGIC);
static_assert(ZO_LADVISE_LOCKAHEAD == rec::ADVICE_LOCKAHEAD);
static_assert(ZVSIM_LOCKAHEAD_GRANTED == rec::ADVICE_LOCK_GRANTED);

namespace
{

bool count_ok(uint32_t n)
{
	return n >= 1 && n <= rec::ADVICE_MAX;
}

// The kernel reads the entries the header announces; a bad count stops at
// the header.
Extent advice_extent(const Config &, const void *hdr)
{
	uint32_t n = rec::get32(hdr, rec::ZAH_COUNT);
	size_t size = count_ok(n) ? rec::ZAH_HDR + size_t(n) * rec::ZLA_SIZE
	                          : rec::ZAH_HDR;
	return {size, size};
}

int do_ladvise(Request &req)
{
	auto *arg = static_cast<unsigned char *>(req.arg);
	uint32_t n = rec::get32(arg, rec::ZAH_COUNT);
	if (rec::get32(arg, rec::ZAH_MAGIC) != rec::ADVICE_MAGIC ||
	    !count_ok(n) ||
	    (rec::get64(arg, rec::ZAH_FLAGS) & ~rec::ADVICE_FLAGS))
		return -EINVAL;
	unsigned char *entries = arg + rec::ZAH_HDR;
	for (uint32_t i = 0; i < n; i++) {
		unsigned char *e = entries + size_t(i) * rec::ZLA_SIZE;
		uint16_t type = rec::get16(e, rec::ZLA_ADVICE);
		if (type < rec::ADVICE_FIRST || type > rec::ADVICE_LAST)
			return -EINVAL;
	}
	for (uint32_t i = 0; i < n; i++) {
		unsigned char *e = entries + size_t(i) * rec::ZLA_SIZE;
		if (rec::get16(e, rec::ZLA_ADVICE) == rec::ADVICE_LOCKAHEAD)
			rec::put32(e, rec::ZLA_VALUE3,
			           rec::ADVICE_LOCK_GRANTED);
	}
	return 0;
}

const Row rows[] = {
        {.code = ZV_IOC_LADVISE,
         .name = "LADVISE",
         .target = Target::MountObject,
         .arg = ArgKind::Struct,
         .header = rec::ZAH_HDR,
         .extent = advice_extent,
         .handle = do_ladvise},
};

} // namespace

const Family family = {.rows = rows};

} // namespace zvsim::ladvise
