/* A framework agent built against the installed agent library: fills the
 * record and prints what the getters read back. */
#include <arpa/inet.h>
#include <stdio.h>

#include <mesk/mesk_agent.h>

int main(void)
{
	g_mesk_cfg.mc_master.sin_family = AF_INET;
	g_mesk_cfg.mc_master.sin_port = htons(8494);
	g_mesk_cfg.mc_master.sin_addr.s_addr = htonl(0x0a000001);
	printf("%s:%d\n", get_master_address(), ntohs(get_master_port()));
	return 0;
}
