// The link index: the links of an object by inode number without walking
// the tree. Namespace operations feed it (once some process has looked up
// a FID; until then it costs them nothing), its files in <state>/links are
// shared by every process of the simulation, and every answer is checked
// against the file system: an index that is missing, stale or damaged
// falls back to the walk, which rebuilds it.
#pragma once

#include "state.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace zvsim
{

struct NsEvent;

// "off" in this variable makes the process's lookups walk the tree (for
// comparisons); the index is then neither read nor switched on.
constexpr const char *LINK_INDEX_ENV = "ZVSIM_LINK_INDEX";

// Links of inode ino, sorted byte-wise, as find_links() gives them.
std::vector<std::string> lookup_links(const Config &cfg, ino_t ino);

// Whether namespace operations feed the index (no system call).
bool link_index_on(const Config &cfg);
// One namespace change into the index's journal.
void link_index_note(const Config &cfg, const NsEvent &ev);
// Marks directory dir as holding a new entry that the index is not told
// of otherwise (NsEvent::indexed); false when a record must tell it.
bool link_index_mark(const Config &cfg, const Fid &dir);

} // namespace zvsim
