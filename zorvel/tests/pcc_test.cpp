/* The client cache through the simulated kernel client: configuration
 * through the cache parameter, attaches through leases (also one that
 * another process breaks), state, detaches, and the records the kernel
 * received, built here byte by byte. What the kernel does with opens,
 * writes and deleted areas is the simulator's to test
 * (sim/tests/pcc_test.cpp). */
#include "fid_words.h"
#include "wire_words.h"
#include "zvtest/alloc_sweep.h"
#include "zvtest/fds.h"
#include "zvtest/files.h"
#include "zvtest/run.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <cstring>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace
{

using zvtest::fd_owner;
using zvtest::read_file;
using zvtest::stderr_of;
using zvtest::write_file;

using wiretest::prog;
using wiretest::u32s;

std::vector<unsigned char> text(const std::string &s)
{
	return {s.begin(), s.end()};
}

/* What f() writes to standard output (flushed). */
template <typename F>
std::string stdout_of(F &&f)
{
	zvtest::temp_dir dir;
	std::string path = dir.path() + "/out";
	fflush(stdout);
	int saved = dup(1);
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	dup2(fd, 1);
	close(fd);
	f();
	fflush(stdout);
	dup2(saved, 1);
	close(saved);
	return read_file(path);
}

class Pcc : public zvtest::sim_fixture
{
      protected:
	void SetUp() override
	{
		zvtest::sim_fixture::SetUp();
		write_file(in_mount("f"), "cached data");
		ASSERT_EQ(zvapi_pccdev_set(mount_path().c_str(), "add 1"), 0);
		clear_requests();
	}
	std::string area(uint32_t id) const
	{
		return state_dir() + "/pcc/" + std::to_string(id);
	}
	std::string fid_text(const std::string &rel)
	{
		return fidtest::fid_text(fidtest::fid_of(in_mount(rel)));
	}
	/* The requests received with this code. */
	std::vector<zvtest::sim_request> requests_of(unsigned long code) const
	{
		std::vector<zvtest::sim_request> out;
		for (const auto &r : requests())
			if (r.code == code)
				out.push_back(r);
		return out;
	}
	zo_pcc_state state_of(const std::string &rel)
	{
		zo_pcc_state st;
		memset(&st, 0x55, sizeof(st));
		EXPECT_EQ(zvapi_pcc_state_get(in_mount(rel).c_str(), &st), 0);
		return st;
	}
};

TEST_F(Pcc, ConfigurationThroughTheParameter)
{
	std::string name = std::string("demo-") + zvsim_instance();
	EXPECT_EQ(zvapi_pccdev_set(mount_path().c_str(), "add 7"), 0);
	auto reqs = requests_of(ZVSIM_REQ_PCC_COMMAND);
	ASSERT_EQ(reqs.size(), 1U);
	EXPECT_EQ(reqs[0].bytes, text("add 7")) << "no line end added";
	std::string out;
	out = stdout_of(
	        [&] { EXPECT_EQ(zvapi_pccdev_get(mount_path().c_str()), 0); });
	EXPECT_EQ(out, "archive_id=1 root=" + area(1) +
	                       "\narchive_id=7 root=" + area(7) + "\n");

	std::string err = stderr_of([&] {
		EXPECT_EQ(zvapi_pccdev_set(mount_path().c_str(), "bogus"),
		          -EINVAL);
	});
	EXPECT_EQ(err, prog() + ": error: setting zvlite." + name +
	                       ".pcc='bogus': Invalid argument (22)\n");
	/* EIO is returned without a message */
	ASSERT_EQ(zvsim_inject_errno(ZVSIM_REQ_PCC_COMMAND, EIO, 0), 0);
	err = stderr_of([&] {
		EXPECT_EQ(zvapi_pccdev_set(mount_path().c_str(), "del 7"),
		          -EIO);
	});
	EXPECT_EQ(err, "");
	/* a short write */
	ASSERT_EQ(zvsim_inject_reply(ZVSIM_REQ_PCC_COMMAND, nullptr, 0, 2), 0);
	err = stderr_of([&] {
		EXPECT_EQ(zvapi_pccdev_set(mount_path().c_str(), "del 7"),
		          -EINVAL);
	});
	EXPECT_EQ(err, prog() + ": setting zvlite." + name +
	                       ".pcc='del 7': wrote only 2: Invalid argument "
	                       "(22)\n");

	EXPECT_EQ(zvapi_pccdev_set(mount_path().c_str(), "clear"), 0);
	out = stdout_of(
	        [&] { EXPECT_EQ(zvapi_pccdev_get(mount_path().c_str()), 0); });
	EXPECT_EQ(out, "") << "an empty parameter prints nothing";

	zvtest::temp_dir elsewhere;
	err = stderr_of([&] {
		EXPECT_LT(zvapi_pccdev_set(elsewhere.path().c_str(), "clear"),
		          0);
	});
	EXPECT_NE(err.find(prog() + ": cannot get name for '" +
	                   elsewhere.path() + "': "),
	          std::string::npos)
	        << err;
}

TEST_F(Pcc, AttachThroughAWriteLease)
{
	EXPECT_EQ(zvapi_pcc_attach(in_mount("f").c_str(), 1, ZO_PCC_READWRITE),
	          0);
	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 2U);
	EXPECT_EQ(reqs[0].code, 0xC00C66F3UL);
	EXPECT_EQ(reqs[0].bytes, u32s({ZV_LEASE_WRLCK, 0, 0}));
	EXPECT_EQ(reqs[1].bytes, u32s({ZV_LEASE_UNLCK, 0x10, 1, 1}))
	        << "the release carries the archive id";

	clear_requests();
	zo_pcc_state st = state_of("f");
	EXPECT_EQ(st.pccs_type, uint32_t(ZO_PCC_READWRITE));
	EXPECT_EQ(st.pccs_open_count, 0U) << "the asker's own open";
	EXPECT_EQ(st.pccs_flags, 0U);
	std::string fid = fid_text("f");
	std::string copy = area(1) + "/" + fid.substr(1, fid.size() - 2);
	EXPECT_STREQ(st.pccs_path, copy.c_str());
	EXPECT_EQ(read_file(copy), "cached data");
	reqs = requests_of(0x901066FCUL);
	ASSERT_EQ(reqs.size(), 1U);
	EXPECT_EQ(reqs[0].size, 4112U);
	EXPECT_TRUE(reqs[0].bytes.empty()) << "the kernel reads nothing";

	std::string err = stderr_of([&] {
		EXPECT_EQ(zvapi_pcc_attach(in_mount("f").c_str(), 1,
		                           ZO_PCC_READWRITE),
		          -EEXIST);
	});
	EXPECT_NE(err.find("cannot attach with ID: 1: File exists (17)"),
	          std::string::npos)
	        << err;
}

