// One shared page per state directory (<state>/control) that every process
// of the simulation maps: the flags a request checks on its way in, read
// without a system call. Writers change them under the state lock, after
// the files they summarise, so a reader that sees a flag clear may skip
// those files.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace zvsim
{

struct ControlPage {
	uint32_t magic;
	uint32_t version;
	uint32_t log_on;     // requests are appended to <state>/log
	uint32_t injections; // entries in <state>/inject
	uint32_t chlg_users; // some change log has a registered user
	uint32_t links_gen;  // generation of the link index (0: not kept)
	uint32_t leases;     // leases held (opens must look for conflicts)
	uint32_t lease_by_mode_only; // the record form of LEASE_SET: ENOTTY
	uint32_t pcc_attached;       // files attached to the client cache
	uint32_t reserved[7];
};

constexpr uint32_t CONTROL_MAGIC = 0x5043565AU; // "ZVCP"
constexpr size_t CONTROL_SIZE = 4096;

// Maps <state>/control, creating it (under the state lock) from what the
// state directory holds when it is missing; null when it cannot be mapped,
// and then every flag reads as set.
ControlPage *control_page_map(const std::string &state);

inline uint32_t page_get(const ControlPage *page, uint32_t ControlPage::*f)
{
	if (!page)
		return 1;
	return std::atomic_ref<uint32_t>(const_cast<ControlPage *>(page)->*f)
	        .load(std::memory_order_acquire);
}

inline void page_set(ControlPage *page, uint32_t ControlPage::*f, uint32_t v)
{
	if (page)
		std::atomic_ref<uint32_t>(page->*f).store(
		        v, std::memory_order_release);
}

} // namespace zvsim
