/* The simulator at scale, in figures of one run:
 *   - a mount of 1,000,000 entries (files in 4,000 directories): the first
 *     FID lookup, which builds the link index by walking the tree (its
 *     time and the growth of the peak resident size); FID lookups and
 *     removals by FID through the index; removal by FID of 1,000 files
 *     against unlink of 1,000 others;
 *   - cp -a of 100,000 small files into that mount while its change log
 *     has a user, against the same copy on tmpfs (aim: at most 1.5 times),
 *     and the same without a change-log user (what the records cost);
 *   - a change log of 10,000,000 records read by a follower: the rate, and
 *     the reader's resident size from its 10,000th record to the last.
 * ZV_SCALE_ENTRIES, ZV_SCALE_FILES and ZV_SCALE_RECORDS make it smaller
 * (or larger). Everything lives in one scratch directory on tmpfs.
 *
 *   build-bench/bin/scale_bench */
#include "support/bench_rows.h"
#include "support/scratch.h"

#include <zorvel/zorvelapi.h>
#include <zvsim/zvsim.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

constexpr const char *target = "bench-MDT0000";
constexpr size_t per_dir = 250;
constexpr size_t picks = 1000; /* FIDs removed in a round, and paths */
constexpr int rounds = 3;

size_t from_env(const char *name, size_t fallback)
{
	const char *v = getenv(name);
	return v && *v ? strtoul(v, nullptr, 10) : fallback;
}

double now()
{
	return std::chrono::duration<double>(
	               std::chrono::steady_clock::now().time_since_epoch())
	        .count();
}

long peak_rss_kib()
{
	struct rusage r;
	getrusage(RUSAGE_SELF, &r);
	return r.ru_maxrss;
}

[[noreturn]] void fail(const char *what)
{
	fprintf(stderr, "scale_bench: %s: %s\n", what, strerror(errno));
	exit(1);
}

/* Straight to the kernel: the tree is there before the simulation looks
 * at it, as a mount's files are before a process starts. */
void make_file(const std::string &path, size_t size)
{
	long fd = syscall(SYS_openat, AT_FDCWD, path.c_str(),
	                  O_WRONLY | O_CREAT | O_EXCL, 0644);
	if (fd < 0)
		fail(path.c_str());
	static const std::string bytes(4096, 'x');
	if (size && syscall(SYS_write, fd, bytes.data(), size) != long(size))
		fail("write");
	syscall(SYS_close, fd);
}

void make_dir(const std::string &path)
{
	if (syscall(SYS_mkdirat, AT_FDCWD, path.c_str(), 0755) != 0)
		fail(path.c_str());
}

/* n files of size bytes in directories of per_dir under dir; their paths. */
std::vector<std::string> make_tree(const std::string &dir, size_t n,
                                   size_t size)
{
	std::vector<std::string> files;
	files.reserve(n);
	for (size_t d = 0; files.size() < n; d++) {
		std::string sub = dir + "/d" + std::to_string(d);
		make_dir(sub);
		for (size_t f = 1; f < per_dir && files.size() < n; f++) {
			files.push_back(sub + "/f" + std::to_string(f));
			make_file(files.back(), size);
		}
	}
	return files;
}

/* Runs argv to its end, with the simulator preloaded or not; its
 * elapsed seconds. */
double run_child(std::vector<std::string> args, bool simulated)
{
	std::vector<char *> argv;
	for (auto &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	std::vector<std::string> env_text;
	for (char **e = environ; *e; e++)
		if (simulated || strncmp(*e, "ZVSIM_", 6) != 0)
			env_text.push_back(*e);
	if (simulated)
		env_text.push_back(std::string("LD_PRELOAD=") + ZVSIM_LIB);
	std::vector<char *> envp;
	for (auto &e : env_text)
		envp.push_back(e.data());
	envp.push_back(nullptr);
	double start = now();
	pid_t pid;
	int status;
	if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(),
	                 envp.data()) != 0 ||
	    waitpid(pid, &status, 0) != pid || status != 0) {
		fprintf(stderr, "scale_bench: %s failed\n", argv[0]);
		exit(1);
	}
	return now() - start;
}

void remove_outside(const std::string &path)
{
	run_child({"rm", "-rf", path}, false);
}

zo_fid fid_of(const std::string &path)
{
	zo_fid fid;
	if (zvapi_path2fid(path.c_str(), &fid) != 0)
		fail(path.c_str());
	return fid;
}

