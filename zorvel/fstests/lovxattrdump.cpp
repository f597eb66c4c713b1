/* lovxattrdump: the foreign layout of a file, as its "zorvel.lov"
 * extended attribute holds it. */
#include "xattr_dump.h"

namespace
{

void wrong_length(uint32_t length, size_t n)
{
	fprintf(stderr, "wrong internal length=%u vs xattr size=%zu\n", length,
	        n);
}

const fstest::Dump lov = {
        "f:h",
        'f',
        "FILE",
        "Usage: %s -f <filename>\n",
        "zorvel.lov",
        "invalid LOV EA length %zu > XATTR_SIZE_MAX (%u)\n",
        "trusted.lov xattr size changed, before=%zu now=%zu\n",
        "trusted.lov size=%zu too small\n",
        "printing its content in hex anyway:\n",
        0x0BD70BD0U,
        0xD00BD70BU,
        wrong_length,
        "lov_xattr_size: %zu\n",
        "lov_foreign_magic: 0x%08X\n",
        "lov_foreign_size: %u\n",
        "lov_foreign_type: %u\n",
        "lov_foreign_flags: 0x%08X\n",
        "lov_foreign_value: 0x",
};

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	return fstest::dump_xattr(lov, argc, argv);
}
