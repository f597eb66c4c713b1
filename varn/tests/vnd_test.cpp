// Network driver tunables: shown as nodes, extracted from users' trees.
#include "yaml_helpers.h"

#include <varn/varnconfig.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using varntest::dump;

namespace
{

struct Tree {
	cYAML *t;
	explicit Tree(cYAML *tree) : t(tree)
	{
	}
	~Tree()
	{
		cYAML_free_tree(t);
	}
};

TEST(VndShow, CommonTunablesInOrder)
{
	Tree root(cYAML_create_object(nullptr, nullptr));
	varn_ioctl_config_vnd_cmn_tunables cmn{1, 180, -8, 0, 256};
	EXPECT_EQ(zorvel_net_show_tunables(root.t, &cmn), 0);
	EXPECT_EQ(dump(root.t), "peer_timeout: 180\npeer_credits: -8\n"
	                        "peer_buffer_credits: 0\ncredits: 256\n");
}

TEST(VndShow, SocketTunablesAreOneNode)
{
	Tree root(cYAML_create_object(nullptr, nullptr));
	varn_vnd_tunables vnd{};
	vnd.vnd_tun_u.vnd_sock.vnd_conns_per_peer = 4;
	EXPECT_EQ(zorvel_ni_show_tunables(root.t, SOCKVND, &vnd), 0);
	EXPECT_EQ(dump(root.t), "conns_per_peer: 4\n");
}

TEST(VndShow, O2ibTunablesAreEightNodesNtxFirst)
{
	Tree root(cYAML_create_object(nullptr, nullptr));
	varn_vnd_tunables vnd{};
	auto &o = vnd.vnd_tun_u.vnd_o2ib;
	o.vnd_peercredits_hiw = 4294967295u;
	o.vnd_map_on_demand = 1;
	o.vnd_concurrent_sends = 2;
	o.vnd_fmr_pool_size = 3;
	o.vnd_fmr_flush_trigger = 4;
	o.vnd_fmr_cache = 5;
	o.vnd_conns_per_peer = 6;
	o.vnd_ntx = 65535;
	EXPECT_EQ(zorvel_ni_show_tunables(root.t, O2IBVND, &vnd), 0);
	EXPECT_EQ(dump(root.t),
	          "peercredits_hiw: 4294967295\n"
	          "map_on_demand: 1\nconcurrent_sends: 2\n"
	          "fmr_pool_size: 3\nfmr_flush_trigger: 4\n"
	          "fmr_cache: 5\nntx: 65535\nconns_per_peer: 6\n");
}

TEST(VndShow, OtherTypesAreNoMatch)
{
	Tree root(cYAML_create_object(nullptr, nullptr));
	varn_vnd_tunables vnd{};
	EXPECT_EQ(zorvel_ni_show_tunables(root.t, LOVND, &vnd),
	          VARN_CONFIG_NO_MATCH);
	EXPECT_EQ(zorvel_ni_show_tunables(root.t, GNIVND, &vnd), -6);
	EXPECT_EQ(root.t->cy_child, nullptr);
}

cYAML *build(const char *text)
{
	return cYAML_build_tree(nullptr, text, strlen(text), nullptr);
}

TEST(VndExtract, O2ibDefaultsForMissingKeys)
{
	Tree t(build("vnd tunables:\n  ntx: 512\n"));
	varn_vnd_tunables tun;
	memset(&tun, 0xee, sizeof(tun));
	zorvel_yaml_extract_vnd_tunables(t.t, O2IBVND, &tun);
	const auto &o = tun.vnd_tun_u.vnd_o2ib;
	EXPECT_EQ(o.vnd_ntx, 512);
	EXPECT_EQ(o.vnd_conns_per_peer, 1);
	EXPECT_EQ(o.vnd_map_on_demand, 0u);
	EXPECT_EQ(o.vnd_concurrent_sends, 0u);
	EXPECT_EQ(o.vnd_fmr_pool_size, 0u);
	EXPECT_EQ(o.vnd_fmr_flush_trigger, 0u);
	EXPECT_EQ(o.vnd_fmr_cache, 0u);
	EXPECT_EQ(o.vnd_peercredits_hiw, 0xeeeeeeeeu); // not changed
	EXPECT_EQ(o.vnd_version, 0xeeeeeeeeu);
}

TEST(VndExtract, AdministratorsFile)
{
	// written the way one configures a network by hand
	Tree t(build("# o2ib on the compute fabric\n"
	             "vnd tunables:\n"
	             "    peercredits_hiw: 64\n"
	             "    map_on_demand: 32\n"
	             "    concurrent_sends: 256\n"
	             "    fmr_pool_size: 2048\n"
	             "    fmr_flush_trigger: 512\n"
	             "    fmr_cache: 1\n"
	             "    ntx: 0x200\n"
	             "    conns_per_peer: 70000   # cut to 16 bits\n"
	             "tunables:\n"
	             "    peer_timeout: 180\n"));
	varn_vnd_tunables tun{};
	zorvel_yaml_extract_vnd_tunables(t.t, O2IBVND, &tun);
	const auto &o = tun.vnd_tun_u.vnd_o2ib;
	EXPECT_EQ(o.vnd_map_on_demand, 32u);
	EXPECT_EQ(o.vnd_concurrent_sends, 256u);
	EXPECT_EQ(o.vnd_fmr_pool_size, 2048u);
	EXPECT_EQ(o.vnd_fmr_flush_trigger, 512u);
	EXPECT_EQ(o.vnd_fmr_cache, 1u);
	EXPECT_EQ(o.vnd_ntx, 512);
	EXPECT_EQ(o.vnd_conns_per_peer, 70000 & 0xffff);
	EXPECT_EQ(o.vnd_peercredits_hiw, 0u);
}

TEST(VndExtract, SocketTunables)
{
	varn_vnd_tunables tun{};
	tun.vnd_tun_u.vnd_sock.vnd_conns_per_peer = 9;
	Tree none(build("net: tcp\n"));
	zorvel_yaml_extract_vnd_tunables(none.t, SOCKVND, &tun);
	EXPECT_EQ(tun.vnd_tun_u.vnd_sock.vnd_conns_per_peer, 9);
	Tree empty(build("vnd tunables: {}\n"));
	zorvel_yaml_extract_vnd_tunables(empty.t, SOCKVND, &tun);
	EXPECT_EQ(tun.vnd_tun_u.vnd_sock.vnd_conns_per_peer, 1);
	Tree set(build("vnd tunables:\n  conns_per_peer: 4\n"));
	zorvel_yaml_extract_vnd_tunables(set.t, SOCKVND, &tun);
	EXPECT_EQ(tun.vnd_tun_u.vnd_sock.vnd_conns_per_peer, 4);
	// other types change nothing
	zorvel_yaml_extract_vnd_tunables(empty.t, LOVND, &tun);
	EXPECT_EQ(tun.vnd_tun_u.vnd_sock.vnd_conns_per_peer, 4);
}

} // namespace
