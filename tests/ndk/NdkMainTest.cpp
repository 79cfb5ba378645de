// The agent's options as a process on a temporary board root: what it prints
// and the status it ends with. These runs end before any socket is opened.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BoardRootFixture.h"

namespace {

const std::string kBanner = "Quor VelmarNdk Module  /MPL-ARM-V3.11 Built on: May  9 2017, 14:19:38\n";
const std::string kUsage = std::string("usage: ") + board_test::ProgramPath("QuorNdk") +
                           " [-v] [-d] [-h]\n\t   -v: Display version\n\t   -d: More debug information\n"
                           "\t   -h: Display help\n";

struct OptionCase {
    std::vector<std::string> options;
    int status;
    std::string output;
};

TEST(NdkMainTest, OptionsPrintTheBannerAndUsageAndEnd)
{
    // Unlike velmard, an unknown option prints the banner too.
    const OptionCase cases[] = {
        {{"-v"}, 0, kBanner + kUsage},
        {{"-d", "-v"}, 0, kBanner + kUsage},
        {{"-d", "-x"}, 255, kBanner + kUsage},
    };
    for (const OptionCase& c : cases) {
        board_test::TempBoardRoot root;
        ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
        board_test::ProcessSpec run;
        run.argv = {board_test::ProgramPath("QuorNdk")};
        run.argv.insert(run.argv.end(), c.options.begin(), c.options.end());
        run.setEnv = {{"VELMAR_ROOT", root.Path()}};
        board_test::ProcessResult result = board_test::RunProcess(run);
        EXPECT_TRUE(result.Exited(c.status)) << c.options.back() << " " << result.status;
        EXPECT_EQ(result.output, c.output) << c.options.back();
    }
}

} // namespace