TEST_F(Pcc, RefusedAttaches)
{
	clear_requests();
	EXPECT_EQ(zvapi_pcc_attach(in_mount("f").c_str(), 1, ZO_PCC_NONE),
	          -EINVAL);
	EXPECT_EQ(zvapi_pcc_attach(in_mount("f").c_str(), 1, ZO_PCC_MAX),
	          -EINVAL);
	EXPECT_TRUE(requests().empty()) << "nothing opened, nothing asked";

	std::string err = stderr_of([&] {
		EXPECT_EQ(zvapi_pcc_attach(in_mount("f").c_str(), 9,
		                           ZO_PCC_READWRITE),
		          -ENOENT);
	});
	EXPECT_EQ(err, prog() +
	                       ": cannot get UNLOCK lease, ext 10: No such "
	                       "file or directory (2)\n" +
	                       prog() +
	                       ": cannot attach with ID: 9: No such "
	                       "file or directory (2)\n");
	EXPECT_EQ(state_of("f").pccs_type, uint32_t(ZO_PCC_NONE));

	err = stderr_of([&] {
		EXPECT_EQ(zvapi_pcc_attach(in_mount("none").c_str(), 1,
		                           ZO_PCC_READWRITE),
		          -ENOENT);
	});
	EXPECT_EQ(err, prog() + ": cannot open '" + in_mount("none") +
	                       "': No such file or directory (2)\n");
}

/* Another process breaks the lease between the grant and the release:
 * nothing is attached and the caller hears -EBUSY. */
