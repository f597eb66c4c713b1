/* Mirror subcommands: mirror list, read, write, copy and verify. */
#include "zorvel_cmd.h"
#include "zorvel_output.h"

#include <zorvel/zorvelapi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

constexpr size_t CHUNK = 4u << 20;
/* Mirror ids are probed from 1 until one cannot be selected. */
constexpr unsigned MAX_PROBE = 65535;

struct options {
	bool json = false;
	long long id = -1, src = -1;
	long long offset = -1, length = -1;
	std::vector<uint16_t> dst;
};

bool parse_num(const char *s, long long &out)
{
	uint64_t v;
	if (!parse_u64(s, v) || v > INT64_MAX)
		return false;
	out = static_cast<long long>(v);
	return true;
}

bool parse_ids(const char *s, std::vector<uint16_t> &out)
{
	std::string text = s;
	size_t at = 0;
	while (at <= text.size()) {
		size_t comma = text.find(',', at);
		std::string one = text.substr(at, comma - at);
		long long v;
		if (!parse_num(one.c_str(), v) || v < 1 || v > 65535)
			return false;
		out.push_back(static_cast<uint16_t>(v));
		if (comma == std::string::npos)
			break;
		at = comma + 1;
	}
	return !out.empty();
}

/* Options after "mirror OP FILE"; usage problems come back as a text. */
const char *parse_options(int argc, char **argv, options &o)
{
	static const struct option longopts[] = {
	        {"json", no_argument, nullptr, 'j'},
	        {"id", required_argument, nullptr, 'i'},
	        {"src", required_argument, nullptr, 's'},
	        {"dst", required_argument, nullptr, 'd'},
	        {"offset", required_argument, nullptr, 'o'},
	        {"length", required_argument, nullptr, 'l'},
	        {nullptr, 0, nullptr, 0},
	};
	optind = 1;
	opterr = 0;
	int c;
	while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
		bool ok = true;
		switch (c) {
		case 'j':
			o.json = true;
			break;
		case 'i':
			ok = parse_num(optarg, o.id) && o.id >= 1 &&
			     o.id <= 0xFFFFFFFFLL;
			break;
		case 's':
			ok = parse_num(optarg, o.src) && o.src <= 65535;
			break;
		case 'd':
			ok = parse_ids(optarg, o.dst);
			break;
		case 'o':
			ok = parse_num(optarg, o.offset);
			break;
		case 'l':
			ok = parse_num(optarg, o.length);
			break;
		default:
			return "unknown option or missing value";
		}
		if (!ok)
			return "bad option value";
	}
	return nullptr;
}

/* Closes a descriptor when it goes. */
struct fd_owner {
	int fd;
	~fd_owner()
	{
		if (fd >= 0)
			close(fd);
	}
};

/* The 4 MiB page-aligned buffer of a transfer. */
struct buffer {
	std::unique_ptr<char, decltype(&free)> mem{nullptr, free};
	buffer()
	{
		void *p = nullptr;
		if (posix_memalign(&p, sysconf(_SC_PAGESIZE), CHUNK) == 0)
			mem.reset(static_cast<char *>(p));
	}
};

/* The size of mirror id: 0 or a negative errno. */
int mirror_size(int fd, unsigned id, off_t &size)
{
	int rc = zvapi_mirror_set(fd, id);
	if (rc != 0)
		return rc;
	struct stat st;
	rc = fstat(fd, &st) == 0 ? 0 : -errno;
	size = st.st_size;
	zvapi_mirror_clear(fd);
	return rc;
}

/* The mirrors of the file: ids from 1 while they can be selected. */
std::vector<unsigned> mirror_ids(int fd)
{
	std::vector<unsigned> ids;
	for (unsigned id = 1; id <= MAX_PROBE; id++) {
		if (zvapi_mirror_set(fd, id) != 0)
			break;
		zvapi_mirror_clear(fd);
		ids.push_back(id);
	}
	return ids;
}

int extents_of(int fd, unsigned id, std::string &out, uint64_t *total = nullptr)
{
	return data_extents(
	        [&](int64_t pos, size_t *len) {
		        return zvapi_mirror_data_seek(fd, id, pos, len);
	        },
	        out, total);
}

