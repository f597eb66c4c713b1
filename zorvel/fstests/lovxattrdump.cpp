/* lovxattrdump: the foreign layout of a file, as its "zorvel.lov"
 * extended attribute holds it. */
#include "xattr_dump.h"

int main(int argc, char **argv)
{
	return fstest::dump_xattr(fstest::lov_dump, argc, argv);
}
