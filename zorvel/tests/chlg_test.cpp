/* The change-log reader against the simulator's log devices: records that
 * namespace operations produce, positioning, follow mode, purging, and
 * malformed records from the kernel. */
#include "fid_words.h"
#include "zvtest/failalloc.h"
#include "zvtest/fds.h"
#include "zvtest/files.h"
#include "zvtest/run.h"
#include "zvtest/sim_fixture.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

using zvtest::write_file;

constexpr const char *target = "demo-MDT0000";
const auto all_flags =
        changelog_send_flag(CHANGELOG_FLAG_JOBID | CHANGELOG_FLAG_EXTRA_FLAGS);

struct received {
	__u32 type;
	__u64 index;
	std::string name;
	zo_fid tfid, pfid;
};

class Chlg : public zvtest::sim_fixture
{
      protected:
	void SetUp() override
	{
		zvtest::sim_fixture::SetUp();
		char user[32];
		ASSERT_EQ(zvsim_changelog_register(target, user, sizeof(user)),
		          0);
		user_ = user;
		zvapi_msg_set_level(ZVAPI_MSG_ERROR); /* start's warnings */
	}
	void TearDown() override
	{
		zvapi_msg_set_level(ZVAPI_MSG_INFO);
		zvtest::sim_fixture::TearDown();
	}

	/* Every record from startrec to the end of the log. */
	std::vector<received> read_all(long long startrec = 0,
	                               int flags = all_flags)
	{
		std::vector<received> out;
		void *priv = nullptr;
		EXPECT_EQ(zvapi_changelog_start(&priv,
		                                changelog_send_flag(flags),
		                                target, startrec),
		          0);
		if (priv == nullptr)
			return out;
		changelog_rec *rec;
		int rc;
		while ((rc = zvapi_changelog_recv(priv, &rec)) == 0) {
			out.push_back({rec->cr_type, rec->cr_index,
			               std::string(changelog_rec_name(rec),
			                           rec->cr_namelen),
			               rec->cr_tfid, rec->cr_pfid});
			zvapi_changelog_free(&rec);
		}
		EXPECT_EQ(rc, 1);
		EXPECT_EQ(rec, nullptr);
		EXPECT_EQ(zvapi_changelog_fini(&priv), 0);
		EXPECT_EQ(priv, nullptr);
		return out;
	}
	/* A handle that follows the log from its start. */
	void *start_follower()
	{
		void *priv = nullptr;
		EXPECT_EQ(zvapi_changelog_start(
		                  &priv,
		                  changelog_send_flag(all_flags |
		                                      CHANGELOG_FLAG_FOLLOW),
		                  target, 0),
		          0);
		return priv;
	}
	std::string user_;
};

using fidtest::fid_of;

TEST_F(Chlg, RecordsOfNamespaceOperations)
{
	ASSERT_EQ(mkdir(in_mount("d").c_str(), 0755), 0);
	write_file(in_mount("d/f"), "x");
	ASSERT_EQ(rename(in_mount("d/f").c_str(), in_mount("g").c_str()), 0);
	ASSERT_EQ(unlink(in_mount("g").c_str()), 0);

	auto recs = read_all();
	ASSERT_GE(recs.size(), 4U);
	EXPECT_EQ(recs[0].type, __u32(CL_MKDIR));
	EXPECT_EQ(recs[0].name, "d");
	EXPECT_TRUE(recs[0].tfid == fid_of(in_mount("d")));
	EXPECT_TRUE(recs[0].pfid == fid_of(mount_));
	EXPECT_EQ(recs[1].type, __u32(CL_CREATE));
	EXPECT_EQ(recs[1].name, "f");
	EXPECT_TRUE(recs[1].pfid == fid_of(in_mount("d")));
	bool renamed = false, unlinked = false;
	for (const auto &r : recs) {
		renamed |= r.type == CL_RENAME && r.name == "g";
		unlinked |= r.type == CL_UNLINK && r.name == "g";
	}
	EXPECT_TRUE(renamed);
	EXPECT_TRUE(unlinked);
	for (size_t i = 1; i < recs.size(); i++)
		EXPECT_GT(recs[i].index, recs[i - 1].index);
}

