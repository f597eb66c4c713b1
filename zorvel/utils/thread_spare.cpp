/* The per-thread spare buffers and their release at thread end. */
#include "thread_spare.h"

#include <cstdlib>
#include <pthread.h>

namespace zv::detail
{

__thread thread_spares spares;

namespace
{

pthread_key_t spares_key;
bool spares_key_made;

/* Runs as the thread ends, while its thread variables still hold. A later
 * destructor of another key that keeps a spare arms the key again, and
 * the thread library calls this once more. */
void free_spares(void *) noexcept
{
	spares.armed = false;
	for (void *&p : spares.slot) {
		free(p);
		p = nullptr;
	}
}

void make_key() noexcept
{
	spares_key_made = pthread_key_create(&spares_key, free_spares) == 0;
}

} // namespace

/* The key's value only has to be non-null for its destructor to run.
 * The main thread's spares are never freed by it: they stay reachable
 * through its thread variables until the process ends. */
bool arm_and_keep(spare_kind kind, void *p) noexcept
{
	static pthread_once_t once = PTHREAD_ONCE_INIT;
	pthread_once(&once, make_key);
	if (!spares_key_made || pthread_setspecific(spares_key, &spares) != 0)
		return false;
	spares.armed = true;
	spares.slot[kind] = p;
	return true;
}

} // namespace zv::detail
