// Lookups through the link index (see link_index.h and link_store.h).
//
// Each process keeps a copy: the base of the current generation (named by
// the control page) and the journal records after it, applied as an
// overlay of entries made and removed. A lookup catches up with the
// journal (one stat when nothing changed), lists the entries naming the
// inode, builds each path upward through the parent directories' own
// entries, and checks every step on the file system. A miss or a failed
// check takes the index lock, lists the directories where entries were
// made since (marked on the control page), and when that does not find
// them either rebuilds: a new generation's journal first, so that changes
// made during the walk are kept, then the walk.
#include "link_index.h"

#include "control_page.h"
#include "link_store.h"
#include "sysio.h"
#include "tree.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace zvsim
{

namespace
{

using links::Change;
using links::Key;
using links::KeyHash;

// Deeper chains are taken for loops of a damaged index.
constexpr size_t MAX_DEPTH = 4096;
// Journal records a copy applies before it folds them into a new base.
constexpr size_t COMPACT_AFTER = 4096;
// Entries of a marked directory beyond which it is not listed at every
// lookup that misses: creations in it are recorded instead.
constexpr size_t BIG_DIR = 1024;

bool names_object(const Config &cfg, const std::string &rel, uint64_t ino,
                  struct stat &st)
{
	return ::lstat(cfg.abs(rel).c_str(), &st) == 0 &&
	       st.st_dev == cfg.dev && st.st_ino == ino;
}

uint32_t next_gen(uint32_t gen)
{
	return gen + 1 ? gen + 1 : 1;
}

class Copy
{
      public:
	// Up to date with the generation the control page names.
	bool sync(const Config &cfg);
	// Every link of ino, each confirmed on the file system.
	bool confirmed(const Config &cfg, uint64_t ino,
	               std::vector<std::string> &out) const;
	bool read_marked(const Config &cfg);
	std::vector<std::string> rebuild(const Config &cfg, uint64_t ino);
	void compact_if_due(const Config &cfg);

      private:
	void reset();
	bool adopt(const Config &cfg, uint32_t gen, std::string blob);
	bool catch_up();
	void apply(const Change &c);
	bool keys_of(uint64_t ino, std::vector<Key> &out) const;
	bool names(const Key &k, uint64_t ino) const;
	bool confirmed_dir(const Config &cfg, uint64_t dir,
	                   std::unordered_map<uint64_t, std::string> &known,
	                   std::string &rel) const;
	links::Entries entries() const;
	// A new generation with an empty journal: changes go there from now.
	bool start_generation(const Config &cfg, uint32_t &gen);
	void publish(const Config &cfg, uint32_t gen, uint32_t old,
	             links::Entries &e);

	std::string state_, instance_; // the simulation copied
	uint32_t gen_ = 0;             // 0: nothing copied
	links::Table base_;
	std::unordered_map<Key, uint64_t, KeyHash> delta_; // 0: removed
	// Entries once made for an inode; delta_ says which still are.
	std::unordered_map<uint64_t, std::vector<Key>> made_;
	size_t changes_ = 0;
	std::string journal_;
	uint64_t journal_off_ = 0;
};

void Copy::reset()
{
	gen_ = 0;
	base_.clear();
	delta_.clear();
	made_.clear();
	changes_ = 0;
	journal_off_ = 0;
}

bool Copy::adopt(const Config &cfg, uint32_t gen, std::string blob)
{
	reset();
	if (!base_.adopt(std::move(blob), cfg, gen))
		return false;
	state_ = cfg.state;
	instance_ = cfg.instance;
	gen_ = gen;
	journal_ = links::journal_path(cfg, gen);
	return true;
}

bool Copy::sync(const Config &cfg)
{
	uint32_t gen = page_get(cfg.page, &ControlPage::links_gen);
	if (gen == 0)
		return false;
	if (gen != gen_ || state_ != cfg.state || instance_ != cfg.instance) {
		std::string blob;
		if (links::read_from(links::base_path(cfg), 0, blob) < 0 ||
		    !adopt(cfg, gen, std::move(blob)))
			return false;
	}
	if (catch_up())
		return true;
	reset(); // read it all again, or rebuild
	return false;
}

bool Copy::catch_up()
{
	struct stat st;
	if (::stat(journal_.c_str(), &st) < 0 ||
	    static_cast<uint64_t>(st.st_size) < journal_off_)
		return false;
	if (static_cast<uint64_t>(st.st_size) == journal_off_)
		return true;
	std::string bytes;
	std::vector<Change> changes;
	if (links::read_from(journal_, journal_off_, bytes) < 0)
		return false;
	long used = links::decode(bytes, changes);
	if (used < 0)
		return false;
	for (const Change &c : changes)
		apply(c);
	journal_off_ += static_cast<uint64_t>(used);
	return true;
}

void Copy::apply(const Change &c)
{
	if (c.del)
		delta_[c.gone] = 0;
	if (c.set) {
		delta_[c.made] = c.ino;
		made_[c.ino].push_back(c.made);
	}
	++changes_;
}

bool Copy::keys_of(uint64_t ino, std::vector<Key> &out) const
{
	out.clear();
	auto [first, last] = base_.range(ino);
	for (size_t i = first; i < last; ++i) {
		std::string_view name = base_.name(i);
		if (name.empty())
			return false;
		Key k{base_.parent(i), std::string(name)};
		if (!delta_.count(k))
			out.push_back(std::move(k));
	}
	auto made = made_.find(ino);
	if (made != made_.end())
		for (const Key &k : made->second)
			if (delta_.at(k) == ino &&
			    std::find(out.begin(), out.end(), k) == out.end())
				out.push_back(k);
	return true;
}

// Whether the copy has entry k naming ino.
bool Copy::names(const Key &k, uint64_t ino) const
{
	auto made = delta_.find(k);
	if (made != delta_.end())
		return made->second == ino;
	auto [first, last] = base_.range(ino);
	for (size_t i = first; i < last; ++i)
		if (base_.parent(i) == k.parent && base_.name(i) == k.name)
			return true;
	return false;
}

// The path of directory dir, each directory on the way confirmed to be the
// one the copy names (known: directories already confirmed).
bool Copy::confirmed_dir(const Config &cfg, uint64_t dir,
                         std::unordered_map<uint64_t, std::string> &known,
                         std::string &rel) const
{
	std::vector<std::pair<uint64_t, std::string>> up;
	std::vector<Key> keys;
	auto at = known.find(dir);
	for (uint64_t d = dir; at == known.end(); at = known.find(d)) {
		if (up.size() >= MAX_DEPTH || !keys_of(d, keys) ||
		    keys.size() != 1)
			return false;
		up.emplace_back(d, keys[0].name);
		d = keys[0].parent;
	}
	rel = at->second;
	for (auto step = up.rbegin(); step != up.rend(); ++step) {
		struct stat st;
		if (rel.empty() && step->second == ".zorvel")
			return false; // not walked
		rel = join_rel(rel, step->second);
		if (!names_object(cfg, rel, step->first, st) ||
		    !S_ISDIR(st.st_mode))
			return false;
		known.emplace(step->first, rel);
	}
	return true;
}

bool Copy::confirmed(const Config &cfg, uint64_t ino,
                     std::vector<std::string> &out) const
{
	std::vector<Key> keys;
	if (!keys_of(ino, keys) || keys.empty())
		return false;
	std::unordered_map<uint64_t, std::string> known{{cfg.root_ino, ""}};
	struct stat st {
	};
	out.clear();
	for (const Key &k : keys) {
		std::string dir;
		if (!confirmed_dir(cfg, k.parent, known, dir) ||
		    (dir.empty() && k.name == ".zorvel"))
			return false;
		out.push_back(join_rel(dir, k.name));
		if (!names_object(cfg, out.back(), ino, st))
			return false;
	}
	std::sort(out.begin(), out.end());
	if (std::adjacent_find(out.begin(), out.end()) != out.end())
		return false;
	// Confirmed links that are all of the object's links are the walk's.
	return S_ISDIR(st.st_mode) ? out.size() == 1
	                           : out.size() == st.st_nlink;
}

links::Entries Copy::entries() const
{
	links::Entries e;
	for (size_t i = 0; i < base_.size(); ++i) {
		std::string_view name = base_.name(i);
		if (!name.empty() &&
		    !delta_.count(Key{base_.parent(i), std::string(name)}))
			e.add(base_.parent(i), name, base_.ino(i));
	}
	for (const auto &[k, ino] : delta_)
		if (ino)
			e.add(k.parent, k.name, ino);
	return e;
}

bool Copy::start_generation(const Config &cfg, uint32_t &gen)
{
	gen = next_gen(page_get(cfg.page, &ControlPage::links_gen));
	int fd = sys::open(links::journal_path(cfg, gen).c_str(),
	                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0)
		return false;
	sys::close(fd);
	page_set(cfg.page, &ControlPage::links_gen, gen);
	return true;
}

void Copy::publish(const Config &cfg, uint32_t gen, uint32_t old,
                   links::Entries &e)
{
	std::string blob = links::Table::build(cfg, gen, e);
	sys::write_file_atomic(links::base_path(cfg), blob);
	if (old)
		::unlink(links::journal_path(cfg, old).c_str());
	adopt(cfg, gen, std::move(blob));
}

// The entries made in the marked directories, into the journal (for every
// copy) and this copy. A directory made in another marked one is found
// once that one is listed. A directory too big to list at every lookup is
// marked so, and creations in it write records from then on. False when
// nothing was marked.
bool Copy::read_marked(const Config &cfg)
{
	std::vector<uint64_t> dirs;
	links::marked(cfg.page, dirs);
	if (dirs.empty())
		return false;
	std::unordered_map<uint64_t, std::string> known{{cfg.root_ino, ""}};
	std::vector<Change> found;
	for (bool listed = true; listed;) {
		listed = false;
		for (uint64_t &dir : dirs) {
			std::string rel;
			if (!dir || !confirmed_dir(cfg, dir, known, rel))
				continue;
			// What is made in it from now on marks it again.
			links::unmark(cfg.page, dir);
			size_t entries = 0;
			list_dir(cfg, rel, [&](const WalkEntry &w) {
				Key k{dir, std::string(w.name)};
				++entries;
				if (w.dir_ino == dir && !names(k, w.ino)) {
					Change &c = found.emplace_back();
					c.set = true;
					c.made = std::move(k);
					c.ino = w.ino;
				}
				return true;
			});
			if (entries > BIG_DIR)
				links::mark_big(cfg.page, dir);
			dir = 0;
			listed = true;
		}
		links::append(cfg, gen_, found);
		found.clear();
		if (listed && !catch_up())
			return false;
	}
	return true;
}

// Every entry of the tree into a new base; the links of ino as the walk
// finds them.
std::vector<std::string> Copy::rebuild(const Config &cfg, uint64_t ino)
{
	uint32_t old = page_get(cfg.page, &ControlPage::links_gen), gen;
	if (!start_generation(cfg, gen))
		return find_links(cfg, static_cast<ino_t>(ino));
	links::clear_marks(cfg.page); // the walk sees what they say
	links::Entries e;
	std::vector<std::string> found;
	walk_mount(cfg, [&](const WalkEntry &w) {
		struct stat st;
		e.add(w.dir_ino, w.name, w.ino);
		if (entry_names(cfg, w, static_cast<ino_t>(ino), st))
			found.push_back(join_rel(w.dir, w.name));
		return true;
	});
	std::sort(found.begin(), found.end());
	publish(cfg, gen, old, e);
	return found;
}

// A long journal is folded into a new base, so that a new process does
// not replay it all.
void Copy::compact_if_due(const Config &cfg)
{
	if (changes_ < COMPACT_AFTER + base_.size() / 2)
		return;
	links::Lock lock(cfg, false);
	uint32_t old = gen_, gen;
	if (!lock.held() ||
	    page_get(cfg.page, &ControlPage::links_gen) != old ||
	    !start_generation(cfg, gen))
		return;
	catch_up(); // what came before the switch
	links::Entries e = entries();
	publish(cfg, gen, old, e);
}

bool walk_only(const Config &cfg)
{
	const char *v = ::getenv(LINK_INDEX_ENV);
	return !cfg.page || (v && std::strcmp(v, "off") == 0);
}

} // namespace

std::vector<std::string> lookup_links(const Config &cfg, ino_t ino)
{
	if (walk_only(cfg))
		return find_links(cfg, ino);
	static std::mutex mu;
	// Never destroyed: interposed calls still come after static
	// destructors (other libraries' exit handlers, the sanitizer's).
	static Copy &copy = *new Copy;
	std::lock_guard<std::mutex> guard(mu);
	std::vector<std::string> out;
	if (copy.sync(cfg) && copy.confirmed(cfg, ino, out)) {
		copy.compact_if_due(cfg);
		return out;
	}
	// Someone may be rebuilding: the lock waits for them.
	links::Lock lock(cfg);
	if (!lock.held())
		return find_links(cfg, ino);
	if (copy.sync(cfg) &&
	    (copy.confirmed(cfg, ino, out) ||
	     (copy.read_marked(cfg) && copy.confirmed(cfg, ino, out))))
		return out;
	return copy.rebuild(cfg, ino);
}

} // namespace zvsim
