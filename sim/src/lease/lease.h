// Leases: ZV_IOC_LEASE_SET (record form, with intents), its older by-mode
// form and ZV_IOC_LEASE_CHECK, kept per object in <state>/lease/<inode>
// ("<holder> <mode> held|broken" a line, and "break-next" when the next
// lease granted is to be broken at once). Opens of the file by anyone
// break the leases they conflict with; the control page counts the leases
// held, so opens cost nothing while there are none.
#pragma once

#include "core/object_record.h"
#include "core/request.h"

#include <string>

namespace zvsim::lease
{

extern const Family family;

// Breaks every lease held on the object now (next: the next one granted
// instead, as if another client opened the file right after).
int break_leases(const Config &cfg, const ObjectKey &key, bool next);
// One "mode=<READ|WRITE> state=<held|broken> pid=<pid>" line a lease, and
// "break=next" when one is armed.
std::string show(const Config &cfg, const ObjectKey &key);
// The record form answers ENOTTY (on) or is served (off).
int set_by_mode_only(const Config &cfg, bool on);

} // namespace zvsim::lease
