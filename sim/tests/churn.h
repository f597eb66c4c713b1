// Random namespace changes among a few paths, so that they meet each
// other: the link-index tests make them in their own process and in
// concurrent children (zvsim_links churn).
#pragma once

#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvtest
{

// One of a few paths below dir, some in directories that come and go.
inline std::string churn_path(const std::string &dir, unsigned &seed)
{
	static const char *const shapes[] = {"a",   "b",   "c",    "s",
	                                     "t",   "s/a", "s/b",  "t/a",
	                                     "s/t", "t/s", "s/t/a"};
	return dir + "/" + shapes[rand_r(&seed) % std::size(shapes)];
}

// A random change of p (and q): through the C library, or when raw
// through system calls the simulator never sees. False when the draw was
// no change (the caller may look something up instead).
inline bool churn_change(const std::string &p, const std::string &q,
                         unsigned &seed, bool raw)
{
	const char *a = p.c_str(), *b = q.c_str();
	switch (rand_r(&seed) % 8) {
	case 0: {
		int fd = raw ? static_cast<int>(syscall(SYS_openat, AT_FDCWD, a,
		                                        O_WRONLY | O_CREAT,
		                                        0644))
		             : open(a, O_WRONLY | O_CREAT, 0644);
		if (fd >= 0)
			close(fd);
		break;
	}
	case 1:
		raw ? syscall(SYS_mkdirat, AT_FDCWD, a, 0755) : mkdir(a, 0755);
		break;
	case 2:
	case 3:
		raw ? syscall(SYS_renameat2, AT_FDCWD, a, AT_FDCWD, b, 0)
		    : rename(a, b);
		break;
	case 4:
		raw ? syscall(SYS_linkat, AT_FDCWD, a, AT_FDCWD, b, 0)
		    : link(a, b);
		break;
	case 5:
		raw ? syscall(SYS_unlinkat, AT_FDCWD, a, 0) : unlink(a);
		break;
	case 6:
		raw ? syscall(SYS_unlinkat, AT_FDCWD, a, AT_REMOVEDIR)
		    : rmdir(a);
		break;
	default:
		return false;
	}
	return true;
}

} // namespace zvtest
