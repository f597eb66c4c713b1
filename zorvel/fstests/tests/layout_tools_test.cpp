// The layout and foreign-object tools run as a harness runs them: on the
// simulated file system, with the kernel's side checked in its request
// log, against records stored byte for byte (swapped, short, composite),
// and directly on file systems that have no layouts.
#include "fstests_fixture.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fstests
{
namespace
{

using zvtest::run_result;

// Hexadecimal text of a record: header words in host order, then value.
std::string hex_words(std::initializer_list<uint32_t> words,
                      const std::string &value = "")
{
	std::string out;
	char buf[3];
	for (uint32_t w : words)
		for (int i = 0; i < 4; i++) {
			snprintf(buf, sizeof buf, "%02x",
			         (w >> (8 * i)) & 0xff);
			out += buf;
		}
	for (unsigned char c : value) {
		snprintf(buf, sizeof buf, "%02x", c);
		out += buf;
	}
	return out;
}

class LayoutTools : public FsTest
{
      protected:
	std::string m(const std::string &rel)
	{
		return path(Place::Sim, rel);
	}
	run_result sim(const std::string &program,
	               const std::vector<std::string> &args)
	{
		return run(Place::Sim, program, args);
	}
	void store(const std::string &p, const char *which,
	           const std::string &hex)
	{
		zvsim({"layout", "store", p, which, hex});
	}
};

TEST_F(LayoutTools, AForeignDirectoryMadeAndChecked)
{
	zvsim({"log", "on"});
	std::string d = m("fdir");
	run_result r =
	        sim("foreigndir", {"-d", d, "-x", "abc@def", "-f", "0x10"});
	EXPECT_EQ(r.status, 0) << r.err;
	struct stat st {
	};
	ASSERT_EQ(stat(d.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0700u);

	r = sim("foreigncheck", {"-d", d});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.out, "lfm_magic: 0x0CD50CD0, lfm_length: 7, lfm_type: "
	                 "0x0000DA05, lfm_flags: 0x00000010, lfm_value: "
	                 "'abc@def'\n");
	r = sim("lmvxattrdump", {"-d", d});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "lmv_xattr_size: 23\nlmv_foreign_magic: 0xcd50cd0\n"
	                 "lmv_foreign_size: 7\nlmv_foreign_type: 55813\n"
	                 "lmv_foreign_flags: 16\n"
	                 "lmv_foreign_value: 0x61626340646566\n");

	// What the kernel received: the creation on the parent, the
	// directory request with its magic, the attribute read twice.
	std::vector<std::string> log = requests();
	ASSERT_EQ(log.size(), 4u);
	EXPECT_EQ(log[0].substr(0, 13), "0x400866f0 8 ");
	EXPECT_EQ(log[1].substr(0, 22), "0xc03066f1 48 d00cd20c");
	EXPECT_EQ(log[2], "0x5a560010 0 " + hex_words({}, "trusted.lmv"));
	EXPECT_EQ(log[3], log[2]);
}

TEST_F(LayoutTools, ForeigndirArguments)
{
	std::string d = m("x");
	std::string usage = "Usage: " + bin("foreigndir") +
	                    " [-d <dirname>] [-m <octalmode>] [-x <LOV EA "
	                    "content>] [-t <type>] [-f <hexflags>]\n";
	run_result r = sim("foreigndir", {"-h"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, usage);
	r = sim("foreigndir", {"-q"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, usage);
	r = sim("foreigndir", {"-d", d, "-m", "9"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, bin("foreigndir") + ": invalid mode '9'\n");
	r = sim("foreigndir", {"-d", d, "-t", "5x"});
	EXPECT_EQ(r.err, bin("foreigndir") + ": invalid type '5x'\n");
	r = sim("foreigndir", {"-d", d, "-f", "0xFFFFFFFF"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, bin("foreigndir") + ": invalid flags '0xFFFFFFFF'\n");
	EXPECT_NE(access(d.c_str(), F_OK), 0);
	// The library's failure is the exit status.
	r = sim("foreigndir", {"-d", d, "-m", "0755", "-t", "7"});
	EXPECT_EQ(r.status, 0);
	r = sim("foreigndir", {"-d", d});
	EXPECT_EQ(r.status, 256 - EEXIST);
	EXPECT_NE(r.err.find("zvapi_dir_create_foreign() error : -17\n"),
	          std::string::npos)
	        << r.err;
	// A type that is not the symlink type is reported, not fatal.
	r = sim("foreigncheck", {"-d", d});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "unexpected type : 0x00000007, expected 0x0000DA05\n");
}

TEST_F(LayoutTools, AForeignFileSetDumpedAndChecked)
{
	std::string f = m("ffile");
	run_result r = sim("lovxattrset",
	                   {"-f", f, "-x", "UU@\xab", "-F", "0xFFFFFFFE"});
	EXPECT_EQ(r.status, 0) << r.err;
	r = sim("lovxattrdump", {"-f", f});
	EXPECT_EQ(r.status, 0) << r.err;
	// A value byte 0xab is two digits, never sign-extended.
	EXPECT_EQ(r.out, "lov_xattr_size: 20\nlov_foreign_magic: 0x0BD70BD0\n"
	                 "lov_foreign_size: 4\nlov_foreign_type: 55813\n"
	                 "lov_foreign_flags: 0xFFFFFFFE\n"
	                 "lov_foreign_value: 0x555540ab\n");
	r = sim("foreigncheck", {"-f", f});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "lfm_magic: 0x0BD70BD0, lfm_length: 4, lfm_type: "
	                 "0x0000DA05, lfm_flags: 0xFFFFFFFE, lfm_value: "
	                 "'UU@\xab'\n");
	// A layout is set once.
	r = sim("lovxattrset", {"-f", f, "-x", "again"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "ioctl(ZV_IOC_LOV_SETSTRIPE): File exists\n");
	// With standard error closed, the file took its number and the
	// report was written into it.
	r = run(Place::Sim, "lovxattrset", {"-f", f, "-x", "again"}, "",
	        "2>&-");
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(zvtest::read_file(f), "");
}

TEST_F(LayoutTools, LovxattrsetArguments)
{
	std::string f = m("f");
	run_result r = sim("lovxattrset", {"-f", f, "-F", "0xFFFFFFFF"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, bin("lovxattrset") + ": invalid flags '0xFFFFFFFF'\n");
	r = sim("lovxattrset", {"-f", f, "-F", "0x100000000"});
	EXPECT_EQ(r.status, 1); // refused, not cut to 0
	r = sim("lovxattrset", {"-f", f, "-t", "1z"});
	EXPECT_EQ(r.err, bin("lovxattrset") + ": invalid type '1z'\n");
	r = sim("lovxattrset", {"-f", f, "-x", ""});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "invalid LOV EA length 0 > XATTR_SIZE_MAX (65536)\n");
	EXPECT_NE(access(f.c_str(), F_OK), 0);
	// -h only reports; the defaults then apply, in the current directory.
	r = zvtest::run_program(
	        {ZVSIM_BIN, "run", "--state", state(), "--", "/bin/sh", "-c",
	         "cd \"$ZVSIM_MOUNT/t\" && exec " + bin("lovxattrset") + " -h"},
	        {"ZVSIM_STATE", "ZVSIM_MOUNT"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "Usage: " + bin("lovxattrset") +
	                         " -f <filename> -x <LOV EA content>\n");
	r = sim("foreigncheck", {"-f", m("FILE")});
	EXPECT_EQ(r.out, "lfm_magic: 0x0BD70BD0, lfm_length: 9, lfm_type: "
	                 "0x0000DA05, lfm_flags: 0x0000DA05, lfm_value: "
	                 "'UUID@UUID'\n");
}

TEST_F(LayoutTools, DumpsCheckTheHeaderOfRealBytes)
{
	std::string f = m("f"), d = m("d");
	zvtest::write_file(f);
	ASSERT_EQ(mkdir(d.c_str(), 0755), 0);

	// Exactly a header: an empty value.
	store(f, "lov", hex_words({0x0BD70BD0, 0, 0xDA05, 0}));
	run_result r = sim("lovxattrdump", {"-f", f});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "lov_xattr_size: 16\nlov_foreign_magic: 0x0BD70BD0\n"
	                 "lov_foreign_size: 0\nlov_foreign_type: 55813\n"
	                 "lov_foreign_flags: 0x00000000\nlov_foreign_value: "
	                 "0x\n");
	// One byte short of a header: dumped to standard error.
	store(f, "lov", "000102030405060708090a0b0c0dab");
	r = sim("lovxattrdump", {"-f", f});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "trusted.lov size=15 too small\nprinting its content "
	                 "in hex anyway:\n000102030405060708090a0b0c0dab");
	EXPECT_EQ(r.out, "");

	// Written in the other byte order: reported, then shown in ours.
	store(d, "lmv", "0cd50cd000000003000000050000000fab0102");
	r = sim("lmvxattrdump", {"-d", d});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "magic is swapped\nlength is swapped\n");
	EXPECT_EQ(r.out,
	          "lmv_xattr_size: 19\nlmv_foreign_magic: 0xcd50cd0\n"
	          "lmv_foreign_size: 3\nlmv_foreign_type: 5\n"
	          "lmv_foreign_flags: 15\nlmv_foreign_value: 0xab0102\n");
	// Wrong in both: the value is still the bytes after the header.
	store(d, "lmv", hex_words({0x12345678, 99, 1, 2}, "abcd"));
	r = sim("lmvxattrdump", {"-d", d});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "wrong magic=(0x12345678)\nwrong internal length="
	                 "99(0x63) vs xattr size=20\n");
	EXPECT_EQ(r.out.substr(r.out.rfind("lmv_foreign_value")),
	          "lmv_foreign_value: 0x61626364\n");
	store(f, "lov", hex_words({0x0BD70BD0, 7, 1, 2}, "ab"));
	r = sim("lovxattrdump", {"-f", f});
	EXPECT_EQ(r.err, "wrong internal length=7 vs xattr size=18\n");
	// An empty attribute, and none at all.
	store(d, "lmv", "-");
	r = sim("lmvxattrdump", {"-d", d});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "invalid LMV EA length 0 (must be 0 < len < "
	                 "XATTR_SIZE_MAX(65536))\n");
	ASSERT_EQ(mkdir(m("plain").c_str(), 0755), 0);
	r = sim("lmvxattrdump", {"-d", m("plain")});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "getxattr(): No data available\n");
}

