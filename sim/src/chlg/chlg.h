// Change logs of the simulated metadata targets.
//
// Each target "<fsname>-MDT<4 hex>" has one log, kept in
// <state>/changelog/<target>: a 4096-byte header (counters, log users,
// record mask and layout), then framed units. A unit is one produced
// record or the bytes of one raw append, served whole by reads of the
// log device /dev/changelog-<target>.
#pragma once

#include "core/namespace_change.h"
#include "core/request.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace zvsim::chlg
{

extern const Family family;

// Request codes of the change-log device for the log and for injection.
constexpr uint32_t REQ_FOLLOW = 0x800866E9U; // ZV_IOC_CHLG_FOLLOW
constexpr uint32_t REQ_CLEAR = 0x5A560005U;  // clear write

constexpr size_t MAX_USERS = 32;
constexpr size_t MAX_RAW = 1 << 20;

// --- storage (chlg_store.cpp) ---------------------------------------------

// Header of a log file, at explicit byte offsets (see chlg_store.cpp).
struct User {
	uint32_t id = 0;      // "cl<id>"
	uint64_t cleared = 0; // records up to here are purged for this user
};
struct Header {
	uint64_t last_index = 0; // last record index handed out (0: none)
	uint64_t first_off = 0;  // first live unit
	uint64_t end_off = 0;    // end of the last complete unit
	uint32_t mask = 0;       // record types kept (bit = 1 << type)
	uint16_t crf = 0;        // format bits of produced records
	uint16_t cref = 0;       // extension bits of produced records
	uint32_t next_user = 0;
	std::vector<User> users;
	uint64_t pending = 0; // bytes of the pending unit at end_off (0: none)
};

constexpr size_t HDR_SIZE = 4096;
// Unit frame: u32 length, u16 kind, u16 magic, u64 record index.
constexpr size_t FRAME = 16;
constexpr uint16_t KIND_RECORD = 0, KIND_RAW = 1, KIND_PENDING = 2;
constexpr uint16_t FRAME_MAGIC = 0xC10C;

// Index of target name "<fsname>-MDT<4 lowercase hex>", or -1 when the
// simulation has no such target.
int target_index(const Config &cfg, std::string_view name);
std::string target_name(const Config &cfg, int index);
std::string log_path(const Config &cfg, int index);

// Header as stored (-EIO when it is not a log header).
int read_header(int fd, Header &h);
// Just the live units' bounds and the pending mark, without allocating
// (the read path).
struct Bounds {
	uint64_t first = 0, end = 0, pending = 0;
	bool operator==(const Bounds &) const = default;
};
int read_bounds(int fd, Bounds &b);

class KeptLog;

// A log file locked exclusively for an update; created with a fresh
// header when missing. Opened by target, it settles what a dead writer
// left pending (chlg_intent.cpp) before anything else, and goes through
// the descriptor this process keeps for the log (chlg_kept.h).
class Locked
{
      public:
	Locked() = default;
	~Locked();
	Locked(const Locked &) = delete;
	Locked &operator=(const Locked &) = delete;
	int open(const Config &cfg, int index, bool retried = false);
	// wait false: -EWOULDBLOCK while another process holds the lock.
	int open(const std::string &path, bool wait = true);
	void close(); // releases the lock
	int fd() const;
	Header h;
	// Writes h back: its fields, or with whole_page (a new header, when
	// the file may be shorter) its whole page.
	int store(bool whole_page = false);

      private:
	int lock(bool wait);
	int fd_ = -1;
	KeptLog *kept_ = nullptr; // instead of fd_, while held
};

// Creates the log file when missing (device opens need it).
int ensure_log(const Config &cfg, int index);

// Appends one unit; for KIND_RECORD the index is assigned here and written
// into the record (offsets 8 and 16); rec is changed accordingly.
int append_unit(Locked &log, uint16_t kind, std::string &bytes);

// A record written ahead of its operation: a unit of kind KIND_PENDING at
// the end of the units, which the header marks but does not announce,
// followed by what tells whether the operation took effect (check). The
// record's index and previous index are assigned here.
int write_pending(Locked &log, std::string &record, std::string_view check);
// The pending unit's record and check; -EIO when there is none or it is
// broken.
int read_pending(Locked &log, std::string &record, std::string &check);
// The pending record (possibly changed since, same size) becomes the next
// record; or it is forgotten.
int commit_pending(Locked &log, const std::string &record);
int drop_pending(Locked &log);

// Purges what every registered user has cleared (everything when none).
int purge(Locked &log);

// Parses and applies "clear:<user>:<endrec>" (NUL and line end allowed).
int clear_command(const std::string &path, std::string_view cmd);

// Byte offset of the first unit whose index is at least recno (the end of
// the units when none; found tells which).
int seek_offset(int fd, uint64_t recno, uint64_t &pos, bool &found);

// Steering.
int user_register(const Config &cfg, int index, std::string &name);
int user_deregister(const Config &cfg, int index, std::string_view name);
int users_text(const Config &cfg, int index, std::string &out);
int set_mask(const Config &cfg, int index, uint32_t mask);
int set_layout(const Config &cfg, int index, int crf, int cref);
int append_raw(const Config &cfg, int index, const void *bytes, size_t len);
// Whether any log of the simulation has a user (the control page).
bool any_user(const Config &cfg);
// That flag of the control page.
extern const PageFlag users_flag;

// --- records written with their operation (chlg_intent.cpp) ---------------

// Settles the intent a dead writer left pending in a locked log: its record
// is committed when the namespace shows the operation took effect, else
// dropped. Nothing pending: nothing to do.
int settle(const Config &cfg, Locked &log);
// The same for a reader, which only settles when no process holds the
// log's lock (its writer is gone): true when something was settled.
bool settle_idle(const Config &cfg, const std::string &path);

// --- records (chlg_record.cpp) --------------------------------------------

// Appends the record of an operation that succeeded to the log of the
// parent's target (the object's when there is no parent).
void produce(const Config &cfg, const NsEvent &ev);

// The record bytes for a log's layout; index and prev are filled in later.
std::string encode(const Config &cfg, const NsEvent &ev, uint16_t crf,
                   uint16_t cref);
// Sets cr_tfid of encoded record bytes (known after a creation).
void set_target(std::string &record, const Fid &fid);
// 64-bit NID of the client that made a change: ZVSIM_NID of this process
// when set (each host of a simulated cluster has its own), else the mount's
// ("a.b.c.d@tcpN" and friends; 0 when it does not parse).
uint64_t client_nid(const Config &cfg);
std::string job_id(uid_t real_uid);

// --- devices (chlg_device.cpp) ---------------------------------------------

// An open of /dev/changelog-<target>: true when served here (result: a
// descriptor, or -1 with errno).
bool device_open(OpenCall &call, int &result);

} // namespace zvsim::chlg
