// A child process run under ptrace and stopped at the system call that
// makes a given change, before it runs or after it returned: a writer
// killed at an exact point of an operation.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zvtest
{

class Tracee
{
      public:
	// The child stops before running fn; ok() is false when it cannot be
	// traced here.
	explicit Tracee(const std::function<void()> &fn)
	{
		pid_ = fork();
		if (pid_ == 0) {
			if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) < 0)
				_exit(77);
			raise(SIGSTOP);
			fn();
			_exit(0);
		}
		int st;
		if (pid_ < 0 || waitpid(pid_, &st, 0) != pid_ ||
		    !WIFSTOPPED(st)) {
			pid_ = -1;
			return;
		}
		ptrace(PTRACE_SETOPTIONS, pid_, nullptr,
		       PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
	}
	~Tracee()
	{
		kill();
	}
	Tracee(const Tracee &) = delete;
	Tracee &operator=(const Tracee &) = delete;

	bool ok() const
	{
		return pid_ > 0;
	}

	// Runs the child until a system call with path as one of its path
	// arguments enters (after false) or returns (after true). False when
	// the child ended first.
	bool stop_at(const std::string &path, bool after)
	{
		bool inside = false;
		__ptrace_syscall_info si;
		while (next_stop(si)) {
			if (si.op == PTRACE_SYSCALL_INFO_ENTRY &&
			    names(si, path)) {
				if (!after)
					return true;
				inside = true;
			} else if (si.op == PTRACE_SYSCALL_INFO_EXIT &&
			           inside) {
				return true;
			}
		}
		return false;
	}

	// Runs the child to its next two calls of marker and counts the system
	// calls it makes between them; -1 when it ended first.
	int calls_between(long marker)
	{
		int seen = -1;
		__ptrace_syscall_info si;
		while (next_stop(si)) {
			if (si.op != PTRACE_SYSCALL_INFO_ENTRY)
				continue;
			if (static_cast<long>(si.entry.nr) != marker) {
				seen += seen >= 0;
			} else if (seen >= 0) {
				return seen;
			} else {
				seen = 0;
			}
		}
		return -1;
	}

	// Lets the child run on untraced; it is still killed at the end.
	void detach()
	{
		if (pid_ > 0)
			ptrace(PTRACE_DETACH, pid_, nullptr, nullptr);
	}

	void kill()
	{
		if (pid_ <= 0)
			return;
		::kill(pid_, SIGKILL);
		int st;
		waitpid(pid_, &st, 0);
		pid_ = -1;
	}

      private:
	// Resumes the child to its next system-call stop, delivering the
	// signals it gets meanwhile.
	bool next_stop(__ptrace_syscall_info &si)
	{
		int sig = 0;
		while (pid_ > 0) {
			if (ptrace(PTRACE_SYSCALL, pid_, nullptr, sig) < 0)
				return false;
			int st;
			if (waitpid(pid_, &st, 0) != pid_ || !WIFSTOPPED(st)) {
				pid_ = -1;
				return false;
			}
			sig = WSTOPSIG(st) == (SIGTRAP | 0x80) ? 0
			                                       : WSTOPSIG(st);
			if (!sig)
				return ptrace(PTRACE_GET_SYSCALL_INFO, pid_,
				              sizeof si, &si) > 0;
		}
		return false;
	}

	// The path arguments of the calls that change the namespace.
	bool names(const __ptrace_syscall_info &si, const std::string &path)
	{
		static const struct {
			long nr;
			int args[2];
		} calls[] = {
#ifdef SYS_open
		        {SYS_open, {0, -1}},    {SYS_mkdir, {0, -1}},
		        {SYS_mknod, {0, -1}},   {SYS_symlink, {1, -1}},
		        {SYS_link, {0, 1}},     {SYS_unlink, {0, -1}},
		        {SYS_rmdir, {0, -1}},   {SYS_rename, {0, 1}},
#endif
		        {SYS_openat, {1, -1}},  {SYS_mkdirat, {1, -1}},
		        {SYS_mknodat, {1, -1}}, {SYS_symlinkat, {2, -1}},
		        {SYS_linkat, {1, 3}},   {SYS_unlinkat, {1, -1}},
		        {SYS_renameat, {1, 3}}, {SYS_renameat2, {1, 3}},
		};
		for (const auto &c : calls) {
			if (static_cast<long>(si.entry.nr) != c.nr)
				continue;
			for (int a : c.args)
				if (a >= 0 && peek(si.entry.args[a]) == path)
					return true;
		}
		return false;
	}

	std::string peek(uint64_t addr)
	{
		std::string out;
		while (out.size() < 4096) {
			errno = 0;
			long word =
			        ptrace(PTRACE_PEEKDATA, pid_,
			               reinterpret_cast<void *>(addr), nullptr);
			if (errno)
				return "";
			const char *c = reinterpret_cast<const char *>(&word);
			for (size_t i = 0; i < sizeof word; ++i) {
				if (!c[i])
					return out;
				out += c[i];
			}
			addr += sizeof word;
		}
		return out;
	}

	pid_t pid_ = -1;
};

} // namespace zvtest
