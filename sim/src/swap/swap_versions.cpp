// Data and layout versions, kept per object in <state>/versions.
#include "swap.h"

#include "core/object_record.h"
#include "layout/layout.h"

#include <cerrno>
#include <charconv>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zvsim::swap
{

namespace
{

constexpr const char *KIND = "versions";

// "data <counter> <mtime s> <mtime ns> <size>" and "layout <generation>".
struct Record {
	uint64_t data = 0;
	int64_t mtime_sec = 0;
	int64_t mtime_nsec = 0;
	int64_t size = -1;
	uint64_t generation = 0;
};

template <typename T>
T word_as(const std::string &line, size_t index)
{
	std::string w = line_word(line, index);
	T v{};
	std::from_chars(w.data(), w.data() + w.size(), v);
	return v;
}

Record parse(const std::vector<std::string> &lines)
{
	Record r;
	for (const std::string &l : lines) {
		std::string key = line_word(l, 0);
		if (key == "data") {
			r.data = word_as<uint64_t>(l, 1);
			r.mtime_sec = word_as<int64_t>(l, 2);
			r.mtime_nsec = word_as<int64_t>(l, 3);
			r.size = word_as<int64_t>(l, 4);
		} else if (key == "layout") {
			r.generation = word_as<uint64_t>(l, 1);
		}
	}
	return r;
}

std::vector<std::string> format(const Record &r)
{
	return {"data " + std::to_string(r.data) + " " +
	                std::to_string(r.mtime_sec) + " " +
	                std::to_string(r.mtime_nsec) + " " +
	                std::to_string(r.size),
	        "layout " + std::to_string(r.generation)};
}

} // namespace

int versions_locked(const Config &cfg, const Object &obj, Versions &out,
                    bool swapped)
{
	// Asking for the times now also makes file systems with multigrain
	// timestamps give the next write a time of its own, so no write
	// after this request goes unseen.
	struct stat st;
	if (::syscall(SYS_fstat, obj.fd, &st) < 0)
		return -errno;
	ObjectKey key = key_of(obj.fd, st.st_ino);
	Record r = parse(record_load(cfg, KIND, key));
	bool fresh = r.data == 0;
	bool moved = r.mtime_sec != st.st_mtim.tv_sec ||
	             r.mtime_nsec != st.st_mtim.tv_nsec || r.size != st.st_size;
	if (fresh)
		r.data = 1;
	else if (moved || swapped)
		++r.data;
	if (swapped)
		++r.generation;
	if (fresh || moved || swapped) {
		r.mtime_sec = st.st_mtim.tv_sec;
		r.mtime_nsec = st.st_mtim.tv_nsec;
		r.size = st.st_size;
		int rc = record_store(cfg, KIND, key, format(r));
		if (rc < 0)
			return rc;
	}
	out.data = r.data;
	out.layout = static_cast<uint32_t>(
	        2 * r.generation + (layout::has_file_layout(cfg, obj) ? 1 : 0));
	return 0;
}

} // namespace zvsim::swap
