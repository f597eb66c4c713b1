#include "zorvel_output.h"

#include "zorvel_status.h"

#include <zorvel/zorvelapi.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

namespace
{

/* errno of the first write to standard output that failed, or 0. */
int lost_errno = 0;

bool check_stdout()
{
	if (lost_errno == 0 && ferror(stdout))
		lost_errno = errno != 0 ? errno : EIO;
	return lost_errno == 0;
}

} // namespace

int hold_standard_streams()
{
	/* From 0 up: with the lower ones open, the open takes this number. */
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		int held = open("/dev/null",
		                fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
		if (held < 0)
			return -errno;
		if (held != fd) {
			close(held);
			return -EBADF;
		}
	}
	return 0;
}

bool out_printf(const char *fmt, ...)
{
	if (lost_errno != 0)
		return false;
	errno = 0;
	va_list ap;
	va_start(ap, fmt);
	int n = vfprintf(stdout, fmt, ap);
	va_end(ap);
	if (n < 0 && lost_errno == 0)
		lost_errno = errno != 0 ? errno : EIO;
	return check_stdout();
}

bool out_write(const void *buf, size_t len)
{
	if (lost_errno != 0)
		return false;
	errno = 0;
	if (fwrite(buf, 1, len, stdout) != len && lost_errno == 0)
		lost_errno = errno != 0 ? errno : EIO;
	return check_stdout();
}

bool output_ok()
{
	return check_stdout();
}

int finish_output(int status)
{
	errno = 0;
	if (fflush(stdout) != 0 && lost_errno == 0)
		lost_errno = errno != 0 ? errno : EIO;
	check_stdout();
	/* Closing reports what a delayed write could not store. */
	errno = 0;
	if (fclose(stdout) != 0 && lost_errno == 0 && errno != EBADF)
		lost_errno = errno != 0 ? errno : EIO;
	if (lost_errno == 0)
		return status;
	int rc = fail(lost_errno, "cannot write standard output");
	return status != 0 ? status : rc;
}

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
		rc = zvapi_json_add_item(&list,
		                         const_cast<char *>(it->key.c_str()),
		                         it->type, val);
	}
	if (rc != 0) {
		fail(rc, "cannot make a JSON line");
	} else if (!output_ok()) {
		rc = -lost_errno;
	} else {
		errno = 0;
		rc = zvapi_json_write_list(&list, stdout);
		if (rc != 0)
			fail(rc, "cannot write a JSON line");
		else if (!check_stdout())
			rc = -lost_errno;
	}
	if (list)
		zvapi_json_destroy_list(&list);
	return rc;
}

bool take_json_flag(int &argc, char **argv)
{
	bool found = false;
	int out = 1;
	for (int i = 1; i < argc; i++) {
		if (strcmp(argv[i], "--") == 0) {
			/* the rest are operands */
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

int take_operands(int argc, char **argv, std::vector<const char *> &out,
                  bool *json, size_t at_least)
{
	bool options = true;
	for (int i = 1; i < argc; i++) {
		const char *a = argv[i];
		if (options && strcmp(a, "--") == 0)
			options = false;
		else if (options && json && strcmp(a, "--json") == 0)
			*json = true;
		else if (options && a[0] == '-' && a[1] != '\0' &&
		         !(a[1] >= '0' && a[1] <= '9')) {
			std::string what =
			        "unknown option '" + escaped(a) + "'";
			return usage_error(what.c_str());
		} else
			out.push_back(a);
	}
	return out.size() < at_least ? missing_arguments() : 0;
}

int print_answer(bool json, const json_line &line, const std::string &text)
{
	if (json)
		return exit_status(line.write());
	if (!text.empty())
		out_write(text.data(), text.size());
	return 0;
}

int fail_path(int rc, const char *what, const char *path)
{
	return fail(rc, "cannot %s '%s'", what, escaped(path).c_str());
}

int open_operand(const char *path, int flags)
{
	int fd = open(path, flags | O_CLOEXEC);
	if (fd < 0) {
		int rc = -errno;
		fail_path(rc, "open", path);
		return rc;
	}
	return fd;
}

int option_error(int c, char **argv)
{
	/* A long option is the word just taken; a short one is in optopt. */
	const char *taken = optind > 0 ? argv[optind - 1] : "";
	std::string word =
	        strncmp(taken, "--", 2) == 0
	                ? escaped(std::string(taken, strcspn(taken, "="))
	                                  .c_str())
	                : escaped((std::string("-") + char(optopt)).c_str());
	std::string what = c == ':' ? "option '" + word + "' needs a value"
	                            : "unknown option '" + word + "'";
	return usage_error(what.c_str());
}

std::string hex(const char *p, size_t n)
{
	static const char digits[] = "0123456789abcdef";
	std::string out;
	out.reserve(2 * n);
	for (size_t i = 0; i < n; i++) {
		unsigned char c = static_cast<unsigned char>(p[i]);
		out += digits[c >> 4];
		out += digits[c & 0xf];
	}
	return out;
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
