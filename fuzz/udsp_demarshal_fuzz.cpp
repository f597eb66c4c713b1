// Selection-policy replies come from the kernel: any bytes must demarshal
// or be refused without reading past them, and whatever demarshals must
// print, size and marshal-size consistently and free cleanly.
#include <varn/varnconfig.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// An exact-size heap copy, so a read past the reply is caught.
	std::vector<uint8_t> reply(data, data + size);
	struct varn_udsp *u =
	        varn_udsp_demarshal(reply.empty() ? nullptr : reply.data(),
	                            static_cast<uint32_t>(reply.size()));
	if (u == nullptr)
		return 0;
	struct varn_ud_nid_descr *descrs[] = {&u->udsp_src, &u->udsp_dst,
	                                      &u->udsp_rte};
	for (auto *d : descrs) {
		char text[128] = "";
		zorvel_varn_nid_descr2str(d, text, sizeof(text));
		if (strlen(text) >= sizeof(text))
			abort();
	}
	// every byte of descriptor data was accounted for, or ignored after
	// the router descriptor: the size never exceeds the reply
	if (varn_get_udsp_size(u) > size) {
		fprintf(stderr, "udsp_demarshal_fuzz: size beyond the reply\n");
		abort();
	}
	varn_udsp_free(u, true);
	return 0;
}
