/* Volatile files, layout swaps, group locks and data versions,
 * randomized: sequences of writes, truncations and punches of files with
 * one to three mirrors, volatile files made and closed, swaps of any two
 * of them (by descriptor or by path, with and without data-version checks
 * and group locks, keeping times or not), locks taken and released, each
 * step checked against the reference model: every mirror of every file
 * (size, bytes, holes) as the simulator shows it through a selection on
 * the file's descriptor, the directory holding no volatile name, and each
 * file's data and layout versions, which move after every change and
 * never otherwise. ZV_MODEL_SEED=N replays a run (the seed is printed with
 * any failure); ZV_MODEL_SEQUENCES and ZV_MODEL_STEPS scale it. */
#include "model_file.h"
#include "zvtest/fds.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using model::change;
using model::contents;
using model::PAGE;

constexpr uint64_t MAX_PAGES = 16;
constexpr size_t MAX_VOLATILE = 2;

/* A file of the model: named in the directory, or volatile (no name). */
struct entry {
	std::string name; /* "" for a volatile file */
	int fd = -1;
	std::vector<contents> m; /* mirror id - 1 */
	uint64_t gid = 0;        /* the group lock held through fd */
	uint64_t version = 0;
	uint32_t layout = 0;
	change data = change::none, layout_change = change::none;
};

class SwapModel : public model::fixture
{
      public:
	/* One sequence of random steps on new files. */
	void run_sequence(model::dice &d, unsigned seq, unsigned steps);

      protected:
	void SetUp() override
	{
		model::fixture::SetUp();
	}
	void TearDown() override
	{
		close_all();
		sim_fixture::TearDown();
	}
	void close_all()
	{
		for (entry &e : files_)
			close(e.fd);
		files_.clear();
	}
	std::string path(const entry &e) const
	{
		return dir_ + "/" + e.name;
	}

	/* Mirror id of e as the simulator holds it, through a selection on
	 * e's descriptor; false when it cannot be selected. */
	bool observe(const entry &e, unsigned id, uint64_t &size,
	             std::string &bytes, model::extents &data)
	{
		if (ioctl(e.fd, ZV_IOC_MIRROR_SET, (unsigned long)id) != 0)
			return false;
		struct stat st;
		bool ok = fstat(e.fd, &st) == 0;
		if (ok) {
			size = st.st_size;
			bytes.assign(size + PAGE, '\0');
			ssize_t n = pread(e.fd, bytes.data(), bytes.size(), 0);
			bytes.resize(n < 0 ? 0 : n);
			data.clear();
			for (off_t pos = 0;;) {
				off_t at = lseek(e.fd, pos, SEEK_DATA);
				off_t end = at < 0 ? -1
				                   : lseek(e.fd, at, SEEK_HOLE);
				if (end < 0)
					break;
				data.push_back(
				        {uint64_t(at), uint64_t(end - at)});
				pos = end;
			}
		}
		ioctl(e.fd, ZV_IOC_MIRROR_SET, 0ul);
		return ok;
	}

	std::string check_entry(entry &e)
	{
		std::string label = e.name.empty() ? "volatile file" : e.name;
		for (size_t i = 0; i < e.m.size(); i++) {
			uint64_t size = 0;
			std::string bytes;
			model::extents data;
			if (!observe(e, i + 1, size, bytes, data))
				return label + ": mirror " +
				       std::to_string(i + 1) +
				       " cannot be selected";
			std::string why = e.m[i].differs(size, bytes, data);
			if (!why.empty())
				return label + ": mirror " +
				       std::to_string(i + 1) + ": " + why;
		}
		uint64_t size;
		std::string bytes;
		model::extents data;
		if (observe(e, e.m.size() + 1, size, bytes, data))
			return label + ": more mirrors than " +
			       std::to_string(e.m.size());
		uint64_t v = 0;
		uint32_t lv = 0;
		if (zvapi_get_data_version(e.fd, &v, 0) != 0 ||
		    zvapi_get_ost_layout_version(e.fd, &lv) != 0)
			return label + ": no versions";
		std::string why =
		        model::check_data_version(e.data, v != e.version);
		if (e.layout_change == change::must && lv == e.layout)
			why = "the layout version did not move";
		if (e.layout_change == change::none && lv != e.layout)
			why = "the layout version moved";
		e.version = v;
		e.layout = lv;
		e.data = e.layout_change = change::none;
		return why.empty() ? "" : label + ": " + why;
	}

	/* The directory's names: only the named files, never a volatile
	 * one. */
	std::string check_directory()
	{
		std::vector<std::string> names, want;
		DIR *d = opendir(dir_.c_str());
		while (struct dirent *de = d ? readdir(d) : nullptr)
			if (de->d_name[0] != '.' || de->d_name[1] > '.')
				names.push_back(de->d_name);
		if (d)
			closedir(d);
		for (const entry &e : files_)
			if (!e.name.empty())
				want.push_back(e.name);
		std::sort(names.begin(), names.end());
		std::sort(want.begin(), want.end());
		if (names == want)
			return "";
		std::string all;
		for (const std::string &n : names)
			all += " '" + n + "'";
		return "the directory holds" + all;
	}

