// Paths from users: kfx_abs_path must return an absolute path of at most
// 4096 characters, or a negative errno with nothing to free.
#include <libkfx/util/string.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > 6000)
		return 0;
	// a NUL ends the path; map it to '/' to reach more shapes
	std::string path(reinterpret_cast<const char *>(data), size);
	for (char &c : path)
		if (c == '\0')
			c = '/';
	char *out = reinterpret_cast<char *>(0x1);
	int rc = kfx_abs_path(path.c_str(), &out);
	if (rc != 0) {
		if (out != nullptr || rc >= 0) {
			fprintf(stderr, "abs_path_fuzz: failure result\n");
			abort();
		}
		return 0;
	}
	if (out == nullptr || out[0] != '/' || strlen(out) > 4096) {
		fprintf(stderr, "abs_path_fuzz: bad result\n");
		abort();
	}
	free(out);
	return 0;
}
