#include "holder.h"

#include "sysio.h"

#include <atomic>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvsim
{

namespace
{

bool number(std::string_view s, uint64_t &out)
{
	auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
	return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

// Field 22 (start time) of /proc/<pid>/stat.
bool process_stat(pid_t pid, uint64_t &start)
{
	std::string text;
	if (sys::read_file("/proc/" + std::to_string(pid) + "/stat", text) < 0)
		return false;
	// The command name may hold blanks and parentheses: fields count
	// from the last ')'.
	size_t close = text.rfind(')');
	if (close == std::string::npos || close + 2 >= text.size())
		return false;
	std::string_view rest(text.c_str() + close + 2);
	for (int field = 3; field < 22; ++field) {
		size_t blank = rest.find(' ');
		if (blank == std::string_view::npos)
			return false;
		rest.remove_prefix(blank + 1);
	}
	return number(rest.substr(0, rest.find(' ')), start);
}

struct Self {
	pid_t pid = 0;
	uint64_t start = 0;
};

// This process, asked again after a fork.
Self self()
{
	static std::mutex mutex;
	// Never destroyed: interposed calls still come after static
	// destructors (other libraries' exit handlers, the sanitizer's).
	static Self &cached = *new Self;
	pid_t pid = ::getpid();
	std::lock_guard<std::mutex> lock(mutex);
	if (cached.pid != pid)
		cached = {pid, process_start(pid)};
	return cached;
}

std::string sentinel_path(const Config &cfg, const Holder &h)
{
	return cfg.path("ofd/") + h.text();
}

} // namespace

std::string Holder::text() const
{
	return std::to_string(pid) + ":" + std::to_string(start) + ":" +
	       std::to_string(serial);
}

std::optional<Holder> Holder::parse(std::string_view text)
{
	size_t a = text.find(':');
	size_t b = a == std::string_view::npos ? a : text.find(':', a + 1);
	uint64_t pid, start, serial;
	if (b == std::string_view::npos || !number(text.substr(0, a), pid) ||
	    !number(text.substr(a + 1, b - a - 1), start) ||
	    !number(text.substr(b + 1), serial) || pid == 0 || pid > 0x7fffffff)
		return std::nullopt;
	return Holder{static_cast<pid_t>(pid), start, serial};
}

bool Holder::alive(const Config &cfg) const
{
	std::string path = sentinel_path(cfg, *this);
	int fd = sys::open(path.c_str(), O_RDONLY | O_NONBLOCK);
	if (fd == -ENOENT)
		return false;
	if (fd < 0)
		return true; // not known to be gone: kept
	// An empty FIFO reads as its end once nobody has it open for
	// writing; with a writer left the read would wait.
	char c;
	long n = ::syscall(SYS_read, fd, &c, 1);
	sys::close(fd);
	if (n != 0)
		return true;
	::syscall(SYS_unlink, path.c_str());
	return false;
}

uint64_t process_start(pid_t pid)
{
	uint64_t start;
	return process_stat(pid, start) ? start : 0;
}

Holder new_holder()
{
	static std::atomic<uint64_t> serial{0};
	Self me = self();
	return {me.pid, me.start, ++serial};
}

int sentinel_open(const Config &cfg, const Holder &h)
{
	int rc = sys::mkdir_p(cfg.path("ofd"));
	if (rc < 0)
		return rc;
	std::string path = sentinel_path(cfg, h);
	if (::syscall(SYS_mknodat, AT_FDCWD, path.c_str(), S_IFIFO | 0600, 0) <
	            0 &&
	    errno != EEXIST)
		return -errno;
	// Read-write: a FIFO opened so neither waits for the other end.
	return sys::open(path.c_str(), O_RDWR | O_NONBLOCK);
}

} // namespace zvsim
