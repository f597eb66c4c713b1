/* Version of the running kernel client, read from its parameter. */
#include "zorvelapi_internal.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace
{

constexpr size_t text_buf = 4096;

} // namespace

ZV_EXPORT int zvapi_get_version_string(char *version, unsigned int version_size)
{
	if (version == nullptr || version_size == 0) {
		errno = EINVAL;
		return -1;
	}
	char buffer[text_buf] = "";
	errno = 0;
	int rc = get_zorvel_param_value(nullptr, nullptr, FILTER_BY_NONE,
	                                "version", buffer, sizeof(buffer));
	if (rc != 0) {
		/* A read error comes back as -1 whatever it was; the read
		 * left its own cause in errno. */
		if (rc != -1 || errno == 0)
			errno = -rc;
		return -1;
	}
	char *text = buffer;
	char *tag = strstr(buffer, "zorvel:");
	if (tag != nullptr) {
		text = tag + strlen("zorvel:");
		while (*text == ' ' || *text == '\t')
			text++;
	}
	zvapi_chomp_string(text);
	if (text[0] == '\0') {
		errno = ENODATA;
		return -1;
	}
	if (size_t(snprintf(version, version_size, "%s", text)) >=
	    version_size) {
		errno = EOVERFLOW;
		return -1;
	}
	return 0;
}

ZV_EXPORT int zvapi_get_version(char *buffer, int buffer_size, char **version)
{
	/* Once per process, whichever thread comes first. */
	static std::atomic<bool> printed;
	if (!printed.exchange(true))
		fprintf(stderr,
		        "%s deprecated, use zvapi_get_version_string()\n",
		        __func__);
	if (buffer_size < 0)
		return -EINVAL;
	if (zvapi_get_version_string(buffer, buffer_size) == -1)
		return -errno;
	*version = buffer;
	return 0;
}