int failed(int rc, const char *what, const char *path, unsigned id)
{
	fail(rc, "cannot %s mirror %u of '%s'", what, id,
	     escaped(path).c_str());
	return exit_status(rc);
}

/* ---- list ---------------------------------------------------------- */

int mirror_list(const char *path, const options &o)
{
	int fd = open_operand(path, O_RDONLY);
	if (fd < 0)
		return exit_status(fd);
	fd_owner own{fd};
	std::vector<unsigned> ids = mirror_ids(fd);
	if (ids.empty()) {
		int rc = zvapi_mirror_set(fd, 1);
		return failed(rc ? rc : -EIO, "select", path, 1);
	}
	for (unsigned id : ids) {
		off_t size = 0;
		std::string data;
		int rc = mirror_size(fd, id, size);
		if (rc == 0)
			rc = extents_of(fd, id, data);
		if (rc != 0)
			return failed(rc, "inspect", path, id);
		bool sparse = zvapi_mirror_is_sparse(fd, id);
		if (o.json) {
			rc = json_line()
			             .add("file", path)
			             .add_int("mirror", id)
			             .add_u64("size", size)
			             .add_int("sparse", sparse)
			             .add("data", data)
			             .write();
			if (rc != 0)
				return exit_status(rc);
		} else {
			out_printf("%s: mirror %u: size %jd, %s, data %s\n",
			           escaped(path).c_str(), id, (intmax_t)size,
			           sparse ? "sparse" : "not sparse",
			           data.c_str());
		}
	}
	return 0;
}

/* ---- read and write --------------------------------------------------- */

int mirror_read(const char *path, const options &o)
{
	if (o.id < 1)
		return usage_error("read needs --id N");
	int fd = open_operand(path, O_RDONLY);
	if (fd < 0)
		return exit_status(fd);
	fd_owner own{fd};
	buffer buf;
	if (!buf.mem)
		return failed(-ENOMEM, "read", path, o.id);
	off_t pos = o.offset < 0 ? 0 : o.offset;
	uint64_t left = o.length < 0 ? UINT64_MAX : o.length, got = 0;
	std::string data;
	while (left > 0) {
		size_t want = std::min<uint64_t>(left, CHUNK);
		ssize_t n =
		        zvapi_mirror_read(fd, o.id, buf.mem.get(), want, pos);
		if (n < 0)
			return failed(n, "read", path, o.id);
		if (n == 0)
			break;
		if (o.json)
			data += hex(buf.mem.get(), n);
		else if (!out_write(buf.mem.get(), n))
			return 0; /* the final flush reports it */
		pos += n;
		left -= n;
		got += n;
		if (size_t(n) < want)
			break;
	}
	if (o.json)
		return exit_status(json_line()
		                           .add("file", path)
		                           .add_int("mirror", o.id)
		                           .add_u64("offset", pos - got)
		                           .add_u64("length", got)
		                           .add("hex", data)
		                           .write());
	return 0;
}

/* Up to CHUNK bytes of standard input; -errno on a read error. */
ssize_t read_stdin(char *buf)
{
	size_t have = 0;
	while (have < CHUNK) {
		ssize_t n = read(STDIN_FILENO, buf + have, CHUNK - have);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return -errno;
		if (n == 0)
			break;
		have += n;
	}
	return static_cast<ssize_t>(have);
}

