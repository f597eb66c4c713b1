// Every subcommand started with standard input, output or error closed:
// nothing it opens takes the closed number, so neither its output nor its
// messages land in a file or device it opened, and its status is the one it
// has with every stream open (EBADF when its output is lost).
#include "tool_fixture.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <ostream>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

namespace fs = std::filesystem;

// Run before each command: a file f in the mount M. The commands add what
// they need: a second and third file (g with two mirrors), F (f's FID), a
// registered change-log user and a record, a selection policy, a cache
// area, the input files of udsp import and tunables show.
const char prepare[] = "M=$ZVSIM_MOUNT; printf 'data\\n' > \"$M/f\"\n";
const char with_g[] = "printf 'gdata\\n' > \"$M/g\"; \"$V\" mirror count "
                      "\"$M/g\" 2\n";
const char with_fid[] = "F=$(\"$Z\" path2fid \"$M/f\" | sed 's/.* //')\n";
const char with_log[] = "\"$V\" changelog register demo-MDT0000 >/dev/null; "
                        "mkdir \"$M/d\"\n";

struct command {
	const char *args;       // shell words after zorvel
	int status = 0;         // with every stream open
	const char *needs = ""; // shell lines run after prepare
	bool writes = true;     // prints on standard output
	bool reads = false;     // takes standard input ("hello")
};

const command commands[] = {
        {"path2fid \"$M/f\""},
        {"fid2path demo \"$F\"", 0, with_fid},
        {"path2parent \"$M/f\""},
        {"cat-fid demo \"$F\"", 0, with_fid},
        {"rmfid --json demo \"$F\"", 0, with_fid},
        {"rm-entry --json \"$M/f\""},
        {"param get 'lov/*/target_obd'"},
        {"changelog demo-MDT0000", 0, with_log},
        {"changelog-clear --json demo-MDT0000 cl1 1", 0, with_log},
        {"version"},
        {"getname \"$M\""},
        {"udsp show", 0, "\"$Z\" udsp add --src tcp --priority 1\n"},
        {"udsp add --json --src tcp2 --priority 2"},
        {"udsp import --json \"$M/u.yaml\"", 0,
         "printf 'udsp:\\n- src: tcp2\\n' > \"$M/u.yaml\"\n"},
        {"tunables show \"$M/t.yaml\" --type socket", 0,
         "cp \"$EXAMPLES/tunables.yaml\" \"$M/t.yaml\"\n"},
        {"mirror list \"$M/g\"", 0, with_g},
        {"mirror write \"$M/g\" --id 2", 0, with_g, false, true},
        {"mirror write \"$M/g\" --id 3", ENOENT, with_g, false, true},
        {"sparse \"$M/f\""},
        {"punch --json \"$M/f\" 0 4096"},
        {"punch \"$M/g\" 0 4096 --id 3", ENOENT, with_g, false},
        {"ladvise \"$M/f\" --advice lockahead"},
        {"heat get \"$M/f\""},
        {"nodemap exists default"},
        {"data-version \"$M/f\""},
        {"swap-layouts --json \"$M/f\" \"$M/g\"", 0, "echo g > \"$M/g\"\n"},
        {"lease get \"$M/f\""},
        {"pcc attach --json --id 5 \"$M/f\"", 0, "\"$Z\" pcc add \"$M\" 5\n"},
        {"pcc state \"$M/f\""},
};

// A command in test names and reports: its words.
void PrintTo(const command &c, std::ostream *os)
{
	*os << c.args;
}

class ClosedStreams : public ZorvelTool,
                      public ::testing::WithParamInterface<command>
{
      protected:
	// prepare, then zorvel ARGS with REDIRECT, on a state of its own.
	run_result run(const command &c, const std::string &redirect)
	{
		std::string script = std::string(prepare) + c.needs +
		                     (c.reads ? "printf 'hello\\n' | " : "") +
		                     "exec \"$Z\" " + c.args + " " + redirect;
		last_ = state("r" + std::to_string(runs_++));
		return under_sim({"/usr/bin/env",
		                  std::string("Z=") + ZORVEL_BIN,
		                  std::string("V=") + ZVSIM_BIN,
		                  std::string("EXAMPLES=") + ZV_SOURCE_DIR +
		                          "/doc/examples",
		                  "/bin/sh", "-c", script},
		                 last_.substr(last_.rfind('/') + 1));
	}
	// What the last run left where a command writes or opens: the files
	// of the mount and the devices by name, the simulator's copies
	// (mirrors, cache copies) by content alone (their names hold inode
	// numbers that differ from state to state).
	std::vector<std::string> snapshot() const
	{
		std::vector<std::string> out;
		for (const char *top : {"mnt", "dev", "mirrors", "pcc"}) {
			fs::path dir = fs::path(last_) / top;
			bool named = top[0] == 'm' && top[1] == 'n';
			named |= top[0] == 'd';
			if (!fs::exists(dir))
				continue;
			fs::recursive_directory_iterator it(dir), end;
			for (; it != end; ++it) {
				/* the cache's copies are in its areas; its
				 * records and list of areas are no copies */
				if (!it->is_regular_file() ||
				    (top[0] == 'p' &&
				     (it.depth() == 0 ||
				      it->path().parent_path().filename() ==
				              "attached")))
					continue;
				std::string name =
				        named ? it->path().filename().string()
				              : "";
				out.push_back(std::string(top) + " " + name +
				              ": " +
				              zvtest::read_file(it->path()));
			}
		}
		std::sort(out.begin(), out.end());
		return out;
	}

      private:
	int runs_ = 0;
	std::string last_;
};

TEST_P(ClosedStreams, NothingLandsInWhatTheCommandOpens)
{
	const command &c = GetParam();
	run_result ref = run(c, "");
	ASSERT_EQ(ref.status, c.status) << ref.err;
	std::vector<std::string> expected = snapshot();
	for (const char *redirect : {">&-", "2>&-", "<&-"}) {
		SCOPED_TRACE(redirect);
		run_result r = run(c, redirect);
		bool out = redirect[0] == '>', in = redirect[0] == '<';
		int status =
		        (out && c.writes) || (in && c.reads) ? EBADF : c.status;
		EXPECT_EQ(r.status, status) << r.err;
		/* standard input closed, a writer writes nothing */
		if (in && c.reads) {
			EXPECT_EQ(r.err.find("cannot read standard input"),
			          r.err.find("zorvel mirror: ") + 15)
			        << r.err;
			continue;
		}
		EXPECT_EQ(snapshot(), expected);
	}
}

INSTANTIATE_TEST_SUITE_P(
        EverySubcommand, ClosedStreams, ::testing::ValuesIn(commands),
        [](const ::testing::TestParamInfo<command> &info) {
	        std::string name = std::to_string(info.index) + "_";
	        for (const char *p = info.param.args; *p && *p != ' '; p++)
		        name += isalnum((unsigned char)*p) ? *p : '_';
	        return name;
        });

} // namespace
