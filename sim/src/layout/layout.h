// Layouts: striping of files, default striping of directories, foreign
// layouts of files and directories, kept in <state>/layouts.
#pragma once

#include "core/request.h"

namespace zvsim::layout
{

extern const Family family;

// Whether the object holds a stored foreign layout (file or directory).
bool has_foreign_layout(const Config &cfg, const Object &obj);

// Whether a regular file has a stored layout (striping or foreign).
bool has_file_layout(const Config &cfg, const Object &obj);
// Gives each of two regular files the other's stored layout (none stays
// none). The caller holds StateLock.
int exchange_file_layouts(const Config &cfg, const Object &a, const Object &b);

} // namespace zvsim::layout
