// Identifier text comes from administrators: any text must parse or be
// refused without leaving lists behind, and what parses prints back to
// text that parses to the same.
#include <libkfx/util/nidstr.h>
#include <libkfx/util/string.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

struct Parts {
	list_head addr, num;
	__u32 type = 0;
	Parts()
	{
		INIT_LIST_HEAD(&addr);
		INIT_LIST_HEAD(&num);
	}
	~Parts()
	{
		kfx_expr_list_free_list(&addr);
		kfx_expr_list_free_list(&num);
	}
	int parse(const char *text)
	{
		return kfx_parse_nid_parts(text, &addr, &num, &type);
	}
	std::string text()
	{
		char buf[4096] = "";
		if (!list_empty(&addr)) {
			if (kfx_expr2str(&addr, buf, sizeof(buf)) < 0)
				return "";
			strcat(buf, "@");
		}
		char name[KFX_NIDSTR_SIZE];
		strcat(buf, libkfx_net2str_r(type << 16, name, sizeof(name)));
		size_t used = strlen(buf);
		if (kfx_expr2str(&num, buf, sizeof(buf) - used) < 0)
			return "";
		return buf;
	}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string input(reinterpret_cast<const char *>(data), size);
	Parts p;
	int rc = p.parse(input.c_str());
	if (rc < 0) {
		if (!list_empty(&p.addr) || !list_empty(&p.num))
			abort();
		return 0;
	}
	std::string printed = p.text();
	if (printed.empty())
		return 0; // too long for the buffer: nothing to compare
	Parts again;
	if (again.parse(printed.c_str()) != 0 || again.text() != printed) {
		fprintf(stderr, "nid_parse_fuzz: '%s' does not parse back\n",
		        printed.c_str());
		abort();
	}
	return 0;
}
