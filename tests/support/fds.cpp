#include "zvtest/fds.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <unistd.h>

namespace zvtest
{

int open_fd_count()
{
	int count = 0;
	DIR *dir = opendir("/proc/self/fd");
	if (dir == nullptr)
		return -1;
	while (struct dirent *ent = readdir(dir))
		if (ent->d_name[0] != '.')
			count++;
	closedir(dir);
	return count - 1; /* the directory's own descriptor */
}

fd_owner::~fd_owner()
{
	if (fd >= 0)
		close(fd);
}

stderr_capture::stderr_capture()
{
	fflush(stderr);
	const char *base = getenv("TMPDIR");
	std::string name =
	        std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
	        "/zvtest-stderr.XXXXXX";
	file_ = mkstemp(name.data());
	unlink(name.c_str());
	saved_ = dup(2);
	dup2(file_, 2);
}

stderr_capture::~stderr_capture()
{
	if (saved_ >= 0)
		finish();
}

std::string stderr_capture::finish()
{
	if (saved_ < 0)
		return {};
	fflush(stderr);
	dup2(saved_, 2);
	close(saved_);
	saved_ = -1;
	std::string text;
	char buf[4096];
	ssize_t n;
	lseek(file_, 0, SEEK_SET);
	while ((n = read(file_, buf, sizeof(buf))) > 0)
		text.append(buf, n);
	close(file_);
	file_ = -1;
	return text;
}

} // namespace zvtest
