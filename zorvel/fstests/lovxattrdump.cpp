/* lovxattrdump: the foreign layout of a file, as its "zorvel.lov"
 * extended attribute holds it. */
#include "xattr_dump.h"

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	return fstest::dump_xattr(fstest::lov_dump, argc, argv);
}
