#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

json_line &json_line::add(const char *key, const std::string &value)
{
	items_.push_back({key, ZVAPI_JSON_STRING, value});
	return *this;
}

json_line &json_line::add_int(const char *key, int value)
{
	item it{key, ZVAPI_JSON_INTEGER, {}};
	it.i = value;
	items_.push_back(it);
	return *this;
}

json_line &json_line::add_u64(const char *key, uint64_t value)
{
	item it{key, ZVAPI_JSON_BIGNUM, {}};
	it.u = value;
	items_.push_back(it);
	return *this;
}

json_line &json_line::add_real(const char *key, double value)
{
	item it{key, ZVAPI_JSON_REAL, {}};
	it.d = value;
	items_.push_back(it);
	return *this;
}

/* The writer puts the newest item first: added from the last. */
int json_line::write() const
{
	zvapi_json_item_list *list = nullptr;
	int rc = zvapi_json_init_list(&list);
	for (auto it = items_.rbegin(); rc == 0 && it != items_.rend(); ++it) {
		void *val = it->type == ZVAPI_JSON_STRING
		                    ? const_cast<char *>(it->text.c_str())
		            : it->type == ZVAPI_JSON_INTEGER
		                    ? const_cast<int *>(&it->i)
		            : it->type == ZVAPI_JSON_BIGNUM
		                    ? static_cast<void *>(
		                              const_cast<uint64_t *>(&it->u))
		                    : static_cast<void *>(
		                              const_cast<double *>(&it->d));
		rc = zvapi_json_add_item(&list, const_cast<char *>(it->key),
		                         it->type, val);
	}
	if (rc == 0)
		rc = zvapi_json_write_list(&list, stdout);
	if (list)
		zvapi_json_destroy_list(&list);
	if (rc != 0)
		zvapi_error(ZVAPI_MSG_ERROR, rc, "cannot write a JSON line");
	return rc;
}

bool take_json_flag(int &argc, char **argv)
{
	bool found = false;
	int out = 1;
	for (int i = 1; i < argc; i++) {
		if (strcmp(argv[i], "--") == 0) {
			for (; i < argc; i++)
				argv[out++] = argv[i];
			break;
		}
		if (strcmp(argv[i], "--json") == 0)
			found = true;
		else
			argv[out++] = argv[i];
	}
	argc = out;
	argv[argc] = nullptr;
	return found;
}

std::string human_bytes(double bytes)
{
	const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
	int u = 0;
	while (bytes >= 1024 && u < 4) {
		bytes /= 1024;
		u++;
	}
	char buf[32];
	snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", bytes, units[u]);
	return buf;
}

bool parse_u64(const char *s, uint64_t &out)
{
	char *end;
	errno = 0;
	unsigned long long v = strtoull(s, &end, 0);
	if (errno || end == s || *end || s[0] == '-')
		return false;
	out = v;
	return true;
}
