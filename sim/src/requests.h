// The kernel side of the requests a simulated mount answers. Handlers return
// a result >= 0 or -errno; the interposed entry points turn that into the
// system call's convention.
#pragma once

#include "fid.h"
#include "state.h"

#include <cstdint>
#include <string>
#include <sys/stat.h>

namespace zvsim
{

// An object of a simulated mount reached through a descriptor.
struct Object {
	int fd = -1;
	std::string rel; // path relative to the mount root ("" = root)
	bool deleted = false;
	struct stat st {
	};
	Fid fid;
};

// What the kernel reads of a request's argument on entry (logged), and how
// many bytes of the argument a crafted reply may overwrite.
struct ArgView {
	std::string entry;
	size_t reply_room = 0;
};
ArgView describe_ioctl(const Config &cfg, uint32_t code, const void *arg);

// Whether this simulator answers the code (else: ENOTTY).
bool known_ioctl(uint32_t code);
int handle_ioctl(const Config &cfg, const Object &obj, uint32_t code,
                 void *arg);

// FID requests.
int do_fid2path(const Config &cfg, void *arg);
int do_getparent(const Config &cfg, const Object &obj, void *arg);
int do_fid2mdtidx(const Config &cfg, void *arg);
int do_getobdname(const Config &cfg, void *arg);

// Layout requests.
size_t lov_record_size(const Config &cfg, const void *arg);
size_t lmv_record_size(const void *arg);
int do_lov_setstripe(const Config &cfg, const Object &obj, const void *arg);
int do_lov_getstripe(const Config &cfg, const Object &obj, void *arg);
int do_lmv_setstripe(const Config &cfg, const Object &obj, const void *arg);
int do_lmv_getstripe(const Config &cfg, const Object &obj, void *arg);
// Whether the object holds a stored foreign layout (file or directory).
bool has_foreign_layout(const Config &cfg, const Object &obj);

// Removal requests.
size_t rmfid_record_size(const void *arg);
size_t entry_name_size(const void *arg);
int do_rmfid(const Config &cfg, void *arg);
int do_remove_entry(const Config &cfg, const Object &obj, const void *arg);
int do_foreign_unlink_prep(const Config &cfg, const Object &obj);

// Target index of an object: from its FID; the root and .zorvel on 0.
int mdt_index(const Config &cfg, const Fid &fid);

} // namespace zvsim
