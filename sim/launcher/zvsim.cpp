// zvsim: run a command on a simulated file system, and steer a simulation
// from scripts.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <zvsim/zvsim.h>

#include "command.h"

#ifndef ZVSIM_INSTALL_LIBDIR
#define ZVSIM_INSTALL_LIBDIR "/usr/local/lib/zorvel"
#endif
#ifndef ZVSIM_BIN_TO_LIBDIR
#define ZVSIM_BIN_TO_LIBDIR "../lib/zorvel"
#endif

using namespace zvsim::launcher;

namespace
{

void print_usage(FILE *out)
{
	fprintf(out,
	        "usage: %s run [--state DIR] [--keep] [--log] [--fsname NAME] "
	        "[--mdts N] [--osts N] [--mount PATH]... "
	        "[--numbered-mounts PREFIX:N] -- COMMAND [ARGS...]\n"
	        "       %s setup --state DIR [--log] [--fsname NAME] "
	        "[--mdts N] [--osts N]\n",
	        prog, prog);
	for (const CommandGroup *g : command_groups())
		for (const Command &c : g->commands)
			fprintf(out, "       %s [--state DIR] %s %s\n", prog,
			        c.name, c.usage);
}

// --- the library to preload --------------------------------------------

std::string dir_of(const std::string &path)
{
	auto slash = path.rfind('/');
	return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool exists(const std::string &path)
{
	return access(path.c_str(), R_OK) == 0;
}

// Where an install tree or the build tree keeps it beside the launcher,
// else the library this launcher itself runs with, else the installed
// library directory.
std::string find_library()
{
	char self[PATH_MAX];
	if (realpath("/proc/self/exe", self)) {
		for (const char *rel : {ZVSIM_BIN_TO_LIBDIR, "../lib"}) {
			std::string lib =
			        dir_of(self) + "/" + rel + "/libzvsim.so";
			char real[PATH_MAX];
			if (exists(lib) && realpath(lib.c_str(), real))
				return real;
		}
	}
	Dl_info info;
	if (dladdr(reinterpret_cast<void *>(&zvsim_setup), &info) &&
	    info.dli_fname && info.dli_fname[0] == '/')
		return info.dli_fname;
	return std::string(ZVSIM_INSTALL_LIBDIR) + "/libzvsim.so";
}

// Path of the AddressSanitizer runtime this launcher runs with, if any: a
// sanitized libzvsim.so needs it first in the preload list.
std::string asan_runtime()
{
	void *sym = dlsym(RTLD_DEFAULT, "__asan_init");
	Dl_info info;
	if (sym && dladdr(sym, &info) && info.dli_fname &&
	    info.dli_fname[0] == '/')
		return info.dli_fname;
	return {};
}

// Whether an executable file names the sanitizer runtime among its
// dependencies (our own sanitized programs do; a system shell does not).
bool links_asan(const std::string &path)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	struct stat st;
	bool found = false;
	if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
		void *map = mmap(nullptr, static_cast<size_t>(st.st_size),
		                 PROT_READ, MAP_PRIVATE, fd, 0);
		if (map != MAP_FAILED) {
			static const char needle[] = "libasan.so";
			found = memmem(map, static_cast<size_t>(st.st_size),
			               needle, sizeof needle - 1) != nullptr;
			munmap(map, static_cast<size_t>(st.st_size));
		}
	}
	close(fd);
	return found;
}

std::string resolve_command(const char *cmd)
{
	if (strchr(cmd, '/'))
		return cmd;
	const char *path = getenv("PATH");
	std::string dirs = path ? path : "/usr/bin:/bin";
	size_t start = 0;
	while (start <= dirs.size()) {
		size_t end = dirs.find(':', start);
		if (end == std::string::npos)
			end = dirs.size();
		std::string dir = dirs.substr(start, end - start);
		std::string cand = (dir.empty() ? "." : dir) + "/" + cmd;
		if (access(cand.c_str(), X_OK) == 0)
			return cand;
		start = end + 1;
	}
	return {};
}

