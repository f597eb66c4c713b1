/* What a small machine cannot give a test of the MPI programs, faked:
 * preloaded into a rank, MPI_Comm_size answers MPI_FAKES_NPROCS (when set)
 * instead of the job's size, so that a check on the number of ranks can be
 * reached with one rank. Everything else is the MPI library's. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <mpi.h>
#include <stdlib.h>

#define EXPORT __attribute__((visibility("default")))

typedef int (*size_fn)(MPI_Comm, int *);

EXPORT int MPI_Comm_size(MPI_Comm comm, int *size)
{
	size_fn real = (size_fn)dlsym(RTLD_NEXT, "MPI_Comm_size");
	int rc = real(comm, size);
	const char *fake = getenv("MPI_FAKES_NPROCS");
	if (rc == MPI_SUCCESS && fake && comm == MPI_COMM_WORLD)
		*size = atoi(fake);
	return rc;
}
