// Replies of the kernel client to the lease, cache-state, heat and advice
// requests: whatever bytes the kernel writes into the room a request gives
// it, and whatever result it returns, the library answers 0, a count or a
// negative errno, and changes nothing of the caller's but what the request
// hands back. The input is a sequence of (operation, result, reply) steps.
#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <vector>

namespace
{

struct Reply {
	int result = 0, err = 0;
	const uint8_t *bytes = nullptr;
	size_t size = 0;
} reply;

void require(bool ok, const char *what)
{
	if (!ok) {
		fprintf(stderr, "kernel_reply_fuzz: %s\n", what);
		abort();
	}
}

bool is_result(long rc)
{
	return rc >= 0 || (rc < 0 && rc >= -4095);
}

// The room the kernel may write for a request: what its argument holds.
size_t room_of(unsigned long req, void *arg)
{
	if (req == ZV_IOC_LADVISE) {
		auto *h = static_cast<zvapi_ladvise_hdr *>(arg);
		return sizeof(*h) + h->zah_count * sizeof(zvapi_zo_ladvise);
	}
	if (req == ZV_IOC_LEASE_SET) {
		auto *l = static_cast<zv_ioc_lease *>(arg);
		return sizeof(*l) + l->zil_count * sizeof(l->zil_ids[0]);
	}
	if (req == ZV_IOC_HEAT_GET) {
		auto *h = static_cast<zo_heat *>(arg);
		return sizeof(*h) + h->zh_count * sizeof(h->zh_heat[0]);
	}
	if (req == ZV_IOC_PCC_STATE)
		return sizeof(zo_pcc_state);
	return 0; // by value, or nothing
}

} // namespace

// The kernel: the reply's bytes over the argument, then its result.
extern "C" __attribute__((visibility("default"))) int
ioctl(int, unsigned long req, ...)
{
	va_list ap;
	va_start(ap, req);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	size_t room = room_of(req, arg);
	if (room > 0)
		memcpy(arg, reply.bytes, reply.size < room ? reply.size : room);
	if (reply.result < 0)
		errno = reply.err;
	return reply.result;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static bool quiet = (zvapi_msg_set_level(ZVAPI_MSG_OFF), true);
	(void)quiet;
	while (size >= 4) {
		uint8_t op = data[0], how = data[1], len = data[3];
		// a failure (-1 and an errno), or a result
		reply.result = how & 0x80 ? -1 : how;
		reply.err = data[2] % 134;
		data += 4;
		size -= 4;
		reply.bytes = data;
		reply.size = len < size ? len : size;
		data += reply.size;
		size -= reply.size;

		long rc = 0;
		switch (op % 6) {
		case 0:
			rc = zvapi_lease_acquire(-1, op & 8 ? ZV_LEASE_WRLCK
			                                    : ZV_LEASE_RDLCK);
			break;
		case 1: {
			std::vector<uint32_t> rec(3 + (op >> 4), 7);
			auto *l = reinterpret_cast<zv_ioc_lease *>(rec.data());
			l->zil_mode = ZV_LEASE_UNLCK;
			l->zil_flags = 1;
			l->zil_count = op >> 4;
			rc = zvapi_lease_release_intent(-1, l);
			break;
		}
		case 2:
			rc = op & 8 ? zvapi_lease_check(-1)
			            : zvapi_lease_put(-1);
			break;
		case 3: {
			zo_pcc_state st;
			memset(&st, 0x5a, sizeof(st));
			rc = zvapi_pcc_state_get_fd(-1, &st);
			break;
		}
		case 4: {
			uint64_t rec[1 + ZO_HEAT_VALUES] = {};
			auto *h = reinterpret_cast<zo_heat *>(rec);
			h->zh_count = ZO_HEAT_VALUES;
			rc = zvapi_heat_get(-1, h);
			break;
		}
		case 5: {
			int n = 1 + (op >> 4);
			std::vector<zvapi_zo_ladvise> adv(n), before;
			for (int i = 0; i < n; i++) {
				adv[i].zla_advice = i % 2 ? ZO_LADVISE_LOCKAHEAD
				                          : ZO_LADVISE_WILLREAD;
				adv[i].zla_start = i;
				adv[i].zla_end = i + 4096;
				adv[i].zla_value3 = 0xabcd;
			}
			before = adv;
			rc = zvapi_ladvise(-1, 0, n, adv.data());
			// Only results come back (into the entries the reply
			// gives as lock-aheads), and nothing after a failure.
			for (int i = 0; i < n; i++) {
				zvapi_zo_ladvise a = adv[i], b = before[i];
				if (rc == 0)
					a.zla_value3 = b.zla_value3;
				require(memcmp(&a, &b, sizeof(a)) == 0,
				        "advice changed beyond its result");
			}
			break;
		}
		}
		require(is_result(rc), "not 0, a count or a negative errno");
	}
	return 0;
}
