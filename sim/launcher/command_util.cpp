#include "command.h"

#include "core/hexbytes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <tuple>
#include <unistd.h>

#include <zvsim/zvsim.h>

namespace zvsim::launcher
{

const char *prog = "zvsim";

namespace
{
// Constant-initialised: tables register before or after it, in any order.
const CommandGroup *registered = nullptr;
} // namespace

CommandGroup::CommandGroup(const char *family,
                           std::span<const Command> commands)
    : family(family), commands(commands), next(registered)
{
	registered = this;
}

std::vector<const CommandGroup *> command_groups()
{
	std::vector<const CommandGroup *> all;
	for (const CommandGroup *g = registered; g; g = g->next)
		all.push_back(g);
	auto rank = [](const CommandGroup *g) {
		return std::make_tuple(std::string_view(g->family) != "core",
		                       std::string_view(g->family),
		                       std::string_view(g->commands[0].name));
	};
	std::sort(all.begin(), all.end(),
	          [&](auto *a, auto *b) { return rank(a) < rank(b); });
	return all;
}

void fail(const char *what, int err)
{
	fprintf(stderr, "%s: %s: %s\n", prog, what, strerror(err));
}

int attach(const char *state)
{
	if (!state)
		state = getenv(ZVSIM_STATE_ENV);
	if (!state || !*state) {
		fprintf(stderr, "%s: no state directory (--state or %s)\n",
		        prog, ZVSIM_STATE_ENV);
		return 1;
	}
	int rc = zvsim_attach(state);
	if (rc < 0) {
		fprintf(stderr, "%s: %s: no simulation: %s\n", prog, state,
		        strerror(-rc));
		return 1;
	}
	return 0;
}

int report(const char *what, int rc)
{
	if (rc < 0) {
		fail(what, -rc);
		return 1;
	}
	return 0;
}

bool parse_long(const char *s, long long &out)
{
	if (!s || !*s)
		return false;
	char *end;
	errno = 0;
	out = strtoll(s, &end, 0);
	return errno == 0 && *end == '\0';
}

bool parse_code(const char *s, unsigned long &out)
{
	long long v;
	if (parse_long(s, v)) {
		out = static_cast<unsigned long>(v);
		return true;
	}
	return zvsim_request_code(s, &out) == 0;
}

bool parse_errno(const char *s, int &out)
{
	long long v;
	if (parse_long(s, v)) {
		if (v <= 0 || v > 4095)
			return false;
		out = static_cast<int>(v);
		return true;
	}
	for (int e = 1; e < 4096; ++e) {
		const char *name = strerrorname_np(e);
		if (name && strcmp(name, s) == 0) {
			out = e;
			return true;
		}
	}
	return false;
}

bool parse_hex(const char *s, std::string &out)
{
	std::string_view h = s;
	if (h.starts_with("0x"))
		h.remove_prefix(2);
	return hex_decode(h, out);
}

std::string read_stdin()
{
	std::string out;
	char buf[4096];
	ssize_t n;
	while ((n = read(0, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
		if (n > 0)
			out.append(buf, static_cast<size_t>(n));
	return out;
}

int print(const std::string &text)
{
	if (fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
	    fflush(stdout) != 0) {
		fail("standard output", errno);
		return 1;
	}
	return 0;
}

int print_queried(const char *what,
                  int (*query)(const char *key, char *buf, size_t len),
                  const char *key)
{
	int size = query(key, nullptr, 0);
	if (size < 0)
		return report(what, size);
	std::string text(static_cast<size_t>(size), '\0');
	size = query(key, text.data(), text.size());
	if (size < 0)
		return report(what, size);
	text.resize(std::min(text.size(), static_cast<size_t>(size)));
	return print(text);
}

} // namespace zvsim::launcher
