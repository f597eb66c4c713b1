/* Starts two change-log readers without the job identifier and extra
 * flags, in a fresh process, so a test sees each warning written once. */
#include <zorvel/zorvelapi.h>

int main(int argc, char **argv)
{
	if (argc != 2)
		return 1;
	for (int i = 0; i < 2; i++) {
		void *priv;
		if (zvapi_changelog_start(&priv, changelog_send_flag(0),
		                          argv[1], 0) != 0)
			return 2;
		zvapi_changelog_set_xflags(priv, CHANGELOG_EXTRA_FLAG_NID);
		zvapi_changelog_fini(&priv);
	}
	return 0;
}
