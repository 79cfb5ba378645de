// The supervisor's log: entry format, the numbered ring, bounded live file.
#include "SimpleLog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "TestFiles.h"

namespace {

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Parses the "YYYY-MM-DD hh:mm:ss " prefix of an entry as local time.
bool EntryTime(const std::string& entry, time_t* when)
{
    if (entry.size() < 20 || entry[19] != ' ')
        return false;
    struct tm local = {};
    const char* end = strptime(entry.c_str(), "%Y-%m-%d %H:%M:%S", &local);
    if (end != entry.c_str() + 19)
        return false;
    local.tm_isdst = -1;
    *when = mktime(&local);
    return true;
}

class SimpleLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = test_files::MakeTempDir("velmarcmd-log");
        ASSERT_FALSE(m_dir.empty());
        m_log = m_dir + "/x.log";
    }
    void TearDown() override { test_files::RemoveTree(m_dir); }

    std::string Numbered(int n) const { return m_log + "." + std::to_string(n); }

    // Runs `write` with standard output going to a file; returns what it got.
    template <typename Fn>
    std::string CaptureStdout(Fn write)
    {
        const std::string path = m_dir + "/stdout";
        fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (saved < 0 || fd < 0)
            return "capture failed";
        dup2(fd, STDOUT_FILENO);
        close(fd);
        write();
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        return test_files::ReadText(path);
    }

    std::string m_dir;
    std::string m_log;
};

TEST_F(SimpleLogTest, RollfileShiftsEveryNumberedFileUpByOneFromTheTop)
{
    WriteFile(m_log, "live");
    for (int n = 0; n <= 9; ++n)
        WriteFile(Numbered(n), "was " + std::to_string(n));
    rollfile(m_log.c_str());
    EXPECT_EQ("live", test_files::ReadText(m_log));
    EXPECT_FALSE(Exists(Numbered(0)));
    EXPECT_FALSE(Exists(Numbered(1)));
    for (int n = 2; n <= 10; ++n)
        EXPECT_EQ("was " + std::to_string(n - 1), test_files::ReadText(Numbered(n))) << "file " << n;
    EXPECT_FALSE(Exists(Numbered(11)));
}

TEST_F(SimpleLogTest, RollfileMovesOnlyWhatExistsAndDropsTheOldTenth)
{
    WriteFile(Numbered(3), "was 3");
    WriteFile(Numbered(9), "was 9");
    WriteFile(Numbered(10), "was 10");
    rollfile(m_log.c_str());
    EXPECT_EQ("was 3", test_files::ReadText(Numbered(4)));
    EXPECT_EQ("was 9", test_files::ReadText(Numbered(10)));
    for (int n : {0, 1, 2, 3, 5, 6, 7, 8, 9, 11})
        EXPECT_FALSE(Exists(Numbered(n))) << "file " << n;
    EXPECT_FALSE(Exists(m_log));
}

TEST_F(SimpleLogTest, SimplelogWritesOneTimeStampedLineToStdoutAndFile)
{
    const time_t before = time(nullptr);
    const std::string out = CaptureStdout([&] { simplelog(m_log.c_str(), "Proccess [%s]<%d> %s", "a%sb", 42, "x"); });
    const time_t after = time(nullptr);

    const std::string message = "Proccess [a%sb]<42> x\n";
    ASSERT_EQ(20u + message.size(), out.size()) << out;
    EXPECT_EQ(message, out.substr(20));
    time_t stamped = 0;
    ASSERT_TRUE(EntryTime(out, &stamped)) << out;
    EXPECT_LE(before, stamped);
    EXPECT_GE(after, stamped);
    EXPECT_EQ(out, test_files::ReadText(m_log));
}

TEST_F(SimpleLogTest, SimpleonlylogWritesTheFileOnly)
{
    const std::string out = CaptureStdout([&] { simpleonlylog(m_log.c_str(), "starting [%s]<%d> ..........", "p", 7); });
    EXPECT_EQ("", out);
    const std::string entry = test_files::ReadText(m_log);
    time_t stamped = 0;
    ASSERT_TRUE(EntryTime(entry, &stamped)) << entry;
    EXPECT_EQ("starting [p]<7> ..........\n", entry.substr(20));
}

TEST_F(SimpleLogTest, EntriesBelowTheLimitLeaveTheArchivesInPlace)
{
    WriteFile(Numbered(1), "old");
    CaptureStdout([&] { simplelog(m_log.c_str(), "one"); });
    simpleonlylog(m_log.c_str(), "two");
    EXPECT_EQ("old", test_files::ReadText(Numbered(1)));
    EXPECT_FALSE(Exists(Numbered(2)));
    const std::string live = test_files::ReadText(m_log);
    ASSERT_EQ(48u, live.size()) << live;
    EXPECT_EQ(" one\n", live.substr(19, 5));
    EXPECT_EQ(" two\n", live.substr(43, 5));
}

// The live file goes into the ring as "<log>.1" once it is above 1 MiB, so
// the log never holds more than the live file and ten numbered ones.
TEST_F(SimpleLogTest, LiveFileMovesIntoTheRingOnceAboveOneMiB)
{
    const long entrySize = 20 + 3 + 1; // stamp, "abc", line feed
    WriteFile(m_log, std::string(static_cast<size_t>(kLiveLogLimitBytes - entrySize), 'z'));
    WriteFile(Numbered(1), "older");

    simpleonlylog(m_log.c_str(), "abc"); // exactly at the limit: stays
    struct stat st;
    ASSERT_EQ(0, stat(m_log.c_str(), &st));
    EXPECT_EQ(kLiveLogLimitBytes, st.st_size);
    EXPECT_EQ("older", test_files::ReadText(Numbered(1)));

    simpleonlylog(m_log.c_str(), "abc"); // one entry beyond: moved after the shift
    EXPECT_FALSE(Exists(m_log));
    ASSERT_EQ(0, stat(Numbered(1).c_str(), &st));
    EXPECT_EQ(kLiveLogLimitBytes + entrySize, st.st_size);
    EXPECT_EQ("older", test_files::ReadText(Numbered(2)));

    simpleonlylog(m_log.c_str(), "new"); // starts afresh
    const std::string live = test_files::ReadText(m_log);
    EXPECT_EQ(static_cast<size_t>(entrySize), live.size());
    EXPECT_EQ("new\n", live.substr(20));
    ASSERT_EQ(0, stat(Numbered(1).c_str(), &st));
    EXPECT_EQ(kLiveLogLimitBytes + entrySize, st.st_size);
    EXPECT_EQ("older", test_files::ReadText(Numbered(2)));
}

TEST_F(SimpleLogTest, UnwritableLogFileIsSilent)
{
    const std::string missing = m_dir + "/no/such/dir/x.log";
    const std::string out = CaptureStdout([&] {
        simplelog(missing.c_str(), "still %s", "printed");
        simpleonlylog(missing.c_str(), "dropped");
    });
    ASSERT_EQ(20u + 14u, out.size()) << out;
    EXPECT_EQ("still printed\n", out.substr(20));
    EXPECT_FALSE(Exists(missing));
}

} // namespace