TEST_F(Pcc, AttachRacingABreakIsBusy)
{
	zvtest::run_result r = zvtest::run_program(
	        {ZVSIM_LAUNCHER, "lease", "break", in_mount("f"), "--next"});
	ASSERT_EQ(r.status, 0) << r.err;
	std::string err = stderr_of([&] {
		EXPECT_EQ(zvapi_pcc_attach(in_mount("f").c_str(), 1,
		                           ZO_PCC_READWRITE),
		          -EBUSY);
	});
	EXPECT_EQ(err, prog() + ": cannot attach with ID: 1: Device or "
	                        "resource busy (16)\n");
	EXPECT_EQ(state_of("f").pccs_type, uint32_t(ZO_PCC_NONE));
	EXPECT_EQ(zvapi_pcc_attach(in_mount("f").c_str(), 1, ZO_PCC_READWRITE),
	          0)
	        << "the next try is not raced";
}

TEST_F(Pcc, AttachAndDetachByFid)
{
	std::string fid = fid_text("f");
	std::string odd = "[[" + fid.substr(1);
	EXPECT_EQ(zvapi_pcc_attach_fid_str(mount_path().c_str(), odd.c_str(), 1,
	                                   ZO_PCC_READWRITE),
	          0);
	EXPECT_EQ(state_of("f").pccs_type, uint32_t(ZO_PCC_READWRITE));

	clear_requests();
	zo_fid parsed{};
	ASSERT_EQ(zvapi_fid_parse(fid.c_str(), &parsed, nullptr), 0);
	EXPECT_EQ(zvapi_pcc_detach_fid_str(mount_path().c_str(), odd.c_str(),
	                                   0x5),
	          0);
	auto reqs = requests();
	ASSERT_EQ(reqs.size(), 1U);
	EXPECT_EQ(reqs[0].code, 0x401466FCUL);
	EXPECT_EQ(reqs[0].bytes,
	          u32s({uint32_t(parsed.f_seq), uint32_t(parsed.f_seq >> 32),
	                parsed.f_oid, parsed.f_ver, 5}));
	EXPECT_EQ(state_of("f").pccs_type, uint32_t(ZO_PCC_NONE));

	/* refused texts send nothing */
	clear_requests();
	for (const char *bad :
	     {"[200000400:2:0]", "[0x200000400:0x2]", "0x1:0x100000000:0x0"}) {
		std::string err = stderr_of([&] {
			EXPECT_EQ(zvapi_pcc_detach_fid_str(mount_path().c_str(),
			                                   bad, 0),
			          -EINVAL);
		});
		EXPECT_EQ(err, prog() + ": bad FID format '" + bad +
		                       "', should be [seq:oid:ver] (e.g. "
		                       "[0x200000400:0x2:0x0])\n");
	}
	/* a version on a normal sequence: not sane for a detach, but the
	 * attach tries it (and finds no such object) */
	std::string versioned = "[0x200000400:0x2:0x1]";
	EXPECT_EQ(zvapi_pcc_detach_fid_str(mount_path().c_str(),
	                                   versioned.c_str(), 0),
	          -EINVAL);
	EXPECT_TRUE(requests().empty());
	std::string err = stderr_of([&] {
		EXPECT_EQ(zvapi_pcc_attach_fid_str(mount_path().c_str(),
		                                   versioned.c_str(), 1,
		                                   ZO_PCC_READWRITE),
		          -ENOENT);
	});
	EXPECT_EQ(err, prog() + ": zvapi_open_by_fid for " + versioned +
	                       "failed: No such file or directory (2)\n");
}

