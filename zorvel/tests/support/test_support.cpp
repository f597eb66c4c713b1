#include "test_support.h"

#include <zvsim/zvsim.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace zvtest
{

temp_dir::temp_dir()
{
	const char *base = getenv("TMPDIR");
	std::string tmpl = std::string(base ? base : "/tmp") + "/zvtest.XXXXXX";
	std::vector<char> buf(tmpl.begin(), tmpl.end());
	buf.push_back('\0');
	if (mkdtemp(buf.data()) == nullptr)
		throw std::runtime_error("mkdtemp failed");
	path_ = buf.data();
}

temp_dir::~temp_dir()
{
	nftw(
	        path_.c_str(),
	        [](const char *p, const struct stat *, int, struct FTW *) {
		        remove(p);
		        return 0;
	        },
	        16, FTW_DEPTH | FTW_PHYS);
}

int open_fd_count()
{
	int count = 0;
	DIR *dir = opendir("/proc/self/fd");
	if (dir == nullptr)
		return -1;
	while (struct dirent *ent = readdir(dir))
		if (ent->d_name[0] != '.')
			count++;
	closedir(dir);
	return count - 1; /* the directory's own descriptor */
}

stderr_capture::stderr_capture()
{
	fflush(stderr);
	char name[] = "/tmp/zvtest-stderr.XXXXXX";
	file_ = mkstemp(name);
	unlink(name);
	saved_ = dup(2);
	dup2(file_, 2);
}

stderr_capture::~stderr_capture()
{
	if (saved_ >= 0)
		finish();
}

std::string stderr_capture::finish()
{
	fflush(stderr);
	dup2(saved_, 2);
	close(saved_);
	saved_ = -1;
	std::string text;
	char buf[4096];
	ssize_t n;
	lseek(file_, 0, SEEK_SET);
	while ((n = read(file_, buf, sizeof(buf))) > 0)
		text.append(buf, n);
	close(file_);
	return text;
}

void write_file(const std::string &path, const std::string &content)
{
	std::ofstream out(path, std::ios::binary);
	out << content;
	if (!out)
		throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

run_result run_program(const std::vector<std::string> &argv,
                       const std::vector<std::string> &env)
{
	temp_dir out_dir;
	std::string out_path = out_dir.path() + "/out";
	std::string err_path = out_dir.path() + "/err";

	std::vector<char *> args;
	for (const auto &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	std::vector<std::string> env_strings;
	for (char **e = environ; *e; e++)
		env_strings.emplace_back(*e);
	for (const auto &e : env)
		env_strings.push_back(e);
	std::vector<char *> envp;
	for (auto &e : env_strings)
		envp.push_back(e.data());
	envp.push_back(nullptr);

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

void sim_fixture::SetUp()
{
	state_ = std::make_unique<temp_dir>();
	ASSERT_EQ(zvsim_setup(state_->path().c_str(), "demo", mdt_count()), 0);
	ASSERT_NE(zvsim_mount_path(), nullptr);
	mount_ = zvsim_mount_path();
	ASSERT_EQ(zvsim_log_enable(1), 0);
	ASSERT_EQ(zvsim_log_clear(), 0);
}

void sim_fixture::TearDown()
{
	zvsim_clear_injections();
	zvsim_teardown();
	state_.reset();
}

std::string sim_fixture::in_mount(const std::string &rel) const
{
	return mount_ + "/" + rel;
}

std::vector<unsigned long> sim_fixture::request_codes() const
{
	struct zvsim_request *reqs = nullptr;
	size_t count = 0;
	std::vector<unsigned long> codes;
	if (zvsim_log_read(&reqs, &count) < 0)
		return codes;
	for (size_t i = 0; i < count; i++)
		codes.push_back(reqs[i].code);
	zvsim_log_free(reqs, count);
	return codes;
}

} // namespace zvtest
