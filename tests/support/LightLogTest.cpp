#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "LightLog.h"
#include "MyAssert.h"
#include "SupportTestUtil.h"

namespace {

const char* const kTimeShape = "9999-99-99 99:99:99.999999";

// Splits "<time> [<level>]: <message> --<line>:<file> " into its parts.
bool ParseLogLine(const std::string& line, std::string* level, std::string* message, std::string* source)
{
    const size_t timeLen = strlen(kTimeShape);
    if (line.size() < timeLen + 6 || !MatchesShape(line.substr(0, timeLen), kTimeShape) ||
        line.compare(timeLen, 2, " [") != 0 || line.back() != ' ')
        return false;
    size_t close = line.find("]: ", timeLen);
    size_t dashes = line.rfind(" --");
    if (close == std::string::npos || dashes == std::string::npos || dashes < close + 3)
        return false;
    *level = line.substr(timeLen + 2, close - timeLen - 2);
    *message = line.substr(close + 3, dashes - close - 3);
    *source = line.substr(dashes + 3, line.size() - dashes - 4);
    return !level->empty() && level->find_first_not_of("0123456789") == std::string::npos;
}

// The open log file is buffered: flush it before looking at the disk.
std::string ReadLog(const std::string& path)
{
    LightLogFlush();
    return ReadText(path);
}

class LightLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        T_LightLogCallBack cb = LightLogStdioCallBack();
        ASSERT_EQ(0, LightLogSetCallBack(&cb));
        fPrefix = fDir.Path() + "/QuorVelmar";
    }
    void TearDown() override
    {
        LightLogExit();
        LightLogSetLevel(LLOG_LEVEL_INFO);
        LightLogSetRateLimit(0, 0);  // the ring tests write thousands of lines from one place
    }
    std::string Name(unsigned n, const char* suffix) const
    {
        char num[8];
        snprintf(num, sizeof(num), "%03u", n);
        return fPrefix + num + suffix;
    }
    void SetUpLog(uint32_t lines, uint32_t files)
    {
        ASSERT_EQ(0, LightLogSetup(fPrefix.c_str(), lines, files, LLOG_LEVEL_DEBUG));
    }
    // Logs text as a plain line through the formatter.
    void Line(const char* text) { LightLogExt(LLOG_LEVEL_INFO, 0, "t", 1, "%s", text); }
    // The message part of every line of a file (banner excluded).
    std::vector<std::string> Messages(const std::string& path) const
    {
        std::vector<std::string> out;
        for (const std::string& l : SplitLines(ReadLog(path))) {
            std::string level, message, source;
            if (ParseLogLine(l, &level, &message, &source))
                out.push_back(message);
        }
        return out;
    }

    TempDir fDir;
    std::string fPrefix;
};

TEST_F(LightLogTest, LineHasTheExactLayout)
{
    SetUpLog(5000, 10);
    LightLogExt(20000, 0, "src/X", 42, "v=%d", 5);
    std::vector<std::string> lines = SplitLines(ReadLog(Name(1, ".logTmp")));
    ASSERT_EQ(2u, lines.size());
    std::string text = ReadLog(Name(1, ".logTmp"));
    std::string second = text.substr(text.find('\n') + 1);
    const size_t timeLen = strlen(kTimeShape);
    EXPECT_TRUE(MatchesShape(second.substr(0, timeLen), kTimeShape)) << second;
    EXPECT_EQ(" [20000]: v=5 --42:src/X \n", second.substr(timeLen)) << second;
    int month = std::stoi(second.substr(5, 2));
    EXPECT_GE(month, 1);
    EXPECT_LE(month, 12);
    time_t now = time(nullptr);
    struct tm parts;
    localtime_r(&now, &parts);
    EXPECT_EQ(parts.tm_year + 1900, std::stoi(second.substr(0, 4)));
}

TEST_F(LightLogTest, BannerOnlyAtTheTopOfTheFirstFile)
{
    SetUpLog(2, 3);
    for (int i = 0; i < 5; ++i)
        Line("x");
    std::vector<std::string> first = SplitLines(ReadLog(Name(1, ".log")));
    ASSERT_EQ(3u, first.size());  // banner plus two counted lines
    // "Www Mmm dd hh:mm:ss yyyy: Log Begin !"
    std::string banner = first[0];
    ASSERT_EQ(37u, banner.size()) << banner;
    EXPECT_TRUE(MatchesShape(banner.substr(11, 14), "99:99:99 9999:")) << banner;
    EXPECT_EQ(" Log Begin !", banner.substr(25));
    EXPECT_EQ(2u, SplitLines(ReadLog(Name(2, ".log"))).size());
    EXPECT_EQ(1u, SplitLines(ReadLog(Name(3, ".logTmp"))).size());
}

