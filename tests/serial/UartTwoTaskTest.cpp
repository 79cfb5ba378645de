// The auxiliary serial task on its pool-4 thread against the simulated
// display: settings from the RS-232 preferences read back from the terminal,
// changes applied while the daemon runs, the display's lines handed on like
// MCU lines, and bytes written to the display exactly.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "DisplaySimulator.h"
#include "OSMutex.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarUartTwoTask.h"
#include "SerialTestSupport.h"
#include "TaskTestSupport.h"

using namespace serial_test;

namespace {

typedef std::vector<std::string> Texts_t;

struct StoredSettings {
    const char* speed;
    const char* bits;
    const char* parity;
    const char* stop;
};

void Store(const StoredSettings& s)
{
    CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_RS232Speed, s.speed);
    CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_RS232DataBit, s.bits);
    CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_RS232ParityBit, s.parity);
    CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_RS232StopBit, s.stop);
}

class UartTwoTaskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SimEndpointOptions options;
        options.linkPath = DevicePath("ttyS2");
        ASSERT_EQ(0, sim.Start(options));
        task = Keep(new CQuorVelmarUartTwoTask);
    }
    void TearDown() override
    {
        if (task->IsUartOpen())
            task->CloseUart();
        sim.Stop();
        Store({"57600", "8", "NONE", "1"});
    }
    void StartTask(const StoredSettings& settings)
    {
        Store(settings);
        ASSERT_EQ(0, task->Initialize());
        ASSERT_TRUE(serial_test::WaitUntilReading(sim, queue)) << "the receive loop did not start";
    }
    // Starts the task with settings: the line's speed and stop bits, and the
    // settings it logged.
    void ExpectStartsWith(const StoredSettings& settings, int speed, int stopBits, const std::string& logged)
    {
        LogMark mark;
        ASSERT_NO_FATAL_FAILURE(StartTask(settings));
        SimLineSettings line = sim.LineSettings();
        EXPECT_EQ(speed, line.speed);
        EXPECT_EQ(stopBits, line.stopBits);
        EXPECT_TRUE(mark.Has(logged)) << mark.Since();
    }

    DisplaySimulator sim;
    ManageQueue queue;
    CQuorVelmarUartTwoTask* task = nullptr;
};

TEST_F(UartTwoTaskTest, OpensWithTheStoredSettings)
{
    LogMark mark;
    ExpectStartsWith({"9600", "8", "N", "1"}, 9600, 1,
                     "In SetUartOpt Uart2, i_nSpeed is <9600>, i_nBits is <8>, i_cEvent is <N>, i_nStop is <1>");
    EXPECT_EQ('N', sim.LineSettings().parity);
    EXPECT_TRUE(mark.Has("CQuorVelmarUartTwoTask::Initialize succeed!"));
}

TEST_F(UartTwoTaskTest, OtherStoredSettings)
{
    ExpectStartsWith({"19200", "7", "Even", "2"}, 19200, 2,
                     "i_nSpeed is <19200>, i_nBits is <7>, i_cEvent is <E>, i_nStop is <2>");

    // Texts that are no numbers select the defaults: 57600, 8 bits, 1 stop bit.
    OSMutexLocker locker(&task->GetLineMutex());
    Store({"fast", "", "", "two"});
    EXPECT_EQ(0, task->SetUartOptFromPrefs());
    SimLineSettings settings = sim.LineSettings();
    EXPECT_EQ(57600, settings.speed);
    EXPECT_EQ(1, settings.stopBits);
}

TEST_F(UartTwoTaskTest, ChangesOnTwoThreadsBothTakeEffect)
{
    StartTask({"9600", "8", "N", "1"});
    // Each caller stores its one value and applies all four under the line's
    // lock, as the TCP and web handlers do.
    auto change = [this](char* member, const char* value) {
        for (int i = 0; i < 20; ++i) {
            OSMutexLocker locker(&task->GetLineMutex());
            CQuorVelmarPref::StoreText(member, CQuorVelmarPref::kShortTextSize, value);
            EXPECT_EQ(0, task->SetUartOptFromPrefs());
        }
    };
    std::thread speed(change, CQuorVelmarPref::s_cQuor_RS232Speed, "38400");
    std::thread stop(change, CQuorVelmarPref::s_cQuor_RS232StopBit, "2");
    speed.join();
    stop.join();
    SimLineSettings settings = sim.LineSettings();
    EXPECT_EQ(38400, settings.speed);
    EXPECT_EQ(2, settings.stopBits);
}

TEST_F(UartTwoTaskTest, DisplayLinesAreHandedOnLikeMcuLines)
{
    StartTask({"9600", "8", "N", "1"});
    LogMark mark;
    sim.Send("OK\r\n\r\nORDER 4\r\n");
    std::vector<Line> lines = queue.Wait(2);
    ASSERT_EQ(2u, lines.size());
    ExpectSerialLines(lines, {"OK", "ORDER 4"});
    EXPECT_TRUE(mark.WaitFor("@@@@@@Recevie One Third-Party Uart Frame is <ORDER 4>."));
    EXPECT_TRUE(mark.Has("@@@@@@Recevie One Third-Party Uart Frame is <OK>."));
    EXPECT_FALSE(mark.Has("@@@@@@m_UartMsg is"));
    EXPECT_FALSE(mark.Has("MCU Uart Frame"));

    // 2048 bytes without CR LF in one write: discarded with the message.
    LogMark later;
    sim.Send(std::string(2048, 'z'));
    EXPECT_TRUE(later.WaitFor("######UartMsg Len is to long and it's not have \\x0D\\x0A."));
    SleepMs(50);  // a pause ends the burst (bytes without one would continue that line)
    sim.Send("ON\r\n");
    EXPECT_EQ(Texts_t{"ON"}, Texts(queue.Wait(1)));
}

TEST_F(UartTwoTaskTest, BytesWrittenToTheDisplay)
{
    StartTask({"9600", "8", "N", "1"});
    EXPECT_EQ(8, task->UartWrite("PWR ON\r\n", 8));
    EXPECT_EQ(3, task->UartWrite("\x02\x00\x03", 3));
    ASSERT_TRUE(sim.WaitForBytes(11, 2000));
    EXPECT_EQ(std::string("PWR ON\r\n\x02\x00\x03", 11), sim.ReceivedBytes());
    std::vector<SimChunk> chunks = sim.Chunks();
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(9600, chunks.back().settings.speed);
}

}  // namespace
