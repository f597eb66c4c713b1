#include "tool_fixture.h"

namespace tooltest
{
namespace
{

// The test's own environment says nothing of a simulation.
const std::vector<std::string> clean_env = {"ZVSIM_STATE", "ZVSIM_MOUNT"};

} // namespace

void ZorvelTool::SetUp()
{
	zvtest::run_result r = zvtest::run_program(
	        {ZVSIM_BIN, "setup", "--state", state(), "--fsname", "demo"},
	        clean_env);
	ASSERT_EQ(r.status, 0) << r.err;
	mount_ = r.out.substr(0, r.out.find('\n'));
	ASSERT_FALSE(mount_.empty());
}

std::string ZorvelTool::file(const std::string &name, const std::string &text)
{
	std::string path = dir_.path() + "/" + name;
	zvtest::write_file(path, text);
	return path;
}

zvtest::run_result
ZorvelTool::under_sim(const std::vector<std::string> &command,
                      const std::string &state_name)
{
	std::vector<std::string> argv = {ZVSIM_BIN, "run", "--state",
	                                 state(state_name), "--"};
	argv.insert(argv.end(), command.begin(), command.end());
	return zvtest::run_program(argv, clean_env);
}

zvtest::run_result ZorvelTool::zvsim(const std::vector<std::string> &args,
                                     const std::string &state_name)
{
	std::vector<std::string> argv = {ZVSIM_BIN, "--state",
	                                 state(state_name)};
	argv.insert(argv.end(), args.begin(), args.end());
	return zvtest::run_program(argv, clean_env);
}

std::string ZorvelTool::fid_of(const std::string &path)
{
	std::string out = zorvel({"path2fid", path}).out;
	size_t at = out.rfind(' ') + 1;
	return out.substr(at, out.size() - at - 1);
}

zvtest::run_result ZorvelTool::zorvel(const std::vector<std::string> &args,
                                      const std::string &state_name)
{
	std::vector<std::string> command = {ZORVEL_BIN};
	command.insert(command.end(), args.begin(), args.end());
	return under_sim(command, state_name);
}

zvtest::run_result ZorvelTool::zorvel_sh(const std::string &args,
                                         const std::string &state_name)
{
	std::string command = std::string("exec ") + ZVSIM_BIN +
	                      " run --state '" + state(state_name) + "' -- " +
	                      ZORVEL_BIN + " " + args;
	return zvtest::run_program({"/bin/sh", "-c", command}, clean_env);
}

zvtest::run_result
ZorvelTool::zorvel_alone(const std::vector<std::string> &args,
                         const std::vector<std::string> &env)
{
	std::vector<std::string> argv = {ZORVEL_BIN};
	argv.insert(argv.end(), args.begin(), args.end());
	return zvtest::run_program(argv, env);
}

std::vector<std::string> ZorvelTool::json_lines(const std::string &out)
{
	static const char script[] =
	        "import json, sys\n"
	        "for line in open(sys.argv[1], encoding='utf-8'):\n"
	        "    assert line.endswith('\\n'), 'an unfinished line'\n"
	        "    obj = json.loads(line)\n"
	        "    assert isinstance(obj, dict), 'not an object'\n"
	        "    print(json.dumps(obj, sort_keys=True))\n";
	std::string path = file("json-lines.txt", out);
	zvtest::run_result r =
	        zvtest::run_program({"/usr/bin/python3", "-c", script, path});
	EXPECT_EQ(r.status, 0) << "not JSON lines:\n" << out << r.err;
	std::vector<std::string> lines;
	for (size_t at = 0; at < r.out.size();) {
		size_t nl = r.out.find('\n', at);
		lines.push_back(r.out.substr(at, nl - at));
		at = nl + 1;
	}
	return lines;
}

} // namespace tooltest
