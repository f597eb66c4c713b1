/* The reference model of the randomized tests: what a user expects a
 * file (or one of its mirrors) to hold after each operation, kept in plain
 * memory, and the comparison with what the simulated file system holds.
 * Pages are 4096 bytes; whether a page holds data is tracked where a user
 * can count on it, and left open where file systems differ (a punch that
 * runs past the end inside the last page). */
#ifndef ZORVEL_TESTS_MODEL_FILE_H
#define ZORVEL_TESTS_MODEL_FILE_H

#include "zvtest/sim_fixture.h"

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace model
{

constexpr uint64_t PAGE = 4096;

enum class alloc : uint8_t {
	hole,
	data,
	either
};

/* [offset, offset + length) stretches of data, as SEEK_DATA/SEEK_HOLE
 * find them. */
struct extent {
	uint64_t offset, length;
};
using extents = std::vector<extent>;

/* What a change did to the model: whether the file's data version has to
 * move (bytes, size or a write), may move (a call that changed nothing),
 * or must stay (nothing was changed). */
enum class change {
	none,
	may,
	must
};
change operator|(change a, change b);

class contents
{
      public:
	uint64_t size() const
	{
		return bytes_.size();
	}
	const std::string &bytes() const
	{
		return bytes_;
	}
	const std::vector<alloc> &pages() const
	{
		return pages_;
	}

	/* pwrite: the pages written hold data. */
	change write(uint64_t off, const std::string &data);
	/* ftruncate: an extension is a hole. */
	change truncate(uint64_t len);
	/* A hole punched, the size kept: whole pages inside go, partial
	 * pages read as zeros. */
	change punch(uint64_t off, uint64_t len);
	/* Becomes a copy of src: bytes, size and holes. */
	change copy_of(const contents &src);
	/* Bytes [off, off + len) of src written densely, as a range copy
	 * writes them (whole pages, cut back to src's end after). */
	change write_range_of(const contents &src, uint64_t off, uint64_t len);

	/* Whether the file has a hole before its end: 1 yes, 0 no, -1 when
	 * file systems may answer either. */
	int sparse() const;

	/* "" when got (size, bytes, data stretches) is what a user expects,
	 * else what differs. */
	std::string differs(uint64_t got_size, const std::string &got_bytes,
	                    const extents &got_data) const;

      private:
	void resize(uint64_t len);
	std::string bytes_;
	std::vector<alloc> pages_;
};

/* The data stretches in text form, for messages. */
std::string text(const extents &e);
/* Parses "<offset>+<length>,..." or "-". */
extents parse_extents(const std::string &text);

/* The random source of a test: seeded from ZV_MODEL_SEED when it is set,
 * else from the time; seed() is printed when a test fails. */
class dice
{
      public:
	dice();
	uint64_t seed() const
	{
		return seed_;
	}
	/* Uniform in [lo, hi]. */
	uint64_t between(uint64_t lo, uint64_t hi);
	/* True with probability percent/100. */
	bool chance(unsigned percent);
	/* Page-aligned offset of at most max_pages pages, or an unaligned
	 * one now and then when unaligned is set. */
	uint64_t offset(uint64_t max_pages, bool unaligned = false);
	/* A length up to max_pages pages, unaligned often. */
	uint64_t length(uint64_t max_pages);
	/* len bytes of a pattern no two writes share. */
	std::string data(uint64_t len);

      private:
	uint64_t seed_;
	std::mt19937_64 gen_;
	unsigned writes_ = 0;
};

/* Whether data versions show every change on the file system of path
 * (a new file made there): the simulator's follow modification times,
 * which tell two writes within one clock tick apart only where the
 * kernel gives fine-grained timestamps. Where they do not, a change that
 * must move the version is let off (check_data_version below). */
bool probe_data_versions(const std::string &path);
/* "" when a data version that moved (or not) agrees with change c. */
std::string check_data_version(change c, bool moved);

/* Runs the sequences of a test with one dice: sequence(dice, number,
 * steps) for each, ZV_MODEL_SEQUENCES and ZV_MODEL_STEPS (when set)
 * standing for the defaults (half the sequences in sanitized builds),
 * the seed in every failure message, up to the
 * first failure. The steps run are recorded as the test's property. */
void run_sequences(
        unsigned sequences, unsigned steps,
        const std::function<void(dice &, unsigned, unsigned)> &sequence);

/* Runs the steps of one sequence: step(desc) does one, describes it, and
 * answers what went wrong, "" when nothing did. "" when every step went
 * well, else the failure with the steps that led to it. */
std::string run_steps(unsigned steps,
                      const std::function<std::string(std::string &)> &step);

/* The simulation of a model test: skipped where pages are not the 4096
 * bytes the model counts, with a word where data versions cannot show
 * every change (probe_data_versions). */
class fixture : public zvtest::sim_fixture
{
      protected:
	void SetUp() override;
};

} // namespace model

#endif
