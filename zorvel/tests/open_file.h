/* A simulation whose mount holds the file f ("data"), open read-write in
 * fd_ for the length of a test: the fixture of the requests made on an
 * open file. */
#ifndef ZORVEL_TESTS_OPEN_FILE_H
#define ZORVEL_TESTS_OPEN_FILE_H

#include "zvtest/files.h"
#include "zvtest/sim_fixture.h"

#include <fcntl.h>
#include <unistd.h>

class open_file_fixture : public zvtest::sim_fixture
{
      protected:
	void SetUp() override
	{
		sim_fixture::SetUp();
		zvtest::write_file(in_mount("f"), "data");
		fd_ = open(in_mount("f").c_str(), O_RDWR);
		ASSERT_GE(fd_, 0);
	}
	void TearDown() override
	{
		close(fd_);
		sim_fixture::TearDown();
	}
	int fd_ = -1;
};

#endif