TEST_F(LightLogTest, RotationThroughARingOfThree)
{
    SetUpLog(3, 3);
    for (int i = 1; i <= 3; ++i)
        Line(std::to_string(i).c_str());
    // File 001 is full, but it is finished only when 002 is opened.
    EXPECT_TRUE(PathExists(Name(1, ".logTmp")));
    EXPECT_FALSE(PathExists(Name(1, ".log")));
    Line("4");
    EXPECT_FALSE(PathExists(Name(1, ".logTmp")));
    EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), Messages(Name(1, ".log")));
    EXPECT_EQ((std::vector<std::string>{"4"}), Messages(Name(2, ".logTmp")));
    for (int i = 5; i <= 9; ++i)
        Line(std::to_string(i).c_str());
    EXPECT_TRUE(PathExists(Name(3, ".logTmp")));
    EXPECT_FALSE(PathExists(Name(3, ".log")));
    Line("10");  // the ring wraps: 001 is truncated and 003 is finished
    EXPECT_EQ((std::vector<std::string>{"10"}), Messages(Name(1, ".logTmp")));
    EXPECT_FALSE(PathExists(Name(1, ".log")));
    EXPECT_EQ((std::vector<std::string>{"7", "8", "9"}), Messages(Name(3, ".log")));
    EXPECT_EQ((std::vector<std::string>{"4", "5", "6"}), Messages(Name(2, ".log")));
    EXPECT_EQ(1u, g_b8IsLastFileExist_LLOG);
}

// The previous run's open file (".logTmp") and the completed file after it,
// which the new run takes over.
struct ResumeCase {
    unsigned open;
    unsigned next;
};

class LightLogResumeTest : public LightLogTest, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(LightLogResumeTest, ResumesInTheFileAfterThePreviousRuns)
{
    const ResumeCase c = GetParam();
    ASSERT_TRUE(WriteFile(Name(c.open, ".logTmp"), "old open\n"));
    ASSERT_TRUE(WriteFile(Name(c.next, ".log"), "old next\n"));
    SetUpLog(5000, 10);
    Line("new");
    EXPECT_EQ((std::vector<std::string>{"new"}), Messages(Name(c.next, ".logTmp")));
    EXPECT_FALSE(PathExists(Name(c.next, ".log")));
    EXPECT_EQ("old open\n", ReadLog(Name(c.open, ".log")));
    EXPECT_FALSE(PathExists(Name(c.open, ".logTmp")));
}

// After the last file of the ring of ten the run restarts at one.
INSTANTIATE_TEST_SUITE_P(Ring, LightLogResumeTest, ::testing::Values(ResumeCase{4, 5}, ResumeCase{10, 1}));

TEST_F(LightLogTest, RingOfOneTruncatesAndNeverRenames)
{
    SetUpLog(2, 1);
    for (int i = 1; i <= 5; ++i)
        Line(std::to_string(i).c_str());
    EXPECT_EQ((std::vector<std::string>{"5"}), Messages(Name(1, ".logTmp")));
    EXPECT_FALSE(PathExists(Name(1, ".log")));
    EXPECT_FALSE(PathExists(Name(2, ".logTmp")));
}

TEST_F(LightLogTest, LevelsAndLimits)
{
    SetUpLog(0, 0);
    EXPECT_EQ(100000u, g_u32MaxLine_LLOG);
    EXPECT_EQ(999u, g_u32MaxFileNum_LLOG);
    ASSERT_EQ(0, LightLogSetup(fPrefix.c_str(), 200000, 1000, 30000));
    EXPECT_EQ(100000u, g_u32MaxLine_LLOG);
    EXPECT_EQ(999u, g_u32MaxFileNum_LLOG);
    EXPECT_EQ(30000u, g_u32OutLogLevel.load());
    ASSERT_EQ(0, LightLogSetup(fPrefix.c_str(), 100000, 999, 12345));  // not a threshold
    EXPECT_EQ(100000u, g_u32MaxLine_LLOG);
    EXPECT_EQ(999u, g_u32MaxFileNum_LLOG);
    EXPECT_EQ(30000u, g_u32OutLogLevel.load());

    EXPECT_EQ(0, LightLogSetLevel(50000));
    EXPECT_EQ(0, LightLogSetLevel(15000));
    EXPECT_EQ(30000u, g_u32OutLogLevel.load());
    LightLogExt(29999, 0, "t", 1, "below");
    LightLogExt(30000, 0, "t", 1, "at");
    LightLogExt(50000, 0, "t", 1, "fatal");
    LightLogSetLevel(40000);
    LightLogExt(30000, 0, "t", 1, "filtered");
    LightLogSetLevel(10000);
    LightLogExt(10000, 0, "t", 1, "debug");
    EXPECT_EQ((std::vector<std::string>{"at", "fatal", "debug"}), Messages(Name(1, ".logTmp")));
}

