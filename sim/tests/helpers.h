// The simulator's tests: a fresh simulation per test (the shared fixture)
// with a scratch directory beside it, no descriptor left behind, and small
// wrappers over the kernel requests under test.
#pragma once

#include "zvtest/fds.h"
#include "zvtest/file_handle.h"
#include "zvtest/files.h"
#include "zvtest/run.h"
#include "zvtest/sim_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include <linux/zorvel/zorvel_fid.h>
#include <linux/zorvel/zorvel_layout.h>
#include <zvsim/zvsim.h>

namespace zvtest
{

std::string fid_text(const zo_fid &fid);
bool same_fid(const zo_fid &a, const zo_fid &b);

// Owns a descriptor for the length of a test.
using Fd = fd_owner;

// Result of one request: rc is the call's result, err its errno.
struct Res {
	int rc;
	int err;
};

class Sim : public sim_fixture
{
      protected:
	void SetUp() override;
	void TearDown() override;
	// Fresh simulation with these counts (SetUp made one with 1 and 2).
	void resetup(int mdts, int osts = 0);

	std::string mnt(const std::string &rel = "") const;
	std::string state() const
	{
		return state_dir();
	}

	// FID through name_to_handle_at (follow: AT_SYMLINK_FOLLOW).
	zo_fid fid(const std::string &path, bool follow = false);
	Res fid2path(const zo_fid &fid, unsigned &linkno, std::string &path,
	             unsigned pathlen = 4096, unsigned long long recno = 0,
	             unsigned long long *recno_out = nullptr);
	Res getparent(const std::string &path, unsigned linkno, zo_fid &parent,
	              std::string &name, unsigned name_size = 256);
	Res fid2mdtidx(const zo_fid &fid);
	// Every link of fid, walked one FID2PATH call at a time.
	std::vector<std::string> all_links(const zo_fid &fid);

	temp_dir tmp_; // scratch, beside the simulation
	int fds_before_ = 0;
};

} // namespace zvtest
