#include "model_file.h"

#include <zorvel/zorvelapi.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <random>
#include <unistd.h>

namespace model
{

namespace
{

unsigned steps_run; /* in the sequences of the running test */
bool every_change_seen = true;

uint64_t pages_for(uint64_t len)
{
	return (len + PAGE - 1) / PAGE;
}

bool all_zero(const std::string &s, uint64_t from, uint64_t to)
{
	return std::all_of(s.begin() + from, s.begin() + to,
	                   [](char c) { return c == 0; });
}

unsigned env_count(const char *name, unsigned by_default)
{
	const char *v = getenv(name);
	return v && *v ? static_cast<unsigned>(strtoul(v, nullptr, 0))
	               : by_default;
}

} // namespace

change operator|(change a, change b)
{
	return std::max(a, b);
}

void contents::resize(uint64_t len)
{
	bytes_.resize(len, '\0');
	pages_.resize(pages_for(len), alloc::hole);
}

change contents::write(uint64_t off, const std::string &data)
{
	if (data.empty())
		return change::none;
	if (off + data.size() > size())
		resize(off + data.size());
	bytes_.replace(off, data.size(), data);
	for (uint64_t p = off / PAGE; p < pages_for(off + data.size()); p++)
		pages_[p] = alloc::data;
	return change::must;
}

change contents::truncate(uint64_t len)
{
	if (len == size())
		return change::may;
	resize(len);
	return change::must;
}

change contents::punch(uint64_t off, uint64_t len)
{
	if (off >= size() || len == 0)
		return change::may;
	uint64_t end = off + len, to = std::min(end, size());
	bool same = all_zero(bytes_, off, to);
	std::fill(bytes_.begin() + off, bytes_.begin() + to, '\0');
	for (uint64_t p = off / PAGE; p < pages_.size(); p++) {
		uint64_t ps = p * PAGE, pe = ps + PAGE;
		if (ps >= end)
			break;
		if (off <= ps && end >= pe)
			pages_[p] = alloc::hole;
		else if (off <= ps && end > size() && pages_[p] == alloc::data)
			/* The page that holds the end, punched past the end
			 * but not to the page's end: freed by some file
			 * systems, zeroed by others. */
			pages_[p] = alloc::either;
	}
	return same ? change::may : change::must;
}

change contents::copy_of(const contents &src)
{
	bool same = bytes_ == src.bytes_;
	bool writes = std::find(src.pages_.begin(), src.pages_.end(),
	                        alloc::data) != src.pages_.end();
	bytes_ = src.bytes_;
	pages_ = src.pages_;
	return same && !writes ? change::may : change::must;
}

change contents::write_range_of(const contents &src, uint64_t off, uint64_t len)
{
	uint64_t end = src.size();
	bool to_end = len == UINT64_MAX || off + len > end;
	change c = change::none;
	if (off < end) {
		uint64_t n = std::min(len, end - off);
		c = write(off, src.bytes_.substr(off, n));
	}
	if (to_end)
		c = c | truncate(end);
	return c;
}

int contents::sparse() const
{
	bool open = false;
	for (alloc a : pages_) {
		if (a == alloc::hole)
			return 1;
		open |= a == alloc::either;
	}
	return open ? -1 : 0;
}

std::string contents::differs(uint64_t got_size, const std::string &got_bytes,
                              const extents &got_data) const
{
	if (got_size != size())
		return "size " + std::to_string(got_size) + ", expected " +
		       std::to_string(size());
	if (got_bytes != bytes_) {
		uint64_t at = 0;
		while (at < got_bytes.size() && at < size() &&
		       got_bytes[at] == bytes_[at])
			at++;
		return "bytes differ at offset " + std::to_string(at) +
		       " (read " + std::to_string(got_bytes.size()) + ")";
	}
	for (uint64_t p = 0; p < pages_.size(); p++) {
		uint64_t ps = p * PAGE, pe = std::min(ps + PAGE, size());
		bool data = std::any_of(got_data.begin(), got_data.end(),
		                        [&](const extent &e) {
			                        return e.offset < pe &&
			                               e.offset + e.length > ps;
		                        });
		if ((pages_[p] == alloc::hole && data) ||
		    (pages_[p] == alloc::data && !data))
			return "page " + std::to_string(p) + " is " +
			       (data ? "data" : "a hole") + ", expected " +
			       (data ? "a hole" : "data") + "; data " +
			       text(got_data);
	}
	for (const extent &e : got_data)
		if (e.offset + e.length > size())
			return "data past the end: " + text(got_data);
	return "";
}

std::string text(const extents &e)
{
	std::string out;
	for (const extent &x : e)
		out += (out.empty() ? "" : ",") + std::to_string(x.offset) +
		       "+" + std::to_string(x.length);
	return out.empty() ? "-" : out;
}

extents parse_extents(const std::string &text)
{
	extents out;
	if (text == "-")
		return out;
	for (size_t at = 0; at < text.size();) {
		size_t comma = text.find(',', at);
		std::string one = text.substr(at, comma - at);
		size_t plus = one.find('+');
		out.push_back({std::stoull(one.substr(0, plus)),
		               std::stoull(one.substr(plus + 1))});
		if (comma == std::string::npos)
			break;
		at = comma + 1;
	}
	return out;
}

dice::dice()
{
	const char *v = getenv("ZV_MODEL_SEED");
	seed_ = v && *v ? strtoull(v, nullptr, 0)
	                : std::random_device{}() ^
	                          static_cast<uint64_t>(
	                                  std::chrono::steady_clock::now()
	                                          .time_since_epoch()
	                                          .count());
	gen_.seed(seed_);
}

uint64_t dice::between(uint64_t lo, uint64_t hi)
{
	return std::uniform_int_distribution<uint64_t>(lo, hi)(gen_);
}

bool dice::chance(unsigned percent)
{
	return between(0, 99) < percent;
}

uint64_t dice::offset(uint64_t max_pages, bool unaligned)
{
	uint64_t off = between(0, max_pages) * PAGE;
	if (unaligned && chance(30))
		off += between(1, PAGE - 1);
	return off;
}

uint64_t dice::length(uint64_t max_pages)
{
	if (chance(50))
		return between(1, max_pages) * PAGE;
	return between(1, max_pages * PAGE);
}

std::string dice::data(uint64_t len)
{
	unsigned w = ++writes_;
	std::string s(len, '\0');
	for (uint64_t i = 0; i < len; i++)
		s[i] = static_cast<char>(1 + (w * 31 + i / 97) % 255);
	return s;
}

bool probe_data_versions(const std::string &path)
{
	every_change_seen = true;
	int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
	uint64_t before = 0, after = 0;
	for (int i = 0; fd >= 0 && i < 8 && every_change_seen; i++) {
		every_change_seen =
		        zvapi_get_data_version(fd, &before, 0) == 0 &&
		        pwrite(fd, "x", 1, 0) == 1 &&
		        zvapi_get_data_version(fd, &after, 0) == 0 &&
		        after != before;
	}
	if (fd >= 0)
		close(fd);
	unlink(path.c_str());
	return every_change_seen;
}

void fixture::SetUp()
{
	sim_fixture::SetUp();
	if (sysconf(_SC_PAGESIZE) != long(PAGE))
		GTEST_SKIP() << "the model counts 4096-byte pages";
	if (!probe_data_versions(in_mount("probe")))
		std::cerr << "coarse timestamps: a data version that "
		             "does not move is let off\n";
}

std::string check_data_version(change c, bool moved)
{
	if (c == change::must && !moved && every_change_seen)
		return "the data version did not move";
	if (c == change::none && moved)
		return "the data version moved";
	return "";
}

void run_sequences(
        unsigned sequences, unsigned steps,
        const std::function<void(dice &, unsigned, unsigned)> &sequence)
{
	dice d;
	SCOPED_TRACE("ZV_MODEL_SEED=" + std::to_string(d.seed()));
#if defined(__SANITIZE_ADDRESS__)
	/* Half as many under the sanitizers, whose checks cost the most
	 * here; the plain build runs them all. */
	sequences = (sequences + 1) / 2;
#endif
	sequences = env_count("ZV_MODEL_SEQUENCES", sequences);
	steps = env_count("ZV_MODEL_STEPS", steps);
	steps_run = 0;
	for (unsigned s = 0; s < sequences && !testing::Test::HasFailure(); s++)
		sequence(d, s, steps);
	testing::Test::RecordProperty("steps", steps_run);
}

std::string run_steps(unsigned steps,
                      const std::function<std::string(std::string &)> &step)
{
	std::deque<std::string> last;
	for (unsigned i = 0; i < steps; i++) {
		std::string desc, why = step(desc);
		steps_run++;
		last.push_back(desc);
		if (last.size() > 12)
			last.pop_front();
		if (why.empty())
			continue;
		why = "step " + std::to_string(i) + ": " + why +
		      "\nlast steps:";
		for (const std::string &l : last)
			why += "\n  " + l;
		return why;
	}
	return "";
}

} // namespace model