std::vector<zvbench::row> mount_of_entries(const std::string &mnt,
                                           size_t entries)
{
	std::string n = std::to_string(entries);
	std::vector<zvbench::row> rows;
	make_dir(mnt + "/big");
	auto files = make_tree(mnt + "/big", entries - entries / per_dir, 0);
	std::shuffle(files.begin(), files.end(), std::mt19937(42));
	/* Lookups use the first picks files; each round removes picks by
	 * FID and picks by path from those after them. */
	if (files.size() < picks * (1 + 2 * rounds))
		fail("too few entries");
	std::vector<zo_fid> fids;
	for (size_t i = 0; i < picks * (1 + rounds); i++)
		fids.push_back(fid_of(files[i]));

	int root = open(mnt.c_str(), O_RDONLY | O_DIRECTORY);
	if (root < 0)
		fail(mnt.c_str());
	char path[4096];
	long before = peak_rss_kib();
	double start = now();
	if (zvapi_fid2path_at(root, &fids[0], path, sizeof path, nullptr,
	                      nullptr) != 0)
		fail("first fid2path");
	double build = now() - start;
	rows.push_back(zvbench::make_row("link index first build at " + n +
	                                         " entries (the first lookup)",
	                                 "s", {build}, {}, ""));
	rows.push_back(zvbench::make_row(
	        "link index first build at " + n + " entries, peak RSS growth",
	        "KiB", {double(peak_rss_kib() - before)}, {}, ""));

	std::vector<double> lookup_us;
	for (int r = 0; r < rounds; r++) {
		start = now();
		for (size_t i = 0; i < picks; i++)
			if (zvapi_fid2path_at(root, &fids[i], path, sizeof path,
			                      nullptr, nullptr) != 0)
				fail("fid2path");
		lookup_us.push_back((now() - start) / picks * 1e6);
	}
	close(root);
	rows.push_back(
	        zvbench::make_row("fid2path by the index at " + n + " entries",
	                          "us/lookup", lookup_us, {}, ""));

	/* Removals a second, by FID (one request for picks FIDs) against
	 * unlink of as many paths, alternating. */
	std::vector<double> by_fid, by_path;
	auto array = std::unique_ptr<fid_array, decltype(&free)>(
	        static_cast<fid_array *>(
	                malloc(sizeof(fid_array) + picks * sizeof(zo_fid))),
	        &free);
	for (int r = 0; r < rounds; r++) {
		array->fa_nr = picks;
		std::copy_n(&fids[picks * (1 + r)], picks, array->fa_fids);
		start = now();
		if (zvapi_rmfid(mnt.c_str(), array.get()) != 0)
			fail("rmfid");
		by_fid.push_back(picks / (now() - start));
		size_t first = picks * (1 + rounds + r);
		start = now();
		for (size_t i = first; i < first + picks; i++)
			if (unlink(files[i].c_str()) != 0)
				fail("unlink");
		by_path.push_back(picks / (now() - start));
	}
	rows.push_back(zvbench::make_row(
	        "rmfid of 1000 FIDs at " + n + " entries, against unlink",
	        "removals/s", by_fid, by_path, ">= 0.5"));
	return rows;
}

/* Seconds of each round of cp -a of src into the mount and onto tmpfs,
 * alternating. */
void copy_rounds(const std::string &top, const std::string &mnt,
                 const std::string &src, std::vector<double> &mounted,
                 std::vector<double> &plain)
{
	for (int r = 0; r < rounds; r++) {
		std::string name = "/copy" + std::to_string(r);
		plain.push_back(
		        run_child({"cp", "-a", src, top + name}, false));
		mounted.push_back(
		        run_child({"cp", "-a", src, mnt + name}, true));
		remove_outside(top + name);
		remove_outside(mnt + name);
	}
}

/* With a change-log user (the aim), and without one: what the records
 * cost apart from the rest of the simulation. */
std::vector<zvbench::row> copy_into_mount(const std::string &top,
                                          const std::string &mnt, size_t count)
{
	std::string src = top + "/copy-source";
	make_dir(src);
	make_tree(src, count, 100);
	std::vector<double> unwatched, unwatched_plain, mounted, plain;
	copy_rounds(top, mnt, src, unwatched, unwatched_plain);
	char user[64];
	if (zvsim_changelog_register(target, user, sizeof user) != 0)
		fail("changelog register");
	copy_rounds(top, mnt, src, mounted, plain);
	zvsim_changelog_deregister(target, user);
	remove_outside(src);
	std::string of =
	        "cp -a of " + std::to_string(count) + " files into a mount ";
	return {zvbench::make_row(of + "with a change-log user, against tmpfs",
	                          "s", mounted, plain, "<= 1.5"),
	        zvbench::make_row(of + "without one, against tmpfs", "s",
	                          unwatched, unwatched_plain, "")};
}

