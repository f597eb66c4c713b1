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

#include <linux/zorvel/zorvel_changelog.h>
#include <linux/zorvel/zorvel_fid.h>
#include <linux/zorvel/zorvel_layout.h>
#include <zvsim/zvsim.h>

#include "hexbytes.h"

#ifndef ZVSIM_INSTALL_LIBDIR
#define ZVSIM_INSTALL_LIBDIR "/usr/local/lib"
#endif

namespace
{

const char *prog = "zvsim";

[[noreturn]] void usage()
{
	fprintf(stderr,
	        "usage: %s run [--state DIR] [--keep] [--fsname NAME] "
	        "[--mdts N] [--osts N] -- COMMAND [ARGS...]\n"
	        "       %s setup --state DIR [--fsname NAME] [--mdts N] "
	        "[--osts N]\n"
	        "       %s [--state DIR] inject CODE ERRNO [--always]\n"
	        "       %s [--state DIR] reply CODE HEXBYTES [RESULT]\n"
	        "       %s [--state DIR] log | log-clear | clear-injections\n"
	        "       %s [--state DIR] param set PATH [VALUE] | get PATH | "
	        "rm PATH | mkdir PATH\n"
	        "       %s [--state DIR] pool NAME [MEMBER...]\n"
	        "       %s [--state DIR] debugfs mounted|unmounted [ERRNO]\n"
	        "       %s [--state DIR] mtab none|regular|symlink\n"
	        "       %s [--state DIR] changelog register TARGET | "
	        "deregister TARGET USER | users TARGET |\n"
	        "                 mask TARGET HEXMASK | "
	        "append TARGET HEXBYTES\n",
	        prog, prog, prog, prog, prog, prog, prog, prog, prog, prog);
	exit(1);
}

void fail(const char *what, int err)
{
	fprintf(stderr, "%s: %s: %s\n", prog, what, strerror(err));
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

bool parse_count(const char *s, int &out)
{
	long long v;
	if (!parse_long(s, v) || v < 1 || v > 2000)
		return false;
	out = static_cast<int>(v);
	return true;
}

struct Named {
	const char *name;
	unsigned long code;
};

const Named codes[] = {
        {"FID2PATH", ZV_IOC_FID2PATH},
        {"GETPARENT", ZV_IOC_GETPARENT},
        {"FID2MDTIDX", ZV_IOC_FID2MDTIDX},
        {"GETOBDNAME", ZV_IOC_GETOBDNAME},
        {"LOV_SETSTRIPE", ZV_IOC_LOV_SETSTRIPE},
        {"LOV_GETSTRIPE", ZV_IOC_LOV_GETSTRIPE},
        {"LMV_SETSTRIPE", ZV_IOC_LMV_SETSTRIPE},
        {"LMV_GETSTRIPE", ZV_IOC_LMV_GETSTRIPE},
        {"NAME_TO_HANDLE", ZVSIM_REQ_NAME_TO_HANDLE},
        {"OPEN_BY_FID", ZVSIM_REQ_OPEN_BY_FID},
        {"STATFS", ZVSIM_REQ_STATFS},
        {"MOUNT", ZVSIM_REQ_MOUNT},
        {"RMFID", ZV_IOC_RMFID},
        {"REMOVE_ENTRY", ZV_IOC_REMOVE_ENTRY},
        {"FOREIGN_UNLINK_PREP", ZV_IOC_FOREIGN_UNLINK_PREP},
        {"CHLG_FOLLOW", ZV_IOC_CHLG_FOLLOW},
        {"CHLG_CLEAR", ZVSIM_REQ_CHLG_CLEAR},
};

bool parse_code(const char *s, unsigned long &out)
{
	long long v;
	if (parse_long(s, v)) {
		out = static_cast<unsigned long>(v);
		return true;
	}
	std::string_view name = s;
	if (name.starts_with("ZV_IOC_"))
		name.remove_prefix(7);
	for (const auto &c : codes) {
		if (strcasecmp(std::string(name).c_str(), c.name) == 0) {
			out = c.code;
			return true;
		}
	}
	return false;
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
	return zvsim::hex_decode(h, out);
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

// Next to the launcher in a build or install tree, else the library this
// launcher itself runs with, else the installed library directory.
std::string find_library()
{
	char self[PATH_MAX];
	if (realpath("/proc/self/exe", self)) {
		std::string lib = dir_of(self) + "/../lib/libzvsim.so";
		char real[PATH_MAX];
		if (exists(lib) && realpath(lib.c_str(), real))
			return real;
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

// --- subcommands ---------------------------------------------------------

struct Options {
	const char *state = nullptr;
	const char *fsname = nullptr;
	int mdts = 0, osts = 0;
	bool keep = false;
};

// Options shared by run and setup; returns the index of the first operand.
int parse_options(int argc, char **argv, int i, Options &o, bool run)
{
	for (; i < argc; ++i) {
		std::string_view a = argv[i];
		auto value = [&]() -> const char * {
			if (i + 1 >= argc)
				usage();
			return argv[++i];
		};
		if (a == "--")
			return i + 1;
		if (a == "--state")
			o.state = value();
		else if (a == "--fsname")
			o.fsname = value();
		else if (a == "--mdts") {
			if (!parse_count(value(), o.mdts))
				usage();
		} else if (a == "--osts") {
			if (!parse_count(value(), o.osts))
				usage();
		} else if (a == "--keep" && run)
			o.keep = true;
		else if (a.starts_with("-"))
			usage();
		else
			return i;
	}
	return i;
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
		usage();
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
	int rc = zvsim_setup_ex(state.c_str(), o.fsname, o.mdts, o.osts);
	if (rc < 0) {
		fail("setup", -rc);
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
	if (i != argc || !o.state)
		usage();
	int rc = zvsim_setup_ex(o.state, o.fsname, o.mdts, o.osts);
	if (rc < 0) {
		fail("setup", -rc);
		return 1;
	}
	printf("%s\n", zvsim_mount_path());
	return 0;
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

// param set PATH [VALUE] (standard input without VALUE), get, rm, mkdir.
int cmd_param(const char *state, int nargs, char **args)
{
	if (nargs < 2)
		usage();
	std::string_view op = args[0];
	const char *path = args[1];
	bool set = op == "set";
	if ((set && nargs > 3) || (!set && nargs != 2) ||
	    (!set && op != "get" && op != "rm" && op != "mkdir"))
		usage();
	if (attach(state))
		return 1;
	if (set) {
		std::string value = nargs == 3 ? args[2] : read_stdin();
		return report(path, zvsim_param_set(path, value.data(),
		                                    value.size()));
	}
	if (op == "rm")
		return report(path, zvsim_param_remove(path));
	if (op == "mkdir")
		return report(path, zvsim_param_mkdir(path));
	int size = zvsim_param_get(path, nullptr, 0);
	if (size < 0)
		return report(path, size);
	std::string value(static_cast<size_t>(size), '\0');
	size = zvsim_param_get(path, value.data(), value.size());
	if (size < 0)
		return report(path, size);
	value.resize(std::min(value.size(), static_cast<size_t>(size)));
	fwrite(value.data(), 1, value.size(), stdout);
	return 0;
}

// changelog register TARGET | deregister TARGET USER | users TARGET |
// mask TARGET HEXMASK | append TARGET HEXBYTES
int cmd_changelog(const char *state, int nargs, char **args)
{
	if (nargs < 2)
		usage();
	std::string_view op = args[0];
	const char *target = args[1];
	int want = op == "deregister" || op == "mask" || op == "append" ? 3 : 2;
	if (nargs != want || (want == 2 && op != "register" && op != "users"))
		usage();
	unsigned long long mask = 0;
	std::string bytes;
	char *end = nullptr;
	if (op == "mask") {
		errno = 0;
		mask = strtoull(args[2], &end, 16); // "0x" allowed
	}
	if ((op == "mask" && (errno || end == args[2] || *end ||
	                      args[2][0] == '-' || mask > 0xFFFFFFFFULL)) ||
	    (op == "append" && (!parse_hex(args[2], bytes) || bytes.empty())))
		usage();
	if (attach(state))
		return 1;
	if (op == "register") {
		char user[32];
		int rc = zvsim_changelog_register(target, user, sizeof user);
		if (rc < 0)
			return report(target, rc);
		printf("%s\n", user);
		return 0;
	}
	if (op == "deregister")
		return report(args[2],
		              zvsim_changelog_deregister(target, args[2]));
	if (op == "mask")
		return report(target,
		              zvsim_changelog_mask(
		                      target, static_cast<uint32_t>(mask)));
	if (op == "append")
		return report(target,
		              zvsim_changelog_append(target, bytes.data(),
		                                     bytes.size()));
	int size = zvsim_changelog_users(target, nullptr, 0);
	if (size < 0)
		return report(target, size);
	std::string text(static_cast<size_t>(size), '\0');
	size = zvsim_changelog_users(target, text.data(), text.size());
	if (size < 0)
		return report(target, size);
	text.resize(std::min(text.size(), static_cast<size_t>(size)));
	fwrite(text.data(), 1, text.size(), stdout);
	return 0;
}

int cmd_steer(const char *state, std::string_view cmd, int argc, char **argv,
              int i)
{
	int nargs = argc - i;
	if (cmd == "inject") {
		bool always =
		        nargs == 3 && strcmp(argv[i + 2], "--always") == 0;
		unsigned long code;
		int err;
		if ((nargs != 2 && !always) || !parse_code(argv[i], code) ||
		    !parse_errno(argv[i + 1], err))
			usage();
		if (attach(state))
			return 1;
		return report("inject", zvsim_inject_errno(code, err, always));
	}
	if (cmd == "reply") {
		unsigned long code;
		std::string bytes;
		long long result = 0;
		if (nargs < 2 || nargs > 3 || !parse_code(argv[i], code) ||
		    !parse_hex(argv[i + 1], bytes) ||
		    (nargs == 3 && !parse_long(argv[i + 2], result)))
			usage();
		if (attach(state))
			return 1;
		return report("reply", zvsim_inject_reply(
		                               code, bytes.data(), bytes.size(),
		                               static_cast<int>(result)));
	}
	if (cmd == "param")
		return cmd_param(state, nargs, argv + i);
	if (cmd == "changelog")
		return cmd_changelog(state, nargs, argv + i);
	if (cmd == "pool") {
		if (nargs < 1)
			usage();
		if (attach(state))
			return 1;
		return report("pool",
		              zvsim_pool_set(argv[i], argv + i + 1,
		                             static_cast<size_t>(nargs - 1)));
	}
	if (cmd == "debugfs") {
		int err = 0;
		if (nargs < 1 || nargs > 2 ||
		    (strcmp(argv[i], "mounted") &&
		     strcmp(argv[i], "unmounted")) ||
		    (nargs == 2 && !parse_errno(argv[i + 1], err)))
			usage();
		if (attach(state))
			return 1;
		return report("debugfs",
		              zvsim_debugfs(!strcmp(argv[i], "mounted"), err));
	}
	if (cmd == "mtab") {
		static const char *const kinds[] = {"none", "regular",
		                                    "symlink"};
		int kind = -1;
		for (int k = 0; k < 3 && nargs == 1; ++k)
			if (!strcmp(argv[i], kinds[k]))
				kind = k;
		if (kind < 0)
			usage();
		if (attach(state))
			return 1;
		return report("mtab", zvsim_mtab(kind));
	}
	if (nargs != 0)
		usage();
	if (cmd == "log-clear") {
		if (attach(state))
			return 1;
		return report("log-clear", zvsim_log_clear());
	}
	if (cmd == "clear-injections") {
		if (attach(state))
			return 1;
		return report("clear-injections", zvsim_clear_injections());
	}
	if (cmd == "log") {
		if (attach(state))
			return 1;
		struct zvsim_request *reqs;
		size_t n;
		int rc = zvsim_log_read(&reqs, &n);
		if (rc < 0)
			return report("log", rc);
		for (size_t k = 0; k < n; ++k) {
			printf("%#lx %zu", reqs[k].code, reqs[k].size);
			if (reqs[k].nbytes)
				putchar(' ');
			for (size_t b = 0; b < reqs[k].nbytes; ++b)
				printf("%02x", reqs[k].bytes[b]);
			putchar('\n');
		}
		zvsim_log_free(reqs, n);
		return 0;
	}
	usage();
}

} // namespace

int main(int argc, char **argv)
{
	int i = 1;
	const char *state = nullptr;
	while (i + 1 < argc && strcmp(argv[i], "--state") == 0) {
		state = argv[i + 1];
		i += 2;
	}
	if (i >= argc)
		usage();
	std::string_view cmd = argv[i];
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
	if (cmd == "-h" || cmd == "--help")
		usage();
	// --state may also follow the subcommand.
	int j = i + 1;
	if (j + 1 < argc && strcmp(argv[j], "--state") == 0) {
		state = argv[j + 1];
		std::vector<char *> args(argv, argv + argc);
		args.erase(args.begin() + j, args.begin() + j + 2);
		return cmd_steer(state, cmd, static_cast<int>(args.size()),
		                 args.data(), j);
	}
	return cmd_steer(state, cmd, argc, argv, j);
}
