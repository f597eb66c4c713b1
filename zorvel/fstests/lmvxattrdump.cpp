/* lmvxattrdump: the foreign layout of a directory, as its "trusted.lmv"
 * extended attribute holds it. */
#include "xattr_dump.h"

namespace
{

void wrong_length(uint32_t length, size_t n)
{
	fprintf(stderr, "wrong internal length=%u(0x%x) vs xattr size=%zu\n",
	        length, length, n);
}

const fstest::Dump lmv = {
        "d:h",
        'd',
        "DIR",
        "Usage: %s -d <dirname>\n",
        "trusted.lmv",
        "invalid LMV EA length %zu (must be 0 < len < XATTR_SIZE_MAX(%u))\n",
        "trusted.lmv xattr size changed, before=%zu now=%zu\n",
        "trusted.lmv size=%zu too small\n",
        "printing its content in hex anyway :\n",
        0x0CD50CD0U,
        0xD00CD50CU,
        wrong_length,
        "lmv_xattr_size: %zu\n",
        "lmv_foreign_magic: 0x%x\n",
        "lmv_foreign_size: %u\n",
        "lmv_foreign_type: %u\n",
        "lmv_foreign_flags: %u\n",
        "lmv_foreign_value: 0x",
};

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	return fstest::dump_xattr(lmv, argc, argv);
}