TEST_F(LightLogTest, ThreeDigitNumbersAndTheLongestPrefix)
{
    // A prefix of exactly 240 characters fits the file name buffer.
    std::string dir = fDir.Path() + "/";
    dir += std::string(200 - dir.size(), 'd');
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    fPrefix = dir + "/" + std::string(240 - dir.size() - 1, 'p');
    ASSERT_EQ(240u, fPrefix.size());
    ASSERT_TRUE(WriteFile(Name(122, ".logTmp"), "x\n"));
    SetUpLog(5000, 200);
    Line("hello");
    EXPECT_EQ((std::vector<std::string>{"hello"}), Messages(Name(123, ".logTmp")));
    EXPECT_TRUE(PathExists(Name(122, ".log")));

    EXPECT_EQ(LLOG_ERR_PREFIX, LightLogSetup((fPrefix + "p").c_str(), 5000, 10, 20000));
    EXPECT_EQ(LLOG_ERR_PREFIX, LightLogSetup("", 5000, 10, 20000));
    EXPECT_EQ(LLOG_ERR_ARGUMENT, LightLogSetup(nullptr, 5000, 10, 20000));
}

TEST_F(LightLogTest, LongMessagesAreCut)
{
    SetUpLog(5000, 10);
    std::string huge(5000, 'a');
    LightLogExt(20000, 0, "src/Y", 7, "%s", huge.c_str());
    std::vector<std::string> lines = SplitLines(ReadLog(Name(1, ".logTmp")));
    ASSERT_EQ(2u, lines.size());
    // The message is cut at 1919 characters; the suffix still fits the line.
    EXPECT_NE(std::string::npos, lines[1].find(std::string(1919, 'a') + " --7:src/Y "));
    EXPECT_EQ(std::string::npos, lines[1].find(std::string(1920, 'a')));

    std::string longFile(3000, 'f');
    LightLogExt(20000, 0, longFile.c_str(), 7, "m");
    lines = SplitLines(ReadLog(Name(1, ".logTmp")));
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(2047u, lines[2].size());
}

TEST_F(LightLogTest, OutsideTextIsNeverAFormat)
{
    SetUpLog(5000, 10);
    LightLogExt(20000, 0, "t", 1, "%s", "MCU %s%s%n");
    EXPECT_EQ((std::vector<std::string>{"MCU %s%s%n"}), Messages(Name(1, ".logTmp")));
}

TEST_F(LightLogTest, ControlBytesFromOutsideAreEscaped)
{
    SetUpLog(5000, 10);
    // A peer's CR LF cannot start a forged line; tabs and the board's own
    // character set stay.
    LightLogExt(20000, 0, "t", 1, "<%s>", "ok\r\n2026-01-01 00:00:00.000000 [40000]: forged\x7f\x01\t\xA3\xAC");
    EXPECT_EQ((std::vector<std::string>{"<ok\\x0D\\x0A2026-01-01 00:00:00.000000 [40000]: forged\\x7F\\x01\t\xA3\xAC>"}),
              Messages(Name(1, ".logTmp")));
    char out[8];
    LightLogEscape("ab\ncd", out, sizeof(out));  // cut before a whole escape
    EXPECT_STREQ("ab\\x0Ac", out);
    LightLogEscape("abc\n", out, 7);
    EXPECT_STREQ("abc", out);
}