TEST_F(Chlg, StartAtARecordNumber)
{
	for (int i = 0; i < 5; i++)
		write_file(in_mount("f" + std::to_string(i)), "");
	auto all = read_all();
	ASSERT_EQ(all.size(), 5U);
	auto tail = read_all(all[2].index);
	ASSERT_EQ(tail.size(), 3U);
	EXPECT_EQ(tail[0].index, all[2].index);
	EXPECT_EQ(tail[0].name, "f2");
}

TEST_F(Chlg, LayoutAskedForIsTheLayoutReceived)
{
	write_file(in_mount("x"), "");
	for (int flags : {0, int(CHANGELOG_FLAG_JOBID),
	                  int(CHANGELOG_FLAG_EXTRA_FLAGS), int(all_flags)}) {
		void *priv;
		ASSERT_EQ(zvapi_changelog_start(
		                  &priv, changelog_send_flag(flags), target, 0),
		          0);
		zvapi_changelog_set_xflags(
		        priv, changelog_send_extra_flag(CLFE_NID | CLFE_XATTR));
		changelog_rec *rec;
		ASSERT_EQ(zvapi_changelog_recv(priv, &rec), 0);
		EXPECT_EQ(!!(rec->cr_flags & CLF_JOBID),
		          !!(flags & CHANGELOG_FLAG_JOBID));
		EXPECT_EQ(!!(rec->cr_flags & CLF_EXTRA_FLAGS),
		          !!(flags & CHANGELOG_FLAG_EXTRA_FLAGS));
		EXPECT_TRUE(rec->cr_flags & CLF_RENAME);
		if (flags & CHANGELOG_FLAG_EXTRA_FLAGS) {
			EXPECT_EQ(
			        changelog_rec_extra_flags(rec)->cr_extra_flags &
			                CLFE_SUPPORTED,
			        __u64(CLFE_NID | CLFE_XATTR));
		}
		EXPECT_EQ(std::string(changelog_rec_name(rec), rec->cr_namelen),
		          "x");
		zvapi_changelog_free(&rec);
		zvapi_changelog_fini(&priv);
	}
}

TEST_F(Chlg, ExtraFlagsChangedBetweenReceives)
{
	write_file(in_mount("one"), "");
	write_file(in_mount("two"), "");
	void *priv;
	ASSERT_EQ(zvapi_changelog_start(&priv, all_flags, target, 0), 0);
	auto bits_of = [](changelog_rec *rec) {
		return changelog_rec_extra_flags(rec)->cr_extra_flags &
		       CLFE_SUPPORTED;
	};
	zvapi_changelog_set_xflags(priv, CHANGELOG_EXTRA_FLAG_NID);
	changelog_rec *rec;
	ASSERT_EQ(zvapi_changelog_recv(priv, &rec), 0);
	EXPECT_EQ(bits_of(rec), __u64(CLFE_NID));
	zvapi_changelog_free(&rec);
	/* the next record, from the same read, in the new layout */
	zvapi_changelog_set_xflags(priv, CHANGELOG_EXTRA_FLAG_XATTR);
	ASSERT_EQ(zvapi_changelog_recv(priv, &rec), 0);
	EXPECT_EQ(bits_of(rec), __u64(CLFE_XATTR));
	EXPECT_EQ(std::string(changelog_rec_name(rec), rec->cr_namelen), "two");
	zvapi_changelog_free(&rec);
	zvapi_changelog_fini(&priv);
}

TEST_F(Chlg, FollowWaitsForANewRecord)
{
	void *priv = start_follower();
	ASSERT_NE(priv, nullptr);
	std::string path = in_mount("late");
	std::thread writer([path] {
		usleep(200 * 1000);
		zvtest::write_file(path, "");
	});
	changelog_rec *rec = nullptr;
	EXPECT_EQ(zvapi_changelog_recv(priv, &rec), 0)
	        << "the read waited for the writer";
	writer.join();
	ASSERT_NE(rec, nullptr);
	EXPECT_EQ(std::string(changelog_rec_name(rec), rec->cr_namelen),
	          "late");
	zvapi_changelog_free(&rec);
	zvapi_changelog_fini(&priv);
}

void on_signal(int)
{
}

/* A follower waits in the read: a signal handler without SA_RESTART
 * interrupts it, the call says so, and the next one goes on with the next
 * record, none lost or repeated. */
