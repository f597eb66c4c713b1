/* The agent configuration library as the framework uses it: a C program
 * that reads the record before it is filled, fills it as the agent does
 * and reads every item back through its getter. Exits 0 when every check
 * holds; each failed check is printed. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <mesk/mesk_agent.h>

/* The framework is built separately against these numbers. */
_Static_assert(sizeof(struct mesk_cfg) == 1144, "record size");
_Static_assert(offsetof(struct mesk_cfg, mc_node_name) == 28, "node name");
_Static_assert(offsetof(struct mesk_cfg, mc_mode) == 1052, "mode");
_Static_assert(offsetof(struct mesk_cfg, mc_tmp_dir) == 1128, "tmp dir");

static int failures;

#define CHECK(cond)                                                            \
	do {                                                                   \
		if (!(cond)) {                                                 \
			fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, \
			        __LINE__, #cond);                              \
			failures++;                                            \
		}                                                              \
	} while (0)

typedef char *(*text_getter)(void);

static const struct {
	const char *name;
	text_getter get;
	size_t offset;
} texts[] = {
        {"cfg_file_path", get_mesk_cfg_file_path,
         offsetof(struct mesk_cfg, mc_cfg_file_path)},
        {"mesk_path", get_mesk_path, offsetof(struct mesk_cfg, mc_mesk_path)},
        {"py_path", get_py_path, offsetof(struct mesk_cfg, mc_py_path)},
        {"master_name", get_master_name,
         offsetof(struct mesk_cfg, mc_master_name)},
        {"suite_name", get_suite_name,
         offsetof(struct mesk_cfg, mc_suite_name)},
        {"script_name", get_script_name,
         offsetof(struct mesk_cfg, mc_script_name)},
        {"matching_pattern", get_matching_pattern,
         offsetof(struct mesk_cfg, mc_matching_pattern)},
        {"results_file_path", get_mesk_results_file_path,
         offsetof(struct mesk_cfg, mc_results_file_path)},
        {"tmp_dir", get_mesk_tmp_dir, offsetof(struct mesk_cfg, mc_tmp_dir)},
};
#define NTEXTS (sizeof(texts) / sizeof(texts[0]))

/* The exported object is as large as the record the framework fills. */
static void exported_size(void)
{
	Dl_info info;
	const ElfW(Sym) *sym = NULL;
	CHECK(dladdr1(&g_mesk_cfg, &info, (void **)&sym, RTLD_DL_SYMENT) != 0);
	CHECK(sym != NULL && sym->st_size == 1144);
	CHECK(info.dli_sname != NULL &&
	      strcmp(info.dli_sname, "g_mesk_cfg") == 0);
}

static void before_filling(void)
{
	CHECK(get_mesk_type() == 0);
	CHECK(get_master_listen_port() == 0);
	CHECK(get_master_port() == 0);
	CHECK(strcmp(get_master_address(), "0.0.0.0") == 0);
	CHECK(get_agent_telnet_port() == 0);
	CHECK(get_mesk_mode() == 0);
	CHECK(get_node_name() == g_mesk_cfg.mc_node_name);
	CHECK(get_node_name()[0] == '\0');
	for (size_t i = 0; i < NTEXTS; i++)
		if (texts[i].get() != NULL) {
			fprintf(stderr, "%s is not NULL before filling\n",
			        texts[i].name);
			failures++;
		}
}

/* As the agent fills it: every item set, through the record itself. */
static char storage[NTEXTS][32];

static void fill(void)
{
	g_mesk_cfg.mc_type = 3;
	g_mesk_cfg.mc_master_listen_port = 7000;
	g_mesk_cfg.mc_master.sin_family = AF_INET;
	g_mesk_cfg.mc_master.sin_port = htons(8494);
	g_mesk_cfg.mc_master.sin_addr.s_addr = inet_addr("10.0.0.1");
	g_mesk_cfg.mc_agent_telnet_port = 2323;
	snprintf(g_mesk_cfg.mc_node_name, sizeof(g_mesk_cfg.mc_node_name),
	         "client-07");
	g_mesk_cfg.mc_mode = -2;
	g_mesk_cfg.mc_reserved1 = (void *)&failures;
	g_mesk_cfg.mc_reserved2 = (void *)&failures;
	for (size_t i = 0; i < NTEXTS; i++) {
		snprintf(storage[i], sizeof(storage[i]), "%s", texts[i].name);
		memcpy((char *)&g_mesk_cfg + texts[i].offset,
		       &(char *){storage[i]}, sizeof(char *));
	}
}

static void after_filling(void)
{
	CHECK(get_mesk_type() == 3);
	CHECK(get_master_listen_port() == 7000);
	/* The port comes back in the byte order it was stored in. */
	CHECK(get_master_port() == htons(8494));
	if (htons(1) != 1)
		CHECK(get_master_port() == 11809);
	CHECK(strcmp(get_master_address(), "10.0.0.1") == 0);
	CHECK(get_agent_telnet_port() == 2323);
	CHECK(get_mesk_mode() == -2);
	CHECK(strcmp(get_node_name(), "client-07") == 0);
	for (size_t i = 0; i < NTEXTS; i++)
		if (texts[i].get() != storage[i]) {
			fprintf(stderr, "%s does not return its item\n",
			        texts[i].name);
			failures++;
		}
	/* Read at the time of the call, never a copy. */
	g_mesk_cfg.mc_master.sin_addr.s_addr = inet_addr("192.168.1.200");
	CHECK(strcmp(get_master_address(), "192.168.1.200") == 0);
	g_mesk_cfg.mc_node_name[0] = 'C';
	CHECK(strcmp(get_node_name(), "Client-07") == 0);
}

int main(void)
{
	exported_size();
	before_filling();
	fill();
	after_filling();
	if (failures) {
		fprintf(stderr, "%d check(s) failed\n", failures);
		return 1;
	}
	printf("libmeskagent: every getter reads its item\n");
	return 0;
}
