// Namespace changes into the link index's journal, while the index is kept
// (some process has looked up a FID): each change of a directory entry
// becomes one record naming the entry by its parent's inode and its name,
// so a renamed directory leaves every entry below it as it was. An
// exclusive creation that looked nothing up marks its directory instead
// (link_store.h).
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

bool link_index_mark(const Config &cfg, const Fid &dir)
{
	uint64_t ino;
	return link_index_on(cfg) && inode_of(cfg, dir, ino) &&
	       ino != cfg.dotz_ino && ino != cfg.fiddir_ino && // never walked
	       links::mark_made(cfg.page, ino);
}

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
		c.set = !ev.indexed && made(cfg, ev, c);
		break;
	case CL_RMDIR:
		if (inode_of(cfg, ev.tfid, dir))
			links::forget_dir(cfg.page, dir);
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
