/* Temporary directories and whole files, for tests. */
#ifndef ZVTEST_FILES_H
#define ZVTEST_FILES_H

#include <string>

namespace zvtest
{

/* A new directory under $TMPDIR (or /tmp), removed with its content when
 * the owner goes. */
class temp_dir
{
      public:
	temp_dir();
	~temp_dir();
	temp_dir(const temp_dir &) = delete;
	temp_dir &operator=(const temp_dir &) = delete;
	const std::string &path() const
	{
		return path_;
	}

      private:
	std::string path_;
};

/* Removes path and everything below it; a missing path is fine. */
void remove_tree(const std::string &path);

/* Writes content as the whole file (throws when it cannot). */
void write_file(const std::string &path, const std::string &content = "");
/* The whole file; "" when it cannot be read. */
std::string read_file(const std::string &path);

} // namespace zvtest

#endif