void prepare_environment(const char *cmd)
{
	std::string preload = find_library();
	std::string asan = asan_runtime();
	if (!asan.empty()) {
		preload = asan + ":" + preload;
		// A program outside this project (a shell, coreutils) is not
		// ours to leak-check: its leaks would change its exit status.
		std::string target = resolve_command(cmd);
		const char *opts = getenv("ASAN_OPTIONS");
		if (!target.empty() && !links_asan(target) &&
		    !(opts && strstr(opts, "detect_leaks"))) {
			std::string o = opts && *opts ? std::string(opts) + ":"
			                              : std::string();
			setenv("ASAN_OPTIONS", (o + "detect_leaks=0").c_str(),
			       1);
		}
	}
	const char *old = getenv("LD_PRELOAD");
	if (old && *old)
		preload += std::string(":") + old;
	setenv("LD_PRELOAD", preload.c_str(), 1);
}

// --- removing a temporary state directory -------------------------------

void remove_tree(int dirfd, const char *name)
{
	int fd = openat(dirfd, name,
	                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0) {
		if (errno == EACCES &&
		    fchmodat(dirfd, name, 0700, 0) == 0) // tests chmod
			fd = openat(dirfd, name,
			            O_RDONLY | O_DIRECTORY | O_NOFOLLOW |
			                    O_CLOEXEC);
		if (fd < 0) {
			unlinkat(dirfd, name, 0);
			return;
		}
	}
	fchmod(fd, 0700);
	DIR *dir = fdopendir(fd);
	if (!dir) {
		close(fd);
		return;
	}
	std::vector<std::string> names;
	while (struct dirent *de = readdir(dir)) {
		if (strcmp(de->d_name, ".") && strcmp(de->d_name, ".."))
			names.emplace_back(de->d_name);
	}
	for (const auto &n : names) {
		if (unlinkat(fd, n.c_str(), 0) < 0 &&
		    (errno == EISDIR || errno == EPERM))
			remove_tree(fd, n.c_str());
	}
	closedir(dir);
	unlinkat(dirfd, name, AT_REMOVEDIR);
}

// --- run and setup -----------------------------------------------------

struct Options {
	const char *state = nullptr;
	const char *fsname = nullptr;
	const char *mdts_text = nullptr, *osts_text = nullptr;
	int mdts = 0, osts = 0;
	bool keep = false, log = false;
	std::vector<std::string> mounts; // further mounts, absolute
};

[[noreturn]] void bad_option(const char *what)
{
	fprintf(stderr, "%s: %s\n", prog, what);
	usage_error();
}

bool valid_fsname(const char *s)
{
	size_t n = strlen(s);
	if (n < 1 || n > 8)
		return false;
	for (const char *p = s; *p; ++p)
		if (!isalnum(static_cast<unsigned char>(*p)) && *p != '_' &&
		    *p != '-')
			return false;
	return true;
}

bool parse_count(const char *s, int max, int &out)
{
	long long v;
	if (!parse_long(s, v) || v < 1 || v > max)
		return false;
	out = static_cast<int>(v);
	return true;
}

// PREFIX:N: mounts PREFIX0 to PREFIX<N-1>.
void add_numbered(Options &o, const char *text)
{
	const char *colon = strrchr(text, ':');
	long long n;
	if (!colon || colon == text || !parse_long(colon + 1, n) || n < 1 ||
	    n > 1024)
		bad_option(("--numbered-mounts '" + std::string(text) +
		            "': PREFIX:N with N from 1 to 1024")
		                   .c_str());
	std::string prefix = absolute_path(std::string(text, colon).c_str());
	for (long long k = 0; k < n; k++)
		o.mounts.push_back(prefix + std::to_string(k));
}

