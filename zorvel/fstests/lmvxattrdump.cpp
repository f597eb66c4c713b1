/* lmvxattrdump: the foreign layout of a directory, as its "trusted.lmv"
 * extended attribute holds it. */
#include "xattr_dump.h"

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	return fstest::dump_xattr(fstest::lmv_dump, argc, argv);
}
