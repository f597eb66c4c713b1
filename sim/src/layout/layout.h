// Layouts: striping of files, default striping of directories, foreign
// layouts of files and directories, kept in <state>/layouts; the extended
// attributes that show them.
#pragma once

#include "core/request.h"

#include <string>
#include <sys/types.h>

namespace zvsim::layout
{

extern const Family family;

// Pseudo-codes of the attribute reads, for the log and injections.
constexpr uint32_t REQ_GETXATTR = 0x5A560010U;
constexpr uint32_t REQ_LISTXATTR = 0x5A560011U;

// Whether the object holds a stored foreign layout (file or directory).
bool has_foreign_layout(const Config &cfg, const Object &obj);

// What the striping request answers on the object (its "zorvel.lov"
// attribute): 0, or -ENODATA when it has none.
int lov_record(const Config &cfg, const Object &obj, std::string &record);
// A directory's stored layout record ("trusted.lmv"): 0, or -ENODATA.
int lmv_record(const Config &cfg, const Object &obj, std::string &record);

// The layout attributes: "zorvel.lov" (what the striping request
// answers) and "trusted.lmv" (a directory's stored record).
bool is_layout_xattr(const char *name);
// The value of one on an object in the mount: 0, or -ENODATA.
int xattr_value(const Config &cfg, const Object &obj, const char *name,
                std::string &value);
// The names of those the object has, each with its NUL.
std::string xattr_names(const Config &cfg, const Object &obj);

// Stores bytes as the object's raw "lov" or "lmv" record, answered as they
// stand by the layout requests and attributes.
int store_raw(const Config &cfg, const Object &obj, bool lmv,
              const std::string &bytes);

} // namespace zvsim::layout