	std::string check_all()
	{
		std::string why = check_directory();
		for (entry &e : files_)
			if (why.empty())
				why = check_entry(e);
		return why;
	}

	entry &any(model::dice &d)
	{
		return files_[d.between(0, files_.size() - 1)];
	}

	change data_step(model::dice &d, std::string &desc, std::string &why);
	void swap_step(model::dice &d, std::string &desc, std::string &why);
	void lock_step(model::dice &d, std::string &desc, std::string &why);
	void volatile_step(model::dice &d, std::string &desc, std::string &why);

	std::string dir_;
	std::vector<entry> files_;
};

template <typename T>
std::string expect_rc(const std::string &what, T got, T want)
{
	if (got == want)
		return "";
	return what + " returned " + std::to_string(got) + ", expected " +
	       std::to_string(want);
}

/* Writes, truncations and punches of the file, and writes of one of its
 * other mirrors. */
change SwapModel::data_step(model::dice &d, std::string &desc, std::string &why)
{
	entry &e = any(d);
	std::string label = (e.name.empty() ? "volatile" : e.name) + ": ";
	uint64_t off = d.offset(MAX_PAGES, true);
	change c = change::none;
	switch (d.between(0, 3)) {
	case 0: {
		std::string data = d.data(d.length(MAX_PAGES / 2));
		desc = label + "pwrite at " + std::to_string(off) + " len " +
		       std::to_string(data.size());
		why = expect_rc<ssize_t>(
		        "pwrite", pwrite(e.fd, data.data(), data.size(), off),
		        data.size());
		c = e.m[0].write(off, data);
		break;
	}
	case 1:
		desc = label + "ftruncate to " + std::to_string(off);
		why = expect_rc("ftruncate", ftruncate(e.fd, off), 0);
		c = e.m[0].truncate(off);
		break;
	case 2: {
		uint64_t len = d.length(MAX_PAGES / 2);
		desc = label + "hole_punch at " + std::to_string(off) +
		       " len " + std::to_string(len);
		why = expect_rc("punch", zvapi_hole_punch(e.fd, off, len), 0);
		c = e.m[0].punch(off, len);
		break;
	}
	default: {
		unsigned id = d.between(1, e.m.size());
		off = off / PAGE * PAGE;
		std::string data = d.data(d.length(MAX_PAGES / 2));
		void *buf = nullptr;
		EXPECT_EQ(posix_memalign(&buf, PAGE, data.size()), 0);
		memcpy(buf, data.data(), data.size());
		desc = label + "mirror_write id " + std::to_string(id) +
		       " at " + std::to_string(off) + " len " +
		       std::to_string(data.size());
		why = expect_rc<ssize_t>(
		        "mirror write",
		        zvapi_mirror_write(e.fd, id, buf, data.size(), off),
		        data.size());
		free(buf);
		c = e.m[id - 1].write(off, data);
	}
	}
	e.data = c;
	return c;
}

/* Two files (or one twice) swapped, by descriptor or by path. */
void SwapModel::swap_step(model::dice &d, std::string &desc, std::string &why)
{
	size_t n = files_.size(), i = d.between(0, n - 1),
	       j = d.chance(5) ? i : (i + d.between(1, n - 1)) % n;
	entry &a = files_[i], &b = files_[j];
	uint64_t flags = 0;
	if (d.chance(30))
		flags |= ZV_SWAP_CHECK_DV1 | ZV_SWAP_CHECK_DV2;
	bool stale = flags && d.chance(30);
	uint64_t dv1 = a.version - (stale ? 1 : 0), dv2 = b.version;
	if (d.chance(25))
		flags |= d.chance(50) ? ZV_SWAP_KEEP_MTIME : ZV_SWAP_KEEP_ATIME;
	uint64_t held = a.gid ? a.gid : b.gid;
	bool with_gid = held && d.chance(60);
	bool by_path =
	        !with_gid && !a.name.empty() && !b.name.empty() && d.chance(30);
	desc = std::string("swap ") + (by_path ? "by path " : "") +
	       (a.name.empty() ? "volatile" : a.name) + " " +
	       (b.name.empty() ? "volatile" : b.name) + " flags " +
	       std::to_string(flags) + (stale ? " (stale version)" : "") +
	       (with_gid ? " gid " + std::to_string(held) : "");
	struct stat sa, sb;
	fstat(a.fd, &sa);
	fstat(b.fd, &sb);
	int rc = by_path ? zvapi_swap_layouts(path(a).c_str(), path(b).c_str(),
	                                      dv1, dv2, flags)
	         : with_gid ? zvapi_fswap_layouts_grouplock(a.fd, b.fd, dv1,
	                                                    dv2, held, flags)
	                    : zvapi_fswap_layouts(a.fd, b.fd, dv1, dv2, flags);
	/* A lock under another id than the swap's keeps it out. */
	auto blocks = [&](const entry &e) {
		return e.gid && (!with_gid || e.gid != held);
	};
	int want = i == j                   ? -EINVAL
	           : blocks(a) || blocks(b) ? -EBUSY
	           : stale                  ? -EAGAIN
	                                    : 0;
	why = expect_rc("swap", rc, want);
	if (want != 0)
		return;
	std::swap(a.m, b.m);
	a.data = b.data = a.layout_change = b.layout_change = change::must;
	struct stat ta, tb;
	fstat(a.fd, &ta);
	fstat(b.fd, &tb);
	if (why.empty() && (flags & ZV_SWAP_KEEP_MTIME) &&
	    (ta.st_mtime != sa.st_mtime || tb.st_mtime != sb.st_mtime))
		why = "a modification time was not kept";
	if (why.empty() && (flags & ZV_SWAP_KEEP_ATIME) &&
	    (ta.st_atime != sa.st_atime || tb.st_atime != sb.st_atime))
		why = "an access time was not kept";
}

