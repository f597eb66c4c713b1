/* A stand-in for a device that a library opens by its name: the program
 * that links this defines open() and open64(), answers opens of one path
 * with a descriptor of its own choosing (a memory file, a pipe) and passes
 * every other open to the kernel as it stands. For benchmarks and fuzz
 * targets, which run without the simulated kernel client. */
#ifndef ZVTEST_OPEN_STAND_IN_H
#define ZVTEST_OPEN_STAND_IN_H

#ifdef __cplusplus
extern "C" {
#endif

/* From now on an open of path returns a duplicate of fd, which stays the
 * caller's to close. A null path or a negative fd ends the standing in.
 * Returns 0, or -1 when path is too long to keep. */
int zvtest_open_stand_in(const char *path, int fd);

#ifdef __cplusplus
}
#endif

#endif
