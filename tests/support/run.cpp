#include "zvtest/run.h"

#include "zvtest/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace zvtest
{
namespace
{

std::string name_of(const std::string &entry)
{
	return entry.substr(0, entry.find('='));
}

/* environ changed by the entries of env, in their order. */
std::vector<std::string> environment(const std::vector<std::string> &env)
{
	std::vector<std::string> out;
	for (char **e = environ; *e != nullptr; e++)
		out.emplace_back(*e);
	for (const auto &change : env) {
		std::string name = name_of(change);
		std::erase_if(out, [&](const std::string &entry) {
			return name_of(entry) == name;
		});
		if (change.find('=') != std::string::npos)
			out.push_back(change);
	}
	return out;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
	std::vector<char *> out;
	for (auto &s : strings)
		out.push_back(s.data());
	out.push_back(nullptr);
	return out;
}

} // namespace

run_result run_program(const std::vector<std::string> &argv,
                       const std::vector<std::string> &env)
{
	temp_dir out_dir;
	std::string out_path = out_dir.path() + "/out";
	std::string err_path = out_dir.path() + "/err";

	std::vector<std::string> arg_strings = argv;
	std::vector<char *> args = pointers(arg_strings);
	std::vector<std::string> env_strings = environment(env);
	std::vector<char *> envp = pointers(env_strings);

	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
	                                 O_WRONLY | O_CREAT | O_TRUNC, 0600);
	posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
	                                 O_WRONLY | O_CREAT | O_TRUNC, 0600);
	pid_t pid;
	int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(),
	                     envp.data());
	posix_spawn_file_actions_destroy(&actions);
	if (rc != 0)
		return {127, "", std::string("spawn failed: ") + strerror(rc)};
	int status;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
		;
	run_result res;
	res.status = WIFEXITED(status) ? WEXITSTATUS(status)
	                               : 128 + WTERMSIG(status);
	res.out = read_file(out_path);
	res.err = read_file(err_path);
	return res;
}

run_result run_shell(const std::string &cmd)
{
	run_result r{-1, {}, {}};
	FILE *p = popen(cmd.c_str(), "r");
	if (!p)
		return r;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, p)) > 0)
		r.out.append(buf, n);
	int ws = pclose(p);
	r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
	return r;
}

std::string shell_quote(const std::string &s)
{
	std::string out = "'";
	for (char c : s)
		out += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return out + "'";
}

} // namespace zvtest