/* Records of creates of a short name, as the log device hands them out:
 * as many as a read of the library's 4 KiB fills, numbered from *index. */
std::vector<char> one_read_of_records(size_t *index, size_t left)
{
	const char name[] = "file-of-the-scale-run";
	std::vector<char> out;
	changelog_rec hdr = {};
	hdr.cr_namelen = sizeof name - 1;
	hdr.cr_flags = CLF_VERSION;
	hdr.cr_type = CL_CREATE;
	size_t size = sizeof hdr + hdr.cr_namelen;
	for (; left > 0 && out.size() + size <= 4096; left--) {
		hdr.cr_index = (*index)++;
		out.insert(out.end(), reinterpret_cast<char *>(&hdr),
		           reinterpret_cast<char *>(&hdr) + sizeof hdr);
		out.insert(out.end(), name, name + hdr.cr_namelen);
	}
	return out;
}

std::vector<zvbench::row> long_log(size_t records)
{
	char user[64];
	if (zvsim_changelog_register(target, user, sizeof user) != 0)
		fail("changelog register");
	double start = now();
	/* An append is served by one read, whole: one read's worth each. */
	for (size_t index = 1; index <= records;) {
		auto bytes = one_read_of_records(&index, records + 1 - index);
		if (zvsim_changelog_append(target, bytes.data(),
		                           bytes.size()) != 0)
			fail("changelog append");
	}
	double appended = now() - start;
	void *priv;
	if (zvapi_changelog_start(
	            &priv,
	            static_cast<changelog_send_flag>(
	                    CHANGELOG_FLAG_FOLLOW | CHANGELOG_FLAG_BLOCK |
	                    CHANGELOG_FLAG_JOBID | CHANGELOG_FLAG_EXTRA_FLAGS),
	            target, 0) != 0)
		fail("changelog start");
	size_t n = 0;
	long mid = 0;
	changelog_rec *rec;
	start = now();
	int rc = 0;
	/* A follower waits at the end: it stops at the last record. */
	while (n < records && (rc = zvapi_changelog_recv(priv, &rec)) == 0) {
		zvapi_changelog_free(&rec);
		if (++n == 10000)
			mid = peak_rss_kib();
	}
	double read = now() - start;
	long growth = peak_rss_kib() - mid;
	zvapi_changelog_fini(&priv);
	zvsim_changelog_deregister(target, user);
	if (rc != 0 || n != records) {
		fprintf(stderr, "scale_bench: read %zu of %zu records (%d)\n",
		        n, records, rc);
		exit(1);
	}
	std::string of = std::to_string(records) + " records";
	return {zvbench::make_row("change-log append of " + of, "records/s",
	                          {records / appended}, {}, ""),
	        zvbench::make_row("change-log follower reading " + of,
	                          "records/s", {records / read}, {}, ""),
	        zvbench::make_row("change-log follower reading " + of +
	                                  ", growth of the peak RSS",
	                          "KiB", {double(growth)}, {}, "")};
}

} // namespace

int main()
{
	zvapi_msg_set_level(ZVAPI_MSG_ERROR);
	size_t entries = from_env("ZV_SCALE_ENTRIES", 1000000);
	size_t files = from_env("ZV_SCALE_FILES", 100000);
	size_t records = from_env("ZV_SCALE_RECORDS", 10000000);
	std::string top = zvbench::scratch_dir("scale-bench");
	if (top.empty() || zvsim_setup((top + "/state").c_str(), "bench", 1))
		fail("set up");
	std::string mnt = zvsim_mount_path();
	std::vector<zvbench::row> rows = mount_of_entries(mnt, entries);
	for (auto &&more :
	     {copy_into_mount(top, mnt, files), long_log(records)})
		rows.insert(rows.end(), more.begin(), more.end());
	zvsim_teardown();
	remove_outside(top);
	zvbench::print_table(stdout, rows);
	return zvbench::append_to_rows_file(rows) ? 0 : 1;
}
