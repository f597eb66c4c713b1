// The cache parameter zvlite/<instance>/pcc: reading it lists the areas
// (it is the state's file, rewritten with each change); a descriptor
// opened for writing takes each write as commands.
#include "pcc.h"
#include "pcc_store.h"

#include "core/fd_table.h"
#include "core/sysio.h"
#include "core/user_memory.h"
#include "param/param.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/syscall.h>

namespace zvsim::pcc
{

namespace
{

// A command longer than a page is not one.
constexpr size_t MAX_COMMAND = 4096;

// The parameter's descriptors: the inode they were opened on, so that one
// closed behind our back and reused for another file is let go.
struct Params {
	std::mutex mu;
	std::map<int, ino_t> fds;
};

Params &params()
{
	static Params *p = new Params; // never destroyed: closes run late
	return *p;
}

extern const FileOps param_ops;

bool ours(int fd)
{
	struct stat st;
	Params &p = params();
	std::lock_guard<std::mutex> lock(p.mu);
	auto it = p.fds.find(fd);
	if (it != p.fds.end() && ::syscall(SYS_fstat, fd, &st) == 0 &&
	    st.st_ino == it->second)
		return true;
	if (it != p.fds.end())
		p.fds.erase(it);
	fd_forget(fd);
	return false;
}

bool op_write(int fd, const void *buf, size_t count, ssize_t &result)
{
	if (!ours(fd))
		return false;
	sys::Reentry guard;
	std::string text(std::min(count, MAX_COMMAND), '\0');
	int rc = copy_from_user(text.data(), buf, text.size());
	ConfigPtr cfg = current();
	if (rc == 0 && !cfg)
		rc = -ENOENT;
	if (rc == 0)
		rc = request_tail(*cfg, REQ_COMMAND, 0, text, nullptr, 0, [&] {
			if (count > MAX_COMMAND)
				return -EINVAL;
			StateLock lock(*cfg);
			int r = command(*cfg, text);
			return r < 0 ? r : static_cast<int>(count);
		});
	result = syscall_result<ssize_t>(rc);
	return true;
}

void op_closed(int fd)
{
	Params &p = params();
	std::lock_guard<std::mutex> lock(p.mu);
	p.fds.erase(fd);
	fd_forget(fd);
}

void op_duped(int from, int to)
{
	Params &p = params();
	std::lock_guard<std::mutex> lock(p.mu);
	auto it = p.fds.find(from);
	if (it == p.fds.end())
		return;
	p.fds[to] = it->second;
	fd_register(to, &param_ops);
}

const FileOps param_ops = {"pcc parameter", {},        nullptr, op_write,
                           nullptr,         op_closed, op_duped};

} // namespace

bool param_open(OpenCall &call, int &result)
{
	const char *path = call.path;
	int flags = call.flags;
	if ((flags & O_ACCMODE) == O_RDONLY || !std::strstr(path, "pcc") ||
	    !param::param_candidate(path))
		return false;
	std::string mapped;
	if (param::resolve(path, false, mapped) != param::Where::Mapped)
		return false;
	sys::Reentry guard;
	ConfigPtr cfg = current();
	if (!cfg)
		return false;
	std::string kernel = "/sys/fs/zorvel/zvlite/" + cfg->fsname + "-" +
	                     cfg->instance + "/pcc";
	std::string ours_path;
	if (param::map_param(*cfg, kernel.c_str(), ours_path) !=
	            param::Where::Mapped ||
	    ours_path != mapped)
		return false;
	// Read-only underneath: a write is a command, never the content.
	int fd = sys::open_for_caller(
	        mapped.c_str(), O_RDONLY | (flags & (O_CLOEXEC | O_NONBLOCK)));
	if (fd < 0) {
		result = syscall_result(fd);
		return true;
	}
	struct stat st;
	if (::syscall(SYS_fstat, fd, &st) == 0) {
		Params &p = params();
		std::lock_guard<std::mutex> lock(p.mu);
		p.fds[fd] = st.st_ino;
		fd_register(fd, &param_ops);
	}
	result = fd;
	return true;
}

} // namespace zvsim::pcc
