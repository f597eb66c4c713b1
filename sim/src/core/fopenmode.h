// What an fopen() mode asks of open(): the simulator opens files itself
// for fopen() of parameters, and records creations made through fopen().
#ifndef ZVSIM_FOPENMODE_H
#define ZVSIM_FOPENMODE_H

#include <fcntl.h>
#include <string>

namespace zvsim
{

// The open flags of an fopen() mode, and in base (when not NULL) the plain
// mode fdopen() takes; false for a mode that is not one.
inline bool parse_fopen_mode(const char *mode, int &flags,
                             std::string *base = nullptr)
{
	switch (mode[0]) {
	case 'r':
		flags = O_RDONLY;
		break;
	case 'w':
		flags = O_WRONLY | O_CREAT | O_TRUNC;
		break;
	case 'a':
		flags = O_WRONLY | O_CREAT | O_APPEND;
		break;
	default:
		return false;
	}
	bool update = false;
	for (const char *p = mode + 1; *p && *p != ','; ++p) {
		if (*p == '+') {
			flags = (flags & ~O_ACCMODE) | O_RDWR;
			update = true;
		} else if (*p == 'x') {
			flags |= O_EXCL;
		} else if (*p == 'e') {
			flags |= O_CLOEXEC;
		}
	}
	if (base != nullptr)
		*base = std::string(1, mode[0]) + (update ? "+" : "");
	return true;
}

} // namespace zvsim

#endif
