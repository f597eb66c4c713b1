// FID text comes from users and scripts: any bytes must parse or fail
// cleanly, and whatever parses must print and parse back to itself.
#include "fuzz_require.h"
#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

void check_round_trip(const struct zo_fid &fid, const char *input)
{
	char printed[ZO_FID_FMT_LEN];
	int len = std::snprintf(printed, sizeof(printed), ZO_FID_FMT,
	                        ZO_FID_ARGS(&fid));
	require(len > 0 && len < (int)sizeof(printed), "FID text too long",
	        input);

	struct zo_fid again;
	std::memset(&again, 0, sizeof(again));
	char *end = nullptr;
	int rc = zvapi_fid_parse(printed, &again, &end);
	require(rc == 0, "printed FID does not parse", printed);
	require(end == printed + len, "printed FID not consumed", printed);
	require(again.f_seq == fid.f_seq && again.f_oid == fid.f_oid &&
	                again.f_ver == fid.f_ver,
	        "printed FID parses to another FID", printed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::vector<char> copy(data, data + size);
	copy.push_back('\0');
	const char *text = copy.data();
	const char *text_end = text + std::strlen(text);

	struct zo_fid fid;
	std::memset(&fid, 0, sizeof(fid));
	char *end = nullptr;
	errno = 12345;
	int rc = zvapi_fid_parse(text, &fid, &end);
	int err = errno;

	require(rc == 0 || rc == -EINVAL || rc == -ERANGE,
	        "result is not 0, -EINVAL or -ERANGE", text);
	require(err == -rc, "errno differs from the result", text);
	require(end != nullptr && end >= text && end <= text_end,
	        "endptr outside the text", text);
	if (rc == 0) {
		require(fid.f_seq != UINT64_MAX, "sequence ~0 accepted", text);
		check_round_trip(fid, text);
	}

	// Without a FID record the text is rejected where it starts.
	end = nullptr;
	rc = zvapi_fid_parse(text, nullptr, &end);
	require(rc == -EINVAL && errno == EINVAL && end == text,
	        "NULL fid not rejected", text);

	// endptr is optional.
	rc = zvapi_fid_parse(text, &fid, nullptr);
	require(rc == 0 || rc == -EINVAL || rc == -ERANGE,
	        "result without endptr", text);
	return 0;
}
