/* One buffer of each kind a thread may keep between uses, so that a loop
 * of take, use and give back costs no trip through malloc. Kept buffers
 * are malloc's memory, freed when their thread ends by thread-specific
 * data's destructor: a C++ thread_local with a destructor could abort the
 * process at its first use in a thread when memory is short. */
#ifndef ZORVEL_UTILS_THREAD_SPARE_H
#define ZORVEL_UTILS_THREAD_SPARE_H

namespace zv
{

enum spare_kind {
	SPARE_COPY_BUFFER,      /* a mirror copy's 4 MiB, page aligned */
	SPARE_CHANGELOG_RECORD, /* a received record's CHLG_REC_MAXSIZE */
	SPARE_KINDS
};

namespace detail
{
/* One thread variable, so that a function finds its address once. It is
 * reached through a TLS descriptor (see the dialect the library is built
 * with): a call of two instructions, where __tls_get_addr was a fifth of
 * a change-log receive. */
struct thread_spares {
	void *slot[SPARE_KINDS];
	bool armed; /* to be freed when the thread ends */
};
extern __thread thread_spares spares;
/* keep_spare() for a thread that has not kept one yet: makes sure its
 * spares are freed when it ends. */
bool arm_and_keep(spare_kind kind, void *p) noexcept;
} // namespace detail

/* The buffer of kind this thread kept, now the caller's; nullptr when
 * there is none. */
inline void *take_spare(spare_kind kind) noexcept
{
	detail::thread_spares &s = detail::spares;
	void *p = s.slot[kind];
	s.slot[kind] = nullptr;
	return p;
}

/* Keeps p as this thread's spare of kind. false when the thread holds one
 * already, or cannot arrange to free it: p is still the caller's then. */
inline bool keep_spare(spare_kind kind, void *p) noexcept
{
	detail::thread_spares &s = detail::spares;
	if (s.slot[kind] != nullptr)
		return false;
	if (!s.armed)
		return detail::arm_and_keep(kind, p);
	s.slot[kind] = p;
	return true;
}

} // namespace zv

#endif
