// One shared page per state directory (<state>/control) that every process
// of the simulation maps: the flags a request checks on its way in, read
// without a system call. Writers change them under the state lock, after
// the files they summarise, so a reader that sees a flag clear may skip
// those files. Core's flags are fields; a family declares its own in its
// Family (page_flags) and they take the next slots of the page.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace zvsim
{

constexpr size_t PAGE_FAMILY_FLAGS = 11;
// Directories the link index is told of by a mark rather than records:
// room for a tree of a few thousand directories made between lookups.
constexpr size_t PAGE_MADE_DIRS = 7168;

struct ControlPage {
	uint32_t magic;
	uint32_t version;
	uint32_t log_on;     // requests are appended to <state>/log
	uint32_t injections; // entries in <state>/inject
	uint32_t links_gen;  // generation of the link index (0: not kept)
	uint32_t family[PAGE_FAMILY_FLAGS]; // the families' flags, by slot
	// Removals and renames under the simulation (any of them may change
	// what a path names, or where an inode lies); zero in an older page.
	uint32_t entries_moved;
	// While the link index is kept: directories where entries were made
	// since it last listed them (inode numbers; 0: a free slot), on pages
	// of their own. Zero in an older page.
	alignas(4096) uint64_t made_in[PAGE_MADE_DIRS];
};

// A flag a family keeps on the page. Its slot is its place among the
// flags of every family, found at its first use.
struct PageFlag {
	// What a state directory made before the page existed says of it
	// (the files it summarises); null: clear.
	uint32_t (*initial)(const std::string &state) = nullptr;
	mutable std::atomic<int> slot{-1};
};

// Whether a file of a state directory exists (for PageFlag::initial).
bool page_has_file(const std::string &path);

// f's slot, or -1 when no family declares it or the page has no room.
int page_slot_find(const PageFlag &f);

inline int page_slot(const PageFlag &f)
{
	int slot = f.slot.load(std::memory_order_relaxed);
	return slot >= 0 ? slot : page_slot_find(f);
}

constexpr uint32_t CONTROL_MAGIC = 0x5043565AU; // "ZVCP"
constexpr size_t CONTROL_SIZE = 65536; // pages never written stay holes
static_assert(sizeof(ControlPage) <= CONTROL_SIZE);

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

inline void page_bump(ControlPage *page, uint32_t ControlPage::*f)
{
	if (page)
		std::atomic_ref<uint32_t>(page->*f).fetch_add(
		        1, std::memory_order_acq_rel);
}

// A family's flag, read as set without a page or a slot.
inline uint32_t page_get(const ControlPage *page, const PageFlag &f)
{
	int slot = page_slot(f);
	if (!page || slot < 0)
		return 1;
	return std::atomic_ref<uint32_t>(
	               const_cast<ControlPage *>(page)->family[slot])
	        .load(std::memory_order_acquire);
}

inline void page_set(ControlPage *page, const PageFlag &f, uint32_t v)
{
	int slot = page_slot(f);
	if (page && slot >= 0)
		std::atomic_ref<uint32_t>(page->family[slot])
		        .store(v, std::memory_order_release);
}

} // namespace zvsim