TEST_F(Pcc, DetachGivesTheRequestsOwnResult)
{
	ASSERT_EQ(zvapi_pcc_attach(in_mount("f").c_str(), 1, ZO_PCC_READWRITE),
	          0);
	std::string copy = state_of("f").pccs_path;
	{
		fd_owner f(open(in_mount("f").c_str(), O_RDWR));
		clear_requests();
		EXPECT_EQ(zvapi_pcc_detach_fd(f.fd, 0xabc), 0);
		auto reqs = requests();
		ASSERT_EQ(reqs.size(), 1U);
		EXPECT_EQ(reqs[0].code, 0x400466FCUL);
		EXPECT_EQ(reqs[0].bytes, u32s({0xabc}));
	}
	EXPECT_NE(access(copy.c_str(), F_OK), 0) << "the copy is gone";
	errno = 0;
	EXPECT_EQ(zvapi_pcc_detach_file(in_mount("f").c_str(), 0), -1);
	EXPECT_EQ(errno, ENODATA) << "not attached";
	EXPECT_EQ(zvapi_pcc_detach_fid(mount_path().c_str(), nullptr, 0),
	          -EINVAL);
	std::string err = stderr_of([&] {
		EXPECT_EQ(zvapi_pcc_detach_file(in_mount("none").c_str(), 0),
		          -ENOENT);
	});
	EXPECT_EQ(err, prog() + ": cannot open '" + in_mount("none") +
	                       "': No such file or directory (2)\n");
	zvtest::temp_dir elsewhere;
	zo_fid fid = {FID_SEQ_NORMAL, 2, 0};
	err = stderr_of([&] {
		EXPECT_EQ(
		        zvapi_pcc_detach_fid(elsewhere.path().c_str(), &fid, 0),
		        -ENODEV);
	});
	EXPECT_EQ(err, prog() + ": cannot get root path: " + elsewhere.path() +
	                       ": No such device (19)\n");
}

TEST_F(Pcc, InjectedFailuresLeakNothing)
{
	int before = zvtest::open_fd_count();
	zo_pcc_state st;
	std::string f = in_mount("f");
	struct {
		unsigned long code;
		int want;
		std::function<int()> call;
	} cases[] = {
	        {ZV_IOC_LEASE_SET, -ESTALE,
	         [&] {
		         return zvapi_pcc_attach(f.c_str(), 1,
		                                 ZO_PCC_READWRITE);
	         }},
	        {ZV_IOC_PCC_STATE, -ESTALE,
	         [&] { return zvapi_pcc_state_get(f.c_str(), &st); }},
	        {ZV_IOC_PCC_DETACH, -1,
	         [&] { return zvapi_pcc_detach_file(f.c_str(), 0); }},
	        {ZV_IOC_PCC_DETACH_BY_FID, -1,
	         [&] {
		         return zvapi_pcc_detach_fid_str(mount_path().c_str(),
		                                         fid_text("f").c_str(),
		                                         0);
	         }},
	        {ZVSIM_REQ_PCC_COMMAND, -ESTALE,
	         [&] {
		         return zvapi_pccdev_set(mount_path().c_str(), "clear");
	         }},
	};
	for (auto &c : cases) {
		ASSERT_EQ(zvsim_inject_errno(c.code, ESTALE, 0), 0);
		std::string err = stderr_of([&] {
			errno = 0;
			EXPECT_EQ(c.call(), c.want) << std::hex << c.code;
		});
		if (c.want == -1) {
			EXPECT_EQ(err, "") << "a refused detach is silent";
		}
		EXPECT_EQ(zvtest::open_fd_count(), before);
	}
	/* a positive state answer is not a success */
	ASSERT_EQ(zvsim_inject_reply(ZV_IOC_PCC_STATE, nullptr, 0, 3), 0);
	EXPECT_EQ(zvapi_pcc_state_get(f.c_str(), &st), -EPROTO);
}

TEST_F(Pcc, AllocationFailures)
{
	std::string f = in_mount("f");
	zvtest::each_allocation_fails("libzorvelapi",
	                              [&] {
		                              int rc;
		                              stderr_of([&] {
			                              rc = zvapi_pcc_attach(
			                                      f.c_str(), 1,
			                                      ZO_PCC_READWRITE);
		                              });
		                              return rc;
	                              },
	                              {.min_runs = 2, .until_done = true});
	zvtest::each_allocation_fails("libzorvelapi", [&] {
		return zvapi_pccdev_set(mount_path().c_str(), "clear");
	});
	zvtest::each_allocation_fails("libzorvelapi", [&] {
		int rc;
		stdout_of([&] { rc = zvapi_pccdev_get(mount_path().c_str()); });
		return rc;
	});
}

} // namespace