int mirror_write(const char *path, const options &o)
{
	if (o.id < 1)
		return usage_error("write needs --id N");
	long page = sysconf(_SC_PAGESIZE);
	if (o.offset > 0 && o.offset % page != 0)
		return usage_error("--offset must be page-aligned");
	int fd = open_operand(path, O_RDWR);
	if (fd < 0)
		return exit_status(fd);
	fd_owner own{fd};
	buffer buf;
	if (!buf.mem)
		return failed(-ENOMEM, "write", path, o.id);
	off_t start = o.offset < 0 ? 0 : o.offset, pos = start;
	for (;;) {
		ssize_t n = read_stdin(buf.mem.get());
		if (n < 0) {
			fail(n, "cannot read standard input");
			return exit_status(n);
		}
		if (n == 0)
			break;
		ssize_t w = zvapi_mirror_write(fd, o.id, buf.mem.get(), n, pos);
		if (w < 0)
			return failed(w, "write", path, o.id);
		pos += n;
		if (size_t(n) < CHUNK)
			break;
	}
	/* Without an offset, standard input becomes the whole mirror. */
	if (o.offset < 0) {
		int rc = zvapi_mirror_truncate(fd, o.id, pos);
		if (rc != 0)
			return failed(rc, "truncate", path, o.id);
	}
	if (o.json)
		return exit_status(json_line()
		                           .add("file", path)
		                           .add_int("mirror", o.id)
		                           .add_u64("offset", start)
		                           .add_u64("length", pos - start)
		                           .write());
	return 0;
}

/* ---- copy ---------------------------------------------------------------- */

/* A progress bar on standard error while a copy runs: the bytes written to
 * the file, from its heat, against what the copy will write. */
class progress
{
      public:
	progress(const char *path, uint64_t total) : total_(total)
	{
		fd_ = open(path, O_RDONLY | O_CLOEXEC);
		base_ = written();
		if (fd_ < 0 || base_ == UINT64_MAX)
			return;
		start_ = std::chrono::steady_clock::now();
		thread_ = std::thread([this] { run(); });
	}
	~progress()
	{
		if (thread_.joinable()) {
			{
				std::lock_guard<std::mutex> lock(mutex_);
				done_ = true;
			}
			wake_.notify_all();
			thread_.join();
			draw(true);
		}
		if (fd_ >= 0)
			close(fd_);
	}

      private:
	uint64_t written() const
	{
		uint64_t rec[5] = {4, 0, 0, 0, 0};
		rec[0] = 4; /* zh_count 4, zh_flags 0 */
		if (fd_ < 0 || ioctl(fd_, ZV_IOC_HEAT_GET, rec) < 0)
			return UINT64_MAX;
		return rec[1 + ZO_HEAT_WRITE_BYTES];
	}
	void run()
	{
		std::unique_lock<std::mutex> lock(mutex_);
		while (!wake_.wait_for(lock, std::chrono::milliseconds(200),
		                       [this] { return done_; }))
			draw(false);
	}
	void draw(bool last)
	{
		uint64_t now = written();
		uint64_t done = now == UINT64_MAX ? 0 : now - base_;
		if (last && total_)
			done = std::max(done, total_);
		double secs = std::chrono::duration<double>(
		                      std::chrono::steady_clock::now() - start_)
		                      .count();
		int pct = total_ ? int(std::min<uint64_t>(done, total_) * 100 /
		                       total_)
		                 : 100;
		char bar[31];
		memset(bar, ' ', 30);
		memset(bar, '#', pct * 30 / 100);
		bar[30] = '\0';
		fprintf(stderr, "\rcopy [%s] %3d%% %s %s/s%s", bar, pct,
		        human_bytes(done).c_str(),
		        human_bytes(secs > 0 ? done / secs : 0).c_str(),
		        last ? "\n" : "   ");
		fflush(stderr);
	}

	int fd_ = -1;
	uint64_t total_, base_ = 0;
	std::chrono::steady_clock::time_point start_;
	std::thread thread_;
	std::mutex mutex_;
	std::condition_variable wake_;
	bool done_ = false;
};

/* What the copy will write to one destination: the source's data (its
 * size when it is not sparse), in whole pages. */
uint64_t bytes_to_copy(int fd, unsigned src, const options &o)
{
	if (o.length >= 0)
		return o.length;
	off_t size = 0;
	if (src == 0) {
		struct stat st;
		return fstat(fd, &st) == 0 ? st.st_size : 0;
	}
	if (mirror_size(fd, src, size) != 0)
		return 0;
	if (!zvapi_mirror_is_sparse(fd, src))
		return size;
	std::string data;
	uint64_t total = 0;
	return extents_of(fd, src, data, &total) == 0 ? total : size;
}

