// The management task run by pool 2's threads with its one-second timeout
// entry firing: the resends to a silent MCU and the deferred reboot, timed by
// the real ticks. One task serves every test (tasks live as long as the
// process); each test restarts its start flow.
#include <algorithm>
#include <chrono>

#include "TestClock.h"
#include "ManageTestSupport.h"
#include "QuorVelmarPref.h"
#include "TestFiles.h"

namespace manage_test {
namespace {

using board_test::NowMs;
using test_files::CountOf;

class ManageTimingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CQuorVelmarManageTask::SetPauseFn(PauseRecorder::Pause);
        s_task = new CQuorVelmarManageTask;
        ASSERT_EQ(0, s_task->Initialize());
    }
    void SetUp() override
    {
        g_b8RebootFlag = false;
        // The flow of Initialize (or of the test before) gives up within four ticks.
        for (int i = 0; i < 60 && s_task->IsStartFlowRunning(); ++i)
            usleep(100000);
        ASSERT_FALSE(s_task->IsStartFlowRunning());
        // The flow's last line may still be on its way through the line: it
        // is let in before the records are cleared, so that this test counts
        // its own lines only.
        std::string late;
        while (SerialBoard::Mcu().ReadLine(&late, 500)) {
        }
        SerialBoard::Mcu().ClearRecords();
        ProcessBoardRoot::ClearCalls();
    }
    void TearDown() override { g_b8RebootFlag = false; }

    static CQuorVelmarManageTask* s_task;
};

CQuorVelmarManageTask* ManageTimingTest::s_task = nullptr;

TEST_F(ManageTimingTest, SilentMcuGetsOrderFourTimesAboutASecondApartThenNothing)
{
    ASSERT_EQ(3, CQuorVelmarPref::s_u16Quor_Velmar_MsgReTransmissionNum);
    s_task->DoVelmarStartFlow();
    ASSERT_TRUE(SerialBoard::Mcu().WaitForLine("GET ORDER", 2000));
    std::vector<int64_t> at;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(SerialBoard::Mcu().WaitForLine("GET ORDER", 3000)) << i;
        at.push_back(NowMs());
    }
    EXPECT_FALSE(s_task->IsStartFlowRunning());
    // About a second apart: not in a burst, and no tick left out. Each time
    // is taken when this thread reads the line, which a loaded machine can
    // delay by some hundred milliseconds either side.
    for (size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], 400) << i;
        EXPECT_LE(at[i] - at[i - 1], 1900) << i;
    }
    std::string line;
    EXPECT_FALSE(SerialBoard::Mcu().ReadLine(&line, 2500)) << line;
    std::vector<std::string> all = SerialBoard::Mcu().ReceivedLines();
    EXPECT_EQ(4, std::count(all.begin(), all.end(), "GET ORDER"));
}

TEST_F(ManageTimingTest, RebootFollowsOnTheFifthTickAfterTheFlagIsSet)
{
    // A flow waiting in state 7 logs each tick.
    s_task->DoVelmarStartFlow();
    ASSERT_TRUE(s_task->AdvanceStartFlow(7, nullptr));
    LogSince log;
    int64_t set = NowMs();
    g_b8RebootFlag = true;
    int64_t rebooted = 0;
    // Ticks come late on a loaded machine; the count of ticks below is what is fixed.
    while (rebooted == 0 && NowMs() - set < 30000) {
        if (ProcessBoardRoot::Calls().find("reboot\n") != std::string::npos)
            rebooted = NowMs();
        else
            usleep(20000);
    }
    g_b8RebootFlag = false;
    ASSERT_NE(0, rebooted);
    EXPECT_GE(rebooted - set, 3500);
    // Exactly five ticks came before the reboot (logged once the reboot
    // command has returned).
    for (int i = 0; i < 2000 && !log.Has("system reboot is OK!"); ++i)
        usleep(10000);
    std::string text = log.Text();
    size_t reboot = text.find("system reboot is OK!");
    ASSERT_NE(std::string::npos, reboot) << text;
    EXPECT_EQ(5u, CountOf(text.substr(0, reboot), "Do nothing")) << text;
    // Let the flow end (it waits in state 7) before the next test.
    s_task->FinishStartFlow();
}

}  // namespace
}  // namespace manage_test

int main(int argc, char** argv)
{
    return manage_test::RunManageTests(argc, argv, 2);
}
