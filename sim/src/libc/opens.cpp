// Interposed opens: families serve the paths they own (devices, parameter
// trees, opens by FID...) and hear of every open that succeeded; creations
// in the mount while its namespace is watched are published. Every other
// open goes to libc unchanged.
#include "core/export.h"
#include "core/fd_table.h"
#include "core/fopenmode.h"
#include "core/guard.h"
#include "core/namespace_change.h"
#include "core/path_scan.h"
#include "core/real.h"
#include "core/request.h"
#include "core/user_memory.h"

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <string_view>
#include <tuple>

using namespace zvsim;

namespace
{

bool needs_mode(int flags)
{
	return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

// Asks the families having hook, in order: true when one served the call.
template <auto Hook, typename... Args>
bool family_served(Args &&...args)
{
	for (const Family *f : families_with<Hook>())
		if ((f->*Hook)(args...))
			return true;
	return false;
}

// The families with an open hook (as bits, in the order of
// families_with<&Family::open>()) one of whose open words begins a
// component of path (len bytes): one pass over the path for all of them,
// and a component whose first byte begins no word costs one load.
uint32_t worded(const char *path, size_t len)
{
	struct Word {
		std::string_view text;
		uint32_t family = 0;
	};
	struct Words {
		// Room for every family's words.
		Word w[FAMILIES_MAX *
		       std::tuple_size_v<decltype(Family::open_words)>];
		size_t n = 0;
		uint64_t first[256] = {}; // the words beginning with a byte
	};
	static_assert(std::size(Words{}.w) <= 64, "a bit a word in first[]");
	static const Words words = [] {
		Words ws;
		std::span<const Family *const> fams =
		        families_with<&Family::open>();
		for (size_t i = 0; i < fams.size(); ++i)
			for (std::string_view t : fams[i]->open_words)
				if (!t.empty()) {
					ws.first[static_cast<unsigned char>(
					        t[0])] |= uint64_t(1) << ws.n;
					ws.w[ws.n++] = {t, uint32_t(1) << i};
				}
		return ws;
	}();
	uint32_t found = 0;
	// c begins a component: the path's start, or a byte after a slash.
	auto component = [&](const char *c) {
		for (uint64_t m = words.first[static_cast<unsigned char>(*c)];
		     m; m &= m - 1) {
			const Word &w = words.w[__builtin_ctzll(m)];
			size_t k = 1; // stops at the path's NUL
			while (k < w.text.size() && c[k] == w.text[k])
				++k;
			if (k == w.text.size())
				found |= w.family;
		}
		return false;
	};
	component(path);
	any_place(
	        path, len, [](const Block &k) { return bytes_at(k, '/'); },
	        [&](size_t i) { return component(path + i + 1); });
	return found;
}

// The flags some family's open looks at: most opens show none.
int family_flags()
{
	static const int all = [] {
		int a = 0;
		for (const Family *f : families_with<&Family::open>())
			a |= f->open_flags;
		return a;
	}();
	return all;
}

// Whether an open of path (len bytes) with flags may be more than libc's:
// served by a family, or a creation to publish.
bool may_serve(const char *path, size_t len, int flags)
{
	return (flags & (family_flags() | O_CREAT)) || worded(path, len);
}

// True when a family served the open (result set); otherwise call.flags
// are what libc should get. Only the families the open shows their words
// or flags to are asked.
bool served(OpenCall &call, int &result)
{
	return guarded(result, [&] {
		std::span<const Family *const> fams =
		        families_with<&Family::open>();
		uint32_t words = worded(call.path, call.len);
		if (words || (call.flags & family_flags()))
			for (size_t i = 0; i < fams.size(); ++i)
				if (((words >> i) & 1 ||
				     (call.flags & fams[i]->open_flags)) &&
				    fams[i]->open(call, result))
					return true;
		return (call.flags & O_CREAT) &&
		       create_open(call.dirfd, call.path, call.flags, call.mode,
		                   result);
	});
}

// A descriptor an open returned is a new open file, whatever the table
// still said of its number (closed behind our back: by a C library's
// internal close).
int fresh(int fd)
{
	int saved = errno, ignored = 0;
	guarded(ignored, [&] {
		fd_fresh(fd);
		return true;
	});
	errno = saved;
	return fd;
}

// simulation() when this thread's last look no longer holds.
[[gnu::noinline]] const Config *simulation_anew()
{
	const Config *cfg = nullptr;
	int saved = errno, ignored = 0;
	guarded(ignored, [&] {
		sys::Reentry guard;
		cfg = current_peek();
		return true;
	});
	errno = saved;
	return cfg;
}

// The simulation this call may concern: null without one, and for the
// simulator's own calls.
inline const Config *simulation()
{
	if (sys::Reentry::inside())
		return nullptr;
	if (const Config *cfg = current_seen())
		return cfg;
	return simulation_anew();
}

// A descriptor the caller opened under the simulation cfg: a new open
// file (as fresh() says), told to the families that follow opens (I/O
// counted, leases broken, opens of cached files counted).
int open_done(int fd, const Config &cfg, const OpenCall &call)
{
	int saved = errno, ignored = 0;
	guarded(ignored, [&] {
		fd_fresh(fd);
		if (fd < 0)
			return true;
		sys::Reentry guard;
		for (const Family *f : families_with<&Family::opened>())
			f->opened(cfg, call, fd);
		return true;
	});
	errno = saved;
	return fd;
}

// Every open of the open family: real(flags) is libc's. Most opens no
// family serves: told on the caller's bytes where they are known to be
// readable, and not copied. Any other path is read only through a copy:
// one that cannot be read goes to libc, and the kernel answers it.
template <typename Real>
int interposed_open(int dirfd, const char *path, int flags, mode_t mode,
                    Real &&real)
{
	const Config *cfg = simulation();
	if (!cfg)
		return fresh(real(flags));
	if (long n = string_in_place(path, USER_PATH_MAX);
	    n >= 0 && !may_serve(path, size_t(n), flags))
		return open_done(real(flags), *cfg,
		                 OpenCall{dirfd, path, flags, mode, size_t(n)});
	UserPath p(path);
	OpenCall call{dirfd, p.ok() ? p.c_str() : nullptr, flags, mode,
	              p.size()};
	int rc;
	if (call.path && served(call, rc))
		return open_done(rc, *cfg, call);
	return open_done(real(call.flags), *cfg, call);
}

// The fortified opens carry no mode; with changed flags they go to openat.
template <typename Fortified>
int fortified_open(int dirfd, const char *path, int flags, Fortified &&fn)
{
	return interposed_open(dirfd, path, flags, 0, [&](int fl) {
		return fl != flags ? real::call(real::fns().openat, dirfd, path,
		                                fl, 0)
		                   : fn(fl);
	});
}

// A file made by a C library function that opens it internally (the
// mkstemp family): published once made.
int made_file(int fd)
{
	fresh(fd);
	if (fd >= 0)
		created_fd(fd, O_RDWR | O_CREAT | O_EXCL);
	return fd;
}

} // namespace

#define ZVSIM_READ_MODE(flags, last)                                           \
	mode_t mode = 0;                                                       \
	if (needs_mode(flags)) {                                               \
		va_list ap;                                                    \
		va_start(ap, last);                                            \
		mode = static_cast<mode_t>(va_arg(ap, int));                   \
		va_end(ap);                                                    \
	}

ZVSIM_EXPORT int open(const char *path, int flags, ...)
{
	ZVSIM_READ_MODE(flags, flags);
	return interposed_open(AT_FDCWD, path, flags, mode, [&](int fl) {
		return real::call(real::fns().open, path, fl, mode);
	});
}

ZVSIM_EXPORT int open64(const char *path, int flags, ...)
{
	ZVSIM_READ_MODE(flags, flags);
	return interposed_open(AT_FDCWD, path, flags, mode, [&](int fl) {
		return real::call(real::fns().open64, path, fl, mode);
	});
}

ZVSIM_EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
	ZVSIM_READ_MODE(flags, flags);
	return interposed_open(dirfd, path, flags, mode, [&](int fl) {
		return real::call(real::fns().openat, dirfd, path, fl, mode);
	});
}

