#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "OSFun.h"
#include "SupportTestUtil.h"

namespace {

TEST(OSFun, ChangeErrCode)
{
    EXPECT_EQ(2, COSFun::ChangeErrCode(2));
    EXPECT_EQ(3, COSFun::ChangeErrCode(13));
    EXPECT_EQ(4, COSFun::ChangeErrCode(17));
    EXPECT_EQ(5, COSFun::ChangeErrCode(28));
    EXPECT_EQ(6, COSFun::ChangeErrCode(39));
    EXPECT_EQ(7, COSFun::ChangeErrCode(24));
    EXPECT_EQ(8, COSFun::ChangeErrCode(999));
    EXPECT_EQ(8, COSFun::ChangeErrCode(0));
}

TEST(OSFun, CaseInsensitiveComparison)
{
    EXPECT_EQ(0, COSFun::strcasecmp("Hello", "hELLO"));
    EXPECT_EQ(-1, COSFun::strcasecmp("abc", "abcd"));
    EXPECT_EQ(1, COSFun::strcasecmp("abcd", "abc"));
    EXPECT_EQ(-3, COSFun::strcasecmp("", "xyz"));
    EXPECT_EQ(0, COSFun::strcasecmp("", ""));
    EXPECT_EQ(-1, COSFun::strcasecmp(nullptr, "a"));
    EXPECT_EQ(-1, COSFun::strcasecmp("a", nullptr));
    EXPECT_EQ('a' - 'b', COSFun::strcasecmp("A", "b"));
    EXPECT_EQ(0, COSFun::strncasecmp("abcX", "ABCy", 3));
    EXPECT_EQ(0, COSFun::strncasecmp("abc", "xyz", 0));
    EXPECT_EQ(0, COSFun::strncasecmp("abc", "xyz", -2));
    EXPECT_EQ(-1, COSFun::strncasecmp(nullptr, nullptr, 3));
    // Bytes >= 0x80 are compared as unsigned characters.
    EXPECT_GT(COSFun::strcasecmp("\xE9", "a"), 0);
}

TEST(OSFun, Trimming)
{
    char blanks[] = "   ";
    EXPECT_STREQ(" ", COSFun::strstrim(blanks));
    char text[] = "value \t\r\n";
    EXPECT_STREQ("value", COSFun::strstrim(text));
    char inner[] = " a b ";
    EXPECT_STREQ(" a b", COSFun::strstrim(inner));
    char empty[] = "";
    EXPECT_STREQ("", COSFun::strstrim(empty));
    EXPECT_EQ(nullptr, COSFun::strstrim((char*)nullptr));
    std::string s = "\n\n";
    EXPECT_EQ("\n", COSFun::strstrim(s));
    s = "x \r\n";
    EXPECT_EQ("x", COSFun::strstrim(s));
}

TEST(OSFun, TimeZoneTruncatesTowardZero)
{
    EXPECT_EQ(8, COSFun::MinutesWestToHours(-480));
    EXPECT_EQ(5, COSFun::MinutesWestToHours(-330));
    EXPECT_EQ(-1, COSFun::MinutesWestToHours(90));
    EXPECT_EQ(0, COSFun::MinutesWestToHours(59));
    EXPECT_EQ(-5, COSFun::MinutesWestToHours(300));
    int tz = COSFun::GetTimeZone();
    EXPECT_GE(tz, -12);
    EXPECT_LE(tz, 14);
}

TEST(OSFun, TimeTexts)
{
    EXPECT_EQ("1970010101000000", COSFun::Time_t2String(0, true, true));
    EXPECT_EQ("1970010101000000", COSFun::Time_t2String(86400 * 30, true, false));
    const time_t t = 1700000000;  // 2023-11-14 22:13:20 UTC, a Tuesday
    EXPECT_EQ("20231114221320GMT", COSFun::Time_t2String(t, true, true));
    EXPECT_EQ("2023-11-14 22:13:20GMT", COSFun::Time_t2String(t, true, false));
    EXPECT_EQ(14u, COSFun::Time_t2String(t, false, true).size());

    char buffer[32];
    EXPECT_EQ(0, COSFun::Time_t2StringCharW(t, buffer, sizeof(buffer), true, true));
    EXPECT_STREQ("2023111402221320GMT", buffer);
    EXPECT_EQ(0, COSFun::Time_t2StringCharW(t, buffer, sizeof(buffer), false, true));
    EXPECT_EQ(16u, strlen(buffer));
    EXPECT_EQ(0, COSFun::Time_t2StringChar(t, buffer, sizeof(buffer), true, false));
    EXPECT_STREQ("2023-11-14 22:13:20GMT", buffer);
    char small[10];
    EXPECT_EQ(-1, COSFun::Time_t2StringChar(t, small, sizeof(small), true, true));
    EXPECT_EQ(-1, COSFun::Time_t2StringChar(t, nullptr, 10, true, true));

    EXPECT_EQ(t, COSFun::String2Time_t("20231114221320", true));
    EXPECT_EQ(t, COSFun::String2Time_t("20231114221320GMT", true));
    EXPECT_EQ(t, COSFun::StringW2Time_t("2023111402221320GMT", true));
    EXPECT_EQ(t, COSFun::String2Time_t(COSFun::Time_t2String(t, false, true).c_str(), false));
    EXPECT_EQ(0, COSFun::String2Time_t(nullptr, true));
    EXPECT_EQ(0, COSFun::String2Time_t("2023111422132", true));
    EXPECT_EQ(0, COSFun::String2Time_t("2023111422132x", true));
    EXPECT_EQ(0, COSFun::StringW2Time_t("20231114221320", true));
    EXPECT_EQ(14u, COSFun::GetTimeStr(false, true).size());
}

TEST(OSFun, Directories)
{
    TempDir dir;
    std::string deep = dir.Path() + "\\a/b//c/";
    EXPECT_EQ(0, COSFun::RecursiveMakeDir(deep.c_str(), 0750));
    EXPECT_EQ(1, COSFun::IsDir((dir.Path() + "/a/b/c").c_str()));
    EXPECT_EQ(0750u, FileMode(dir.Path() + "/a/b"));
    EXPECT_EQ(0, COSFun::RecursiveMakeDir(deep.c_str(), 0750));  // already there
    EXPECT_EQ(-1, COSFun::RecursiveMakeDir(std::string(256, 'x').c_str(), 0755));

    std::string file = dir.File("file");
    ASSERT_TRUE(WriteFile(file, "x"));
    EXPECT_EQ(1, COSFun::IsFileExisted(file.c_str()));
    EXPECT_EQ(0, COSFun::IsFileExisted(dir.File("none").c_str()));
    EXPECT_EQ(0, COSFun::IsDir(file.c_str()));
    EXPECT_EQ(-1, COSFun::IsDir(dir.File("none").c_str()));
    EXPECT_EQ(-1, COSFun::MakeDir(file.c_str(), 0755));
    EXPECT_EQ(-1, COSFun::RecursiveMakeDir((file + "/sub").c_str(), 0755));
    EXPECT_EQ(0, COSFun::MakeDir(dir.File("m").c_str(), 0700));
    EXPECT_EQ(0700u, FileMode(dir.File("m")));
}

TEST(OSFun, DeleteTreeStaysInsideTheTree)
{
    TempDir dir;
    std::string outside = dir.File("outside");
    ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
    ASSERT_TRUE(WriteFile(outside + "/keep", "k"));
    std::string tree = dir.File("tree");
    ASSERT_EQ(0, COSFun::RecursiveMakeDir((tree + "/x/y").c_str(), 0755));
    ASSERT_TRUE(WriteFile(tree + "/x/y/f", "f"));
    ASSERT_TRUE(WriteFile(tree + "/g", "g"));
    ASSERT_EQ(0, symlink(outside.c_str(), (tree + "/x/link").c_str()));
    EXPECT_EQ(0, COSFun::DeleteTree(tree.c_str()));
    EXPECT_FALSE(PathExists(tree));
    EXPECT_TRUE(PathExists(outside + "/keep"));

    // A link given as the tree itself is not followed.
    std::string link = dir.File("link");
    ASSERT_EQ(0, symlink(outside.c_str(), link.c_str()));
    EXPECT_EQ(2, COSFun::DeleteTree(link.c_str()));
    EXPECT_TRUE(PathExists(outside + "/keep"));

    EXPECT_EQ(2, COSFun::DeleteTree(dir.File("none").c_str()));
    EXPECT_EQ(1, COSFun::DeleteTree(std::string(260, 'x').c_str()));
}

std::vector<std::string> gSeen;
int Collect(const char* path)
{
    gSeen.push_back(path);
    return 5;
}
int StopAtB(const char* path, void* arg)
{
    ++*static_cast<int*>(arg);
    return std::string(path).find("/b") != std::string::npos ? -7 : 0;
}

TEST(OSFun, SeekDir)
{
    TempDir dir;
    for (const char* n : {"a", "b", "c"})
        ASSERT_TRUE(WriteFile(dir.File(n), n));
    gSeen.clear();
    EXPECT_EQ(5, COSFun::SeekDir(dir.Path().c_str(), Collect));
    EXPECT_EQ(3u, gSeen.size());
    for (const std::string& s : gSeen)
        EXPECT_EQ(dir.Path() + "/", s.substr(0, dir.Path().size() + 1));
    int calls = 0;
    EXPECT_EQ(-7, COSFun::SeekDir(dir.Path().c_str(), StopAtB, &calls));
    EXPECT_LE(calls, 3);
    EXPECT_EQ(0, COSFun::SeekDir(dir.File("none").c_str(), Collect));

    // An entry whose full path would pass 511 characters is skipped.
    std::string longDir = dir.Path();
    while (longDir.size() < 300) {
        longDir += "/" + std::string(100, 'd');
        ASSERT_EQ(0, mkdir(longDir.c_str(), 0755));
    }
    ASSERT_TRUE(WriteFile(longDir + "/" + std::string(250, 'f'), "x"));
    ASSERT_TRUE(WriteFile(longDir + "/short", "x"));
    gSeen.clear();
    EXPECT_EQ(5, COSFun::SeekDir(longDir.c_str(), Collect));
    ASSERT_EQ(1u, gSeen.size());
    EXPECT_EQ(longDir + "/short", gSeen[0]);
}

TEST(OSFun, RecursiveChownDoesNotFollowLinks)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to change owners";
    }
    TempDir dir;
    std::string outside = dir.File("outside");
    ASSERT_TRUE(WriteFile(outside, "o"));
    std::string tree = dir.File("tree");
    ASSERT_EQ(0, COSFun::RecursiveMakeDir((tree + "/sub").c_str(), 0755));
    ASSERT_TRUE(WriteFile(tree + "/sub/f", "f"));
    ASSERT_EQ(0, symlink(outside.c_str(), (tree + "/sub/link").c_str()));
    EXPECT_EQ(0, COSFun::RecursiveChown(tree.c_str(), 4321, 4322));
    struct stat st;
    ASSERT_EQ(0, stat((tree + "/sub/f").c_str(), &st));
    EXPECT_EQ(4321u, st.st_uid);
    EXPECT_EQ(4322u, st.st_gid);
    ASSERT_EQ(0, lstat((tree + "/sub/link").c_str(), &st));
    EXPECT_EQ(4321u, st.st_uid);
    ASSERT_EQ(0, stat(outside.c_str(), &st));
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(-1, COSFun::RecursiveChown(dir.File("none").c_str(), 1, 1));
    EXPECT_EQ(-2, COSFun::RecursiveChown(tree.c_str(), nullptr, "root"));
    EXPECT_EQ(-4, COSFun::RecursiveChown(tree.c_str(), "no-such-user-xq", "root"));
    EXPECT_EQ(-3, COSFun::RecursiveChown(tree.c_str(), "root", "no-such-group-xq"));
    EXPECT_EQ(0, COSFun::RecursiveChown(tree.c_str(), "root", "root"));
    ASSERT_EQ(0, stat((tree + "/sub/f").c_str(), &st));
    EXPECT_EQ(0u, st.st_uid);
}

