// The reset button through the simulated board's GPIO files: the task polls
// once per call here, and its command sender counts what it would send.
#include <gtest/gtest.h>

#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "NetHelpersTestSupport.h"
#include "QuorSecTimeoutTask.h"
#include "QuorVelmarPref.h"
#include "TaskTestSupport.h"
#include "VELMARGPIOTask.h"

using net_test::LogSince;
using net_test::ProcessBoardRoot;

namespace {

std::mutex s_mutex;
std::vector<std::string> s_sent;

int Record(uint32_t length, const char* text)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_sent.emplace_back(text, length);
    return (int)length;
}

size_t Sent()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_sent.size();
}

const char kValue[] = "/sys/class/gpio/gpio126/value";

void Button(const std::string& value)
{
    ASSERT_TRUE(board_test::WriteText(ProcessBoardRoot::Get().File(kValue), value));
}

class GpioTaskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> lock(s_mutex);
            s_sent.clear();
        }
        fTask.SetResetSender(Record);
        CQuorVelmarPref::s_u16Quor_ResetTimer = 5;
    }
    // n polls with the button at value; the commands sent after each.
    std::vector<size_t> Polls(const std::string& value, int n)
    {
        Button(value);
        std::vector<size_t> after;
        for (int i = 0; i < n; ++i) {
            fTask.ReadEtherResetButtonStatus();
            after.push_back(Sent());
        }
        return after;
    }

    CVELMARGPIOTask fTask;
};

TEST_F(GpioTaskTest, HeldFromPowerOnNeverResetsUntilReleasedOnce)
{
    EXPECT_EQ(std::vector<size_t>(10, 0), Polls("0\n", 10));
    EXPECT_FALSE(fTask.Armed());
    Polls("1\n", 1);
    EXPECT_TRUE(fTask.Armed());
    EXPECT_EQ((std::vector<size_t>{0, 0, 0, 0, 1, 2, 3}), Polls("0\n", 7));
    std::lock_guard<std::mutex> lock(s_mutex);
    EXPECT_EQ("RESET\r\n", s_sent[0]);
}

TEST_F(GpioTaskTest, ReleaseClearsTheCount)
{
    Polls("1\n", 1);
    EXPECT_EQ(std::vector<size_t>(4, 0), Polls("0", 4));
    Polls("1", 1);
    EXPECT_EQ(0, fTask.HoldCount());
    EXPECT_EQ(std::vector<size_t>(4, 0), Polls("0", 4));
}

TEST_F(GpioTaskTest, ValuesOtherThanOneArePressed)
{
    CQuorVelmarPref::s_u16Quor_ResetTimer = 0;
    Polls("1\n", 1);
    size_t expected = 0;
    for (const char* value : {"0\n", "2", "", "x"}) {
        Polls(value, 1);
        EXPECT_EQ(++expected, Sent()) << value;
    }
}

TEST_F(GpioTaskTest, UnreadableValueChangesNothing)
{
    CQuorVelmarPref::s_u16Quor_ResetTimer = 0;
    unlink(ProcessBoardRoot::Get().File(kValue).c_str());
    LogSince log;
    fTask.ReadEtherResetButtonStatus();
    EXPECT_FALSE(fTask.Armed());
    Polls("1", 1);
    unlink(ProcessBoardRoot::Get().File(kValue).c_str());
    fTask.ReadEtherResetButtonStatus();
    EXPECT_EQ(0u, Sent());
    EXPECT_EQ(0, fTask.HoldCount());
    EXPECT_TRUE(log.Has("######GetGpioVal read is Error"));
}

TEST_F(GpioTaskTest, CountReachesThresholdsAbove255)
{
    CQuorVelmarPref::s_u16Quor_ResetTimer = 300;
    Polls("1", 1);
    std::vector<size_t> after = Polls("0", 301);
    EXPECT_EQ(0u, after[298]);
    EXPECT_EQ(1u, after[299]);
    EXPECT_EQ(2u, after[300]);
}

TEST_F(GpioTaskTest, InitializeExportsTheButtonAsInput)
{
    Button("1\n");
    CVELMARGPIOTask* task = Keep(new CVELMARGPIOTask);
    task->SetResetSender(Record);
    ASSERT_EQ(0, task->Initialize());
    EXPECT_EQ("126", ProcessBoardRoot::Get().Read("/sys/class/gpio/export"));
    EXPECT_EQ(std::string("in\0", 3), ProcessBoardRoot::Get().Read("/sys/class/gpio/gpio126/direction"));
    // The task's own timer polls: it arms at the released value.
    EXPECT_TRUE(WaitUntil([&] { return task->Armed(); }, 10000));
}

TEST(GpioLineTest, OnlyTheLedLineIsWritten)
{
    CVELMARGPIOTask::SetGpioVal(127, 1);
    EXPECT_EQ(std::string("1\0", 2), ProcessBoardRoot::Get().Read("/sys/class/gpio/gpio127/value"));
    LogSince log;
    std::string before = ProcessBoardRoot::Get().Read("/sys/class/gpio/export");
    CVELMARGPIOTask::SetGpioVal(5, 1);
    EXPECT_TRUE(log.Has("######gpio channel<5> is ERROR ."));
    EXPECT_EQ(before, ProcessBoardRoot::Get().Read("/sys/class/gpio/export"));
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    return net_test::RunAllWithBoardRoot([] {
        QuorTaskThreadPool<5>::AddThreads(1, 0);
        QuorSecTimeoutTask<5>::Initialize();
    });
}
