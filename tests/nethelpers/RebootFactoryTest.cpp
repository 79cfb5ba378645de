// Reboot and factory reset on the process's simulated board: the copies in
// their order, the pauses between them, the stop at the first failure and the
// final "reboot". The board programs record their calls in
// var/log/board-calls.log; "cp" and "sync" are replaced by recording
// stand-ins for these tests, and the pauses are recorded in the same log
// instead of being slept.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "NetHelpersTestSupport.h"
#include "QuorVelmarFunction.h"

using net_test::LogSince;
using net_test::ProcessBoardRoot;

namespace {

struct Copy {
    const char* from;
    const char* to;
};

const Copy kCopies[] = {
    {"/var/tmpfs/SavePowerOff_Default.conf", "/var/tmpfs/SavePowerOff.conf"},
    {"/var/tmpfs/interfaces_static", "/etc/network/interfaces"},
    {"/Velmar/bin/S50dropbear_static", "/etc/init.d/S50dropbear"},
    {"/usr/sbin/configip_bak", "/usr/sbin/configip"},
    {"/www/images/logo_factory.png", "/www/images/logo.png"},
    {"/Velmar/etc/Velmar_factory.xml", "/Velmar/etc/Velmar.xml"},
};

std::string CopyCall(int i)
{
    return std::string("cp -f ") + kCopies[i].from + " " + kCopies[i].to + "\n";
}

void RecordWait(unsigned int seconds)
{
    FILE* f = fopen(ProcessBoardRoot::Get().File("/var/log/board-calls.log").c_str(), "ae");
    ASSERT_NE(f, nullptr);
    fprintf(f, "wait %u\n", seconds);
    fclose(f);
}

const char kRecordingCp[] =
    "#!/bin/sh\n"
    ". \"$VELMAR_ROOT/usr/lib/board-sim/board-call.sh\"\n"
    "board_call cp \"$@\"\n"
    "exec /bin/cp \"$@\"\n";

// Exits with the status in var/run/sync-status (0 when there is none).
const char kRecordingSync[] =
    "#!/bin/sh\n"
    ". \"$VELMAR_ROOT/usr/lib/board-sim/board-call.sh\"\n"
    "board_call sync \"$@\"\n"
    "status=$(cat \"$VELMAR_ROOT/var/run/sync-status\" 2>/dev/null || echo 0)\n"
    "exit \"$status\"\n";

class RebootFactoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ProcessBoardRoot::WriteProgram("/usr/bin/cp", kRecordingCp));
        ASSERT_TRUE(ProcessBoardRoot::WriteProgram("/usr/bin/sync", kRecordingSync));
        for (const Copy& copy : kCopies)
            ASSERT_TRUE(board_test::WriteText(File(copy.to), "changed on the device\n")) << copy.to;
        ProcessBoardRoot::ClearCalls();
    }
    void TearDown() override
    {
        remove(File("/usr/bin/cp").c_str());
        remove(File("/usr/bin/sync").c_str());
        remove(File("/var/run/sync-status").c_str());
        for (const auto& moved : fMoved)
            rename(File(moved.second).c_str(), File(moved.first).c_str());
    }

    static std::string File(const std::string& boardPath) { return ProcessBoardRoot::Get().File(boardPath); }
    static std::string Read(const std::string& boardPath) { return ProcessBoardRoot::Get().Read(boardPath); }

    // Takes a factory copy away (put back at the end).
    void Remove(const std::string& boardPath)
    {
        ASSERT_EQ(rename(File(boardPath).c_str(), File(boardPath + ".away").c_str()), 0);
        fMoved.push_back({boardPath, boardPath + ".away"});
    }

    void ExpectRestored(int first, int last)
    {
        for (int i = first; i <= last; ++i) {
            EXPECT_EQ(Read(kCopies[i].to), Read(kCopies[i].from)) << kCopies[i].to;
            EXPECT_FALSE(Read(kCopies[i].to).empty()) << kCopies[i].from;
        }
    }
    void ExpectUntouched(int first, int last)
    {
        for (int i = first; i <= last; ++i)
            EXPECT_EQ(Read(kCopies[i].to), "changed on the device\n") << kCopies[i].to;
    }

private:
    std::vector<std::pair<std::string, std::string>> fMoved;
};

TEST_F(RebootFactoryTest, RestoresEveryCopyInOrderThenSyncsWaitsAndReboots)
{
    LogSince log;
    testing::internal::CaptureStdout();
    EXPECT_EQ(RebootFactory(RecordWait), 1);
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(ProcessBoardRoot::Calls(), CopyCall(0) + "wait 1\n" + CopyCall(1) + CopyCall(2) + CopyCall(3) +
                                              CopyCall(4) + "wait 1\n" + CopyCall(5) + "sync\nwait 5\nreboot\n");
    ExpectRestored(0, 5);
    EXPECT_EQ(out, "Factory Reset is OK and system reboot Now!\n");

    const std::vector<std::string> lines = {
        "system is <cp -f /var/tmpfs/SavePowerOff_Default.conf /var/tmpfs/SavePowerOff.conf> OK!",
        "system script reset is <cp -f /var/tmpfs/interfaces_static /etc/network/interfaces> OK!",
        "system is <cp -f /Velmar/bin/S50dropbear_static /etc/init.d/S50dropbear> OK!",
        "system is <cp -f /usr/sbin/configip_bak /usr/sbin/configip> OK!",
        "reuse Logo Image is <cp -f /www/images/logo_factory.png /www/images/logo.png> OK!",
        "Use Factory XML is <cp -f /Velmar/etc/Velmar_factory.xml /Velmar/etc/Velmar.xml> OK!",
        "system sync is OK!",
        "Factory Reset is OK and system reboot Now!",
        "system reboot is OK!"};
    size_t at = 0;
    std::string text = log.Text();
    for (const std::string& line : lines) {
        size_t found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << text;
        at = found + line.size();
    }
}