std::string id_list(const uint16_t *ids, size_t n)
{
	std::string out;
	for (size_t i = 0; i < n; i++) {
		if (i > 0)
			out += ',';
		out += std::to_string(ids[i]);
	}
	return out;
}

int mirror_copy(const char *path, const options &o)
{
	if (o.src < 0 || o.dst.empty())
		return usage_error("copy needs --src N --dst M[,M...]");
	if ((o.offset < 0) != (o.length < 0))
		return usage_error("--offset and --length go together");
	if (o.src != 0 &&
	    std::find(o.dst.begin(), o.dst.end(), o.src) != o.dst.end())
		return usage_error("--dst names the source mirror");
	int fd = open_operand(path, O_RDWR);
	if (fd < 0)
		return exit_status(fd);
	fd_owner own{fd};
	std::vector<uint16_t> dst = o.dst;
	unsigned src = o.src;
	std::unique_ptr<progress> bar;
	if (isatty(STDERR_FILENO))
		bar = std::make_unique<progress>(
		        path, bytes_to_copy(fd, src, o) * dst.size());

	size_t live = 0;
	ssize_t rc = 0;
	uint64_t copied = 0;
	if (o.offset >= 0) {
		/* A range: one destination after the other. */
		for (uint16_t d : dst) {
			ssize_t n = zvapi_mirror_copy(fd, src, d, o.offset,
			                              o.length);
			if (n < 0) {
				rc = n;
				fail(n,
				     "cannot copy mirror %u of '%s' to "
				     "mirror %u",
				     src, escaped(path).c_str(), d);
				continue;
			}
			copied = n;
			dst[live++] = d;
		}
	} else {
		rc = zvapi_mirror_copy_many(fd, src, dst.data(), dst.size());
		live = rc > 0 ? rc : 0;
		for (size_t i = live; i < dst.size(); i++) {
			/* Why a destination dropped out: its selection. */
			int why = zvapi_mirror_set(fd, dst[i]);
			zvapi_mirror_clear(fd);
			if (why == 0)
				why = rc < 0 ? int(rc) : -EIO;
			fail(why, "cannot copy mirror %u of '%s' to mirror %u",
			     src, escaped(path).c_str(), dst[i]);
			rc = why;
		}
	}
	bar.reset();
	if (live > 0) {
		if (o.json) {
			json_line line;
			line.add("file", path)
			        .add_int("src", src)
			        .add("dst", id_list(dst.data(), live));
			if (o.offset >= 0)
				line.add_u64("offset", o.offset)
				        .add_u64("copied", copied);
			int w = line.write();
			if (w != 0)
				return exit_status(w);
		} else {
			out_printf("%s: mirror %u copied to %s\n",
			           escaped(path).c_str(), src,
			           id_list(dst.data(), live).c_str());
		}
	}
	return live == dst.size() ? 0 : exit_status(rc < 0 ? rc : -EIO);
}

/* ---- verify ------------------------------------------------------------- */

/* How mirror id compares with mirror 1: what a reader sees (sizes and
 * bytes), and where their data is allocated. */
struct comparison {
	std::string difference; /* "" when a reader sees the same */
	std::string allocation; /* "" when the data stretches match */
};

/* 0, or a negative errno when a mirror cannot be read. */
int compare(int fd, unsigned id, char *a, char *b, comparison &c)
{
	off_t size1 = 0, size = 0;
	std::string data1, data;
	int rc;
	if ((rc = mirror_size(fd, 1, size1)) ||
	    (rc = mirror_size(fd, id, size)) ||
	    (rc = extents_of(fd, 1, data1)) || (rc = extents_of(fd, id, data)))
		return rc;
	if (size != size1) {
		c.difference = "size " + std::to_string(size) + ", not " +
		               std::to_string(size1);
		return 0;
	}
	for (off_t pos = 0; pos < size;) {
		ssize_t n1 = zvapi_mirror_read(fd, 1, a, CHUNK, pos);
		ssize_t n = zvapi_mirror_read(fd, id, b, CHUNK, pos);
		if (n1 < 0 || n < 0)
			return n1 < 0 ? n1 : n;
		if (n != n1 || memcmp(a, b, n) != 0) {
			ssize_t at = 0;
			while (at < std::min(n, n1) && a[at] == b[at])
				at++;
			c.difference = "content differs at offset " +
			               std::to_string(pos + at);
			return 0;
		}
		if (n == 0)
			break;
		pos += n;
	}
	/* The same bytes, held differently (a hole against written zeros):
	 * worth telling, not a difference. */
	if (data != data1)
		c.allocation = "data " + data + ", not " + data1;
	return 0;
}

