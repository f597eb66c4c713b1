#include "fstests_fixture.h"

#include <cstdlib>
#include <sstream>

namespace fstests
{
namespace
{

// The test's own environment says nothing of a simulation.
const std::vector<std::string> clean_env = {"ZVSIM_STATE", "ZVSIM_MOUNT"};

} // namespace

std::string place_name(Place p)
{
	switch (p) {
	case Place::Sim:
		return "sim";
	case Place::Tmpfs:
		return "tmpfs";
	case Place::Tmp:
		return "tmp";
	}
	return "?";
}

std::string bin(const std::string &program)
{
	return std::string(FSTESTS_BIN_DIR) + "/" + program;
}

void FsTest::SetUp()
{
	char tmpl[] = "/dev/shm/fstests.XXXXXX";
	ASSERT_NE(mkdtemp(tmpl), nullptr);
	shm_ = tmpl;
	zvtest::run_result r = zvtest::run_program(
	        {ZVSIM_BIN, "setup", "--state", state()}, clean_env);
	ASSERT_EQ(r.status, 0) << r.err;
	mount_ = r.out.substr(0, r.out.find('\n'));
	ASSERT_FALSE(mount_.empty());
	r = run_sim({}, "/bin/mkdir", {mount_ + "/t"});
	ASSERT_EQ(r.status, 0) << r.err;
}

void FsTest::TearDown()
{
	zvtest::remove_tree(shm_);
}

std::string FsTest::dir(Place p) const
{
	switch (p) {
	case Place::Sim:
		return mount_ + "/t";
	case Place::Tmpfs:
		return shm_;
	case Place::Tmp:
		return tmp_.path();
	}
	return "";
}

std::vector<std::string> FsTest::fault_env(const std::string &program,
                                           const std::string &faults) const
{
	std::vector<std::string> env = clean_env;
	if (faults.empty())
		return env;
	std::string name = program.substr(program.rfind('/') + 1);
	env.push_back("FSFAULT=" + faults);
	env.push_back("FSFAULT_PROG=" + name);
	env.push_back(std::string("LD_PRELOAD=") + FSFAULT_LIB);
	// A sanitized program checks that its runtime comes first.
	const char *asan = getenv("ASAN_OPTIONS");
	env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
	              (asan && *asan ? ":" : "") + "verify_asan_link_order=0");
	return env;
}

zvtest::run_result FsTest::run(Place p, const std::string &program,
                               const std::vector<std::string> &args,
                               const std::string &faults,
                               const std::string &redirect)
{
	if (p == Place::Sim)
		return run_sim({}, program, args, faults, redirect);
	std::vector<std::string> argv;
	if (!redirect.empty())
		argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirect};
	argv.push_back(bin(program));
	argv.insert(argv.end(), args.begin(), args.end());
	return zvtest::run_program(argv, fault_env(program, faults));
}

zvtest::run_result FsTest::run_sim(const std::vector<std::string> &options,
                                   const std::string &program,
                                   const std::vector<std::string> &args,
                                   const std::string &faults,
                                   const std::string &redirect)
{
	std::vector<std::string> argv = {ZVSIM_BIN, "run", "--state", state()};
	argv.insert(argv.end(), options.begin(), options.end());
	argv.push_back("--");
	// The faults go ahead of the simulator: it serves some calls on the
	// mount's files (fallocate) with system calls of its own, past
	// anything preloaded after it.
	if (!faults.empty() || !redirect.empty())
		argv.insert(argv.end(),
		            {"/bin/sh", "-c",
		             (faults.empty() ? ""
		                             : "LD_PRELOAD=\"$FSFAULT_LIB:"
		                               "$LD_PRELOAD\" ") +
		                     std::string("exec \"$@\" ") + redirect,
		             "sh"});
	argv.push_back(program[0] == '/' ? program : bin(program));
	argv.insert(argv.end(), args.begin(), args.end());
	std::vector<std::string> env = fault_env(program, faults);
	if (!faults.empty())
		env.push_back(std::string("FSFAULT_LIB=") + FSFAULT_LIB);
	return zvtest::run_program(argv, env);
}

std::string FsTest::zvsim(const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {ZVSIM_BIN, "--state", state()};
	argv.insert(argv.end(), args.begin(), args.end());
	zvtest::run_result r = zvtest::run_program(argv, clean_env);
	EXPECT_EQ(r.status, 0) << "zvsim " << args[0] << ": " << r.err;
	return r.out;
}

std::vector<std::string> FsTest::requests()
{
	std::istringstream in(zvsim({"log"}));
	std::vector<std::string> lines;
	for (std::string line; std::getline(in, line);)
		lines.push_back(line);
	return lines;
}

} // namespace fstests