// Options shared by run and setup; returns the index of the first operand.
int parse_options(int argc, char **argv, int i, Options &o, bool run)
{
	for (; i < argc; ++i) {
		std::string_view a = argv[i];
		auto value = [&]() -> const char * {
			if (i + 1 >= argc)
				bad_option((std::string(a) + " needs a value")
				                   .c_str());
			return argv[++i];
		};
		if (a == "--")
			return i + 1;
		if (a == "--state") {
			o.state = value();
		} else if (a == "--fsname") {
			o.fsname = value();
			if (!valid_fsname(o.fsname))
				bad_option(("--fsname '" +
				            std::string(o.fsname) +
				            "': a file-system name is 1 to 8 "
				            "letters, digits, '_' or '-'")
				                   .c_str());
		} else if (a == "--mdts") {
			o.mdts_text = value();
			if (!parse_count(o.mdts_text, 64, o.mdts))
				bad_option(("--mdts '" +
				            std::string(o.mdts_text) +
				            "': from 1 to 64 metadata targets")
				                   .c_str());
		} else if (a == "--osts") {
			o.osts_text = value();
			if (!parse_count(o.osts_text, 2000, o.osts))
				bad_option(("--osts '" +
				            std::string(o.osts_text) +
				            "': from 1 to 2000 storage targets")
				                   .c_str());
		} else if (a == "--mount" && run) {
			o.mounts.push_back(absolute_path(value()));
		} else if (a == "--numbered-mounts" && run) {
			add_numbered(o, value());
		} else if (a == "--keep" && run) {
			o.keep = true;
		} else if (a == "--log") {
			o.log = true;
		} else if (a.starts_with("-")) {
			bad_option(("unknown option '" + std::string(a) + "'")
			                   .c_str());
		} else {
			return i;
		}
	}
	return i;
}

// Sets up the simulation the options describe: 0, or 1 after a message.
// A state directory that holds one already keeps it as it is: options
// that would have shaped it are reported as ignored.
int setup_state(const std::string &state, const Options &o)
{
	std::string config = state + "/config";
	if (access(config.c_str(), F_OK) == 0 &&
	    (o.fsname || o.mdts_text || o.osts_text))
		fprintf(stderr,
		        "%s: %s holds a simulation already: %s%s%s%skept as "
		        "it is\n",
		        prog, state.c_str(), o.fsname ? "--fsname " : "",
		        o.mdts_text ? "--mdts " : "",
		        o.osts_text ? "--osts " : "", "ignored, ");
	int rc = zvsim_setup_ex(state.c_str(), o.fsname, o.mdts, o.osts);
	if (rc < 0) {
		fprintf(stderr, "%s: setup of %s: %s\n", prog, state.c_str(),
		        strerror(-rc));
		return 1;
	}
	if (o.log && (rc = zvsim_log_enable(1)) < 0) {
		fail("log", -rc);
		return 1;
	}
	std::string listed;
	for (const std::string &m : o.mounts) {
		if ((rc = zvsim_mount_add(m.c_str())) < 0) {
			fprintf(stderr, "%s: mount %s: %s\n", prog, m.c_str(),
			        strerror(-rc));
			return 1;
		}
		listed += (listed.empty() ? "" : ":") + m;
	}
	// The command learns its further mounts as it learns the mount.
	if (!listed.empty())
		setenv("ZVSIM_MOUNTS", listed.c_str(), 1);
	return 0;
}

// The command a termination signal is passed on to.
volatile sig_atomic_t forward_to;

void forward_signal(int sig)
{
	if (forward_to > 0)
		kill(forward_to, sig);
}