void SwapModel::lock_step(model::dice &d, std::string &desc, std::string &why)
{
	entry &e = any(d);
	uint64_t gid = d.between(1, 3);
	std::string label = (e.name.empty() ? "volatile" : e.name) + ": ";
	zvtest::stderr_of([&] { /* refusals are reported there */
		                if (d.chance(50)) {
			                desc = label + "group_lock " +
			                       std::to_string(gid);
			                int rc = zvapi_group_lock(e.fd, gid);
			                why = expect_rc("group lock", rc,
			                                e.gid ? -EINVAL : 0);
			                if (!e.gid)
				                e.gid = gid;
		                } else {
			                desc = label + "group_unlock " +
			                       std::to_string(gid);
			                int rc = zvapi_group_unlock(e.fd, gid);
			                why = expect_rc("group unlock", rc,
			                                e.gid == gid ? 0
			                                             : -EINVAL);
			                if (e.gid == gid)
				                e.gid = 0;
		                }
	});
}

/* A volatile file made, or one closed (it goes with its lock). */
void SwapModel::volatile_step(model::dice &d, std::string &desc,
                              std::string &why)
{
	auto v = std::find_if(files_.begin(), files_.end(),
	                      [](const entry &e) { return e.name.empty(); });
	size_t count =
	        std::count_if(files_.begin(), files_.end(),
	                      [](const entry &e) { return e.name.empty(); });
	if (count == MAX_VOLATILE || (v != files_.end() && d.chance(40))) {
		desc = "close a volatile file";
		close(v->fd);
		files_.erase(v);
		return;
	}
	int mdt = d.chance(50) ? -1 : 0;
	int flags = d.chance(50) ? O_RDWR : O_RDONLY;
	desc = "create_volatile_idx mdt " + std::to_string(mdt) +
	       (flags == O_RDONLY ? " O_RDONLY" : " O_RDWR");
	int fd = zvapi_create_volatile_idx(dir_.c_str(), mdt, flags);
	if (fd < 0) {
		why = "create_volatile returned " + std::to_string(fd);
		return;
	}
	if ((fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDWR)
		why = "a volatile file opened read-only is not read-write";
	entry e;
	e.fd = fd;
	e.m.resize(1);
	zvapi_get_data_version(fd, &e.version, 0);
	zvapi_get_ost_layout_version(fd, &e.layout);
	files_.push_back(std::move(e));
}

void SwapModel::run_sequence(model::dice &d, unsigned seq, unsigned steps)
{
	close_all();
	dir_ = in_mount("d" + std::to_string(seq));
	ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
	for (const char *name : {"a", "b", "c"}) {
		entry e;
		e.name = name;
		zvtest::write_file(path(e), "");
		unsigned n = d.between(1, 3);
		ASSERT_EQ(zvsim_mirror_count(path(e).c_str(), n), 0);
		e.m.resize(n);
		e.fd = open(path(e).c_str(), O_RDWR);
		ASSERT_GE(e.fd, 0);
		ASSERT_EQ(zvapi_get_data_version(e.fd, &e.version, 0), 0);
		ASSERT_EQ(zvapi_get_ost_layout_version(e.fd, &e.layout), 0);
		files_.push_back(std::move(e));
	}
	std::string why = model::run_steps(steps, [&](std::string &desc) {
		std::string why;
		switch (d.between(0, 9)) {
		case 0:
		case 1:
		case 2:
		case 3:
			data_step(d, desc, why);
			break;
		case 4:
		case 5:
		case 6:
			zvtest::stderr_of([&] { swap_step(d, desc, why); });
			break;
		case 7:
		case 8:
			lock_step(d, desc, why);
			break;
		default:
			volatile_step(d, desc, why);
		}
		return why.empty() ? check_all() : why;
	});
	ASSERT_EQ(why, "") << "sequence " << seq;
}

TEST_F(SwapModel, RandomSequencesAgreeWithTheModel)
{
	model::run_sequences(20, 100,
	                     std::bind_front(&SwapModel::run_sequence, this));
}

} // namespace
