/* Shared by the subcommands: standard output that never loses a write
 * silently, one JSON object a line through the client library's writer
 * (keys in the order they are added), operands and the loop over them, the
 * text of data extents, numbers from the command line. */
#ifndef ZORVEL_TOOLS_ZORVEL_OUTPUT_H
#define ZORVEL_TOOLS_ZORVEL_OUTPUT_H

#include "zorvel_status.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/* Opens each of descriptors 0, 1 and 2 that is closed on /dev/null, so
 * that nothing the command opens takes its number (and gets its messages
 * or output). Standard input is held write-only and the outputs read-only:
 * a read or write on one still fails with EBADF, as on the closed
 * descriptor, so output lost that way is told as before. 0, or a negative
 * errno when /dev/null cannot be opened. */
int hold_standard_streams();

/* Standard output goes through these: the first failed write is kept
 * (with its errno) and later writes are skipped. False once one failed. */
bool out_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
bool out_write(const void *buf, size_t len);
bool output_ok();
/* Flushes and closes standard output. A lost write becomes one message
 * and, when status is 0, the exit status; status otherwise. */
int finish_output(int status);

/* One JSON line, written to standard output by write(). */
class json_line
{
      public:
	json_line &add(const char *key, const std::string &value);
	json_line &add(const char *key, const char *value)
	{
		return add(key, std::string(value));
	}
	json_line &add_int(const char *key, int value);
	json_line &add_u64(const char *key, uint64_t value);
	json_line &add_real(const char *key, double value);
	/* 0, or a negative errno when the line could not be made. */
	int write() const;

      private:
	struct item {
		std::string key;
		uint32_t type;
		std::string text;
		int i = 0;
		uint64_t u = 0;
		double d = 0;
	};
	std::vector<item> items_;
};

/* True when argv holds --json before any "--" (it is then removed from
 * argv). */
bool take_json_flag(int &argc, char **argv);

/* The operands of a subcommand without options of its own (argv[0] is
 * the subcommand): --json sets *json when json is not NULL, "--" ends the
 * options, any other word starting with '-' (but "-" and negative
 * numbers, left to the subcommand's checks) is a usage error, and so
 * are fewer than at_least operands.
 * 0, or the usage status after its message. */
int take_operands(int argc, char **argv, std::vector<const char *> &out,
                  bool *json, size_t at_least = 0);

/* The answer about one operand: the JSON line with json, else text (none
 * when it is empty). A lost JSON line is a failure; lost text is told once,
 * by finish_output(). The exit status. */
int print_answer(bool json, const json_line &line, const std::string &text);

/* Whether a loop over operands goes on once standard output is lost. */
enum class lost_output {
	stop,
	go_on
};

/* The loop of a subcommand that answers each operand alone: one(operand)
 * makes the request, tells its failure or prints its answer, and returns
 * its exit status. The status of the first failure. */
template <typename Operands, typename One>
int each_operand(const Operands &ops, lost_output then, One &&one)
{
	first_failure status;
	for (const char *op : ops) {
		if (then == lost_output::stop && !output_ok())
			break;
		status.note(one(op));
	}
	return status.status();
}

/* A subcommand without options of its own (take_operands) over one or more
 * operands, each answered alone by one(operand, json). */
template <typename One>
int operand_command(int argc, char **argv, lost_output then, One &&one)
{
	std::vector<const char *> ops;
	bool json = false;
	if (int bad = take_operands(argc, argv, ops, &json, 1))
		return bad;
	return each_operand(ops, then,
	                    [&](const char *op) { return one(op, json); });
}

/* The failure of an operation on a path: "cannot WHAT 'PATH'" with the
 * error text of rc; the exit status. */
int fail_path(int rc, const char *what, const char *path);

/* Opens the file a path operand names (O_CLOEXEC added): the descriptor,
 * or -errno after the message "cannot open 'PATH'". */
int open_operand(const char *path, int flags);

/* The usage error of a word getopt_long() (optstring ":...") refused:
 * c is ':' for a missing value, anything else for an unknown option. */
int option_error(int c, char **argv);

/* Data stretches found by seek(pos, &len) (a data seek of a file or of one
 * mirror), as "<offset>+<length>,..." or "-" for none; total receives the
 * bytes of data. A negative errno when a seek fails. */
template <typename Seek>
int data_extents(Seek &&seek, std::string &out, uint64_t *total = nullptr)
{
	out.clear();
	uint64_t sum = 0;
	for (int64_t pos = 0;;) {
		size_t len = 0;
		int64_t at = seek(pos, &len);
		if (at < 0)
			return static_cast<int>(at);
		if (len == 0)
			break;
		if (!out.empty())
			out += ",";
		out += std::to_string(at) + "+" + std::to_string(len);
		sum += len;
		pos = at + static_cast<int64_t>(len);
	}
	/* Appended, not assigned: GCC 12 wrongly warns (-Wrestrict) of the
	 * copy an assignment of a literal inlines here. */
	if (out.empty())
		out += '-';
	if (total)
		*total = sum;
	return 0;
}

/* A non-negative number in any C base, the whole text. */
bool parse_u64(const char *s, uint64_t &out);

/* Bytes as lower-case hexadecimal, two digits each. */
std::string hex(const char *p, size_t n);

/* A number of bytes with a unit for people: "12.3 MiB". */
std::string human_bytes(double bytes);

#endif