int cmd_run(int argc, char **argv, int i)
{
	Options o;
	i = parse_options(argc, argv, i, o, true);
	if (i >= argc)
		bad_option("run needs a command");
	std::string state;
	bool temporary = !o.state;
	if (temporary) {
		const char *tmp = getenv("TMPDIR");
		state = std::string(tmp && *tmp ? tmp : "/tmp") +
		        "/zvsim.XXXXXX";
		if (!mkdtemp(state.data())) {
			fail("cannot create a state directory", errno);
			return 1;
		}
	} else {
		state = o.state;
	}
	if (setup_state(state, o)) {
		if (temporary)
			zvsim_mounts_remove();
		zvsim_teardown();
		if (temporary)
			remove_tree(AT_FDCWD, state.c_str());
		return 1;
	}
	prepare_environment(argv[i]);

	int status = 1;
	pid_t pid = fork();
	if (pid < 0) {
		fail("fork", errno);
	} else if (pid == 0) {
		execvp(argv[i], argv + i);
		int err = errno;
		fprintf(stderr, "%s: %s: %s\n", prog, argv[i], strerror(err));
		_exit(err == ENOENT ? 127 : 126);
	} else {
		// The command owns the terminal's signals; we only wait. A
		// termination sent to us goes on to the command, so that it is
		// not left running on a state we then remove.
		signal(SIGINT, SIG_IGN);
		signal(SIGQUIT, SIG_IGN);
		forward_to = pid;
		struct sigaction sa = {};
		sa.sa_handler = forward_signal;
		sigemptyset(&sa.sa_mask);
		sigaction(SIGTERM, &sa, nullptr);
		sigaction(SIGHUP, &sa, nullptr);
		int ws;
		while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
		}
		status = WIFEXITED(ws)     ? WEXITSTATUS(ws)
		         : WIFSIGNALED(ws) ? 128 + WTERMSIG(ws)
		                           : 1;
	}
	// Removed as plain files: the simulation would keep its own
	// directories. Further mounts go with the state they link to.
	if (temporary && !o.keep)
		zvsim_mounts_remove();
	zvsim_teardown();
	if (temporary && !o.keep)
		remove_tree(AT_FDCWD, state.c_str());
	else if (temporary)
		fprintf(stderr, "%s: state kept in %s\n", prog, state.c_str());
	return status;
}

int cmd_setup(int argc, char **argv, int i)
{
	Options o;
	i = parse_options(argc, argv, i, o, false);
	if (i != argc)
		bad_option(
		        ("unexpected argument '" + std::string(argv[i]) + "'")
		                .c_str());
	if (!o.state)
		bad_option("setup needs --state DIR");
	if (setup_state(o.state, o))
		return 1;
	return print(std::string(zvsim_mount_path()) + "\n");
}

const Command *find_command(std::string_view name)
{
	for (const CommandGroup *g : command_groups())
		for (const Command &c : g->commands)
			if (name == c.name)
				return &c;
	return nullptr;
}

} // namespace

namespace zvsim::launcher
{

void usage_error()
{
	print_usage(stderr);
	exit(1);
}

} // namespace zvsim::launcher

int main(int argc, char **argv)
{
	int i = 1;
	const char *state = nullptr;
	while (i + 1 < argc && strcmp(argv[i], "--state") == 0) {
		state = argv[i + 1];
		i += 2;
	}
	if (i >= argc)
		usage_error();
	std::string_view cmd = argv[i];
	if (cmd == "-h" || cmd == "--help" || cmd == "help") {
		print_usage(stdout);
		return fflush(stdout) == 0 ? 0 : 1;
	}
	if (cmd == "run" || cmd == "setup") {
		// Put a leading --state back for the subcommand to see.
		std::vector<char *> args(argv, argv + argc);
		if (state) {
			static char opt[] = "--state";
			args.insert(args.begin() + i + 1,
			            {opt, const_cast<char *>(state)});
		}
		int n = static_cast<int>(args.size());
		args.push_back(nullptr); // the command's argv ends in NULL
		return cmd == "run" ? cmd_run(n, args.data(), i + 1)
		                    : cmd_setup(n, args.data(), i + 1);
	}
	const Command *c = find_command(cmd);
	if (!c) {
		fprintf(stderr, "%s: unknown command '%s'\n", prog, argv[i]);
		usage_error();
	}
	// --state may also follow the subcommand.
	std::vector<char *> args(argv + i + 1, argv + argc);
	if (args.size() >= 2 && strcmp(args[0], "--state") == 0) {
		state = args[1];
		args.erase(args.begin(), args.begin() + 2);
	}
	return c->run(state, static_cast<int>(args.size()), args.data());
}
