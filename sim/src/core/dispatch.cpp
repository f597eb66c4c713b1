// From an interposed ioctl to its row: the descriptor decides where the
// request is served, the code which row serves it.
#include "request.h"

#include "fd_table.h"
#include "sysio.h"

#include <atomic>
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

namespace
{

// Inodes met on descriptors, and whether they lie in the mount. Where an
// inode lies changes only when an entry is moved or removed somewhere in
// the simulation (counted on the control page), so a later request on a
// descriptor of a known inode needs no lookup of the descriptor's path.
// Direct-mapped by descriptor number: a slot written for another
// descriptor, or stale, only misses. The inode number doubles as the
// slot's version: it is cleared while the other fields change.
struct KnownInode {
	std::atomic<uint64_t> ino{0}; // 0: empty
	std::atomic<const Config *> cfg{nullptr};
	std::atomic<uint32_t> moves{0};
	std::atomic<bool> inside{false};
};

constexpr size_t KNOWN_SLOTS = 1024;
KnownInode known_inodes[KNOWN_SLOTS];

KnownInode &known_slot(int fd)
{
	return known_inodes[static_cast<unsigned>(fd) % KNOWN_SLOTS];
}

// Whether the inode was found in the mount (known set) or not.
bool known_place(const Config &cfg, int fd, const struct stat &st, bool &inside)
{
	const KnownInode &k = known_slot(fd);
	if (!cfg.page || st.st_ino == 0 ||
	    k.ino.load(std::memory_order_acquire) != st.st_ino)
		return false;
	bool same = k.cfg.load(std::memory_order_relaxed) == &cfg &&
	            k.moves.load(std::memory_order_relaxed) ==
	                    page_get(cfg.page, &ControlPage::entries_moved);
	inside = k.inside.load(std::memory_order_relaxed);
	std::atomic_thread_fence(std::memory_order_acquire);
	return same && k.ino.load(std::memory_order_relaxed) == st.st_ino;
}

// moves: read before the path was looked up, so that a move meanwhile
// leaves the slot stale.
void remember_place(const Config &cfg, int fd, uint64_t ino, uint32_t moves,
                    bool inside)
{
	if (!cfg.page)
		return;
	KnownInode &k = known_slot(fd);
	k.ino.store(0, std::memory_order_relaxed);
	std::atomic_thread_fence(std::memory_order_release);
	k.cfg.store(&cfg, std::memory_order_relaxed);
	k.moves.store(moves, std::memory_order_relaxed);
	k.inside.store(inside, std::memory_order_relaxed);
	k.ino.store(ino, std::memory_order_release);
}

bool fill_object(const Config &cfg, int fd, Object &obj)
{
	obj.fd = fd;
	obj.fid = cfg.fid_of(obj.st.st_dev, obj.st.st_ino);
	return true;
}

} // namespace

bool object_of(const Config &cfg, int fd, Object &obj)
{
	if (::syscall(SYS_fstat, fd, &obj.st) < 0 || obj.st.st_dev != cfg.dev)
		return false;
	bool inside;
	if (known_place(cfg, fd, obj.st, inside))
		return inside && fill_object(cfg, fd, obj);
	uint32_t moves = page_get(cfg.page, &ControlPage::entries_moved);
	std::string path;
	if (sys::fd_path(fd, path, &obj.deleted) < 0)
		return false;
	inside = cfg.relative(path, obj.rel);
	remember_place(cfg, fd, obj.st.st_ino, moves, inside);
	return inside && fill_object(cfg, fd, obj);
}

bool object_named(const Config &cfg, int fd, Object &obj)
{
	std::string path;
	if (sys::fd_path(fd, path, &obj.deleted) < 0 ||
	    !cfg.relative(path, obj.rel))
		return false;
	if (::syscall(SYS_fstat, fd, &obj.st) < 0 || obj.st.st_dev != cfg.dev)
		return false;
	return fill_object(cfg, fd, obj);
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
