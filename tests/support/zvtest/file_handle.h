/* A file handle with room for any handle a file system hands out, taken by
 * name_to_handle_at() and read back as the record the file system put in
 * it. Header only: the probe programs and benchmarks use it too. */
#ifndef ZVTEST_FILE_HANDLE_H
#define ZVTEST_FILE_HANDLE_H

#include <cstring>
#include <fcntl.h>

namespace zvtest
{

struct file_handle_room {
	union {
		struct file_handle fh;
		char room[sizeof(struct file_handle) + 128];
	};
	int mount_id = -1;

	explicit file_handle_room(unsigned bytes = 128)
	{
		fh.handle_bytes = bytes;
	}
	/* name_to_handle_at() into the room: 0, or -1 with errno set. */
	int take(int dirfd, const char *path, int flags = 0)
	{
		return name_to_handle_at(dirfd, path, &fh, &mount_id, flags);
	}
	/* The start of the handle's payload as a T (a FID, a whole handle). */
	template <class T>
	T as() const
	{
		T t;
		memcpy(&t, fh.f_handle, sizeof t);
		return t;
	}
};

} // namespace zvtest

#endif
