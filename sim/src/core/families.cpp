// The families of requests the simulated kernel answers: a new family is a
// folder under sim/src and one line here.
#include "request.h"

#include "chlg/chlg.h"
#include "fid/fid.h"
#include "heat/heat.h"
#include "ladvise/ladvise.h"
#include "layout/layout.h"
#include "lease/lease.h"
#include "mirror/mirror.h"
#include "param/param.h"
#include "pcc/pcc.h"
#include "remove/remove.h"
#include "swap/grouplock.h"
#include "swap/swap.h"
#include "varn/varn_device.h"
#include "vm/vm.h"

namespace zvsim
{

namespace
{
// In this order their hooks are asked: the cache parameter lies in the
// parameter trees, so pcc comes before param.
const Family *const all[] = {
        &fid::family,
        &layout::family,
        &remove::family,
        &chlg::family,
        &pcc::family,
        &param::family,
        &varn::family,
        &mirror::family,
        &heat::family,
        &ladvise::family,
        &vm::family,
        &swap::family,
        &swap::grouplock_family,
        &lease::family,
};
static_assert(std::size(all) <= FAMILIES_MAX);
} // namespace

std::span<const Family *const> families()
{
	return all;
}

int families_init(const Config &cfg)
{
	for (const Family *f : all) {
		if (!f->init)
			continue;
		int rc = f->init(cfg);
		if (rc < 0)
			return rc;
	}
	return 0;
}

} // namespace zvsim