TEST_F(LayoutTools, ForeigncheckArgumentsAndFailures)
{
	std::string usage = "Usage: " + bin("foreigncheck") +
	                    " [-[f,d] <foreign file/dir pathname>]\n";
	run_result r = sim("foreigncheck", {"-f", "a", "-d", "b"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err,
	          "only one foreign symlink file or dir can be specified "
	          "at a time\n");
	r = sim("foreigncheck", {"-h"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, usage);
	r = sim("foreigncheck", {"-z"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, usage);
	r = sim("foreigncheck", {});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "a foreign file/dir pathname must be provided\n");
	std::string missing = m("missing");
	r = sim("foreigncheck", {"-f", missing});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "open() of '" + missing +
	                         "' error, rc : -1\nopen(): No such file or "
	                         "directory\n");
	// A plain directory's answer is no foreign record.
	ASSERT_EQ(mkdir(m("plain").c_str(), 0755), 0);
	r = sim("foreigncheck", {"-d", m("plain")});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err.substr(0, 50),
	          "unexpected magic : 0x0CD10CD0, expected 0x0BD70BD0");
	zvtest::write_file(m("f"));
	zvsim({"inject", "LOV_GETSTRIPE", "EIO"});
	r = sim("foreigncheck", {"-f", m("f")});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, m("f") + ": getstripe error: Input/output error\n");
}

