// From an interposed ioctl to its row: the descriptor decides where the
// request is served, the code which row serves it.
#include "request.h"

#include "fd_table.h"
#include "sysio.h"

#include <cstdlib>
#include <fcntl.h>
#include <linux/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <zvsim/zvsim.h>

namespace zvsim
{

namespace
{

// A descriptor a family registered: its rows, untraced without a
// simulation to log to.
bool serve_device(const FileOps &ops, int fd, uint32_t code, void *arg,
                  int &result)
{
	const Row *row = find_row(Target::Device, code, ops.rows);
	ConfigPtr cfg = current();
	Config none;
	Request req{cfg ? *cfg : none,
	            code,
	            fd,
	            nullptr,
	            nullptr,
	            reinterpret_cast<unsigned long>(arg)};
	if (!cfg) {
		Row quiet = *row;
		quiet.traced = false;
		result = syscall_result(serve_ioctl(quiet, req, arg));
	} else {
		result = syscall_result(serve_ioctl(*row, req, arg));
	}
	return true;
}

} // namespace

bool may_simulate()
{
	return !sys::Reentry::inside() && state_env() != nullptr;
}

bool object_of(const Config &cfg, int fd, Object &obj)
{
	std::string path;
	if (sys::fd_path(fd, path, &obj.deleted) < 0 ||
	    !cfg.relative(path, obj.rel))
		return false;
	if (::syscall(SYS_fstat, fd, &obj.st) < 0 || obj.st.st_dev != cfg.dev)
		return false;
	obj.fd = fd;
	obj.fid = cfg.fid_of(obj.st.st_dev, obj.st.st_ino);
	return true;
}

bool dispatch_ioctl(int fd, uint32_t code, void *arg, int &result)
{
	if (sys::Reentry::inside() || !ioctl_may_be_served(code))
		return false;
	if (const FileOps *ops = fd_ops(fd); ops && _IOC_TYPE(code) == 'f') {
		sys::Reentry guard;
		return serve_device(*ops, fd, code, arg, result);
	}
	if (state_env() == nullptr)
		return false;
	sys::Reentry guard;
	ConfigPtr cfg = current();
	if (!cfg)
		return false;
	Object obj;
	Target target;
	if (_IOC_TYPE(code) == 'f' && object_of(*cfg, fd, obj)) {
		target = Target::MountObject;
		int fl = ::fcntl(fd, F_GETFL);
		if (fl >= 0 && (fl & O_PATH)) {
			result = syscall_result(-EBADF);
			return true;
		}
	} else if (_IOC_TYPE(code) == 'e') {
		std::string path;
		if (sys::fd_path(fd, path) < 0 || path != cfg->path("dev/varn"))
			return false;
		target = Target::NetDevice;
	} else {
		return false;
	}
	const Row *row = find_row(target, code);
	Request req{*cfg, code,    fd,
	            &obj, nullptr, reinterpret_cast<unsigned long>(arg)};
	result = syscall_result(serve_ioctl(*row, req, arg));
	return true;
}

} // namespace zvsim
