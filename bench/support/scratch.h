/* Scratch directories of the benchmarks: on tmpfs where there is one, so
 * that both sides of a comparison pay the same for the file system. */
#pragma once

#include <string>

namespace zvbench
{

/* A new directory "<name>.XXXXXX" in /dev/shm (or $TMPDIR, or /tmp); ""
 * when none can be made. */
std::string scratch_dir(const std::string &name);

/* Removes path and everything below it; false when something stays. */
bool remove_tree(const std::string &path);

} // namespace zvbench