TEST_F(LayoutTools, StripeshowPrintsTheMagicCountAndSize)
{
	std::string f = m("f"), comp = m("comp");
	zvtest::write_file(f);
	zvtest::write_file(comp);
	run_result r = sim("stripeshow", {f});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "lmm_magic: v1\nstripe_count: 1\nstripe_size: "
	                 "1048576\n");
	store(comp, "lov",
	      hex_words({0x0BD60BD0, 0, 0, 0, 0, 0, 4 << 20, 3, 0, 0}));
	r = sim("stripeshow", {comp});
	EXPECT_EQ(r.out, "lmm_magic: LOV_MAGIC component\nstripe_count: 3\n"
	                 "stripe_size: 4194304\n");
	// Another magic: no magic line, the two fields all the same.
	store(comp, "lov", hex_words({0x0BD70BD0, 16, 0, 0, 0, 0, 7, 2}));
	r = sim("stripeshow", {comp});
	EXPECT_EQ(r.out, "stripe_count: 2\nstripe_size: 7\n");
	r = sim("stripeshow", {m("missing")});
	EXPECT_EQ(r.status, ENOENT);
	r = sim("stripeshow", {});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Usage: " + bin("stripeshow") + " <filename>\n");
}

// Elsewhere there are no layouts: the tools say so with the kernel's
// answer, on tmpfs and on the temporary directory's file system alike.
TEST_F(LayoutTools, OnFileSystemsWithoutLayouts)
{
	for (Place p : {Place::Tmpfs, Place::Tmp}) {
		std::string f = path(p, "f");
		zvtest::write_file(f);
		run_result r = run(p, "stripeshow", {f});
		EXPECT_EQ(r.status, ENOTTY) << place_name(p);
		r = run(p, "lovxattrset", {"-f", path(p, "g")});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "ioctl(ZV_IOC_LOV_SETSTRIPE): Inappropriate "
		                 "ioctl for device\n");
		r = run(p, "foreigncheck", {"-d", dir(p)});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, dir(p) + ": getdirstripe error: Inappropriate "
		                          "ioctl for device\n");
		r = run(p, "foreigndir", {"-d", path(p, "fd")});
		EXPECT_EQ(r.status, 256 - ENOTTY);
		r = run(p, "lovxattrdump", {"-f", f});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "getxattr(): Operation not supported\n");
		// As root, an attribute of that name can be written by hand:
		// the dump reads whatever the file system holds.
		if (geteuid() != 0)
			continue;
		uint32_t hdr[4] = {0x0CD50CD0, 1, 0xDA05, 0};
		std::string v(reinterpret_cast<char *>(hdr), 16);
		v += "z";
		ASSERT_EQ(setxattr(dir(p).c_str(), "trusted.lmv", v.data(),
		                   v.size(), 0),
		          0);
		r = run(p, "lmvxattrdump", {"-d", dir(p)});
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.out.substr(r.out.rfind("lmv_foreign_value")),
		          "lmv_foreign_value: 0x7a\n");
	}
}

} // namespace
} // namespace fstests
