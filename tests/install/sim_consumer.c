/* A tool writer's test program: a simulated file system in the directory
 * given, through the installed simulator. Prints "mounted" when it has a
 * mount. */
#include <zvsim/zvsim.h>

#include <stdio.h>

int main(int argc, char **argv)
{
	if (argc != 2 || zvsim_setup(argv[1], "demo", 1) != 0)
		return 1;
	const char *mnt = zvsim_mount_path();
	printf("%s\n", mnt != NULL ? "mounted" : "no mount");
	zvsim_teardown();
	return mnt != NULL ? 0 : 1;
}
