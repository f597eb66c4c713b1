// The parameter subcommands: param list, param get.
#include "tool_fixture.h"

#include <cerrno>

namespace
{

using tooltest::ZorvelTool;
using zvtest::run_result;

class ParamTool : public ZorvelTool
{
};

TEST_F(ParamTool, ListAndGet)
{
	run_result r = zorvel({"param", "list", "lov/*/target_obd"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("lov/demo-clilov-"), std::string::npos) << r.out;
	EXPECT_EQ(r.out.find("/sys/"), std::string::npos)
	        << "names are relative to their tree";

	r = zorvel({"param", "get", "version"});
	EXPECT_EQ(r.out, "version=zorvel: 2.16.0\n");
	r = zorvel({"param", "get", "lov/*/target_obd"});
	EXPECT_NE(r.out.find("/target_obd=\n0: demo-OST0000_UUID ACTIVE\n"),
	          std::string::npos)
	        << r.out;

	r = zorvel({"param", "get", "no/such"});
	EXPECT_EQ(r.status, ENOENT);
	EXPECT_EQ(r.err,
	          "zorvel param: no parameter matches 'no/such': No such "
	          "file or directory (2)\n");
	r = zorvel({"param", "frob", "x"});
	EXPECT_EQ(r.status, 255);
}

TEST_F(ParamTool, GetSkipsDirectories)
{
	/* lov/NAME/pools is a directory */
	run_result r = zorvel({"param", "get", "lov/*/*"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.out.find("/target_obd=\n"), std::string::npos) << r.out;
	EXPECT_EQ(r.out.find("pools"), std::string::npos) << r.out;
	/* directories alone: no answer, which used to be status 0 */
	r = zorvel({"param", "get", "lov"});
	EXPECT_EQ(r.status, EISDIR);
	EXPECT_EQ(r.err, "zorvel param: 'lov' matches directories only "
	                 "('param list lov/*' lists what they hold): Is a "
	                 "directory (21)\n");
}

} // namespace
