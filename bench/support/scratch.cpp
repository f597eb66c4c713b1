#include "scratch.h"

#include <cstdlib>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zvbench
{

std::string scratch_dir(const std::string &name)
{
	struct stat st;
	const char *tmp = getenv("TMPDIR");
	const char *base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) &&
	                                   access("/dev/shm", W_OK) == 0
	                           ? "/dev/shm"
	                   : tmp ? tmp
	                         : "/tmp";
	std::string dir = std::string(base) + "/" + name + ".XXXXXX";
	return mkdtemp(dir.data()) ? dir : std::string();
}

bool remove_tree(const std::string &path)
{
	return nftw(
	               path.c_str(),
	               [](const char *p, const struct stat *, int type,
	                  struct FTW *) {
		               return type == FTW_DP ? rmdir(p) : unlink(p);
	               },
	               64, FTW_DEPTH | FTW_PHYS) == 0;
}

} // namespace zvbench
