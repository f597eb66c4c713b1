/* A job of one process without a launcher, for the tables of argument and
 * limit checks of the MPI programs: preloaded, it answers the MPI calls the
 * programs make, so that a check costs one process instead of a job start.
 *
 *   MPI_ALONE_SIZE  the size MPI_COMM_WORLD answers (default 1): the
 *                   process is rank 0 of a job that large, so a check on
 *                   the number of ranks can be reached on a small machine
 *
 * Barriers and broadcasts return at once (rank 0 is the root of every
 * broadcast the programs make); MPI_Abort ends the process with the low
 * byte of its code, the status mpirun gives the job. */
#include <mpi.h>
#include <stdlib.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT int MPI_Init(int *argc, char ***argv)
{
	(void)argc;
	(void)argv;
	return MPI_SUCCESS;
}

EXPORT int MPI_Finalize(void)
{
	return MPI_SUCCESS;
}

EXPORT int MPI_Comm_rank(MPI_Comm comm, int *rank)
{
	(void)comm;
	*rank = 0;
	return MPI_SUCCESS;
}

EXPORT int MPI_Comm_size(MPI_Comm comm, int *size)
{
	(void)comm;
	const char *n = getenv("MPI_ALONE_SIZE");
	*size = n ? atoi(n) : 1;
	return MPI_SUCCESS;
}

EXPORT int MPI_Barrier(MPI_Comm comm)
{
	(void)comm;
	return MPI_SUCCESS;
}

EXPORT int MPI_Bcast(void *buf, int count, MPI_Datatype type, int root,
                     MPI_Comm comm)
{
	(void)buf;
	(void)count;
	(void)type;
	(void)root;
	(void)comm;
	return MPI_SUCCESS;
}

EXPORT int MPI_Abort(MPI_Comm comm, int code)
{
	(void)comm;
	exit(code & 0xff);
}
