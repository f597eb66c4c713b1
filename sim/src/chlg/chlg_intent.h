// Records written with their operation.
//
// A kernel writes a change's record in the same step as the change. Here
// the change is a libc call, so a process killed between the call and its
// record would leave a change the log never tells. Instead, the writer
// takes the log's lock, writes the record ahead as pending (unseen by
// readers), makes the change, then commits or drops the record, and only
// then lets the lock go. A pending record found by the next holder of the
// lock, or by a reader when nobody holds it, was left by a writer that
// died: the namespace tells whether its change took effect (NsCheck), and
// the record is committed or dropped accordingly.
#pragma once

#include "chlg.h"

#include "core/namespace_change.h"

#include <memory>

namespace zvsim::chlg
{

class Intent final : public NsIntent
{
      public:
	Intent() = default;
	~Intent() override; // drops what is still pending, releases the locks
	Intent(const Intent &) = delete;
	Intent &operator=(const Intent &) = delete;

	// Takes the lock of log index and, for a rename, of log other (in
	// index order, settling each), keeping those with users: a change
	// holds the lock of every directory's log it touches. True when log
	// index keeps records of type.
	bool lock(const Config &cfg, uint32_t type, int index,
	          int other) override;
	void write(const NsEvent &ev, const NsCheck &check) override;
	void end(bool done, const Fid *tfid) override;

      private:
	const Config *cfg_ = nullptr;
	Locked logs_[2];
	Locked *rec_ = nullptr; // log index, while locked
	bool keeps_ = false;
	bool pending_ = false;
	std::string record_;
};

// An intent for the next entry change while a log has a user.
std::unique_ptr<NsIntent> intent_of(const Config &cfg);

} // namespace zvsim::chlg
