// Board paths: resolution of file paths and of command texts under a board
// root, their bounds, and the board root read from VELMAR_ROOT.
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "BoardPath.h"
#include "BoardRootFixture.h"

using board_test::ProcessResult;
using board_test::ProcessSpec;
using board_test::RunProcess;

namespace {

const char kRoot[] = "/tmp/board";

std::string Resolved(const char* root, const char* path)
{
    char out[256];
    if (BoardPath::ResolveUnder(root, path, out, sizeof(out)) != 0)
        return "ERROR";
    return out;
}

std::string ResolvedCommand(const char* root, const char* command)
{
    char out[512];
    if (BoardPath::ResolveCommandUnder(root, command, out, sizeof(out)) != 0)
        return "ERROR";
    return out;
}

TEST(BoardPathTest, AbsolutePathsGoUnderTheRoot)
{
    EXPECT_EQ(Resolved(kRoot, "/Velmar/etc/Velmar.xml"), "/tmp/board/Velmar/etc/Velmar.xml");
    EXPECT_EQ(Resolved(kRoot, "/var/tmpfs/SavePowerOff.conf"), "/tmp/board/var/tmpfs/SavePowerOff.conf");
    EXPECT_EQ(Resolved(kRoot, "/"), "/tmp/board/");
    // Relative paths stay as they are.
    EXPECT_EQ(Resolved(kRoot, "images/logo.png"), "images/logo.png");
    EXPECT_EQ(Resolved(kRoot, ""), "");
}

TEST(BoardPathTest, WithoutRootPathsAreUnchanged)
{
    EXPECT_EQ(Resolved(nullptr, "/Velmar/etc/Velmar.xml"), "/Velmar/etc/Velmar.xml");
    EXPECT_EQ(Resolved("", "/Velmar/etc/Velmar.xml"), "/Velmar/etc/Velmar.xml");
    EXPECT_EQ(ResolvedCommand(nullptr, "cp -f /a /b"), "cp -f /a /b");
    EXPECT_EQ(ResolvedCommand("", "cp -f /a /b"), "cp -f /a /b");
}

TEST(BoardPathTest, ResolvingTwiceChangesNothing)
{
    EXPECT_EQ(Resolved(kRoot, "/tmp/board/Velmar/etc/Velmar.xml"), "/tmp/board/Velmar/etc/Velmar.xml");
    EXPECT_EQ(Resolved(kRoot, "/tmp/board"), "/tmp/board");
    // A sibling whose name only begins like the root is not under it.
    EXPECT_EQ(Resolved(kRoot, "/tmp/boardroom/x"), "/tmp/board/tmp/boardroom/x");
    std::string once = ResolvedCommand(kRoot, "cp -f /var/tmpfs/a /etc/b && cd /tmp/board");
    EXPECT_EQ(once, "cp -f /tmp/board/var/tmpfs/a /tmp/board/etc/b && cd /tmp/board");
    EXPECT_EQ(ResolvedCommand(kRoot, once.c_str()), once);
}

TEST(BoardPathTest, PathBoundsRefuseInsteadOfCutting)
{
    const char* path = "/Velmar/etc/Velmar.xml";
    size_t need = strlen(kRoot) + strlen(path) + 1;
    std::vector<char> out(need + 8, 'x');
    EXPECT_EQ(BoardPath::ResolveUnder(kRoot, path, out.data(), need), 0);
    EXPECT_STREQ(out.data(), "/tmp/board/Velmar/etc/Velmar.xml");
    EXPECT_EQ(BoardPath::ResolveUnder(kRoot, path, out.data(), need - 1), -2);
    EXPECT_STREQ(out.data(), "");
    // Without a root the copy is bounded the same way.
    EXPECT_EQ(BoardPath::ResolveUnder("", path, out.data(), strlen(path) + 1), 0);
    EXPECT_EQ(BoardPath::ResolveUnder("", path, out.data(), strlen(path)), -2);
    EXPECT_STREQ(out.data(), "");
    // Bad arguments.
    EXPECT_EQ(BoardPath::ResolveUnder(kRoot, nullptr, out.data(), out.size()), -2);
    EXPECT_EQ(BoardPath::ResolveUnder(kRoot, path, nullptr, 10), -2);
    EXPECT_EQ(BoardPath::ResolveUnder(kRoot, path, out.data(), 0), -2);
    // The array form takes the array's size.
    char small[16];
    EXPECT_EQ(BoardPath::Resolve(path, small), -2);
    EXPECT_STREQ(small, "");
}

TEST(BoardPathTest, CommandPathsAtWordStartsAreResolved)
{
    EXPECT_EQ(ResolvedCommand(kRoot, "cp -f /var/tmpfs/a /var/tmpfs/b"),
              "cp -f /tmp/board/var/tmpfs/a /tmp/board/var/tmpfs/b");
    EXPECT_EQ(ResolvedCommand(kRoot, "/etc/init.d/velmard update-stop"), "/tmp/board/etc/init.d/velmard update-stop");
    // After separators, redirections, quotes, substitutions and "=".
    EXPECT_EQ(ResolvedCommand(kRoot, "a;/b&/c|/d(/e)/f</g>/h`/i`"),
              "a;/tmp/board/b&/tmp/board/c|/tmp/board/d(/tmp/board/e)/tmp/board/f</tmp/board/g>"
              "/tmp/board/h`/tmp/board/i`");
    EXPECT_EQ(ResolvedCommand(kRoot, "cat '/x' \"/y\"\t/z\n/w of=/v"),
              "cat '/tmp/board/x' \"/tmp/board/y\"\t/tmp/board/z\n/tmp/board/w of=/tmp/board/v");
    // Slashes inside words are left alone.
    EXPECT_EQ(ResolvedCommand(kRoot, "cd v1 && ./v1/Install_upgrade_atmel a/b http://h/p ${D}/x"),
              "cd v1 && ./v1/Install_upgrade_atmel a/b http://h/p ${D}/x");
    EXPECT_EQ(ResolvedCommand(kRoot, "sync"), "sync");
    EXPECT_EQ(ResolvedCommand(kRoot, ""), "");
}

TEST(BoardPathTest, CommandBoundsAndUnsafeRoots)
{
    const char* command = "cp -f /a /b";
    std::string expected = "cp -f /tmp/board/a /tmp/board/b";
    std::vector<char> out(expected.size() + 8, 'x');
    EXPECT_EQ(BoardPath::ResolveCommandUnder(kRoot, command, out.data(), expected.size() + 1), 0);
    EXPECT_EQ(std::string(out.data()), expected);
    EXPECT_EQ(BoardPath::ResolveCommandUnder(kRoot, command, out.data(), expected.size()), -2);
    EXPECT_STREQ(out.data(), "");
    EXPECT_EQ(BoardPath::ResolveCommandUnder(kRoot, nullptr, out.data(), out.size()), -2);
    // A root the shell would split or expand cannot go into a command text.
    EXPECT_EQ(ResolvedCommand("/tmp/my board", command), "ERROR");
    EXPECT_EQ(ResolvedCommand("/tmp/$HOME", command), "ERROR");
    EXPECT_EQ(ResolvedCommand("/tmp/a;reboot", command), "ERROR");
    EXPECT_EQ(ResolvedCommand("/tmp/velmar-board.X_1+2,3:4@5%6", command),
              "cp -f /tmp/velmar-board.X_1+2,3:4@5%6/a /tmp/velmar-board.X_1+2,3:4@5%6/b");
    // File paths do not pass through a shell: any root works for them.
    EXPECT_EQ(Resolved("/tmp/my board", "/x"), "/tmp/my board/x");
}

// The root is read from VELMAR_ROOT once per process: these run the probe
// program with the variable set or unset.
ProcessResult Probe(const std::vector<std::string>& args, const char* root, const std::string& cwd = "")
{
    ProcessSpec proc;
    proc.argv = {board_test::ProgramPath("board_probe")};
    proc.argv.insert(proc.argv.end(), args.begin(), args.end());
    if (root != nullptr)
        proc.setEnv.push_back({"VELMAR_ROOT", root});
    else
        proc.unsetEnv.push_back("VELMAR_ROOT");
    proc.cwd = cwd;
    return RunProcess(proc);
}

TEST(BoardPathTest, RootComesFromTheEnvironment)
{
    EXPECT_EQ(Probe({"root"}, nullptr).output, "0 1 \n");
    EXPECT_EQ(Probe({"root"}, "").output, "0 1 \n");
    EXPECT_EQ(Probe({"path", "/Velmar/etc/Velmar.xml"}, nullptr).output, "/Velmar/etc/Velmar.xml\n");
    EXPECT_EQ(Probe({"command", "cp /a /b"}, nullptr).output, "cp /a /b\n");

    // Trailing slashes are dropped; a relative root is taken from the working directory.
    EXPECT_EQ(Probe({"root"}, "/tmp/board//").output, "1 1 /tmp/board\n");
    EXPECT_EQ(Probe({"path", "/Velmar/etc/Velmar.xml"}, "/tmp/board/").output, "/tmp/board/Velmar/etc/Velmar.xml\n");
    EXPECT_EQ(Probe({"root"}, "board", "/tmp").output, "1 1 /tmp/board\n");
    EXPECT_EQ(Probe({"command", "cp /a /b"}, "/tmp/board").output, "cp /tmp/board/a /tmp/board/b\n");
}

TEST(BoardPathTest, UnusableRootNeverFallsBackToTheMachine)
{
    // Too long, or the machine's own root ("/" in any spelling).
    for (const std::string& unusable : {"/tmp/" + std::string(BoardPath::kMaxRoot, 'r'), std::string("/"),
                                        std::string("///")}) {
        SCOPED_TRACE(unusable.substr(0, 10));
        EXPECT_EQ(Probe({"root"}, unusable.c_str()).output, "1 0 \n");
        EXPECT_EQ(Probe({"path", "/Velmar/etc/Velmar.xml"}, unusable.c_str()).output, "ERROR\n");
        EXPECT_EQ(Probe({"command", "sync"}, unusable.c_str()).output, "ERROR\n");
        EXPECT_EQ(Probe({"run", "true"}, unusable.c_str()).output, "status -1\n");
    }
}

} // namespace