TEST_F(Chlg, FollowerInterruptedBySignalReturnsEintrThenResumes)
{
	write_file(in_mount("a"), "");
	write_file(in_mount("b"), "");
	void *priv = start_follower();
	ASSERT_NE(priv, nullptr);
	struct sigaction sa = {}, old;
	sa.sa_handler = on_signal; /* no SA_RESTART */
	ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
	std::vector<std::string> names;
	changelog_rec *rec;
	auto receive = [&] {
		int rc = zvapi_changelog_recv(priv, &rec);
		if (rc == 0) {
			names.emplace_back(changelog_rec_name(rec),
			                   rec->cr_namelen);
			zvapi_changelog_free(&rec);
		}
		return rc;
	};
	/* kicks the reader until it comes back; a reader that never does
	 * is let out, by follow mode turned off, to fail the test */
	pthread_t reader = pthread_self();
	std::atomic<bool> back{false};
	std::thread kicker([&] {
		for (int kicks = 0; !back; kicks++) {
			usleep(50 * 1000);
			pthread_kill(reader, SIGUSR1);
			if (kicks == 200)
				ioctl(zvapi_changelog_get_fd(priv),
				      ZV_IOC_CHLG_FOLLOW, 0L);
		}
	});
	int rc;
	while ((rc = receive()) == 0) {
	}
	back = true;
	kicker.join();
	EXPECT_EQ(rc, -EINTR);
	EXPECT_EQ(rec, nullptr);
	EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));

	write_file(in_mount("c"), "");
	EXPECT_EQ(receive(), 0);
	EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
	sigaction(SIGUSR1, &old, nullptr);
	zvapi_changelog_fini(&priv);
}

/* The record buffer is reused by malloc: the byte after a short name must
 * not be what a longer one left there. */
TEST_F(Chlg, NameIsTerminatedInTheRecordBuffer)
{
	write_file(in_mount(std::string(200, 'n')), "");
	write_file(in_mount("s"), "");
	void *priv;
	ASSERT_EQ(zvapi_changelog_start(&priv, all_flags, target, 0), 0);
	changelog_rec *rec;
	for (size_t len : {200, 1}) {
		ASSERT_EQ(zvapi_changelog_recv(priv, &rec), 0);
		ASSERT_EQ(rec->cr_namelen, len);
		EXPECT_EQ(strlen(changelog_rec_name(rec)), len);
		zvapi_changelog_free(&rec);
	}
	zvapi_changelog_fini(&priv);
}

TEST_F(Chlg, ClearSendsTheUserBeforeItsDash)
{
	write_file(in_mount("a"), "");
	write_file(in_mount("b"), "");
	auto recs = read_all();
	ASSERT_EQ(recs.size(), 2U);
	ASSERT_EQ(zvsim_log_clear(), 0);
	std::string id = user_ + "-suffix";
	EXPECT_EQ(zvapi_changelog_clear(target, id.c_str(), recs[0].index), 0);

	zvsim_request *reqs;
	size_t count;
	ASSERT_GE(zvsim_log_read(&reqs, &count), 0);
	bool found = false;
	std::string want = "clear:" + user_ + ":" +
	                   std::to_string(recs[0].index) + std::string(1, '\0');
	for (size_t i = 0; i < count; i++)
		if (reqs[i].code == ZVSIM_REQ_CHLG_CLEAR)
			found |= std::string((char *)reqs[i].bytes,
			                     reqs[i].nbytes) == want;
	zvsim_log_free(reqs, count);
	EXPECT_TRUE(found) << "command text and its NUL";

	auto left = read_all();
	ASSERT_EQ(left.size(), 1U) << "purged for the only user";
	EXPECT_EQ(left[0].name, "b");

	ASSERT_EQ(zvsim_log_clear(), 0);
	zvtest::stderr_capture cap;
	EXPECT_EQ(zvapi_changelog_clear(target, user_.c_str(), -1), -EINVAL);
	EXPECT_EQ(cap.finish(), std::string(program_invocation_short_name) +
	                                ": can't purge negative records\n");
	EXPECT_TRUE(request_codes().empty()) << "nothing written";

	zvtest::stderr_capture cap2;
	EXPECT_EQ(zvapi_changelog_clear("nosuch-MDT0000", "cl1", 1), -ENOENT);
	EXPECT_EQ(cap2.finish(),
	          std::string(program_invocation_short_name) +
	                  ": cannot open '/dev/changelog-nosuch-MDT0000': No "
	                  "such file or directory (2)\n");
}