TEST(OSFun, FilesAndNames)
{
    TempDir dir;
    std::string path = dir.File("f.txt");
    EXPECT_EQ(5, COSFun::StringToFile("hello", path.c_str()));
    EXPECT_EQ(0664u, FileMode(path));
    std::string text;
    EXPECT_EQ(5, COSFun::FileToString(path.c_str(), text));
    EXPECT_EQ("hello", text);
    std::string big(5000, 'b');
    EXPECT_EQ(5000, COSFun::StringToFile(big, path.c_str()));
    EXPECT_EQ(5000, COSFun::FileToString(path.c_str(), text));
    EXPECT_EQ(big, text);
    EXPECT_EQ(-1, COSFun::FileToString(dir.File("none").c_str(), text));
    EXPECT_EQ("", text);

    std::string d = "keep";
    COSFun::GetDirFromFileName("/www/tmp/edid.bin", d);
    EXPECT_EQ("/www/tmp/", d);
    COSFun::GetDirFromFileName("edid.bin", d);
    EXPECT_EQ(".", d);
    COSFun::GetDirFromFileName(nullptr, d);
    EXPECT_EQ(".", d);
    COSFun::GetDirFromFileName((std::string(2000, 'p') + "/x").c_str(), d);
    EXPECT_EQ(1025u, d.size());

    std::string n = "a\\b\\c";
    COSFun::FormatDirName(n);
    EXPECT_EQ("a/b/c/", n);
    n = "a/b///";
    COSFun::FormatDirName(n);
    EXPECT_EQ("a/b/", n);
    n = "//a\\\\b//c";
    COSFun::FormatFileName(n);
    EXPECT_EQ("/a/b/c", n);
    EXPECT_TRUE(COSFun::IsFilePostfix("image.HEX", ".hex"));
    EXPECT_FALSE(COSFun::IsFilePostfix("image.hex.bak", ".hex"));
    EXPECT_FALSE(COSFun::IsFilePostfix("x", ".hex"));
    EXPECT_FALSE(COSFun::IsFilePostfix(nullptr, ".hex"));
}

