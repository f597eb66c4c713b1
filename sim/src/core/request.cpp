#include "request.h"

#include "user_memory.h"

#include <linux/ioctl.h>
#include <strings.h>
#include <vector>

namespace zvsim
{

namespace
{

int unmodelled(Request &)
{
	return -ENOTTY;
}

// What a descriptor answers to a request no row of its target serves.
const Row catch_all[] = {
        {.target = Target::MountObject, .handle = unmodelled},
        {.target = Target::Device, .handle = unmodelled, .traced = false},
        // The networking layer reads its record header before it looks
        // at the request.
        {.target = Target::NetDevice,
         .arg = ArgKind::Struct,
         .header = 32,
         .handle = unmodelled},
};

const Row *search(std::span<const Row> rows, Target target, uint32_t code)
{
	for (const Row &row : rows)
		if (row.code == code && row.target == target)
			return &row;
	return nullptr;
}

// The argument as the kernel copies it in: the bytes logged, and a buffer
// of the reply's room that the handler reads and writes.
int copy_in(const Row &row, const Config &cfg, const void *user,
            std::string &buf, Extent &ext)
{
	switch (row.arg) {
	case ArgKind::None:
	case ArgKind::Value:
		return 0;
	case ArgKind::String: {
		buf.resize(USER_PATH_MAX);
		long n = copy_string_from_user(buf.data(),
		                               static_cast<const char *>(user),
		                               buf.size());
		if (n == -EFAULT)
			return -EFAULT;
		// An unterminated name is read up to the kernel's limit.
		ext.entry = n < 0 ? USER_PATH_MAX : static_cast<size_t>(n);
		buf.resize(ext.entry + 1);
		return 0;
	}
	case ArgKind::Struct:
		break;
	}
	std::string head(row.header, '\0');
	if (copy_from_user(head.data(), user, row.header) < 0)
		return -EFAULT;
	ext = row.extent ? row.extent(cfg, head.data())
	                 : Extent{row.header, row.header};
	size_t want = std::max({ext.entry, ext.room, row.header});
	buf.assign(want, '\0');
	std::memcpy(buf.data(), head.data(), row.header);
	const char *from = static_cast<const char *>(user);
	// What the kernel reads on entry must be there...
	if (ext.entry > row.header &&
	    copy_from_user(buf.data() + row.header, from + row.header,
	                   ext.entry - row.header) < 0)
		return -EFAULT;
	// ...while room it only writes to is kept as the caller had it, so
	// that the reply writes back just what changed (unreadable pages read
	// as zeros: a reply that writes there fails then).
	size_t done = std::max(ext.entry, row.header);
	copy_from_user_partly(buf.data() + done, from + done, want - done);
	return 0;
}

} // namespace

const Row *find_row(Target target, uint32_t code, std::span<const Row> rows)
{
	if (target == Target::Device) {
		if (const Row *row = search(rows, target, code))
			return row;
	} else {
		for (const Family *f : families())
			if (const Row *row = search(f->rows, target, code))
				return row;
	}
	return search(catch_all, target, 0);
}

bool ioctl_may_be_served(uint32_t code)
{
	// The file system's own requests ('f' from 128 up: below are the
	// generic requests of every file system) and the networking layer's.
	return (_IOC_TYPE(code) == 'f' && _IOC_NR(code) >= 128) ||
	       _IOC_TYPE(code) == 'e';
}

const Row *find_row_by_name(const char *name)
{
	if (!name)
		return nullptr;
	if (strncasecmp(name, "ZV_IOC_", 7) == 0)
		name += 7;
	for (const Family *f : families())
		for (const Row &row : f->rows)
			if (row.name && strcasecmp(row.name, name) == 0)
				return &row;
	return nullptr;
}

int serve_ioctl(const Row &row, Request &req, void *user_arg)
{
	std::string buf;
	Extent ext;
	int fault = copy_in(row, req.cfg, user_arg, buf, ext);
	req.arg = buf.empty() ? nullptr : buf.data();
	auto handle = [&] { return fault < 0 ? fault : row.handle(req); };
	std::string orig = buf;
	std::string_view entry;
	if (row.arg == ArgKind::Value)
		entry = std::string_view(
		        reinterpret_cast<const char *>(&req.value),
		        sizeof req.value);
	else if (fault == 0)
		entry = std::string_view(buf.data(), ext.entry);
	int rc = row.traced ? request_tail(req.cfg, req.code,
	                                   _IOC_SIZE(req.code), entry, req.arg,
	                                   fault == 0 ? ext.room : 0, handle)
	                    : handle();
	if (fault == 0 && copy_changes_to_user(user_arg, buf.data(),
	                                       orig.data(), buf.size()) < 0)
		return -EFAULT;
	return rc;
}

} // namespace zvsim
