/* dropcache_race: one file seen through two mounts while the page cache is
 * dropped continuously. The main thread writes an ever-growing counter
 * through the first mount; a reader reads it through the first mount, then
 * the second: a value read later through the second mount must never be
 * older than one read before through the first. Runs until stopped. */
#include "fstest.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr const char *DROP_CACHES = "/proc/sys/vm/drop_caches";

char stderr_buf[4096];
// Written by the main thread; the reader reads it only for its message.
std::atomic<uint64_t> counter{0};
int fd1 = -1, fd2 = -1;

void *reader(void *)
{
	for (;;) {
		uint64_t v, w;
		if (pread(fd1, &v, sizeof(v), 0) != sizeof(v) ||
		    pread(fd2, &w, sizeof(w), 0) != sizeof(w)) {
			perror("pread");
			exit(1);
		}
		if (v > w) {
			fprintf(stderr,
			        "error: u = %" PRIu64 ", v = %" PRIu64
			        ", %" PRIu64 "\n",
			        counter.load(std::memory_order_relaxed), v, w);
			abort();
		}
	}
	return nullptr;
}

bool open_and_stat(const char *path, int &fd, struct stat &st)
{
	fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0666);
	if (fd < 0) {
		perror("open");
		return false;
	}
	if (fstat(fd, &st) < 0) {
		perror("fstat");
		return false;
	}
	return true;
}

bool write_counter(uint64_t u)
{
	if (pwrite(fd1, &u, sizeof(u), 0) != sizeof(u)) {
		perror("pwrite");
		return false;
	}
	return true;
}

// pthread calls return their error instead of setting errno.
int thread_failed(int err, const char *label)
{
	errno = err;
	perror(label);
	return 1;
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	setvbuf(stderr, stderr_buf, _IOLBF, sizeof(stderr_buf));
	if (argc != 3) {
		fprintf(stderr,
		        "Usage: %s /mnt/zorvel/file0 /mnt/zorvel2/file0\n",
		        argv[0]);
		return 1;
	}
	int drop_caches_fd = open(DROP_CACHES, O_WRONLY);
	if (drop_caches_fd < 0) {
		fstest::report("!(drop_caches_fd < 0)");
		return 1;
	}
	struct stat st1, st2;
	if (!open_and_stat(argv[1], fd1, st1) ||
	    !open_and_stat(argv[2], fd2, st2))
		return 1;
	if (st1.st_dev != st2.st_dev || st1.st_ino != st2.st_ino) {
		fprintf(stderr, "file mismatch\n");
		return 1;
	}
	if (!write_counter(0))
		return 1;
	pthread_t thread;
	if (int err = pthread_create(&thread, nullptr, reader, nullptr))
		return thread_failed(err, "pthread_create");

	for (uint64_t u = 1; static_cast<int64_t>(u) >= 0; u++) {
		counter.store(u, std::memory_order_relaxed);
		if (!write_counter(u))
			return 1;
		if (write(drop_caches_fd, "3\n", 2) != 2) {
			perror("drop caches");
			return 1;
		}
	}

	if (int err = pthread_cancel(thread))
		return thread_failed(err, "pthread_cancel");
	if (int err = pthread_join(thread, nullptr))
		return thread_failed(err, "pthread_join");
	return 0;
}