/* A record as the kernel would send it, built here. */
std::string raw_record(__u64 index, const std::string &name,
                       __u16 declared_namelen)
{
	changelog_rec hdr = {};
	hdr.cr_namelen = declared_namelen;
	hdr.cr_flags = CLF_VERSION;
	hdr.cr_type = CL_CREATE;
	hdr.cr_index = index;
	std::string r(reinterpret_cast<char *>(&hdr), sizeof(hdr));
	return r + name;
}

TEST_F(Chlg, MalformedRecordsAreRefusedAndReadingGoesOn)
{
	/* runs past the bytes the read returns */
	std::string cut = raw_record(1, "abc", 200);
	ASSERT_EQ(zvsim_changelog_append(target, cut.data(), cut.size()), 0);
	std::string good = raw_record(2, "good", 4);
	ASSERT_EQ(zvsim_changelog_append(target, good.data(), good.size()), 0);
	/* whole, but larger than any record buffer */
	std::string huge = raw_record(3, std::string(900, 'h'), 900);
	ASSERT_EQ(zvsim_changelog_append(target, huge.data(), huge.size()), 0);
	std::string last = raw_record(4, "last", 4);
	ASSERT_EQ(zvsim_changelog_append(target, last.data(), last.size()), 0);

	void *priv;
	ASSERT_EQ(zvapi_changelog_start(&priv, all_flags, target, 0), 0);
	std::vector<std::string> names;
	int eproto = 0, rc;
	changelog_rec *rec;
	for (int n = 0; n < 10; n++) {
		rc = zvapi_changelog_recv(priv, &rec);
		if (rc == 1)
			break;
		if (rc == -EPROTO) {
			EXPECT_EQ(rec, nullptr);
			eproto++;
			continue;
		}
		ASSERT_EQ(rc, 0);
		names.emplace_back(changelog_rec_name(rec), rec->cr_namelen);
		EXPECT_LE(changelog_rec_size(rec), size_t(CHLG_REC_MAXSIZE));
		zvapi_changelog_free(&rec);
	}
	EXPECT_EQ(rc, 1);
	EXPECT_EQ(eproto, 2);
	EXPECT_NE(std::find(names.begin(), names.end(), "last"), names.end())
	        << "the handle stays usable";
	zvapi_changelog_fini(&priv);
}

TEST_F(Chlg, BadHandlesAndNoLeaks)
{
	int before = zvtest::open_fd_count();
	void *priv = nullptr;
	EXPECT_EQ(zvapi_changelog_start(&priv, all_flags, "nosuch-MDT0000", 0),
	          -ENOENT);
	EXPECT_EQ(priv, nullptr);
	std::string longname(5000, 'x');
	EXPECT_EQ(zvapi_changelog_start(&priv, all_flags, longname.c_str(), 0),
	          -EOVERFLOW);
	int bogus[4] = {};
	changelog_rec *rec;
	EXPECT_EQ(zvapi_changelog_recv(bogus, &rec), -EINVAL);
	EXPECT_EQ(zvapi_changelog_get_fd(bogus), -EINVAL);
	EXPECT_EQ(zvapi_changelog_set_xflags(nullptr, CHANGELOG_EXTRA_FLAG_NID),
	          -EINVAL);
	void *p = bogus;
	EXPECT_EQ(zvapi_changelog_fini(&p), -EINVAL);

	write_file(in_mount("z"), "");
	read_all();
	EXPECT_EQ(zvtest::open_fd_count(), before);
	EXPECT_EQ(zvapi_changelog_in_buf(nullptr), 0);
}

TEST_F(Chlg, WarningsOncePerProcess)
{
	/* a fresh process, whose warning flags start unset */
	auto r = zvtest::run_program({CHLG_WARN_PROBE, target});
	EXPECT_EQ(r.status, 0) << r.err;
	std::string p = "chlg_warn_probe";
	EXPECT_EQ(r.err,
	          p +
	                  ": warning: zvapi_changelog_start() called without "
	                  "CHANGELOG_FLAG_EXTRA_FLAGS\n" +
	                  p +
	                  ": warning: zvapi_changelog_start() called "
	                  "without CHANGELOG_FLAG_JOBID\n" +
	                  p +
	                  ": warning: zvapi_changelog_set_xflags() "
	                  "called without "
	                  "CHANGELOG_EXTRA_FLAG_UIDGID\n");
}

