/* Change-log records a second through zvapi_changelog_recv/free, against a
 * baseline that reads the same stream 4096 bytes at a time and copies each
 * record, by the size its header gives, into a fresh 952-byte allocation. A
 * memory file stands in for the log device, so both sides pay the same for the
 * bytes. */
#include "support/bench_rounds.h"
#include "zvtest/open_stand_in.h"

#include <zorvel/zorvelapi.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

constexpr size_t rec_size = 128; /* 32 records in each 4096-byte read */
constexpr size_t chunk = 4096;
constexpr const char *device_path = "/dev/changelog-bench";

/* A chunk of records carrying the rename extension only: the bench
 * reader, which wants the job identifier and extra flags too, remaps
 * each. */
std::vector<char> make_chunk()
{
	std::vector<char> out;
	for (size_t i = 0; i < chunk / rec_size; i++) {
		changelog_rec hdr = {};
		size_t ext = sizeof(changelog_ext_rename);
		hdr.cr_namelen = rec_size - sizeof(hdr) - ext;
		hdr.cr_flags = CLF_VERSION | CLF_RENAME;
		hdr.cr_type = CL_CREATE;
		hdr.cr_index = i;
		const char *p = reinterpret_cast<const char *>(&hdr);
		out.insert(out.end(), p, p + sizeof(hdr));
		out.insert(out.end(), ext, '\x11');
		out.insert(out.end(), hdr.cr_namelen, 'n');
	}
	return out;
}

/* What any reader of the stream does to find the next record: its size
 * from its header. */
size_t record_size(const char *rec)
{
	changelog_rec hdr;
	memcpy(&hdr, rec, sizeof(hdr));
	return changelog_rec_offset(
	               static_cast<enum changelog_rec_flags>(hdr.cr_flags),
	               hdr.cr_flags & CLF_EXTRA_FLAGS
	                       ? changelog_rec_extra_bits(
	                                 reinterpret_cast<
	                                         const changelog_rec *>(rec))
	                       : CLFE_INVALID) +
	       hdr.cr_namelen;
}

/* A memory file holding chunks copies of bytes: every 4096-byte read
 * returns whole records, and neither side waits. Each benchmark makes its
 * own and reads a fresh descriptor of it per iteration. */
class stream
{
      public:
	stream(const std::vector<char> &bytes, size_t chunks)
	{
		fd_ = memfd_create("chlg-bench", 0);
		for (size_t i = 0; i < chunks; i++)
			if (write(fd_, bytes.data(), chunk) != ssize_t(chunk))
				abort();
	}
	~stream()
	{
		close(fd_);
	}
	/* A descriptor at the start of the records. */
	int open_at_start() const
	{
		int fd = dup(fd_);
		lseek(fd, 0, SEEK_SET);
		return fd;
	}

      private:
	int fd_;
};

/* Writes chunks into a new pipe from a thread; returns the read end. */
int start_writer(const std::vector<char> &bytes, size_t chunks,
                 std::thread *writer)
{
	int pfd[2];
	if (pipe(pfd) != 0)
		abort();
	*writer = std::thread([=, &bytes] {
		for (size_t i = 0; i < chunks; i++)
			if (write(pfd[1], bytes.data(), chunk) !=
			    ssize_t(chunk))
				break;
		close(pfd[1]);
	});
	return pfd[0];
}

/* A reader of the bench log that wants the job identifier and the
 * extra-flags extension with uid and gid, reading fd as its device. */
void *start_reader(int fd)
{
	void *priv;
	if (zvtest_open_stand_in(device_path, fd) != 0)
		abort();
	if (zvapi_changelog_start(
	            &priv,
	            changelog_send_flag(CHANGELOG_FLAG_JOBID |
	                                CHANGELOG_FLAG_EXTRA_FLAGS),
	            "bench", 0) != 0)
		abort();
	zvapi_changelog_set_xflags(
	        priv, changelog_send_extra_flag(CHANGELOG_EXTRA_FLAG_UIDGID));
	zvtest_open_stand_in(nullptr, -1);
	return priv;
}

void baseline(benchmark::State &state, const std::vector<char> &bytes)
{
	stream source(bytes, 1000);
	size_t records = 0;
	for (auto _ : state) {
		int fd = source.open_at_start();
		char buf[chunk];
		ssize_t n;
		while ((n = read(fd, buf, sizeof(buf))) > 0)
			for (ssize_t off = 0; off < n;) {
				size_t size = record_size(buf + off);
				char *copy = static_cast<char *>(malloc(952));
				memcpy(copy, buf + off, size);
				off += size;
				benchmark::DoNotOptimize(copy);
				free(copy);
				records++;
			}
		close(fd);
	}
	state.counters["records/s"] =
	        benchmark::Counter(records, benchmark::Counter::kIsRate);
}