int mirror_verify(const char *path, const options &o)
{
	int fd = open_operand(path, O_RDONLY);
	if (fd < 0)
		return exit_status(fd);
	fd_owner own{fd};
	buffer a, b;
	if (!a.mem || !b.mem)
		return failed(-ENOMEM, "read", path, 1);
	std::vector<unsigned> ids = mirror_ids(fd);
	bool differ = false;
	for (unsigned id : ids) {
		if (id == 1)
			continue;
		comparison c;
		int rc = compare(fd, id, a.mem.get(), b.mem.get(), c);
		if (rc != 0)
			return failed(rc, "compare", path, id);
		differ |= !c.difference.empty();
		if (o.json) {
			json_line line;
			line.add("file", path)
			        .add_int("mirror", id)
			        .add_int("agrees", c.difference.empty());
			if (!c.difference.empty())
				line.add("difference", c.difference);
			if (!c.allocation.empty())
				line.add("allocation", c.allocation);
			if ((rc = line.write()) != 0)
				return exit_status(rc);
		} else if (!c.difference.empty()) {
			out_printf("%s: mirror %u differs from mirror 1: %s\n",
			           escaped(path).c_str(), id,
			           c.difference.c_str());
		} else if (!c.allocation.empty()) {
			out_printf("%s: mirror %u holds the bytes of mirror 1, "
			           "allocated differently: %s\n",
			           escaped(path).c_str(), id,
			           c.allocation.c_str());
		}
	}
	if (!o.json && !differ)
		out_printf("%s: %zu mirrors agree\n", escaped(path).c_str(),
		           ids.size());
	return differ ? ZV_EXIT_DIFFER : 0;
}

int cmd_mirror(int argc, char **argv)
{
	if (argc < 3)
		return missing_arguments();
	const char *op = argv[1];
	options o;
	/* Options anywhere after the operation; one FILE among them. */
	if (const char *bad = parse_options(argc - 1, argv + 1, o))
		return usage_error(bad);
	if (optind != argc - 2)
		return usage_error("need one FILE");
	const char *path = argv[1 + optind];
	if (strcmp(op, "list") == 0)
		return mirror_list(path, o);
	if (strcmp(op, "read") == 0)
		return mirror_read(path, o);
	if (strcmp(op, "write") == 0)
		return mirror_write(path, o);
	if (strcmp(op, "copy") == 0)
		return mirror_copy(path, o);
	if (strcmp(op, "verify") == 0)
		return mirror_verify(path, o);
	return usage_error("unknown operation");
}

} // namespace

const zorvel_cmd mirror_cmd = {
        .name = "mirror",
        .run = cmd_mirror,
        .usage = "list|read|write|copy|verify FILE [--id N] [--src N] "
                 "[--dst M[,M...]] [--offset O] [--length L] [--json]",
        .help = "list, read, write, copy (resync) "
                "or compare the mirrors of a file\n"
                "  read: mirror --id to standard "
                "output from --offset for --length\n"
                "  write: standard input to mirror "
                "--id (at page-aligned --offset;\n"
                "    without one it becomes the whole mirror)\n"
                "  copy: mirror --src (0: the "
                "file) to each --dst, holes kept;\n"
                "    with --offset and --length only "
                "that range, holes written as zeros;\n"
                "    a progress bar on a terminal\n"
                "  verify: sizes and data against mirror "
                "1 (holes that differ are noted);\n"
                "    exit status 117 when they differ\n"
                "  --json keys: list: file mirror size "
                "sparse data; read: file mirror offset\n"
                "    length hex; write: file mirror offset "
                "length; copy: file src dst [offset\n"
                "    copied]; verify: file mirror "
                "agrees [difference] [allocation]",
};
