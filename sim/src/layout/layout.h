// Layouts: striping of files, default striping of directories, foreign
// layouts of files and directories, kept in <state>/layouts.
#pragma once

#include "core/request.h"

namespace zvsim::layout
{

extern const Family family;

// Whether the object holds a stored foreign layout (file or directory).
bool has_foreign_layout(const Config &cfg, const Object &obj);

} // namespace zvsim::layout
