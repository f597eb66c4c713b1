// A fresh simulation per test with the networking layer's device
// registered as device 0, and readers for error trees and the request log.
#pragma once

#include "yaml_helpers.h"

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

struct Request {
	unsigned long code;
	size_t size;
	std::vector<unsigned char> bytes;
};

class SimDevice : public ::testing::Test
{
      protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/varn-test.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = tmpl;
		ASSERT_EQ(zvsim_setup((dir_ + "/state").c_str(), nullptr, 0),
		          0);
		ASSERT_EQ(zvsim_log_enable(1), 0);
		dev_ = std::string(zvsim_state_dir()) + "/dev/varn";
		missing_ = dir_ + "/no-such-device";
		ASSERT_EQ(register_ioc_dev(0, dev_.c_str()), 0);
	}
	void TearDown() override
	{
		unregister_ioc_dev(0);
		cYAML_free_tree(err_);
		zvsim_teardown();
		std::error_code ec;
		std::filesystem::remove_all(dir_, ec);
	}
	// The outcome of the last command; the error tree starts afresh.
	Outcome last_outcome()
	{
		Outcome o = last_outcome_of(err_);
		cYAML_free_tree(err_);
		err_ = nullptr;
		return o;
	}
	std::vector<Request> requests() const
	{
		zvsim_request *reqs = nullptr;
		size_t n = 0;
		std::vector<Request> out;
		if (zvsim_log_read(&reqs, &n) < 0)
			return out;
		for (size_t i = 0; i < n; i++)
			out.push_back(
			        {reqs[i].code, reqs[i].size,
			         std::vector<unsigned char>(
			                 reqs[i].bytes,
			                 reqs[i].bytes + reqs[i].nbytes)});
		zvsim_log_free(reqs, n);
		return out;
	}
	void log_clear()
	{
		zvsim_log_clear();
	}

	std::string dir_, dev_, missing_;
	cYAML *err_ = nullptr;
};

} // namespace varntest
