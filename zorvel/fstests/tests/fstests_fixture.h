// The test programs run as a harness runs them: through the simulator's
// launcher on the simulated file system, and directly on tmpfs (/dev/shm)
// and on the file system that holds the temporary directory; optionally
// with a file system made to misbehave (the fsfault preload).
#pragma once

#include "zvtest/files.h"
#include "zvtest/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fstests
{

enum class Place {
	Sim,   // in the simulated mount, under zvsim run
	Tmpfs, // /dev/shm, directly
	Tmp,   // $TMPDIR or /tmp, directly
};

std::string place_name(Place p);

// A program's path in the build tree, by name ("ioloop").
std::string bin(const std::string &program);

class FsTest : public ::testing::Test
{
      protected:
	void SetUp() override;
	void TearDown() override;

	// A directory of the test's own at a place: for Sim a directory in
	// the mount of state "s".
	std::string dir(Place p) const;
	std::string path(Place p, const std::string &name) const
	{
		return dir(p) + "/" + name;
	}
	std::string state() const
	{
		return tmp_.path() + "/state";
	}
	const std::string &mount() const
	{
		return mount_;
	}

	// program ARGS at a place (Sim: under zvsim run on state "s"),
	// with the fsfault preload giving faults (empty: none), and the
	// shell redirection redirect applied to the program ("2>&-").
	zvtest::run_result run(Place p, const std::string &program,
	                       const std::vector<std::string> &args,
	                       const std::string &faults = "",
	                       const std::string &redirect = "");
	// program ARGS under zvsim run with launcher options before "--".
	zvtest::run_result run_sim(const std::vector<std::string> &options,
	                           const std::string &program,
	                           const std::vector<std::string> &args,
	                           const std::string &faults = "",
	                           const std::string &redirect = "");
	// zvsim ARGS (steering) on state "s"; asserts success.
	std::string zvsim(const std::vector<std::string> &args);
	// The simulated kernel's request log: one "code size bytes" line each.
	std::vector<std::string> requests();

      private:
	std::vector<std::string> fault_env(const std::string &program,
	                                   const std::string &faults) const;
	zvtest::temp_dir tmp_;
	std::string shm_, mount_;
};

// Every place, for tests that hold everywhere.
class EveryPlace : public FsTest, public ::testing::WithParamInterface<Place>
{
};

} // namespace fstests
