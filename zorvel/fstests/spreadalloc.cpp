// spreadalloc: every rank creates files under one of several mounts of the
// same file system (<prefix>0, <prefix>1, ...), chosen from its place among
// the ranks of its client, so creations spread round-robin over the mounts.
//
//   mpirun -np N spreadalloc <prefix>/<dir>/<base> <files> <clients>
#include "fstest.h"
#include <mpi.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <string>
#include <unistd.h>

namespace
{

constexpr useconds_t ABORT_GRACE_US = 200000;
constexpr size_t NAME_BUF = 4096;

[[noreturn]] __attribute__((format(printf, 3, 4))) void
fail(int rank, int code, const char *fmt, ...)
{
	printf("Process rank %d exited with error code %d\n", rank, code);
	va_list ap;
	va_start(ap, fmt);
	vprintf(fmt, ap);
	va_end(ap);
	fflush(stdout);
	// Ranks failing the same check at about the same time get their
	// reports out before the abort ends them.
	usleep(ABORT_GRACE_US);
	MPI_Abort(MPI_COMM_WORLD, code);
	exit(1); // MPI_Abort does not return
}

[[noreturn]] void usage_exit(const char *prog, const char *why)
{
	if (why)
		fputs(why, stderr);
	printf("Usage: %s <filename with mount pt and test dir>", prog);
	printf(" <no. of files> <no. of cli nodes>\n");
	printf("Ex: mpirun -np <njobs> spreadalloc /tmp/mnt/zorvel/mox 512 "
	       "4\n");
	exit(1);
}

// A count: a decimal number, the whole text, 0 (told apart by the
// caller) or more. A word or a negative count would create nothing and
// succeed: it is refused with why.
int count(const char *prog, const char *text, const char *why)
{
	long long v;
	if (!fstest::parse_number(text, 0, INT_MAX, v, 10))
		usage_exit(prog, why);
	return static_cast<int>(v);
}

// The path's three parts, each split from its own copy as dirname() and
// basename() may change what they are given.
struct parts {
	std::string prefix, dir, base;
};

parts split(const char *path)
{
	parts p;
	std::string a = path, b = path;
	p.base = basename(a.data());
	std::string parent = dirname(b.data());
	std::string c = parent, d = parent;
	p.dir = basename(c.data());
	p.prefix = std::string(dirname(d.data())).substr(0, NAME_BUF - 1);
	return p;
}

} // namespace

int main(int argc, char **argv)
{
	fstest::hold_standard_streams();
	if (argc != 4)
		usage_exit(argv[0], nullptr);
	if (!strchr(argv[1], '/'))
		usage_exit(argv[0], "Please enter filename with mount point\n");
	parts p = split(argv[1]);
	int files = count(argv[0], argv[2],
	                  "Number of files must be a positive decimal "
	                  "number\n");
	if (files == 0)
		usage_exit(argv[0], "Number of files must not be zero\n");
	int clients = count(argv[0], argv[3],
	                    "Client nodes must be a positive decimal number\n");
	if (clients == 0)
		usage_exit(argv[0], "Client nodes must not be zero\n");

	int rc = MPI_Init(&argc, &argv);
	if (rc != MPI_SUCCESS) {
		fprintf(stderr, "MPI_Init failed: %d\n", rc);
		return 1;
	}
	int rank = 0, nprocs = 0;
	if ((rc = MPI_Comm_rank(MPI_COMM_WORLD, &rank)) != MPI_SUCCESS)
		fail(0, rc, "MPI_Comm_rank failed: %d\n", rc);
	if ((rc = MPI_Comm_size(MPI_COMM_WORLD, &nprocs)) != MPI_SUCCESS)
		fail(rank, rc, "MPI_Comm_size failed: %d\n", rc);
	// Ranks per client: with more clients than ranks there is no place
	// among them to take a mount from.
	int per_client = nprocs / clients;
	if (per_client == 0)
		fail(rank, -EINVAL,
		     "Cannot spread %d processes over %d client nodes\n",
		     nprocs, clients);
	int mount = rank % per_client;

	if ((rc = MPI_Barrier(MPI_COMM_WORLD)) != MPI_SUCCESS)
		fail(rank, rc, "Prep MPI_Barrier failed: %d\n", rc);
	for (int i = 0; i < files; i++) {
		char name[NAME_BUF];
		int n = snprintf(name, sizeof name, "%s%d/%s/%s-%d-%d",
		                 p.prefix.c_str(), mount, p.dir.c_str(),
		                 p.base.c_str(), rank, i);
		if (n < 0 || static_cast<size_t>(n) >= sizeof name)
			fail(rank, -ENAMETOOLONG, "Name too long\n");
		int fd = open(name, O_RDWR | O_CREAT, 0644);
		if (fd < 0) {
			int err = errno;
			fail(rank, err, "Cannot open \"%s\": %s\n", name,
			     strerror(err));
		}
		close(fd);
	}
	MPI_Finalize();
	return 0;
}