TEST_F(Chlg, WarningsOncePerProcessWhateverTheThreads)
{
	std::string p = "chlg_warn_probe: warning: ";
	const std::multiset<std::string> once = {
	        p + "zvapi_changelog_start() called without "
	            "CHANGELOG_FLAG_EXTRA_FLAGS",
	        p + "zvapi_changelog_start() called without "
	            "CHANGELOG_FLAG_JOBID",
	        p + "zvapi_changelog_set_xflags() called without "
	            "CHANGELOG_EXTRA_FLAG_UIDGID"};
	/* threads racing for the flags; a few processes, as a race shows
	 * only now and then */
	for (int run = 0; run < 8; run++) {
		auto r = zvtest::run_program({CHLG_WARN_PROBE, target, "16"});
		EXPECT_EQ(r.status, 0) << r.err;
		/* each once, in the order the threads came to them */
		std::multiset<std::string> lines;
		for (size_t start = 0, end; start < r.err.size();
		     start = end + 1) {
			end = r.err.find('\n', start);
			lines.insert(r.err.substr(start, end - start));
		}
		ASSERT_EQ(lines, once) << "run " << run;
	}
}

/* Each try in a thread of its own, which has no spare record buffer yet:
 * the receive allocates. A receive refused for memory consumes nothing. */
TEST_F(Chlg, AllocationFailuresInReceive)
{
	if (!failalloc_active())
		GTEST_SKIP() << "allocator not interposable in this build";
	write_file(in_mount("m"), "");
	int before = zvtest::open_fd_count();
	for (unsigned long n = 0; n < 5; n++) {
		std::thread([&] {
			void *priv = nullptr;
			failalloc_arm_in("libzorvelapi", n);
			int rc = zvapi_changelog_start(&priv, all_flags, target,
			                               0);
			changelog_rec *rec = nullptr;
			if (rc == 0)
				rc = zvapi_changelog_recv(priv, &rec);
			failalloc_disarm();
			EXPECT_TRUE(rc == 0 || rc == -ENOMEM) << rc;
			if (rc == -ENOMEM && priv != nullptr) {
				EXPECT_EQ(rec, nullptr);
				ASSERT_EQ(zvapi_changelog_recv(priv, &rec), 0);
			}
			if (rec != nullptr) {
				EXPECT_EQ(std::string(changelog_rec_name(rec)),
				          "m")
				        << "after " << n;
			}
			zvapi_changelog_free(&rec);
			if (priv != nullptr)
				zvapi_changelog_fini(&priv);
		}).join();
		ASSERT_EQ(zvtest::open_fd_count(), before);
	}
}

/* A record buffer freed in a thread is that thread's spare: the next
 * record reuses it, and what the thread keeps is freed when it ends
 * (the sanitized build's leak check sees any that is not). */
TEST_F(Chlg, RecordBuffersAreReusedAndFreedWithTheirThread)
{
	for (const char *name : {"a", "bb", "c"})
		ASSERT_EQ(mkdir(in_mount(name).c_str(), 0755), 0);
	std::thread([&] {
		void *priv;
		ASSERT_EQ(zvapi_changelog_start(&priv, all_flags, target, 0),
		          0);
		changelog_rec *first, *second, *third;
		ASSERT_EQ(zvapi_changelog_recv(priv, &first), 0);
		ASSERT_EQ(zvapi_changelog_recv(priv, &second), 0);
		EXPECT_NE(first, second) << "both held at once";
		changelog_rec *kept = second;
		zvapi_changelog_free(&second);
		EXPECT_EQ(second, nullptr);
		ASSERT_EQ(zvapi_changelog_recv(priv, &third), 0);
		EXPECT_EQ(third, kept);
		EXPECT_EQ(std::string(changelog_rec_name(third)), "c");
		zvapi_changelog_free(&third);
		zvapi_changelog_free(&first); /* one spare: this is freed */
		zvapi_changelog_fini(&priv);
	}).join();
}

} // namespace