TEST(OSFun, AtomicWriteKeepsTheOldFileOnFailure)
{
    TempDir dir;
    std::string path = dir.File("Velmar.xml");
    ASSERT_EQ(0, COSFun::WriteFileAtomic(path.c_str(), "old", 3, 0640));
    EXPECT_EQ(0640u, FileMode(path));
    ASSERT_EQ(0, mkdir((path + ".tmp").c_str(), 0755));
    EXPECT_EQ(-1, COSFun::WriteFileAtomic(path.c_str(), "new", 3, 0640));
    EXPECT_EQ("old", ReadText(path));
    ASSERT_EQ(0, rmdir((path + ".tmp").c_str()));
    // A link planted at the temporary name is not written through.
    std::string victim = dir.File("victim");
    ASSERT_TRUE(WriteFile(victim, "v"));
    ASSERT_EQ(0, symlink(victim.c_str(), (path + ".tmp").c_str()));
    EXPECT_EQ(-1, COSFun::WriteFileAtomic(path.c_str(), "new", 3, 0640));
    EXPECT_EQ("v", ReadText(victim));
    EXPECT_EQ("old", ReadText(path));
    ASSERT_EQ(0, unlink((path + ".tmp").c_str()));
    EXPECT_EQ(0, COSFun::WriteFileAtomic(path.c_str(), "new", 3, 0640));
    EXPECT_EQ("new", ReadText(path));
    EXPECT_FALSE(PathExists(path + ".tmp"));
    EXPECT_EQ(-1, COSFun::WriteFileAtomic(dir.File("no/dir").c_str(), "x", 1, 0640));
    EXPECT_EQ(-1, COSFun::WriteFileAtomic(nullptr, "x", 1, 0640));
    EXPECT_EQ(0, COSFun::WriteFileAtomic(path.c_str(), nullptr, 0, 0640));
    EXPECT_EQ("", ReadText(path));
}

