/* Whether a target, or a member of a pool, belongs to a file system: a
 * search of the parameter files that list them. */
#include "zorvelapi_internal.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace
{

constexpr size_t text_buf = 4096;

/* The file a target search reads: the pool's member list or the
 * target_obd list; 0 or a negative errno value (also in errno). */
int search_file(const char *fsname, const char *poolname, bool is_mdt,
                const char *tgtname, std::string *file)
{
	zv::unique_glob paths;
	int rc;
	if (poolname != nullptr && poolname[0] != '\0') {
		rc = get_zorvel_param_path("lov", fsname, FILTER_BY_FS_NAME,
		                           "pools", paths.out());
		if (rc == 0) {
			paths.filled();
			char buf[text_buf - 1];
			snprintf(buf, sizeof(buf), "%s/%s", paths.first(),
			         poolname);
			*file = buf;
		}
	} else {
		if (tgtname == nullptr || tgtname[0] == '\0') {
			errno = EINVAL;
			return -EINVAL;
		}
		rc = get_zorvel_param_path(is_mdt ? "lmv" : "lov", fsname,
		                           FILTER_BY_FS_NAME, "target_obd",
		                           paths.out());
		if (rc == 0) {
			paths.filled();
			*file = std::string(paths.first())
			                .substr(0, text_buf - 1);
		}
	}
	if (rc != 0)
		errno = -rc;
	return rc;
}

/* Pool lines name a member; target lines are "<index>: <name> <state>". */
bool line_matches(const char *line, const char *tgtname, bool pool_mode)
{
	if (pool_mode) {
		if (tgtname == nullptr)
			return true;
		return strncmp(line, tgtname, strlen(tgtname)) == 0;
	}
	const char *blank = strchr(line, ' ');
	if (blank == nullptr)
		return false;
	return strncmp(blank + 1, tgtname, strlen(tgtname)) == 0;
}
} // namespace

ZV_EXPORT int zvapi_search_tgt(const char *fsname, const char *poolname,
                               const char *tgtname, bool is_mdt)
{
	if (fsname == nullptr || fsname[0] == '\0') {
		errno = EINVAL;
		return -EINVAL;
	}
	if (tgtname != nullptr && tgtname[0] == '\0')
		tgtname = nullptr;
	bool pool_mode = poolname != nullptr && poolname[0] != '\0';

	return zv::c_boundary(ENOMEM, [&] {
		std::string file;
		int rc = search_file(fsname, poolname, is_mdt, tgtname, &file);
		if (rc != 0)
			return rc;
		zv::unique_file f(
		        zv::high_stream(fopen(file.c_str(), "re"), "re"));
		if (!f)
			return -errno;
		char line[text_buf];
		while (fgets(line, sizeof(line), f.get()) != nullptr)
			if (line_matches(line, tgtname, pool_mode))
				return 1;
		return 0;
	});
}

ZV_EXPORT int zvapi_search_mdt(const char *fsname, const char *poolname,
                               const char *mdtname)
{
	return zvapi_search_tgt(fsname, poolname, mdtname, true);
}

ZV_EXPORT int zvapi_search_ost(const char *fsname, const char *poolname,
                               const char *ostname)
{
	return zvapi_search_tgt(fsname, poolname, ostname, false);
}
