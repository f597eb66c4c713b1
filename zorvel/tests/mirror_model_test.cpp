/* Mirrors and sparse files, randomized: sequences of writes, truncations,
 * punches, copies (of any source to any destinations, the source itself
 * among them, ranges and whole files, one or many) and reads, through the
 * library on a simulated file, each step checked against the reference
 * model: every mirror's size, bytes and holes as the simulator holds
 * them, the answers of the reads, and the file's data version, which
 * moves after every change and never after a read. `zorvel mirror verify`
 * is checked against the model at the end of each sequence.
 * ZV_MODEL_SEED=N replays a run (the seed is printed with any failure);
 * ZV_MODEL_SEQUENCES and ZV_MODEL_STEPS scale it. */
#include "model_file.h"
#include "zvtest/run.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace
{

using model::change;
using model::contents;
using model::PAGE;

constexpr unsigned MAX_MIRRORS = 4;

/* What the simulator holds for one mirror. */
struct observed {
	uint64_t size = 0;
	std::string bytes;
	model::extents data;
};

class MirrorModel : public model::fixture
{
      public:
	/* One sequence of random steps on new files. */
	void run_sequence(model::dice &d, unsigned seq, unsigned steps);

      protected:
	void SetUp() override
	{
		model::fixture::SetUp();
		if (!IsSkipped() && !keeps_holes())
			GTEST_SKIP() << "the state directory's file system "
			                "keeps no holes";
	}
	void TearDown() override
	{
		if (fd_ >= 0)
			close(fd_);
		sim_fixture::TearDown();
	}

	bool keeps_holes()
	{
		std::string p = in_mount("probe");
		zvtest::write_file(p, "");
		int fd = open(p.c_str(), O_RDWR);
		bool ok = fd >= 0 && pwrite(fd, "x", 1, 1 << 20) == 1 &&
		          lseek(fd, 0, SEEK_DATA) == 1 << 20;
		if (fd >= 0)
			close(fd);
		unlink(p.c_str());
		return ok;
	}

	/* Every mirror as the simulator's steering reads it. */
	bool observe(std::vector<observed> &out, std::string &why)
	{
		std::string list(1 << 16, '\0');
		int n = zvsim_mirror_list(path_.c_str(), list.data(),
		                          list.size());
		if (n < 0 || size_t(n) > list.size()) {
			why = "mirror list: " + std::to_string(n);
			return false;
		}
		list.resize(n);
		std::istringstream lines(list);
		out.clear();
		unsigned id, stale;
		uint64_t size;
		std::string data;
		while (lines >> id >> size >> stale >> data) {
			observed o;
			o.size = size;
			o.data = model::parse_extents(data);
			o.bytes.resize(size + PAGE);
			int got = zvsim_mirror_read(path_.c_str(), id, 0,
			                            o.bytes.data(),
			                            o.bytes.size());
			o.bytes.resize(got < 0 ? 0 : got);
			out.push_back(o);
		}
		if (out.size() != m_.size()) {
			why = std::to_string(out.size()) +
			      " mirrors, expected " + std::to_string(m_.size());
			return false;
		}
		return true;
	}

	/* "" when the simulator holds what the model does. */
	std::string check_contents()
	{
		std::vector<observed> seen;
		std::string why;
		if (!observe(seen, why))
			return why;
		for (size_t i = 0; i < m_.size(); i++) {
			why = m_[i].differs(seen[i].size, seen[i].bytes,
			                    seen[i].data);
			if (!why.empty())
				return "mirror " + std::to_string(i + 1) +
				       ": " + why;
		}
		seen_ = std::move(seen);
		return "";
	}

	std::string check_version(change c)
	{
		uint64_t v = 0;
		int rc = zvapi_get_data_version(fd_, &v, 0);
		if (rc != 0)
			return "data version: " + std::to_string(rc);
		bool moved = v != version_;
		version_ = v;
		return model::check_data_version(c, moved);
	}

	/* mirror verify of the front end against the model: which mirrors
	 * agree with mirror 1 (size and bytes) and the exit status. */
	std::string check_verify()
	{
		zvtest::run_result r = zvtest::run_program(
		        {ZVSIM_LAUNCHER, "run", "--state", state_dir(), "--",
		         ZORVEL_BIN, "mirror", "verify", path_, "--json"});
		bool differ = false;
		for (size_t i = 1; i < m_.size(); i++) {
			bool agree = m_[i].bytes() == m_[0].bytes();
			differ |= !agree;
			std::string want =
			        "\"mirror\": " + std::to_string(i + 1) +
			        ", \"agrees\": " + (agree ? "1" : "0");
			if (r.out.find(want) == std::string::npos)
				return "verify: no '" + want + "' in " + r.out +
				       r.err;
		}
		if (r.status != (differ ? 117 : 0))
			return "verify: status " + std::to_string(r.status) +
			       ": " + r.out + r.err;
		return "";
	}

	/* A page-aligned copy of data for the mirror writes. */
	char *aligned(const std::string &data)
	{
		size_t want = std::max<size_t>(data.size(), 1);
		if (want > buf_size_) {
			void *p = nullptr;
			EXPECT_EQ(posix_memalign(&p, PAGE, want), 0);
			buf_.reset(static_cast<char *>(p));
			buf_size_ = want;
		}
		memcpy(buf_.get(), data.data(), data.size());
		return buf_.get();
	}

	/* The model of mirror id: 0 is the file as a whole, which reads and
	 * writes mirror 1. */
	contents &mirror(unsigned id)
	{
		return m_[id == 0 ? 0 : id - 1];
	}
	bool exists(unsigned id) const
	{
		return id <= m_.size();
	}

	change step(model::dice &d, std::string &desc, std::string &why);
	change write_step(model::dice &d, std::string &desc, std::string &why);
	change reshape_step(model::dice &d, std::string &desc,
	                    std::string &why);
	change copy_step(model::dice &d, std::string &desc, std::string &why);
	change copy_many_step(model::dice &d, std::string &desc,
	                      std::string &why);
	change read_step(model::dice &d, std::string &desc, std::string &why);

	std::string path_;
	int fd_ = -1;
	uint64_t version_ = 0;
	uint64_t max_pages_ = 0;
	std::vector<contents> m_;
	std::vector<observed> seen_; /* after the last step */
	std::unique_ptr<char, decltype(&free)> buf_{nullptr, free};
	size_t buf_size_ = 0;
};

template <typename T>
std::string expect_rc(const char *what, T got, T want)
{
	if (got == want)
		return "";
	return std::string(what) + " returned " + std::to_string(got) +
	       ", expected " + std::to_string(want);
}

/* A mirror id for an operation: now and then one the file lacks. */
unsigned pick_id(model::dice &d, size_t n, bool zero = false)
{
	if (d.chance(5))
		return n + 1;
	return d.between(zero ? 0 : 1, n);
}

change MirrorModel::write_step(model::dice &d, std::string &desc,
                               std::string &why)
{
	unsigned id = pick_id(d, m_.size(), true);
	bool unaligned = d.chance(5);
	uint64_t pos = d.offset(max_pages_) + (unaligned ? 512 : 0);
	uint64_t len = d.length(max_pages_ * 3 / 4);
	std::string data = d.data(len);
	bool same = d.chance(15) && exists(id) && pos < mirror(id).size();
	if (same) { /* the bytes it holds: a write all the same */
		data = mirror(id).bytes().substr(pos, len);
		len = data.size();
	}
	desc = "mirror_write id " + std::to_string(id) + " at " +
	       std::to_string(pos) + " len " + std::to_string(len) +
	       (same ? " (same bytes)" : "");
	ssize_t rc = zvapi_mirror_write(fd_, id, aligned(data), len, pos);
	if (unaligned)
		why = expect_rc<ssize_t>("write", rc, -EINVAL);
	else if (!exists(id))
		why = expect_rc<ssize_t>("write", rc, -ENOENT);
	else {
		why = expect_rc<ssize_t>("write", rc, len);
		return mirror(id).write(pos, data);
	}
	return change::none;
}

/* Truncations and punches, of a mirror or of the file itself. */
change MirrorModel::reshape_step(model::dice &d, std::string &desc,
                                 std::string &why)
{
	unsigned id = pick_id(d, m_.size(), true);
	uint64_t off = d.offset(max_pages_, true);
	int rc;
	switch (d.between(0, 4)) {
	case 0:
		desc = "mirror_truncate id " + std::to_string(id) + " to " +
		       std::to_string(off);
		rc = zvapi_mirror_truncate(fd_, id, off);
		if (!exists(id))
			break;
		why = expect_rc("truncate", rc, 0);
		return mirror(id).truncate(off);
	case 1:
		desc = "ftruncate to " + std::to_string(off);
		why = expect_rc("ftruncate", ftruncate(fd_, off), 0);
		return mirror(0).truncate(off);
	case 2:
	case 3: {
		uint64_t len = d.length(max_pages_ / 2);
		desc = "mirror_punch id " + std::to_string(id) + " at " +
		       std::to_string(off) + " len " + std::to_string(len);
		rc = zvapi_mirror_punch(fd_, id, off, len);
		if (!exists(id))
			break;
		why = expect_rc("punch", rc, 0);
		return mirror(id).punch(off, len);
	}
	default: {
		uint64_t len = d.length(max_pages_ / 2);
		desc = "hole_punch at " + std::to_string(off) + " len " +
		       std::to_string(len);
		why = expect_rc("hole_punch", zvapi_hole_punch(fd_, off, len),
		                0);
		return mirror(0).punch(off, len);
	}
	}
	why = expect_rc("the call on a missing mirror", rc, -ENOENT);
	return change::none;
}

/* One source to one destination, densely: a range, or to the end. */
change MirrorModel::copy_step(model::dice &d, std::string &desc,
                              std::string &why)
{
	unsigned src = pick_id(d, m_.size(), true);
	unsigned dst = d.chance(10) ? src : pick_id(d, m_.size());
	uint64_t pos = d.offset(max_pages_);
	uint64_t count =
	        d.chance(50) ? UINT64_MAX : d.between(1, max_pages_) * PAGE;
	desc = "mirror_copy " + std::to_string(src) + " to " +
	       std::to_string(dst) + " at " + std::to_string(pos) + " count " +
	       (count == UINT64_MAX ? "all" : std::to_string(count));
	ssize_t rc = zvapi_mirror_copy(fd_, src, dst, pos, count);
	if (dst == 0 || dst == src)
		why = expect_rc<ssize_t>("copy", rc, -EINVAL);
	else if (!exists(src) || !exists(dst))
		why = expect_rc<ssize_t>("copy", rc, -ENOENT);
	else {
		contents from = mirror(src);
		uint64_t end = from.size();
		ssize_t want = pos >= end ? 0 : std::min(count, end - pos);
		why = expect_rc<ssize_t>("copy", rc, want);
		return mirror(dst).write_range_of(from, pos, count);
	}
	return change::none;
}

/* One source to a list of destinations, holes kept. */
change MirrorModel::copy_many_step(model::dice &d, std::string &desc,
                                   std::string &why)
{
	unsigned src = pick_id(d, m_.size(), true);
	std::vector<uint16_t> dst(d.between(1, 4));
	for (uint16_t &id : dst)
		id = d.chance(20) ? src : pick_id(d, m_.size());
	desc = "mirror_copy_many " + std::to_string(src) + " to";
	for (uint16_t id : dst)
		desc += " " + std::to_string(id);
	std::vector<uint16_t> valid;
	bool missing = false;
	for (uint16_t id : dst) {
		if (src != 0 && id == src)
			continue;
		if (exists(id))
			valid.push_back(id);
		else
			missing = true;
	}
	std::vector<uint16_t> list = dst;
	ssize_t rc = zvapi_mirror_copy_many(fd_, src, list.data(), list.size());
	ssize_t want = valid.empty() && !missing ? -EINVAL
	               : !exists(src)            ? -ENOENT
	               : valid.empty()           ? -ENOENT
	                                         : ssize_t(valid.size());
	why = expect_rc("copy_many", rc, want);
	if (want <= 0)
		return change::none;
	std::vector<uint16_t> live(list.begin(), list.begin() + want);
	std::sort(live.begin(), live.end());
	std::sort(valid.begin(), valid.end());
	if (why.empty() && live != valid)
		why = "the live destinations are not the valid ones";
	contents from = mirror(src);
	change c = change::none;
	valid.erase(std::unique(valid.begin(), valid.end()), valid.end());
	for (uint16_t id : valid)
		c = c | mirror(id).copy_of(from);
	return c;
}

/* Reads and probes: they answer what the model holds, and change
 * nothing. */
change MirrorModel::read_step(model::dice &d, std::string &desc,
                              std::string &why)
{
	unsigned id = pick_id(d, m_.size(), true);
	uint64_t pos = d.offset(max_pages_, true);
	const observed *seen =
	        exists(id) ? &seen_[id == 0 ? 0 : id - 1] : nullptr;
	switch (d.between(0, 2)) {
	case 0: {
		uint64_t count = d.length(max_pages_);
		desc = "mirror_read id " + std::to_string(id) + " at " +
		       std::to_string(pos) + " count " + std::to_string(count);
		std::string got(count, '\0');
		ssize_t rc = zvapi_mirror_read(fd_, id, got.data(), count, pos);
		if (!seen) {
			why = expect_rc<ssize_t>("read", rc, -ENOENT);
			break;
		}
		const std::string &b = mirror(id).bytes();
		std::string want = pos < b.size() ? b.substr(pos, count) : "";
		why = expect_rc<ssize_t>("read", rc, want.size());
		if (why.empty() && got.substr(0, rc) != want)
			why = "read: other bytes";
		break;
	}
	case 1: {
		desc = "data_seek id " + std::to_string(id) + " from " +
		       std::to_string(pos);
		size_t len = 0;
		off_t rc = id == 0 ? zvapi_data_seek(fd_, pos, &len)
		                   : zvapi_mirror_data_seek(fd_, id, pos, &len);
		if (!seen) {
			why = expect_rc<off_t>("data seek", rc, -ENOENT);
			break;
		}
		/* The next stretch the simulator shows, or the end. */
		off_t want = seen->size;
		size_t want_len = 0;
		for (const model::extent &e : seen->data)
			if (e.offset + e.length > pos) {
				want = std::max<uint64_t>(e.offset, pos);
				want_len = e.offset + e.length - want;
				break;
			}
		why = expect_rc<off_t>("data seek", rc, want);
		if (why.empty())
			why = expect_rc<size_t>("data seek length", len,
			                        want_len);
		break;
	}
	default: {
		desc = "is_sparse id " + std::to_string(id);
		bool got = id == 0 ? zvapi_file_is_sparse(fd_)
		                   : zvapi_mirror_is_sparse(fd_, id);
		int want = seen ? mirror(id).sparse() : 0;
		if (want >= 0 && got != bool(want))
			why = std::string("is_sparse answered ") +
			      (got ? "yes" : "no");
		break;
	}
	}
	return change::none;
}

change MirrorModel::step(model::dice &d, std::string &desc, std::string &why)
{
	switch (d.between(0, 9)) {
	case 0:
	case 1:
		return write_step(d, desc, why);
	case 2: {
		uint64_t pos = d.offset(max_pages_, true);
		std::string data = d.data(d.length(max_pages_ / 4));
		desc = "pwrite at " + std::to_string(pos) + " len " +
		       std::to_string(data.size());
		why = expect_rc<ssize_t>(
		        "pwrite", pwrite(fd_, data.data(), data.size(), pos),
		        data.size());
		return mirror(0).write(pos, data);
	}
	case 3:
	case 4:
		return reshape_step(d, desc, why);
	case 5:
		return copy_step(d, desc, why);
	case 6:
	case 7:
		return copy_many_step(d, desc, why);
	default:
		return read_step(d, desc, why);
	}
}

void MirrorModel::run_sequence(model::dice &d, unsigned seq, unsigned steps)
{
	/* Now and then a large file, for stretches longer than the copy
	 * buffer of 4 MiB. */
	bool large = seq % 12 == 11;
	max_pages_ = large ? 1792 : 24;
	if (large)
		steps = std::max(steps / 12, 4u);
	unsigned n = large ? 2 : unsigned(d.between(1, MAX_MIRRORS));
	path_ = in_mount("m" + std::to_string(seq));
	zvtest::write_file(path_, "");
	ASSERT_EQ(zvsim_mirror_count(path_.c_str(), n), 0);
	m_.assign(n, contents{});
	if (fd_ >= 0)
		close(fd_);
	fd_ = open(path_.c_str(), O_RDWR);
	ASSERT_GE(fd_, 0);
	std::string why = check_contents();
	ASSERT_EQ(why, "");
	ASSERT_EQ(zvapi_get_data_version(fd_, &version_, 0), 0);

	why = model::run_steps(steps, [&](std::string &desc) {
		std::string why;
		change c = step(d, desc, why);
		if (why.empty())
			why = check_contents();
		return why.empty() ? check_version(c) : why;
	});
	ASSERT_EQ(why, "") << "sequence " << seq << " (" << n << " mirrors)";
	why = check_verify();
	ASSERT_EQ(why, "") << "sequence " << seq;
}

TEST_F(MirrorModel, RandomSequencesAgreeWithTheModel)
{
	model::run_sequences(24, 120,
	                     std::bind_front(&MirrorModel::run_sequence, this));
}

} // namespace
