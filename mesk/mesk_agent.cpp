/* Getters over the agent's configuration record. The record's layout is
 * an interface of its own: the code that fills it is built separately, so
 * its size and every offset are fixed here. */
#include <mesk/mesk_agent.h>

#include <arpa/inet.h>
#include <cstddef>

#define MESK_EXPORT __attribute__((visibility("default")))

static_assert(sizeof(struct mesk_cfg) == 1144);
static_assert(offsetof(struct mesk_cfg, mc_type) == 0);
static_assert(offsetof(struct mesk_cfg, mc_master_listen_port) == 4);
static_assert(offsetof(struct mesk_cfg, mc_master) == 8);
static_assert(sizeof(struct sockaddr_in) == 16);
static_assert(offsetof(struct sockaddr_in, sin_port) == 2);
static_assert(offsetof(struct sockaddr_in, sin_addr) == 4);
static_assert(offsetof(struct mesk_cfg, mc_agent_telnet_port) == 24);
static_assert(offsetof(struct mesk_cfg, mc_node_name) == 28);
static_assert(offsetof(struct mesk_cfg, mc_mode) == 1052);
static_assert(offsetof(struct mesk_cfg, mc_cfg_file_path) == 1056);
static_assert(offsetof(struct mesk_cfg, mc_mesk_path) == 1064);
static_assert(offsetof(struct mesk_cfg, mc_py_path) == 1072);
static_assert(offsetof(struct mesk_cfg, mc_master_name) == 1080);
static_assert(offsetof(struct mesk_cfg, mc_suite_name) == 1088);
static_assert(offsetof(struct mesk_cfg, mc_reserved1) == 1096);
static_assert(offsetof(struct mesk_cfg, mc_script_name) == 1104);
static_assert(offsetof(struct mesk_cfg, mc_matching_pattern) == 1112);
static_assert(offsetof(struct mesk_cfg, mc_results_file_path) == 1120);
static_assert(offsetof(struct mesk_cfg, mc_tmp_dir) == 1128);
static_assert(offsetof(struct mesk_cfg, mc_reserved2) == 1136);

extern "C" {

MESK_EXPORT struct mesk_cfg g_mesk_cfg = {};

MESK_EXPORT int get_mesk_type(void)
{
	return g_mesk_cfg.mc_type;
}

MESK_EXPORT int get_master_listen_port(void)
{
	return g_mesk_cfg.mc_master_listen_port;
}

MESK_EXPORT int get_master_port(void)
{
	return g_mesk_cfg.mc_master.sin_port;
}

MESK_EXPORT char *get_master_address(void)
{
	return inet_ntoa(g_mesk_cfg.mc_master.sin_addr);
}

MESK_EXPORT int get_agent_telnet_port(void)
{
	return g_mesk_cfg.mc_agent_telnet_port;
}

MESK_EXPORT char *get_node_name(void)
{
	return g_mesk_cfg.mc_node_name;
}

MESK_EXPORT int get_mesk_mode(void)
{
	return g_mesk_cfg.mc_mode;
}

MESK_EXPORT char *get_mesk_cfg_file_path(void)
{
	return g_mesk_cfg.mc_cfg_file_path;
}

MESK_EXPORT char *get_mesk_path(void)
{
	return g_mesk_cfg.mc_mesk_path;
}

MESK_EXPORT char *get_py_path(void)
{
	return g_mesk_cfg.mc_py_path;
}

MESK_EXPORT char *get_master_name(void)
{
	return g_mesk_cfg.mc_master_name;
}

MESK_EXPORT char *get_suite_name(void)
{
	return g_mesk_cfg.mc_suite_name;
}

MESK_EXPORT char *get_script_name(void)
{
	return g_mesk_cfg.mc_script_name;
}

MESK_EXPORT char *get_matching_pattern(void)
{
	return g_mesk_cfg.mc_matching_pattern;
}

MESK_EXPORT char *get_mesk_results_file_path(void)
{
	return g_mesk_cfg.mc_results_file_path;
}

MESK_EXPORT char *get_mesk_tmp_dir(void)
{
	return g_mesk_cfg.mc_tmp_dir;
}

} // extern "C"
