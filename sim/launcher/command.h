// The launcher's steering commands: each family registers a table of its
// own (<family>_commands.cpp), which the launcher's table lists.
#pragma once

#include <span>
#include <string>

namespace zvsim::launcher
{

struct Command {
	const char *name;
	const char *usage; // arguments after the name
	// args[0] is the first argument after the name; exit status.
	int (*run)(const char *state, int nargs, char **args);
};

std::span<const Command> core_commands();
std::span<const Command> param_commands();
std::span<const Command> chlg_commands();
std::span<const Command> layout_commands();
std::span<const Command> mount_commands();
std::span<const Command> vm_commands();
std::span<const Command> mirror_commands();

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
