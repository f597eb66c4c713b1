/* Helpers shared by the client library's tests. */
#ifndef ZORVEL_TESTS_TEST_SUPPORT_H
#define ZORVEL_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zvtest
{

/* A temporary directory removed with its content on destruction. */
class temp_dir
{
      public:
	temp_dir();
	~temp_dir();
	temp_dir(const temp_dir &) = delete;
	temp_dir &operator=(const temp_dir &) = delete;
	const std::string &path() const
	{
		return path_;
	}

      private:
	std::string path_;
};

/* Number of descriptors open in this process. */
int open_fd_count();

/* Captures what is written to standard error (descriptor 2). */
class stderr_capture
{
      public:
	stderr_capture();
	~stderr_capture();
	/* Stops capturing and returns the text. */
	std::string finish();

      private:
	int saved_ = -1;
	int file_ = -1;
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);

/* Outcome of a program run. */
struct run_result {
	int status; /* exit status, or 128 + signal */
	std::string out;
	std::string err;
};

/* Runs argv (argv[0] a path) with extra environment entries "K=V". */
run_result run_program(const std::vector<std::string> &argv,
                       const std::vector<std::string> &env = {});

/* A simulated file system for the duration of a test. */
class sim_fixture : public ::testing::Test
{
      protected:
	void SetUp() override;
	void TearDown() override;
	/* Path inside the mount. */
	std::string in_mount(const std::string &rel) const;
	/* Requests the kernel received since the last clear, by code. */
	std::vector<unsigned long> request_codes() const;

	virtual int mdt_count() const
	{
		return 1;
	}

	std::unique_ptr<temp_dir> state_;
	std::string mount_;
};

} // namespace zvtest

#endif
