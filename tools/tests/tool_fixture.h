// The front end run as a user runs it: under the simulator's launcher, on
// state directories of the test's own, checking exit status and exact
// output.
#pragma once

#include "zvtest/files.h"
#include "zvtest/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tooltest
{

class ZorvelTool : public ::testing::Test
{
      protected:
	// Makes state directory "s" with one mount of file system demo.
	void SetUp() override;

	// State directory NAME (made by the launcher on first use).
	std::string state(const std::string &name = "s") const
	{
		return dir_.path() + "/" + name;
	}
	// Path inside the mount of state "s".
	std::string m(const std::string &rel) const
	{
		return mount_ + "/" + rel;
	}
	// A file of the test's own holding text; its path.
	std::string file(const std::string &name, const std::string &text);

	// COMMAND run under the launcher on state STATE.
	zvtest::run_result under_sim(const std::vector<std::string> &command,
	                             const std::string &state_name = "s");
	// zorvel ARGS under the launcher.
	zvtest::run_result zorvel(const std::vector<std::string> &args,
	                          const std::string &state_name = "s");
	// The same with ARGS written as shell words.
	zvtest::run_result zorvel_sh(const std::string &args,
	                             const std::string &state_name = "s");
	// zvsim ARGS steering state STATE (its kernel rules, faults, log).
	zvtest::run_result zvsim(const std::vector<std::string> &args,
	                         const std::string &state_name = "s");
	// The FID path2fid prints for PATH, as [seq:oid:ver].
	std::string fid_of(const std::string &path);
	// zorvel ARGS without the launcher, with the environment changed by
	// env (see zvtest::run_program).
	zvtest::run_result zorvel_alone(const std::vector<std::string> &args,
	                                const std::vector<std::string> &env);

	// Each line of OUT parsed by a JSON parser and written back with
	// sorted keys; a line that does not parse fails the test.
	std::vector<std::string> json_lines(const std::string &out);

	zvtest::temp_dir dir_;
	std::string mount_;
};

} // namespace tooltest
