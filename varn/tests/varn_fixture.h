// A fresh simulation per test with the networking layer's device
// registered as device 0, and the reader of error trees.
#pragma once

#include "yaml_helpers.h"

#include "zvtest/sim_fixture.h"

#include <cyaml/cyaml.h>
#include <libkfx/util/ioctl.h>
#include <varn/varnconfig.h>
#include <zvsim/zvsim.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace varntest
{

/* A simulation whose networking layer's device is registered as device 0;
 * missing_ names a device that does not exist. */
class SimDevice : public zvtest::sim_fixture
{
      protected:
	void SetUp() override
	{
		zvtest::sim_fixture::SetUp();
		dev_ = std::string(zvsim_state_dir()) + "/dev/varn";
		missing_ = state_dir() + "/no-such-device";
		ASSERT_EQ(register_ioc_dev(0, dev_.c_str()), 0);
	}
	void TearDown() override
	{
		unregister_ioc_dev(0);
		cYAML_free_tree(err_);
		zvtest::sim_fixture::TearDown();
	}
	// The outcome of the last command; the error tree starts afresh.
	Outcome last_outcome()
	{
		Outcome o = last_outcome_of(err_);
		cYAML_free_tree(err_);
		err_ = nullptr;
		return o;
	}
	void log_clear()
	{
		clear_requests();
	}

	std::string dev_, missing_;
	cYAML *err_ = nullptr;
};

} // namespace varntest
