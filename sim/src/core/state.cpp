#include "state.h"

#include "control_page.h"
#include "link_store.h"
#include "request.h"
#include "sysio.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sstream>
#include <string_view>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <zvsim/zvsim.h>

namespace zvsim
{

namespace detail
{
// What current_peek() reads without the lock: the config and the
// ZVSIM_STATE it was loaded for. Never freed, as the configs are not.
struct Published {
	std::string env;
	const Config *config;
};
std::atomic<const Published *> published;
__thread EnvSeen env_seen __attribute__((tls_model("initial-exec")));
} // namespace detail

namespace
{

constexpr const char *CONFIG_HEADER = "zvsim-config 1";
constexpr const char *DEFAULT_FSNAME = "demo";
constexpr const char *DEFAULT_NID = "192.168.0.10@tcp";
constexpr int MAX_MDTS = 64;
constexpr int MAX_OSTS = 2000;

struct Cache {
	std::string env; // ZVSIM_STATE the config was loaded for
	ConfigPtr config;
	// Configs replaced since: the texts zvsim_mount_path() and friends
	// handed out stay valid for the life of the process.
	std::vector<ConfigPtr> retired;
	// Every Published, as long: a peek may still read an earlier one.
	std::vector<std::unique_ptr<detail::Published>> shown;
	void set(std::string e, ConfigPtr c)
	{
		if (config)
			retired.push_back(std::move(config));
		env = std::move(e);
		config = std::move(c);
		shown.push_back(std::make_unique<detail::Published>(
		        detail::Published{env, config.get()}));
		detail::published.store(shown.back().get(),
		                        std::memory_order_release);
	}
};

Cache &cache()
{
	// Never destroyed: interposed calls still come after static
	// destructors (other libraries' exit handlers, the sanitizer's).
	static Cache &c = *new Cache;
	return c;
}

bool valid_fsname(const std::string &s)
{
	if (s.empty() || s.size() > 8)
		return false;
	for (char c : s)
		if (!isalnum(static_cast<unsigned char>(c)) && c != '_' &&
		    c != '-')
			return false;
	return true;
}

int load(const std::string &state, ConfigPtr &out)
{
	std::string text;
	int rc = sys::read_file(state + "/config", text);
	if (rc < 0)
		return rc;
	auto cfg = std::make_shared<Config>();
	cfg->state = state;
	std::istringstream in(text);
	std::string line;
	if (!std::getline(in, line) || line != CONFIG_HEADER)
		return -EINVAL;
	while (std::getline(in, line)) {
		auto sp = line.find(' ');
		if (sp == std::string::npos)
			continue;
		std::string key = line.substr(0, sp), val = line.substr(sp + 1);
		if (key == "fsname")
			cfg->fsname = val;
		else if (key == "instance")
			cfg->instance = val;
		else if (key == "nid")
			cfg->nid = val;
		else if (key == "mount")
			cfg->mount = val;
		else if (key == "mdts")
			cfg->mdts = atoi(val.c_str());
		else if (key == "osts")
			cfg->osts = atoi(val.c_str());
	}
	if (!valid_fsname(cfg->fsname) || cfg->mount.empty() || cfg->mdts < 1 ||
	    cfg->mdts > MAX_MDTS || cfg->osts < 1 || cfg->osts > MAX_OSTS ||
	    cfg->instance.size() != 16)
		return -EINVAL;
	struct stat st;
	if (::stat(cfg->mount.c_str(), &st) < 0)
		return -errno;
	cfg->dev = st.st_dev;
	cfg->root_ino = st.st_ino;
	if (::stat((cfg->mount + "/.zorvel").c_str(), &st) == 0)
		cfg->dotz_ino = st.st_ino;
	if (::stat((cfg->mount + "/.zorvel/fid").c_str(), &st) == 0)
		cfg->fiddir_ino = st.st_ino;
	cfg->mtab = state + "/etc/mtab";
	std::string more;
	if (sys::read_file(state + "/mounts", more) == 0) {
		std::istringstream lines(more);
		for (std::string m; std::getline(lines, m);)
			if (!m.empty())
				cfg->more_mounts.push_back(m);
	}
	cfg->page = control_page_map(state);
	out = std::move(cfg);
	return 0;
}

std::string make_instance()
{
	uint64_t r = 0;
	if (getrandom(&r, sizeof r, 0) != sizeof r)
		r = static_cast<uint64_t>(getpid()) * 0x9E3779B97F4A7C15ULL ^
		    static_cast<uint64_t>(time(nullptr));
	// Shaped like a kernel direct-map address: ffff8xxxxxxxx000.
	uint64_t v = 0xFFFF800000000000ULL | (r & 0x00007FFFFFFFF000ULL);
	char buf[17];
	snprintf(buf, sizeof buf, "%016llx",
	         static_cast<unsigned long long>(v));
	return buf;
}

int real_path(const char *path, std::string &out)
{
	char buf[PATH_MAX];
	if (!::realpath(path, buf))
		return -errno;
	out = buf;
	return 0;
}

// Write the config of a new simulation. Racing creators agree: the first
// link() wins and the others attach to its config.
int create(const std::string &state, const char *fsname, int mdts, int osts)
{
	std::string name = fsname ? fsname : DEFAULT_FSNAME;
	if (mdts == 0)
		mdts = 1;
	if (osts == 0)
		osts = 2;
	if (!valid_fsname(name) || mdts < 1 || mdts > MAX_MDTS || osts < 1 ||
	    osts > MAX_OSTS)
		return -EINVAL;
	std::string mount = state + "/mnt/" + name;
	int rc;
	if ((rc = sys::mkdir_p(mount + "/.zorvel/fid", 0755)) < 0 ||
	    (rc = sys::mkdir_p(state + "/layouts", 0755)) < 0)
		return rc;
	std::string mnt_real;
	if ((rc = real_path(mount.c_str(), mnt_real)) < 0)
		return rc;
	std::ostringstream out;
	out << CONFIG_HEADER << "\nfsname " << name << "\ninstance "
	    << make_instance() << "\nmdts " << mdts << "\nosts " << osts
	    << "\nnid " << DEFAULT_NID << "\nmount " << mnt_real << "\n";
	std::string tmp = state + "/config.new." + std::to_string(getpid());
	int fd = sys::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0)
		return fd;
	std::string text = out.str();
	rc = sys::write_all(fd, text.data(), text.size());
	::close(fd);
	if (rc == 0 && ::link(tmp.c_str(), (state + "/config").c_str()) < 0 &&
	    errno != EEXIST)
		rc = -errno;
	::unlink(tmp.c_str());
	return rc;
}

int export_env(const Config &cfg)
{
	if (::setenv(ZVSIM_STATE_ENV, cfg.state.c_str(), 1) < 0 ||
	    ::setenv(ZVSIM_MOUNT_ENV, cfg.mount.c_str(), 1) < 0)
		return -errno;
	return 0;
}

} // namespace