ZVSIM_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
	ZVSIM_READ_MODE(flags, flags);
	return interposed_open(dirfd, path, flags, mode, [&](int fl) {
		return real::call(real::fns().openat64, dirfd, path, fl, mode);
	});
}

ZVSIM_EXPORT int __open_2(const char *path, int flags)
{
	return fortified_open(AT_FDCWD, path, flags, [&](int fl) {
		return real::call(real::fns().__open_2, path, fl);
	});
}

ZVSIM_EXPORT int __open64_2(const char *path, int flags)
{
	return fortified_open(AT_FDCWD, path, flags, [&](int fl) {
		return real::call(real::fns().__open64_2, path, fl);
	});
}

ZVSIM_EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
	return fortified_open(dirfd, path, flags, [&](int fl) {
		return real::call(real::fns().__openat_2, dirfd, path, fl);
	});
}

ZVSIM_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
	return fortified_open(dirfd, path, flags, [&](int fl) {
		return real::call(real::fns().__openat64_2, dirfd, path, fl);
	});
}

// creat() is an open; ours sees the creation.
ZVSIM_EXPORT int creat(const char *path, mode_t mode)
{
	return open(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

ZVSIM_EXPORT int creat64(const char *path, mode_t mode)
{
	return open64(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

namespace
{
FILE *sim_fopen(const char *path, const char *mode,
                FILE *(*fn)(const char *, const char *))
{
	if (!may_simulate())
		return real::call(fn, path, mode);
	UserPath p(path), m(mode);
	if (!p.ok() || !m.ok())
		return real::call(fn, path, mode);
	FILE *fp = nullptr;
	if (guarded(fp, [&] {
		    return family_served<&Family::fopen>(p.c_str(), m.c_str(),
		                                         fp);
	    }))
		return fp;
	// A stream creating a file in the mount is a creation.
	fp = fopen_creating(p.c_str(), m.c_str(), fn);
	int flags = 0;
	if (fp && parse_fopen_mode(m.c_str(), flags)) {
		if (const Config *cfg = simulation())
			open_done(fileno(fp), *cfg,
			          OpenCall{AT_FDCWD, nullptr, flags, 0});
		else
			fresh(fileno(fp));
	}
	return fp;
}
} // namespace

ZVSIM_EXPORT FILE *fopen(const char *path, const char *mode)
{
	return sim_fopen(path, mode, real::fns().fopen);
}

ZVSIM_EXPORT FILE *fopen64(const char *path, const char *mode)
{
	return sim_fopen(path, mode, real::fns().fopen64);
}

ZVSIM_EXPORT DIR *opendir(const char *path)
{
	if (may_simulate()) {
		UserPath p(path);
		DIR *dir = nullptr;
		if (p.ok() && guarded(dir, [&] {
			    return family_served<&Family::opendir>(p.c_str(),
			                                           dir);
		    }))
			return dir;
	}
	return real::call(real::fns().opendir, path);
}

ZVSIM_EXPORT int mkstemp(char *tmpl)
{
	return made_file(real::call(real::fns().mkstemp, tmpl));
}

ZVSIM_EXPORT int mkostemp(char *tmpl, int flags)
{
	return made_file(real::call(real::fns().mkostemp, tmpl, flags));
}

ZVSIM_EXPORT int mkstemps(char *tmpl, int suffixlen)
{
	return made_file(real::call(real::fns().mkstemps, tmpl, suffixlen));
}

ZVSIM_EXPORT int mkostemps(char *tmpl, int suffixlen, int flags)
{
	return made_file(
	        real::call(real::fns().mkostemps, tmpl, suffixlen, flags));
}

ZVSIM_EXPORT int mkstemp64(char *tmpl)
{
	return mkstemp(tmpl);
}

ZVSIM_EXPORT int mkostemp64(char *tmpl, int flags)
{
	return mkostemp(tmpl, flags);
}

ZVSIM_EXPORT int mkstemps64(char *tmpl, int suffixlen)
{
	return mkstemps(tmpl, suffixlen);
}

ZVSIM_EXPORT int mkostemps64(char *tmpl, int suffixlen, int flags)
{
	return mkostemps(tmpl, suffixlen, flags);
}

ZVSIM_EXPORT char *mkdtemp(char *tmpl)
{
	char *dir = real::call(real::fns().mkdtemp, tmpl);
	if (dir)
		made_dir(dir);
	return dir;
}
