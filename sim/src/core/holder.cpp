#include "holder.h"

#include "sysio.h"

#include <charconv>
#include <cstring>
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

// Field 3 (state) and field 22 (start time) of /proc/<pid>/stat.
bool process_stat(pid_t pid, char &state, uint64_t &start)
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
	state = rest[0];
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

bool Holder::alive() const
{
	char state;
	uint64_t now;
	return process_stat(pid, state, now) && now == start && state != 'Z' &&
	       state != 'X';
}

uint64_t process_start(pid_t pid)
{
	char state;
	uint64_t start;
	return process_stat(pid, state, start) ? start : 0;
}

Holder HolderTable::of(int fd)
{
	std::lock_guard<std::mutex> lock(mutex_);
	// An inherited descriptor goes on naming its parent's open file.
	auto it = fds_.find(fd);
	if (it != fds_.end())
		return it->second;
	Self me = self();
	Holder h{me.pid, me.start, ++next_};
	fds_[fd] = h;
	fd_mark(fd, mark_);
	return h;
}

std::optional<Holder> HolderTable::find(int fd)
{
	std::lock_guard<std::mutex> lock(mutex_);
	auto it = fds_.find(fd);
	if (it == fds_.end())
		return std::nullopt;
	return it->second;
}

void HolderTable::duped(int from, int to)
{
	std::lock_guard<std::mutex> lock(mutex_);
	auto it = fds_.find(from);
	if (it == fds_.end()) {
		fds_.erase(to);
		return;
	}
	fds_[to] = it->second;
	fd_mark(to, mark_);
}

std::optional<Holder> HolderTable::closed(int fd)
{
	std::lock_guard<std::mutex> lock(mutex_);
	auto it = fds_.find(fd);
	if (it == fds_.end())
		return std::nullopt;
	Holder h = it->second;
	fds_.erase(it);
	if (h.pid != self().pid)
		return std::nullopt;
	for (const auto &[other, held] : fds_)
		if (held == h)
			return std::nullopt;
	return h;
}

void HolderTable::release_on_close(int fd, Release release)
{
	sys::Reentry guard;
	auto h = closed(fd);
	ConfigPtr cfg = current();
	struct stat st;
	if (!h || !cfg || ::syscall(SYS_fstat, fd, &st) < 0)
		return;
	StateLock lock(*cfg);
	release(*cfg, key_of(fd, st.st_ino), *h);
}

} // namespace zvsim