namespace
{
bool under(const std::string &path, const std::string &dir, std::string &rel)
{
	if (path.compare(0, dir.size(), dir) != 0)
		return false;
	if (path.size() == dir.size()) {
		rel.clear();
		return true;
	}
	if (path[dir.size()] != '/')
		return false;
	rel = path.substr(dir.size() + 1);
	return true;
}
} // namespace

bool Config::relative(const std::string &path, std::string &rel) const
{
	if (under(path, mount, rel))
		return true;
	for (const std::string &m : more_mounts)
		if (under(path, m, rel))
			return true;
	return false;
}

Fid Config::fid_of(dev_t d, ino_t ino) const
{
	if (d == dev && ino == root_ino)
		return ROOT_FID;
	if (d == dev && dotz_ino && ino == dotz_ino)
		return DOT_ZORVEL_FID;
	if (d == dev && fiddir_ino && ino == fiddir_ino)
		return FID_DIR_FID;
	return fid_from_ino(ino, mdts);
}

int Config::mdt_of(const Fid &fid) const
{
	FidTarget t = fid_decode(fid, mdts);
	return t.kind == FidKind::Normal ? t.mdt : 0;
}

const char *detail::state_env_scan() noexcept
{
	static constexpr std::string_view name = ZVSIM_STATE_ENV "=";
	EnvSeen &seen = env_seen;
	char **list = environ;
	if (list && list == seen.list && !seen.found && !list[seen.slot] &&
	    (seen.slot == 0 || list[seen.slot - 1] == seen.entry))
		return nullptr;
	seen = {};
	seen.list = list;
	if (!list)
		return nullptr;
	size_t i = 0;
	for (; list[i]; ++i)
		if (std::string_view(list[i]).starts_with(name)) {
			seen.slot = i;
			seen.entry = list[i];
			seen.found = true;
			return list[i] + name.size();
		}
	seen.slot = i;
	seen.entry = i ? list[i - 1] : nullptr;
	return nullptr;
}

