/* Starts change-log readers without the job identifier and extra flags, in
 * a fresh process, so a test sees each warning written once: twice one
 * after the other, then by THREADS threads at once when that is given. */
#include <zorvel/zorvelapi.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

namespace
{

bool start_two(const char *target)
{
	for (int i = 0; i < 2; i++) {
		void *priv;
		if (zvapi_changelog_start(&priv, changelog_send_flag(0), target,
		                          0) != 0)
			return false;
		zvapi_changelog_set_xflags(priv, CHANGELOG_EXTRA_FLAG_NID);
		zvapi_changelog_fini(&priv);
	}
	return true;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 2 && argc != 3)
		return 1;
	if (argc == 2)
		return start_two(argv[1]) ? 0 : 2;
	std::vector<std::thread> threads;
	std::atomic<bool> failed{false};
	for (int i = 0; i < atoi(argv[2]); i++)
		threads.emplace_back([&] {
			if (!start_two(argv[1]))
				failed = true;
		});
	for (auto &t : threads)
		t.join();
	return failed ? 2 : 0;
}
