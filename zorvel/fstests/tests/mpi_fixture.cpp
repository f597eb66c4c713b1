#include "mpi_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace mpitest
{

namespace
{

// What every mpirun of the tests gets: the ranks may run as root (only in
// the test's environment), and Open MPI keeps its session files in the
// test's own directory.
std::vector<std::string> launcher_env(const std::string &tmp,
                                      bool under_mpirun = true)
{
	(void)under_mpirun;
	return {"OMPI_ALLOW_RUN_AS_ROOT=1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1",
	        "OMPI_MCA_orte_tmpdir_base=" + tmp,
	// A sanitized rank leak-checks the MPI library at exit; its
	// own allocations are not ours to judge. Its plugins are
	// unloaded by then, so what they keep cannot be named in a
	// suppression: sanitized ranks check no leaks at all (the
	// programs' own leaks show in the runs without mpirun).
#ifdef MPITEST_SANITIZED
	        under_mpirun
	                ? "LSAN_OPTIONS=detect_leaks=0"
	                :
#endif
	                "LSAN_OPTIONS=suppressions=" MPITEST_LSAN_SUPPRESSIONS};
}

} // namespace

std::string place_name(Place p)
{
	return p == Place::Sim ? "Sim" : "Tmpfs";
}

std::string
every_place_name(const ::testing::TestParamInfo<std::tuple<Place, int>> &info)
{
	return place_name(std::get<0>(info.param)) +
	       std::to_string(std::get<1>(info.param)) + "Ranks";
}

std::string bin(const std::string &program)
{
	return std::string(MPITEST_BIN_DIR) + "/" + program;
}

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> out;
	std::istringstream in(text);
	std::string line;
	while (std::getline(in, line))
		out.push_back(line);
	return out;
}

std::vector<std::string> names_in(const std::string &dir)
{
	std::vector<std::string> out;
	DIR *d = opendir(dir.c_str());
	if (!d)
		return out;
	while (struct dirent *e = readdir(d))
		if (e->d_name[0] != '.')
			out.emplace_back(e->d_name);
	closedir(d);
	std::sort(out.begin(), out.end());
	return out;
}

int count_line(const std::string &text, const std::string &line)
{
	int n = 0;
	for (const auto &l : lines_of(text))
		n += l == line;
	return n;
}

int count_matching(const std::string &text, const std::string &re)
{
	std::regex r(re);
	int n = 0;
	for (const auto &l : lines_of(text))
		n += std::regex_match(l, r);
	return n;
}

void MpiTest::SetUp()
{
	std::string name =
	        ::testing::UnitTest::GetInstance()->current_test_info()->name();
	std::replace(name.begin(), name.end(), '/', '_');
	shm_ = "/dev/shm/mpitest." + std::to_string(getpid()) + "." + name;
	zvtest::remove_tree(shm_);
	ASSERT_EQ(mkdir(shm_.c_str(), 0755), 0) << shm_;
	state_ = tmp_.path() + "/state";
	std::string out = zvsim({"setup"});
	mount_ = out.substr(0, out.find('\n'));
	ASSERT_FALSE(mount_.empty());
}

void MpiTest::TearDown()
{
	zvtest::remove_tree(shm_);
}

std::string MpiTest::dir(Place p) const
{
	return p == Place::Sim ? mount_ : shm_;
}

std::string MpiTest::zvsim(const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {ZVSIM_BIN, "--state", state_};
	argv.insert(argv.end(), args.begin(), args.end());
	auto r = zvtest::run_program(argv);
	EXPECT_EQ(r.status, 0) << r.err;
	return r.out;
}

zvtest::run_result MpiTest::mpirun(int ranks, Place p,
                                   const std::string &program,
                                   const std::vector<std::string> &args,
                                   const std::vector<std::string> &env)
{
	std::vector<std::string> argv = {
	        MPIEXEC,           "-np",       std::to_string(ranks),
	        "--oversubscribe", "--bind-to", "none"};
	for (const auto &e : env) {
		argv.push_back("-x");
		argv.push_back(e);
	}
	if (p == Place::Sim) {
		for (const char *a : {ZVSIM_BIN, "run", "--state"})
			argv.push_back(a);
		argv.push_back(state_);
		argv.push_back("--");
	}
	argv.push_back(bin(program));
	argv.insert(argv.end(), args.begin(), args.end());
	return zvtest::run_program(argv, launcher_env(tmp_.path()));
}

zvtest::run_result MpiTest::direct(Place p, const std::string &program,
                                   const std::vector<std::string> &args)
{
	std::vector<std::string> argv;
	if (p == Place::Sim)
		argv = {ZVSIM_BIN, "run", "--state", state_, "--"};
	argv.push_back(bin(program));
	argv.insert(argv.end(), args.begin(), args.end());
	return zvtest::run_program(argv, launcher_env(tmp_.path()));
}

std::vector<std::string> preload_env(const std::vector<std::string> &libs,
                                     std::vector<std::string> more)
{
	std::string list;
	for (const auto &l : libs)
		list += (list.empty() ? "" : ":") + l;
	more.push_back("LD_PRELOAD=" + list);
	// The sanitizer runtime would otherwise insist on coming first.
	bool asan = false;
	for (auto &e : more)
		if (e.rfind("ASAN_OPTIONS=", 0) == 0) {
			e += ":verify_asan_link_order=0";
			asan = true;
		}
	if (!asan)
		more.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
	return more;
}

zvtest::run_result MpiTest::alone(const std::string &program,
                                  const std::vector<std::string> &args,
                                  int size, std::vector<std::string> env,
                                  const std::string &redirect)
{
	bool preloads = false;
	for (const auto &e : env)
		preloads |= e.rfind("LD_PRELOAD=", 0) == 0;
	if (!preloads)
		env = preload_env({MPI_ALONE_LIB}, env);
	env.push_back("MPI_ALONE_SIZE=" + std::to_string(size));
	std::vector<std::string> argv;
	if (!redirect.empty())
		argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirect};
	argv.push_back(bin(program));
	argv.insert(argv.end(), args.begin(), args.end());
	auto all = launcher_env(tmp_.path(), false);
	all.insert(all.end(), env.begin(), env.end());
	return zvtest::run_program(argv, all);
}

} // namespace mpitest