TEST_F(RebootFactoryTest, StopsAtAFailingCopyAndLeavesTheEarlierOnes)
{
    Remove("/Velmar/bin/S50dropbear_static");
    LogSince log;
    EXPECT_EQ(RebootFactory(RecordWait), 0);
    EXPECT_EQ(ProcessBoardRoot::Calls(), CopyCall(0) + "wait 1\n" + CopyCall(1) + CopyCall(2));
    ExpectRestored(0, 1);
    ExpectUntouched(2, 5);
    EXPECT_TRUE(log.Has("######system is <cp -f /Velmar/bin/S50dropbear_static /etc/init.d/S50dropbear> "
                        "s32Rst is <256> Error!"))
        << log.Text();
    EXPECT_FALSE(log.Has("reboot Now"));
}

TEST_F(RebootFactoryTest, AFailingInterfaceCopyHasItsOwnMessage)
{
    Remove("/var/tmpfs/interfaces_static");
    LogSince log;
    EXPECT_EQ(RebootFactory(RecordWait), 0);
    EXPECT_EQ(ProcessBoardRoot::Calls(), CopyCall(0) + "wait 1\n" + CopyCall(1));
    ExpectRestored(0, 0);
    ExpectUntouched(1, 5);
    EXPECT_TRUE(log.Has("######pox_system <cp -f /var/tmpfs/interfaces_static /etc/network/interfaces> Error and "
                        "s32Rst is <256>."))
        << log.Text();
}

TEST_F(RebootFactoryTest, AFailingLastCopyEndsBeforeSync)
{
    Remove("/Velmar/etc/Velmar_factory.xml");
    EXPECT_EQ(RebootFactory(RecordWait), 0);
    std::string calls = ProcessBoardRoot::Calls();
    EXPECT_EQ(calls.find("sync"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("reboot"), std::string::npos) << calls;
    ExpectRestored(0, 4);
    ExpectUntouched(5, 5);
}

TEST_F(RebootFactoryTest, AFailingSyncEndsBeforeTheReboot)
{
    ASSERT_TRUE(board_test::WriteText(File("/var/run/sync-status"), "1\n"));
    LogSince log;
    EXPECT_EQ(RebootFactory(RecordWait), 0);
    EXPECT_EQ(ProcessBoardRoot::Calls(), CopyCall(0) + "wait 1\n" + CopyCall(1) + CopyCall(2) + CopyCall(3) +
                                              CopyCall(4) + "wait 1\n" + CopyCall(5) + "sync\n");
    ExpectRestored(0, 5);
    EXPECT_TRUE(log.Has(" [40000]: ######system sync is Error, s32Rst is <256>!")) << log.Text();
}

TEST_F(RebootFactoryTest, ReportsTheRebootAsRequestedEvenWhenItFails)
{
    const std::string reboot = Read("/sbin/reboot");
    ASSERT_TRUE(ProcessBoardRoot::WriteProgram("/sbin/reboot", "#!/bin/sh\necho reboot >> "
                                                               "\"$VELMAR_ROOT/var/log/board-calls.log\"\nexit 1\n"));
    LogSince log;
    testing::internal::CaptureStdout();
    EXPECT_EQ(RebootFactory(RecordWait), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(log.Has("######system reboot Error!")) << log.Text();
    ASSERT_TRUE(ProcessBoardRoot::WriteProgram("/sbin/reboot", reboot));
}

TEST(RebootSystemTest, ReportsTheStatusOfReboot)
{
    ProcessBoardRoot::ClearCalls();
    {
        LogSince log;
        EXPECT_EQ(RebootSystem(), 1);
        EXPECT_TRUE(log.Has(" [20000]: system reboot is OK!")) << log.Text();
    }
    EXPECT_EQ(ProcessBoardRoot::Calls(), "reboot\n");

    const std::string reboot = ProcessBoardRoot::Get().Read("/sbin/reboot");
    ASSERT_TRUE(ProcessBoardRoot::WriteProgram("/sbin/reboot", "#!/bin/sh\nexit 3\n"));
    {
        LogSince log;
        EXPECT_EQ(RebootSystem(), 0);
        EXPECT_TRUE(log.Has(" [40000]: ######system reboot Error!")) << log.Text();
    }
    ASSERT_TRUE(ProcessBoardRoot::WriteProgram("/sbin/reboot", reboot));
}

} // namespace
