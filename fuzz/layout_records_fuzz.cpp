// Layout records as the layout tools read them from the kernel: the
// foreign layouts of the "zorvel.lov" and "trusted.lmv" attributes
// (lovxattrdump, lmvxattrdump), the foreign record of the layout requests
// (foreigncheck) and the striping record (stripeshow). Whatever the bytes,
// the tools print within them. The first byte picks the record.
#include "foreign_record.h"
#include "stripe_record.h"
#include "xattr_dump.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	uint8_t which = data[0] % 4;
	data++;
	size--;
	// exactly the bytes the kernel gave, so that a read past them shows
	std::vector<unsigned char> rec(data, data + size);
	switch (which) {
	case 0:
		fstest::print_dump(fstest::lov_dump, rec.data(), rec.size());
		break;
	case 1:
		fstest::print_dump(fstest::lmv_dump, rec.data(), rec.size());
		break;
	case 2:
		fstest::print_foreign_record(
		        reinterpret_cast<const char *>(rec.data()), rec.size());
		break;
	case 3:
		if (rec.size() >= fstest::STRIPE_RECORD_MIN)
			fstest::show_stripe(rec.data());
		break;
	}
	return 0;
}
