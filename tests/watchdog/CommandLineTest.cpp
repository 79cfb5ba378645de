// Splitting of the watched command line and the board paths of the supervisor.
#include "SupervisorPaths.h"
#include "CommandLine.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "TestFiles.h"

namespace {

using Words = std::vector<std::string>;

TEST(SplitCommand, RunsOfBlanksGiveTheSameWordsAsSingleBlanks)
{
    EXPECT_EQ(SplitCommand("prog -a -b"), SplitCommand("prog   -a  -b"));
    EXPECT_EQ((Words{"prog", "-a", "-b"}), SplitCommand("  prog -a -b   "));
    EXPECT_EQ((Words{"/usr/bin/velmard", "-d"}), SplitCommand("/usr/bin/velmard -d"));
}

TEST(SplitCommand, OnlyBlanksSeparateWords)
{
    EXPECT_EQ((Words{"a\tb", "c\n"}), SplitCommand("a\tb c\n"));
    EXPECT_EQ((Words{"\t"}), SplitCommand(" \t "));
}

TEST(SplitCommand, NothingButBlanksGivesNoWords)
{
    EXPECT_TRUE(SplitCommand("").empty());
    EXPECT_TRUE(SplitCommand("     ").empty());
    EXPECT_TRUE(SplitCommand(nullptr).empty());
}

TEST(SplitCommand, ArgvIsNullTerminatedOverTheWords)
{
    Words words = SplitCommand("prog x");
    std::vector<char*> argv = MakeArgv(words);
    ASSERT_EQ(3u, argv.size());
    EXPECT_STREQ("prog", argv[0]);
    EXPECT_STREQ("x", argv[1]);
    EXPECT_EQ(nullptr, argv[2]);
}

TEST(GetExeceName, PartAfterTheLastSlash)
{
    EXPECT_STREQ("velmard", GetExeceName("/usr/local/bin/velmard"));
    EXPECT_STREQ("velmard", GetExeceName("velmard"));
    EXPECT_STREQ("x", GetExeceName("./x"));
    EXPECT_STREQ("", GetExeceName("dir/"));
}

class BoardRootTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* old = getenv("VELMAR_ROOT");
        m_hadRoot = old != nullptr;
        if (m_hadRoot)
            m_oldRoot = old;
    }
    void TearDown() override
    {
        if (m_hadRoot)
            setenv("VELMAR_ROOT", m_oldRoot.c_str(), 1);
        else
            unsetenv("VELMAR_ROOT");
    }

private:
    bool m_hadRoot = false;
    std::string m_oldRoot;
};

TEST_F(BoardRootTest, LogDirectoryResolvesUnderTheBoardRootWhenSet)
{
    unsetenv("VELMAR_ROOT");
    EXPECT_EQ("/var/log/velmarcmd", ResolveBoardPath(kVelmarcmdLogDir));
    setenv("VELMAR_ROOT", "", 1);
    EXPECT_EQ("/var/log/velmarcmd", ResolveBoardPath(kVelmarcmdLogDir));
    setenv("VELMAR_ROOT", "/tmp/board", 1);
    EXPECT_EQ("/tmp/board/var/log/velmarcmd", ResolveBoardPath(kVelmarcmdLogDir));
    setenv("VELMAR_ROOT", "/tmp/board//", 1);
    EXPECT_EQ("/tmp/board/var/log/velmarcmd", ResolveBoardPath(kVelmarcmdLogDir));
    EXPECT_EQ("relative/path", ResolveBoardPath("relative/path"));
}

TEST(MakeDirectoryTree, CreatesMissingParentsAndAcceptsExistingOnes)
{
    test_files::TempDir dir("velmarcmd-dirs");
    ASSERT_TRUE(dir.Ok());
    const std::string root = dir.Path();
    const std::string deep = root + "/var/log/velmarcmd";
    EXPECT_EQ(0, MakeDirectoryTree(deep, 0775));
    struct stat st;
    ASSERT_EQ(0, stat(deep.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0, MakeDirectoryTree(deep, 0775));

    const std::string file = root + "/plain";
    std::ofstream(file) << "x";
    EXPECT_EQ(-2, MakeDirectoryTree(file + "/below", 0775));
    EXPECT_EQ(-2, MakeDirectoryTree("", 0775));

    EXPECT_EQ(0, unlink(file.c_str()));
    EXPECT_EQ(0, rmdir(deep.c_str()));
    EXPECT_EQ(0, rmdir((root + "/var/log").c_str()));
    EXPECT_EQ(0, rmdir((root + "/var").c_str()));
}

} // namespace