std::mutex &state_mutex()
{
	static std::mutex mu;
	return mu;
}

ConfigPtr current_locked()
{
	const char *env = state_env();
	Cache &c = cache();
	if (!env || !*env) {
		c.set({}, nullptr);
		return nullptr;
	}
	if (c.config && c.env == env)
		return c.config;
	// What loading calls goes to libc as it is: a simulated call would
	// ask for the config again, under the lock held here.
	sys::Reentry guard;
	ConfigPtr cfg;
	if (load(env, cfg) < 0)
		return nullptr;
	c.set(env, cfg);
	return cfg;
}

ConfigPtr current()
{
	std::lock_guard<std::mutex> lock(state_mutex());
	return current_locked();
}

const Config *detail::current_peek_anew()
{
	const char *env = state_env();
	if (!env || !*env)
		return nullptr;
	const Published *p = published.load(std::memory_order_acquire);
	// The text is compared once per entry and publication: state_env()
	// hands out the same entry while the environment keeps it, and a new
	// entry clears what was matched.
	if (p && p->config && p->env == env) {
		env_seen.published = p;
		env_seen.config = p->config;
		return p->config;
	}
	return current().get(); // kept: retired, never freed
}

int attach(const char *state_dir)
{
	if (!state_dir || !*state_dir)
		return -EINVAL;
	std::string state;
	int rc = real_path(state_dir, state);
	if (rc < 0)
		return rc;
	ConfigPtr cfg;
	if ((rc = load(state, cfg)) < 0)
		return rc;
	std::lock_guard<std::mutex> lock(state_mutex());
	if ((rc = export_env(*cfg)) < 0)
		return rc;
	cache().set(cfg->state, cfg);
	return 0;
}

int setup(const char *state_dir, const char *fsname, int mdts, int osts)
{
	if (!state_dir || !*state_dir)
		return -EINVAL;
	int rc = sys::mkdir_p(state_dir, 0700);
	if (rc < 0)
		return rc;
	std::string state;
	if ((rc = real_path(state_dir, state)) < 0)
		return rc;
	if (::access((state + "/config").c_str(), F_OK) < 0 &&
	    (rc = create(state, fsname, mdts, osts)) < 0)
		return rc;
	if ((rc = attach(state.c_str())) < 0)
		return rc;
	ConfigPtr cfg = current();
	if (!cfg)
		return -ENOENT;
	// The file system's own directories, lost by a state directory whose
	// mount was emptied behind the simulator's back, come back (with new
	// identities, which processes attaching from now on see).
	if (!cfg->dotz_ino || !cfg->fiddir_ino) {
		if ((rc = sys::mkdir_p(cfg->mount + "/.zorvel/fid", 0755)) < 0)
			return rc;
		{
			std::lock_guard<std::mutex> lock(state_mutex());
			cache().set({}, nullptr);
		}
		if ((rc = attach(state.c_str())) < 0)
			return rc;
		if (!(cfg = current()))
			return -ENOENT;
	}
	return families_init(*cfg);
}

void forget()
{
	links::close_journal();
	for (const Family *f : families())
		if (f->forget)
			f->forget();
	std::lock_guard<std::mutex> lock(state_mutex());
	::unsetenv(ZVSIM_STATE_ENV);
	::unsetenv(ZVSIM_MOUNT_ENV);
	cache().set({}, nullptr);
}

void refresh()
{
	std::lock_guard<std::mutex> lock(state_mutex());
	cache().set({}, nullptr);
}

StateLock::StateLock(const Config &cfg)
{
	fd_ = sys::open(cfg.path("lock").c_str(), O_RDWR | O_CREAT, 0644);
	if (fd_ >= 0)
		while (::flock(fd_, LOCK_EX) < 0 && errno == EINTR) {
		}
}

StateLock::~StateLock()
{
	if (fd_ >= 0)
		::close(fd_);
}

} // namespace zvsim
