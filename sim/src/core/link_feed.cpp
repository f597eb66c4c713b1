// Namespace changes into the link index, while it is kept (some process
// has looked up a FID). A new entry marks its directory on the control
// page: no system call, and no need to know what it names. Every other
// change becomes one journal record naming the entry by its parent's inode
// and its name, so a renamed directory leaves every entry below it as it
// was.
#include "control_page.h"
#include "link_index.h"
#include "link_store.h"
#include "namespace_change.h"

#include <linux/zorvel/zorvel_changelog.h>

namespace zvsim
{

namespace
{

bool inode_of(const Config &cfg, const Fid &fid, uint64_t &ino)
{
	FidTarget t = fid_decode(fid, cfg.mdts);
	switch (t.kind) {
	case FidKind::Root:
		ino = cfg.root_ino;
		break;
	case FidKind::DotZorvel:
		ino = cfg.dotz_ino;
		break;
	case FidKind::FidDir:
		ino = cfg.fiddir_ino;
		break;
	case FidKind::Normal:
		ino = t.ino;
		break;
	default:
		return false;
	}
	return ino != 0;
}

bool key_of(const Config &cfg, const Fid &parent, const std::string &name,
            links::Key &k)
{
	k.name = name;
	return links::valid_name(name) && inode_of(cfg, parent, k.parent);
}

bool made(const Config &cfg, const NsEvent &ev, links::Change &c)
{
	return key_of(cfg, ev.pfid, ev.name, c.made) &&
	       inode_of(cfg, ev.tfid, c.ino);
}

} // namespace

bool link_index_on(const Config &cfg)
{
	return cfg.page && page_get(cfg.page, &ControlPage::links_gen) != 0;
}

void link_index_note(const Config &cfg, const NsEvent &ev)
{
	uint32_t gen = page_get(cfg.page, &ControlPage::links_gen);
	if (!gen || !cfg.page)
		return;
	links::Change c;
	uint64_t dir;
	switch (ev.type) {
	case CL_CREATE:
	case CL_MKDIR:
	case CL_MKNOD:
	case CL_SOFTLINK:
	case CL_HARDLINK:
		if (!inode_of(cfg, ev.pfid, dir))
			links::mark_lost(cfg.page);
		else if (dir != cfg.dotz_ino && dir != cfg.fiddir_ino)
			links::mark_made(cfg.page, dir); // never walked there
		return;
	case CL_RMDIR:
		if (inode_of(cfg, ev.tfid, dir))
			links::unmark(cfg.page, dir);
		[[fallthrough]];
	case CL_UNLINK:
		c.del = key_of(cfg, ev.pfid, ev.name, c.gone);
		break;
	case CL_RENAME:
		c.del = key_of(cfg, ev.spfid, ev.sname, c.gone);
		c.set = made(cfg, ev, c);
		break;
	default:
		break;
	}
	if (c.del || c.set)
		links::append(cfg, gen, c);
}

} // namespace zvsim
