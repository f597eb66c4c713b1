/*
 * Owners of the resources the libraries hold inside a call: a descriptor,
 * a malloc'd buffer, a glob result and a stdio stream, each released when
 * its owner goes out of scope. Releasing never changes errno, so a failure
 * can be returned as -errno after the owners have cleaned up.
 *
 * Internal to the libraries; not installed.
 */
#ifndef ZV_INTERNAL_OWNERS_H
#define ZV_INTERNAL_OWNERS_H

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <glob.h>
#include <memory>
#include <unistd.h>

namespace zv
{

/* Runs f with errno kept across it. */
template <typename F>
void keeping_errno(F &&f)
{
	int saved = errno;
	f();
	errno = saved;
}

/* Owns a descriptor; closes it on scope exit. */
class unique_fd
{
      public:
	unique_fd() = default;
	explicit unique_fd(int fd) : fd_(fd)
	{
	}
	unique_fd(const unique_fd &) = delete;
	unique_fd &operator=(const unique_fd &) = delete;
	unique_fd(unique_fd &&other) noexcept : fd_(other.release())
	{
	}
	unique_fd &operator=(unique_fd &&other) noexcept
	{
		reset(other.release());
		return *this;
	}
	~unique_fd()
	{
		reset();
	}
	int get() const
	{
		return fd_;
	}
	bool valid() const
	{
		return fd_ >= 0;
	}
	/* Hands the descriptor over; the owner holds none after. */
	int release()
	{
		int fd = fd_;
		fd_ = -1;
		return fd;
	}
	void reset(int fd = -1)
	{
		if (fd_ >= 0 && fd_ != fd)
			keeping_errno([this] { ::close(fd_); });
		fd_ = fd;
	}

      private:
	int fd_ = -1;
};

struct free_deleter {
	void operator()(void *p) const
	{
		keeping_errno([p] { std::free(p); });
	}
};

/* Memory from malloc, calloc or strdup, released with free(). */
template <typename T>
using unique_malloc = std::unique_ptr<T, free_deleter>;

/* malloc'd memory of n bytes seen as a T; empty when malloc fails. */
template <typename T = char>
unique_malloc<T> malloc_as(size_t n)
{
	return unique_malloc<T>(static_cast<T *>(std::malloc(n)));
}

/* The same, zeroed. */
template <typename T = char>
unique_malloc<T> calloc_as(size_t n)
{
	return unique_malloc<T>(static_cast<T *>(std::calloc(1, n)));
}

struct file_closer {
	void operator()(FILE *f) const
	{
		keeping_errno([f] { std::fclose(f); });
	}
};

/* A stdio stream closed with fclose() (whose result is not wanted: a
 * stream whose close matters is closed by hand and checked). */
using unique_file = std::unique_ptr<FILE, file_closer>;

/* A glob result released with globfree() once it was filled. */
class unique_glob
{
      public:
	unique_glob() = default;
	unique_glob(const unique_glob &) = delete;
	unique_glob &operator=(const unique_glob &) = delete;
	~unique_glob()
	{
		reset();
	}
	/* The record to fill; call filled() once a lookup succeeded. */
	glob_t *out()
	{
		reset();
		return &g_;
	}
	void filled()
	{
		owned_ = true;
	}
	const glob_t &get() const
	{
		return g_;
	}
	/* The first path, or NULL when nothing matched. */
	const char *first() const
	{
		return owned_ && g_.gl_pathc > 0 ? g_.gl_pathv[0] : nullptr;
	}
	void reset()
	{
		if (owned_)
			keeping_errno([this] { globfree(&g_); });
		owned_ = false;
	}

      private:
	glob_t g_ = {};
	bool owned_ = false;
};

} // namespace zv

#endif /* ZV_INTERNAL_OWNERS_H */
