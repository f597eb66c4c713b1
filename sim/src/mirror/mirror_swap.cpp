// A layout swap moves whole layouts: each file takes the other's mirrors 2
// and up, with their data, holes, sizes and stale marks. Mirrors both
// files have exchange their content in place, so a selection another
// process holds keeps reaching the mirror of its own file; mirrors only
// one file has are copied to the other and dropped from the first.
#include "mirror.h"

#include "core/sysio.h"
#include "swap/swap.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace zvsim::mirror
{

namespace
{

struct Side {
	FileKey key;
	FileRecord *rec = nullptr;
	unsigned count = 1;
};

int side_of(const Config &cfg, int fd, Side &s)
{
	if (int rc = file_key(fd, s.key); rc < 0)
		return rc;
	s.rec = file_record(cfg, s.key, false);
	s.count = count_of(s.rec);
	return 0;
}

// Exchanges the content of mirror id of both files.
int exchange_one(const Config &cfg, const Side &a, const Side &b, unsigned id)
{
	int fa = sys::open(backing_path(cfg, a.key, id).c_str(), O_RDWR);
	int fb = sys::open(backing_path(cfg, b.key, id).c_str(), O_RDWR);
	int rc = fa < 0 ? fa : fb < 0 ? fb : swap::exchange_data(cfg, fa, fb);
	for (int fd : {fa, fb})
		if (fd >= 0)
			sys::close(fd);
	return rc;
}

// Mirror id of from copied as a new mirror of to.
int copy_one(const Config &cfg, const Side &from, const Side &to, unsigned id)
{
	int rc = sys::mkdir_p(mirrors_dir(cfg, to.key), 0755);
	if (rc < 0)
		return rc;
	int in = sys::open(backing_path(cfg, from.key, id).c_str(),
	                   O_RDONLY | O_CLOEXEC);
	int out = sys::open(backing_path(cfg, to.key, id).c_str(),
	                    O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	rc = in < 0 ? in : out < 0 ? out : swap::copy_data(in, out);
	for (int fd : {in, out})
		if (fd >= 0)
			sys::close(fd);
	return rc;
}

void drop_from(const Config &cfg, const Side &s, unsigned first, unsigned last)
{
	for (unsigned id = first; id <= last; id++)
		::unlink(backing_path(cfg, s.key, id).c_str());
	if (first <= 2)
		::rmdir(mirrors_dir(cfg, s.key).c_str());
}

} // namespace

int exchange(const Config &cfg, int fd1, int fd2)
{
	Side a, b;
	int rc;
	if ((rc = side_of(cfg, fd1, a)) < 0 || (rc = side_of(cfg, fd2, b)) < 0)
		return rc;
	if (a.count == 1 && b.count == 1)
		return 0;
	for (Side *s : {&a, &b})
		if (!s->rec && !(s->rec = file_record(cfg, s->key, true)))
			return -ENOSPC;
	unsigned common = std::min(a.count, b.count);
	bool a_more = a.count > b.count;
	const Side &more = a_more ? a : b, &fewer = a_more ? b : a;

	unsigned id = 2;
	for (; id <= common; id++)
		if ((rc = exchange_one(cfg, a, b, id)) < 0)
			break;
	for (unsigned k = common + 1; rc == 0 && k <= more.count; k++)
		rc = copy_one(cfg, more, fewer, k);
	if (rc < 0) { // put back what was done (mirrors 2 to id - 1)
		drop_from(cfg, fewer, common + 1, more.count);
		for (unsigned k = 2; k < id; k++)
			exchange_one(cfg, a, b, k);
		return rc;
	}
	drop_from(cfg, more, fewer.count + 1, more.count);

	uint64_t keep = 3; // bits 0 and 1: no mirror of their own
	uint64_t sa = shared(a.rec->stale).load(),
	         sb = shared(b.rec->stale).load();
	shared(a.rec->stale).store((sa & keep) | (sb & ~keep));
	shared(b.rec->stale).store((sb & keep) | (sa & ~keep));
	shared(a.rec->mirrors).store(b.count);
	shared(b.rec->mirrors).store(a.count);
	return 0;
}

} // namespace zvsim::mirror
