// Steering calls that show what the simulated kernel keeps on a file of
// the mount (its group locks, leases, cache state) as text.
#pragma once

#include "guard.h"
#include "object_record.h"

#include <cerrno>
#include <string>

namespace zvsim
{

// show(cfg, object) for the file at path, copied as copy_out_text does.
inline int show_object(const char *path, char *buf, size_t len,
                       std::string (*show)(const Config &, const ObjectKey &))
{
	if (len && !buf)
		return -EINVAL;
	return with_config([&](const Config &cfg) {
		ObjectKey key;
		int rc = key_of_path(cfg, path, key);
		return rc < 0 ? rc : copy_out_text(show(cfg, key), buf, len);
	});
}

} // namespace zvsim
