// The MPI programs run as a harness runs them: by mpirun, with several ranks
// on one host, on tmpfs or on the simulated file system (every rank under
// zvsim run, all sharing one state directory).
#pragma once

#include "zvtest/files.h"
#include "zvtest/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mpitest
{

enum class Place {
	Tmpfs, // a directory of the test's own in /dev/shm
	Sim,   // the simulated mount
};

std::string place_name(Place p);

// A program of the build tree by name ("chunkwrite").
std::string bin(const std::string &program);

// Lines of a text, without their line ends.
std::vector<std::string> lines_of(const std::string &text);
// The names in dir but . and .., sorted; none when it cannot be read.
std::vector<std::string> names_in(const std::string &dir);
// How many lines of text are exactly line.
int count_line(const std::string &text, const std::string &line);
// How many lines of text match the regular expression (whole line).
int count_matching(const std::string &text, const std::string &re);

class MpiTest : public ::testing::Test
{
      protected:
	void SetUp() override;
	void TearDown() override;

	// The directory the programs work in at p.
	std::string dir(Place p) const;
	std::string path(Place p, const std::string &name) const
	{
		return dir(p) + "/" + name;
	}
	const std::string &state() const
	{
		return state_;
	}

	// mpirun -np ranks PROGRAM ARGS, each rank with env ("NAME=VALUE")
	// added to its environment; at Place::Sim every rank runs under
	// zvsim run on the test's state directory.
	zvtest::run_result mpirun(int ranks, Place p,
	                          const std::string &program,
	                          const std::vector<std::string> &args,
	                          const std::vector<std::string> &env = {});
	// The same without a launcher: one process, as a user types it.
	zvtest::run_result direct(Place p, const std::string &program,
	                          const std::vector<std::string> &args);
	// program on tmpfs as rank 0 of a job of size ranks without starting
	// one: its MPI calls answered by a stand-in (mpi_alone.c), for the
	// tables of checks that need no other rank. env as mpirun's; the
	// stand-in is preloaded unless env sets LD_PRELOAD (put it first).
	// The shell redirection redirect ("2>&-") is applied to program.
	zvtest::run_result alone(const std::string &program,
	                         const std::vector<std::string> &args,
	                         int size = 1,
	                         std::vector<std::string> env = {},
	                         const std::string &redirect = "");

	// zvsim ARGS on the test's state directory; asserts success.
	std::string zvsim(const std::vector<std::string> &args);

      private:
	zvtest::temp_dir tmp_;
	std::string shm_, state_, mount_;
};

// Every place with 2 and 4 ranks.
class EveryPlace : public MpiTest,
                   public ::testing::WithParamInterface<std::tuple<Place, int>>
{
      protected:
	Place place() const
	{
		return std::get<0>(GetParam());
	}
	int ranks() const
	{
		return std::get<1>(GetParam());
	}
};

// "LD_PRELOAD=<libs>" and what a sanitized program needs to accept it,
// followed by more.
std::vector<std::string> preload_env(const std::vector<std::string> &libs,
                                     std::vector<std::string> more = {});

std::string
every_place_name(const ::testing::TestParamInfo<std::tuple<Place, int>> &info);

#define MPITEST_EVERY_PLACE(suite)                                             \
	INSTANTIATE_TEST_SUITE_P(                                              \
	        Places, suite,                                                 \
	        ::testing::Combine(::testing::Values(mpitest::Place::Tmpfs,    \
	                                             mpitest::Place::Sim),     \
	                           ::testing::Values(2, 4)),                   \
	        mpitest::every_place_name)

// Each MPI start costs a second or so: the cases that need no more run on
// two of the four, tmpfs with 2 ranks and the simulator with 4, or the
// other way round.
#define MPITEST_PLACES(suite, tmpfs_ranks, sim_ranks)                          \
	INSTANTIATE_TEST_SUITE_P(                                              \
	        Places, suite,                                                 \
	        ::testing::Values(                                             \
	                std::make_tuple(mpitest::Place::Tmpfs, tmpfs_ranks),   \
	                std::make_tuple(mpitest::Place::Sim, sim_ranks)),      \
	        mpitest::every_place_name)
#define MPITEST_TMPFS2_SIM4(suite) MPITEST_PLACES(suite, 2, 4)
#define MPITEST_TMPFS4_SIM2(suite) MPITEST_PLACES(suite, 4, 2)

} // namespace mpitest
