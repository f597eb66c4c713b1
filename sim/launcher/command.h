// The launcher's steering commands: each family registers a table of its
// own in <family>/<family>_commands.cpp, with a static CommandGroup.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace zvsim::launcher
{

struct Command {
	const char *name;
	const char *usage; // arguments after the name
	// args[0] is the first argument after the name; exit status.
	int (*run)(const char *state, int nargs, char **args);
};

// A family's table, registered when the launcher starts.
struct CommandGroup {
	CommandGroup(const char *family, std::span<const Command> commands);
	const char *family; // its folder under sim/src
	std::span<const Command> commands;
	const CommandGroup *next;
};

// Every table, core's first, then by family.
std::vector<const CommandGroup *> command_groups();

// --- shared by the commands (command_util.cpp) ----------------------------

extern const char *prog;

// Prints the usage to standard error and exits 1.
[[noreturn]] void usage_error();
// "zvsim: what: strerror" on standard error.
void fail(const char *what, int err);
// Attaches to the state directory (--state, else ZVSIM_STATE): 0, or 1
// after a message.
int attach(const char *state);
// 0 for rc >= 0; 1 after a message otherwise.
int report(const char *what, int rc);

bool parse_long(const char *s, long long &out);
// A number in any C base, or a request name (FID2PATH, ZV_IOC_FID2PATH).
bool parse_code(const char *s, unsigned long &out);
// A number from 1 to 4095, or a name such as ENOENT.
bool parse_errno(const char *s, int &out);
// Hexadecimal bytes, "0x" allowed in front.
bool parse_hex(const char *s, std::string &out);
std::string read_stdin();
// path made absolute against the current directory.
std::string absolute_path(const char *path);
// Writes text to standard output: 0, or 1 after a message.
int print(const std::string &text);
// Prints what a steering call copies out: query(buf, len) copies up to len
// bytes and returns the full size (or -errno); 0, or 1 after a message.
int print_queried(const char *what,
                  int (*query)(const char *key, char *buf, size_t len),
                  const char *key);

} // namespace zvsim::launcher
