/* A simulated file system for the duration of a test. */
#ifndef ZVTEST_SIM_FIXTURE_H
#define ZVTEST_SIM_FIXTURE_H

#include "zvtest/files.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace zvtest
{

/* One request the simulated kernel received. */
struct sim_request {
	unsigned long code;               /* ioctl code, or ZVSIM_REQ_* */
	size_t size;                      /* the size encoded in the code */
	std::vector<unsigned char> bytes; /* the argument as read on entry */
};

/*
 * Each test gets a new state directory holding one mount, made the current
 * simulation of this process (and of the programs it starts, through the
 * environment), with an empty request log. A test class changes what is
 * made by overriding fsname(), mdt_count() and ost_count().
 */
class sim_fixture : public ::testing::Test
{
      protected:
	void SetUp() override;
	void TearDown() override;

	virtual const char *fsname() const
	{
		return "demo";
	}
	virtual int mdt_count() const
	{
		return 1;
	}
	/* 0: the simulator's default. */
	virtual int ost_count() const
	{
		return 0;
	}

	const std::string &mount_path() const
	{
		return mount_;
	}
	/* Path inside the mount. */
	std::string in_mount(const std::string &rel) const;
	const std::string &state_dir() const
	{
		return state_->path();
	}

	/* Sets the whole content of the parameter file at kernel_path
	 * (under one of the simulated parameter trees). */
	void set_param(const std::string &kernel_path,
	               const std::string &content);

	/* The requests received since setup or the last clear, oldest
	 * first (of one code: requests(code)); request_codes() only their
	 * codes. */
	std::vector<sim_request> requests() const;
	std::vector<sim_request> requests(unsigned long code) const;
	std::vector<unsigned long> request_codes() const;
	void clear_requests();

	std::unique_ptr<temp_dir> state_;
	std::string mount_;
};

} // namespace zvtest

#endif