volatile sig_atomic_t gHangup = 0;
void OnHangup(int) { gHangup = 1; }

TEST(OSFun, DaemonizeDetachesAndKeepsChildStatus)
{
    TempDir dir;
    std::string report = dir.File("report");
    pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        if (COSFun::Daemonize("test", OnHangup) != 0)
            _exit(3);
        // Now in the daemon: report its state, then run a shell command.
        struct sigaction chld, term, hup;
        sigaction(SIGCHLD, nullptr, &chld);
        sigaction(SIGTERM, nullptr, &term);
        sigaction(SIGHUP, nullptr, &hup);
        raise(SIGTERM);  // ignored
        raise(SIGHUP);
        int status = system("exit 3");
        std::string out = std::to_string(getsid(0) == getpid()) + " " +
                          std::to_string(chld.sa_handler == SIG_DFL) + " " +
                          std::to_string(term.sa_handler == SIG_IGN) + " " +
                          std::to_string(hup.sa_handler == OnHangup) + " " + std::to_string((int)gHangup) + " " +
                          std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        WriteFile(report + ".part", out);
        rename((report + ".part").c_str(), report.c_str());
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(starter, waitpid(starter, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    for (int i = 0; i < 500 && !PathExists(report); ++i)
        usleep(10000);
    EXPECT_EQ("1 1 1 1 1 3", ReadText(report));
}

}  // namespace