void library(benchmark::State &state, const std::vector<char> &bytes)
{
	stream source(bytes, 1000);
	size_t records = 0;
	for (auto _ : state) {
		int fd = source.open_at_start();
		void *priv = start_reader(fd);
		close(fd);
		changelog_rec *rec;
		while (zvapi_changelog_recv(priv, &rec) == 0) {
			benchmark::DoNotOptimize(rec);
			zvapi_changelog_free(&rec);
			records++;
		}
		zvapi_changelog_fini(&priv);
	}
	state.counters["records/s"] =
	        benchmark::Counter(records, benchmark::Counter::kIsRate);
}

/* The reader wants jobid and extra flags: records carrying only the rename
 * extension are remapped; records built in the full wanted layout are not.
 */
std::vector<char> make_wanted_chunk()
{
	std::vector<char> out;
	size_t hdr_size = changelog_rec_offset(
	        static_cast<enum changelog_rec_flags>(
	                CLF_VERSION | CLF_RENAME | CLF_JOBID | CLF_EXTRA_FLAGS),
	        static_cast<enum changelog_rec_extra_flags>(CLFE_UIDGID));
	constexpr size_t wanted_size = 256;
	for (size_t i = 0; i < chunk / wanted_size; i++) {
		std::vector<char> rec(wanted_size, 'n');
		changelog_rec hdr = {};
		hdr.cr_namelen = wanted_size - hdr_size;
		hdr.cr_flags =
		        CLF_VERSION | CLF_RENAME | CLF_JOBID | CLF_EXTRA_FLAGS;
		hdr.cr_index = i;
		memcpy(rec.data(), &hdr, sizeof(hdr));
		uint64_t extra = CLFE_UIDGID;
		memcpy(rec.data() + sizeof(hdr) + 64, &extra, 8);
		out.insert(out.end(), rec.begin(), rec.end());
	}
	return out;
}

void BM_baseline(benchmark::State &state)
{
	baseline(state, make_chunk());
}
void BM_baseline_wanted(benchmark::State &state)
{
	baseline(state, make_wanted_chunk());
}
void BM_recv_wanted_layout(benchmark::State &state)
{
	library(state, make_wanted_chunk());
}
void BM_recv_remapped(benchmark::State &state)
{
	library(state, make_chunk());
}

BENCHMARK(BM_baseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_baseline_wanted)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_recv_wanted_layout)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_recv_remapped)->Unit(benchmark::kMillisecond);

/* Peak memory of a follow over a million records: the reader's own
 * memory must not grow with the log. A figure only: the growth of the
 * peak from the 10,000th record to the end. */
zvbench::row follow_memory()
{
	auto bytes = make_chunk();
	std::thread writer;
	int fd = start_writer(bytes, 1000000 / (chunk / rec_size), &writer);
	void *priv = start_reader(fd);
	close(fd);
	struct rusage after;
	long mid = 0;
	size_t n = 0;
	changelog_rec *rec;
	while (zvapi_changelog_recv(priv, &rec) == 0) {
		zvapi_changelog_free(&rec);
		if (++n == 10000) {
			struct rusage r;
			getrusage(RUSAGE_SELF, &r);
			mid = r.ru_maxrss;
		}
	}
	getrusage(RUSAGE_SELF, &after);
	zvapi_changelog_fini(&priv);
	writer.join();
	return zvbench::make_row("change-log follow of " + std::to_string(n) +
	                                 " records, growth of the peak RSS",
	                         "KiB", {double(after.ru_maxrss - mid)}, {},
	                         "");
}

} // namespace

int main(int argc, char **argv)
{
	zvapi_msg_set_level(ZVAPI_MSG_ERROR);
	if (!zvbench::initialize(&argc, argv))
		return 2;
	auto counter = [](const char *run) {
		return zvbench::counter_of(run, "records/s");
	};
	auto rows = zvbench::run_rounds(
	        {{.benchmark = "change-log receive, wanted layout, against "
	                       "read and copy",
	          .unit = "records/s",
	          .figure = counter("BM_recv_wanted_layout"),
	          .baseline = counter("BM_baseline_wanted"),
	          .aim = ">= 0.95"},
	         {.benchmark = "change-log receive, remapped, against read "
	                       "and copy",
	          .unit = "records/s",
	          .figure = counter("BM_recv_remapped"),
	          .baseline = counter("BM_baseline"),
	          .aim = ">= 0.80"}},
	        5);
	rows.push_back(follow_memory());
	bool ok = zvbench::report(rows);
	benchmark::Shutdown();
	return ok ? 0 : 1;
}