TEST_F(LightLogTest, NothingIsWrittenBeforeSetUpOrAfterExit)
{
    T_LightLogCallBack none = {nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(LLOG_ERR_ARGUMENT, LightLogSetCallBack(&none));
    EXPECT_EQ(LLOG_ERR_ARGUMENT, LightLogSetCallBack(nullptr));
    EXPECT_EQ(LLOG_ERR_ARGUMENT, LightLog("before callbacks"));
    EXPECT_EQ(LLOG_ERR_ARGUMENT, LightLogSetup(fPrefix.c_str(), 10, 10, 20000));
    LightLogFlush();

    T_LightLogCallBack cb = LightLogStdioCallBack();
    ASSERT_EQ(0, LightLogSetCallBack(&cb));
    EXPECT_EQ(LLOG_ERR_PREFIX, LightLog("callbacks but no set-up"));
    EXPECT_FALSE(PathExists("000.logTmp"));
    EXPECT_FALSE(PathExists("001.logTmp"));

    SetUpLog(10, 10);
    EXPECT_EQ(0, LightLog("one"));
    EXPECT_EQ(0, LightLogExit());
    EXPECT_EQ(LLOG_ERR_PREFIX, LightLog("after exit"));
    EXPECT_EQ(LLOG_ERR_ARGUMENT, LightLog(""));
    EXPECT_EQ(LLOG_ERR_ARGUMENT, LightLog(nullptr));
    EXPECT_EQ(2u, SplitLines(ReadLog(Name(1, ".logTmp"))).size());
}

// Callbacks that fail on demand.
std::atomic<int> gFailWriteAfter{-1};
std::atomic<bool> gFailClose{false};
std::atomic<int> gFlushes{0};

FILE* TestOpen(const char* path, const char* mode) { return fopen(path, mode); }
size_t TestWrite(const void* buffer, size_t size, size_t count, FILE* handle)
{
    if (gFailWriteAfter.load() == 0)
        return 0;
    if (gFailWriteAfter.load() > 0)
        --gFailWriteAfter;
    return fwrite(buffer, size, count, handle);
}
int TestClose(FILE* handle)
{
    int r = fclose(handle);
    return gFailClose.load() ? -1 : r;
}
int TestFlush(FILE* handle)
{
    ++gFlushes;
    return fflush(handle);
}

class LightLogFaultTest : public LightLogTest {
protected:
    void SetUp() override
    {
        gFailWriteAfter = -1;
        gFailClose = false;
        gFlushes = 0;
        T_LightLogCallBack cb = {TestOpen, TestWrite, TestClose, TestFlush};
        ASSERT_EQ(0, LightLogSetCallBack(&cb));
        fPrefix = fDir.Path() + "/QuorVelmar";
    }
};

TEST_F(LightLogFaultTest, ShortWriteIsReported)
{
    SetUpLog(10, 3);
    ASSERT_EQ(0, LightLog("ok"));
    gFailWriteAfter = 0;
    EXPECT_EQ(LLOG_ERR_WRITE, LightLog("lost"));
    gFailWriteAfter = 1;  // the line is written, its newline is not
    EXPECT_EQ(LLOG_ERR_WRITE, LightLog("half"));
    gFailWriteAfter = -1;
    EXPECT_EQ(0, LightLog("again"));
}

TEST_F(LightLogFaultTest, FailedCloseStillMovesToTheNextFile)
{
    SetUpLog(2, 3);
    ASSERT_EQ(0, LightLog("a"));
    gFailClose = true;
    EXPECT_EQ(LLOG_ERR_CLOSE, LightLog("b"));
    gFailClose = false;
    EXPECT_EQ(0, LightLog("c"));
    // The two lines of 001 survive; "c" went into 002.
    std::vector<std::string> first = SplitLines(ReadLog(Name(1, ".log")));
    ASSERT_EQ(3u, first.size());
    EXPECT_EQ("a", first[1]);
    EXPECT_EQ("b", first[2]);
    EXPECT_EQ("c\n", ReadLog(Name(2, ".logTmp")));
}

TEST_F(LightLogFaultTest, FailedOpenAndRenameAreReported)
{
    std::string dir = fDir.Path() + "/later";
    fPrefix = dir + "/QuorVelmar";  // its directory does not exist yet
    SetUpLog(2, 3);
    EXPECT_EQ(LLOG_ERR_OPEN, LightLog("x"));
    EXPECT_EQ(LLOG_ERR_OPEN, LightLog("x"));
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    EXPECT_EQ(0, LightLog("1"));
    EXPECT_EQ(0, LightLog("2"));
    ASSERT_EQ(0, unlink(Name(1, ".logTmp").c_str()));  // nothing left to finish
    EXPECT_EQ(LLOG_ERR_RENAME, LightLog("lost"));
    EXPECT_EQ(0, LightLog("kept"));  // the new file stays open
    EXPECT_EQ("kept\n", ReadLog(Name(2, ".logTmp")));
}

TEST_F(LightLogFaultTest, FlushOnlyWithAnOpenFile)
{
    SetUpLog(1, 3);
    LightLogFlush();
    EXPECT_EQ(0, gFlushes.load());
    LightLogExt(20000, 1, "t", 1, "flushed");  // closes the full file before the flush
    EXPECT_EQ(0, gFlushes.load());
    ASSERT_EQ(0, LightLogSetup(fPrefix.c_str(), 10, 3, 20000));
    LightLogExt(20000, 1, "t", 1, "flushed");
    EXPECT_EQ(1, gFlushes.load());
}

TEST_F(LightLogTest, ConcurrentWritersWithFlushAndRotation)
{
    const int kThreads = 4;
    const int kLines = 300;
    SetUpLog(7, 5);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                LightLogExt(20000, (i % 3) == 0, "t", t, "w%d-%d", t, i);
        });
    for (std::thread& th : threads)
        th.join();
    // Every line of the ring is whole; the ring keeps the last 5 files.
    size_t total = 0;
    for (unsigned n = 1; n <= 5; ++n) {
        std::string path = PathExists(Name(n, ".log")) ? Name(n, ".log") : Name(n, ".logTmp");
        for (const std::string& l : SplitLines(ReadLog(path))) {
            std::string level, message, source;
            int t = -1, i = -1;
            EXPECT_TRUE(ParseLogLine(l, &level, &message, &source)) << l;
            EXPECT_EQ("20000", level);
            EXPECT_EQ(2, sscanf(message.c_str(), "w%d-%d", &t, &i)) << l;
            EXPECT_EQ(std::to_string(t) + ":t", source);
            ++total;
        }
    }
    EXPECT_EQ((size_t)(kThreads * kLines) % 7 + 28, total);
}

