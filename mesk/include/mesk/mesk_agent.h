/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Configuration of a test framework's agent, read through getters.
 *
 * The framework's agent or master program that loads this library fills
 * g_mesk_cfg at start-up; the getters only read it, at the time of the
 * call, and never allocate, copy or free. The texts that the pointer items
 * point to belong to the code that fills the record. Before it is filled
 * the record is all zero: integer getters return 0, pointer getters NULL.
 * No getter takes a lock.
 */
#ifndef MESK_MESK_AGENT_H
#define MESK_MESK_AGENT_H

#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MESK_NODE_NAME_LEN 1024

/* The record: 1144 bytes on x86-64, laid out as the code that fills it
 * was built against. */
struct mesk_cfg {
	int mc_type;                  /* role of this node */
	int mc_master_listen_port;    /* port the master listens on */
	struct sockaddr_in mc_master; /* address and port of the master */
	int mc_agent_telnet_port;     /* port of the agent's console */
	char mc_node_name[MESK_NODE_NAME_LEN]; /* NUL-terminated */
	int mc_mode;                           /* operating mode */
	char *mc_cfg_file_path;     /* the framework's configuration file */
	char *mc_mesk_path;         /* where the framework is installed */
	char *mc_py_path;           /* search path of its scripts */
	char *mc_master_name;       /* name of the master node */
	char *mc_suite_name;        /* test suite to run */
	void *mc_reserved1;         /* the framework's; no getter */
	char *mc_script_name;       /* test script to run */
	char *mc_matching_pattern;  /* pattern selecting tests */
	char *mc_results_file_path; /* where results go */
	char *mc_tmp_dir;           /* temporary directory */
	void *mc_reserved2;         /* the framework's; no getter */
};

/* The process's record, zero until the framework fills it. */
extern struct mesk_cfg g_mesk_cfg;

/* Role of this node (mc_type). */
int get_mesk_type(void);
/* Port the master listens on (mc_master_listen_port). */
int get_master_listen_port(void);
/* Port of the master's address, widened exactly as stored: a port stored
 * in network byte order comes back in network byte order. */
int get_master_port(void);
/* Master's address as dotted-decimal text, in inet_ntoa()'s static
 * buffer: overwritten by the next conversion in the process; never freed. */
char *get_master_address(void);
/* Port of the agent's console (mc_agent_telnet_port). */
int get_agent_telnet_port(void);
/* Address of the node name array inside the record (never NULL). */
char *get_node_name(void);
/* Operating mode (mc_mode). */
int get_mesk_mode(void);

/* The pointer items as stored (NULL until filled); owned by the filler. */
char *get_mesk_cfg_file_path(void);
char *get_mesk_path(void);
char *get_py_path(void);
char *get_master_name(void);
char *get_suite_name(void);
char *get_script_name(void);
char *get_matching_pattern(void);
char *get_mesk_results_file_path(void);
char *get_mesk_tmp_dir(void);

#ifdef __cplusplus
}
#endif

#endif /* MESK_MESK_AGENT_H */
