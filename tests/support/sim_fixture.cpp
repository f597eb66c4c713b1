#include "zvtest/sim_fixture.h"

#include <zvsim/zvsim.h>

#include <utility>

namespace zvtest
{

void sim_fixture::SetUp()
{
	state_ = std::make_unique<temp_dir>();
	ASSERT_EQ(zvsim_setup_ex(state_->path().c_str(), fsname(), mdt_count(),
	                         ost_count()),
	          0);
	ASSERT_NE(zvsim_mount_path(), nullptr);
	mount_ = zvsim_mount_path();
	ASSERT_EQ(zvsim_log_enable(1), 0);
	ASSERT_EQ(zvsim_log_clear(), 0);
}

void sim_fixture::TearDown()
{
	zvsim_clear_injections();
	zvsim_teardown();
	state_.reset();
}

std::string sim_fixture::in_mount(const std::string &rel) const
{
	return mount_ + "/" + rel;
}

void sim_fixture::set_param(const std::string &kernel_path,
                            const std::string &content)
{
	ASSERT_EQ(zvsim_param_set(kernel_path.c_str(), content.data(),
	                          content.size()),
	          0)
	        << kernel_path;
}

std::vector<sim_request> sim_fixture::requests() const
{
	struct zvsim_request *reqs = nullptr;
	size_t count = 0;
	std::vector<sim_request> out;
	if (zvsim_log_read(&reqs, &count) < 0)
		return out;
	for (size_t i = 0; i < count; i++)
		out.push_back({reqs[i].code, reqs[i].size,
		               std::vector<unsigned char>(
		                       reqs[i].bytes,
		                       reqs[i].bytes + reqs[i].nbytes)});
	zvsim_log_free(reqs, count);
	return out;
}

std::vector<sim_request> sim_fixture::requests(unsigned long code) const
{
	std::vector<sim_request> of_code;
	for (sim_request &r : requests())
		if (r.code == code)
			of_code.push_back(std::move(r));
	return of_code;
}

std::vector<unsigned long> sim_fixture::request_codes() const
{
	std::vector<unsigned long> codes;
	for (const sim_request &r : requests())
		codes.push_back(r.code);
	return codes;
}

void sim_fixture::clear_requests()
{
	ASSERT_EQ(zvsim_log_clear(), 0);
}

} // namespace zvtest