TEST_F(LightLogTest, FailedChecksGoIntoTheLog)
{
    SetUpLog(100, 3);
    LightLogInstallAssertSink();
    MyAssert("_Assert: src/Z, 12");
    SetMyAssertSink(nullptr);
    EXPECT_EQ((std::vector<std::string>{"_Assert: src/Z, 12"}), Messages(Name(1, ".logTmp")));
    EXPECT_NE(std::string::npos, ReadLog(Name(1, ".logTmp")).find("[40000]"));
}

// Each place writes its burst, the rest is counted; the count is written
// once the window is over, at the place's level and with its source, and the
// place writes again.
TEST_F(LightLogTest, EachPlaceIsLimitedAndTheHeldBackLinesAreCounted)
{
    SetUpLog(5000, 10);
    const uint32_t kWindowMs = 300;
    LightLogSetRateLimit(3, kWindowMs);
    struct {
        const char* file;
        int line;
        uint32_t level;
        int count;
    } const kPlaces[] = {{"src/A", 1, 20000, 10}, {"src/A", 2, 40000, 5}, {"src/B", 1, 20000, 2}};
    for (const auto& place : kPlaces) {
        for (int i = 0; i < place.count; ++i)
            LightLogExt(place.level, 0, place.file, place.line, "n%d", i);
    }
    EXPECT_EQ((std::vector<std::string>{"n0", "n1", "n2", "n0", "n1", "n2", "n0", "n1"}),
              Messages(Name(1, ".logTmp")));
    LightLogReportHeldBack(false);  // the window is not over: nothing yet
    EXPECT_EQ(8u, Messages(Name(1, ".logTmp")).size());

    usleep((kWindowMs + 50) * 1000);
    LightLogReportHeldBack(false);
    LightLogExt(20000, 0, "src/A", 1, "again");
    std::string text = ReadLog(Name(1, ".logTmp"));
    const char kCount[] = "more lines from here were held back (at most 3 in 300 ms).";
    EXPECT_NE(std::string::npos, text.find("[20000]: Log rate limit: <7> " + std::string(kCount) + " --1:src/A"))
        << text;
    EXPECT_NE(std::string::npos, text.find("[40000]: Log rate limit: <2> " + std::string(kCount) + " --2:src/A"))
        << text;
    EXPECT_EQ(std::string::npos, text.find("--1:src/B \nLog")) << text;
    EXPECT_EQ("again", Messages(Name(1, ".logTmp")).back());
    EXPECT_EQ(11u, Messages(Name(1, ".logTmp")).size());
}

}  // namespace
