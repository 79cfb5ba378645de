// The MCU serial task on its pool-3 thread against the simulated MCU: lines
// reach the management task's queue through the communication layer, bursts
// split and joined, garbage, an over-long line, the start settings, and the
// hand-over of the line to the firmware upgrade and back.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "McuSimulator.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarUartTask.h"
#include "SerialTestSupport.h"
#include "TaskTestSupport.h"

using namespace serial_test;

namespace {

typedef std::vector<std::string> Texts_t;

// A task of pool 3 that notes its runs: it can run only while the MCU task's
// receive loop has left the pool's only thread.
class PoolThreeProbe : public QuorTask<3> {
public:
    int64_t Run() override
    {
        GetEvents();
        runs.fetch_add(1);
        return 0;
    }
    std::atomic<int> runs{0};
};

class UartTaskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SimEndpointOptions options;
        options.linkPath = DevicePath("ttyS1");
        ASSERT_EQ(0, sim.Start(options));
        sim.SetSilent(true);  // these tests speak for the MCU themselves
        task = Keep(new CQuorVelmarUartTask);
    }
    void TearDown() override
    {
        // The receive loop must give the pool's only thread back.
        if (task->IsUartOpen())
            task->CloseUart();
        sim.Stop();
    }

    void StartTask()
    {
        ASSERT_EQ(0, task->Initialize());
        WaitUntilReading();
    }
    // Sends probe lines until one comes through: the receive loop runs.
    void WaitUntilReading()
    {
        ASSERT_TRUE(serial_test::WaitUntilReading(sim, queue)) << "the receive loop did not start";
    }

    McuSimulator sim;
    ManageQueue queue;
    CQuorVelmarUartTask* task = nullptr;
};

TEST_F(UartTaskTest, LinesReachTheManagementTask)
{
    StartTask();
    LogMark mark;
    sim.Send("VER 1.0\r\nORDER 3\r\n");
    std::vector<Line> lines = queue.Wait(2);
    ASSERT_EQ(2u, lines.size());
    ExpectSerialLines(lines, {"VER 1.0", "ORDER 3"});
    EXPECT_TRUE(lines[0].zeroFilled && lines[1].zeroFilled);
    EXPECT_TRUE(mark.WaitFor("@@@@@@Recevie One MCU Uart Frame is <ORDER 3>."));
    EXPECT_TRUE(mark.Has("ReadUartBuff Len is <18> content is <VER 1.0\\x0D\\x0AORDER 3\\x0D\\x0A>"));
    EXPECT_TRUE(queue.TakeFor(50).empty());
}

TEST_F(UartTaskTest, BurstsSplitAndJoined)
{
    StartTask();
    // A line in two bursts 50 ms apart; CR and LF in different bursts.
    sim.SendPieces({"VER", " 1.0\r\n"}, 50);
    sim.SendPieces({"SHOWME 1\r", "\nMP hdmi all\r\n"}, 50);
    EXPECT_EQ((Texts_t{"VER 1.0", "SHOWME 1", "MP hdmi all"}), Texts(queue.Wait(3)));
    // Many lines in one write, empty lines among them.
    std::string burst;
    Texts_t expected;
    for (int i = 0; i < 150; ++i) {
        expected.push_back("LEDFLICKER " + std::to_string(i));
        burst += expected.back() + "\r\n\r\n";
    }
    sim.Send(burst);
    EXPECT_EQ(expected, Texts(queue.Wait(150)));
    EXPECT_TRUE(queue.TakeFor(50).empty());
}

TEST_F(UartTaskTest, GarbageHighBytesAndAnOverlongLine)
{
    StartTask();
    std::string garbage = SimEndpoint::Garbage(300, 7);
    std::string expected;
    for (char c : garbage) {
        if (c != '\0')
            expected += c;
    }
    sim.Send(garbage + "\r\nORDER 5\r\n");
    EXPECT_EQ((Texts_t{expected, "ORDER 5"}), Texts(queue.Wait(2)));

    // A line too long for the buffer between two good ones, in one write.
    LogMark mark;
    sim.Send("VER 2\r\n" + std::string(2100, 'x') + "\r\nORDER 6\r\n");
    EXPECT_EQ((Texts_t{"VER 2", "ORDER 6"}), Texts(queue.Wait(2)));
    EXPECT_TRUE(queue.TakeFor(50).empty());
    EXPECT_EQ(1u, mark.Count("######UartMsg Len is to long."));
}

TEST_F(UartTaskTest, StartSettingsAndMessages)
{
    LogMark mark;
    uint16_t speed = CQuorVelmarPref::s_u16Quor_UartSpeed;
    CQuorVelmarPref::s_u16Quor_UartSpeed = 9600;
    int result = task->Initialize();
    CQuorVelmarPref::s_u16Quor_UartSpeed = speed;
    ASSERT_EQ(0, result);
    WaitUntilReading();
    SimLineSettings settings = sim.LineSettings();
    EXPECT_EQ(9600, settings.speed);
    EXPECT_EQ(1, settings.stopBits);
    EXPECT_TRUE(settings.raw);
    EXPECT_TRUE(mark.Has("In SetUartOpt Uart1, i_nSpeed is <9600>, i_nBits is <8>, i_cEvent is <N>, i_nStop is <1>"));
    EXPECT_TRUE(mark.Has("CQuorVelmarUartTask::Initialize succeed!"));
    EXPECT_TRUE(mark.Has("OpenUart is OK and Uart is <"));
    EXPECT_GT(task->GetUartFd(), 2);
}

TEST_F(UartTaskTest, InitializeWithoutDevice)
{
    sim.Stop();
    LogMark mark;
    EXPECT_EQ(-1, task->Initialize());
    EXPECT_TRUE(mark.Has("###### Open Uartfd</dev/ttyS1> fail."));
    EXPECT_TRUE(mark.Has("######OpenUart fail and s32Ret is <-1>"));
    EXPECT_FALSE(mark.Has("Initialize succeed!"));
    EXPECT_EQ(-2, task->UartWrite("GET VER\r\n", 9));
}

TEST_F(UartTaskTest, HandOverToTheUpgradeAndBack)
{
    StartTask();
    EXPECT_EQ(11, task->UartWrite("GET ORDER\r\n", 11));
    ASSERT_TRUE(sim.WaitForLine("GET ORDER", 2000));

    // Released: the receive loop leaves the pool's thread, writers get -2.
    PoolThreeProbe* probe = Keep(new PoolThreeProbe);
    EXPECT_EQ(0, task->AllowOpenUartOne(0));
    EXPECT_EQ(0, task->GetAllowOpenUartOne());
    EXPECT_FALSE(task->IsUartOpen());
    EXPECT_EQ(0, task->GetUartFd());
    probe->Signal(TASK_EVT_START);
    EXPECT_TRUE(WaitUntil([&] { return probe->runs.load() > 0; }, 2000));
    uint64_t received = sim.ReceivedByteCount();
    LogMark mark;
    EXPECT_EQ(-2, task->UartWrite("GET VER\r\n", 9));
    EXPECT_EQ(1u, mark.Count("######UartWrite refused, /dev/ttyS1 is not open"));
    EXPECT_EQ(0u, mark.Count("###### write m_Uartfd fail"));

    // The upgrade works the line with settings of its own.
    int fd = open(DevicePath("ttyS1").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct termios upgrade;
    ASSERT_EQ(0, tcgetattr(fd, &upgrade));
    cfmakeraw(&upgrade);
    upgrade.c_cflag |= CSTOPB;
    cfsetispeed(&upgrade, B115200);
    cfsetospeed(&upgrade, B115200);
    ASSERT_EQ(0, tcsetattr(fd, TCSANOW, &upgrade));
    ASSERT_EQ(9, write(fd, "FLASH 1\r\n", 9));
    ASSERT_TRUE(sim.WaitForLine("FLASH 1", 2000));
    close(fd);
    // Nothing of the refused write reached the MCU.
    EXPECT_EQ(received + 9, sim.ReceivedByteCount());

    // Given back: reading resumes within the next runs, with the settings the
    // upgrade left.
    int64_t reopened = NowMs();
    EXPECT_EQ(0, task->AllowOpenUartOne(1));
    EXPECT_EQ(1, task->GetAllowOpenUartOne());
    EXPECT_TRUE(task->IsUartOpen());
    WaitUntilReading();
    EXPECT_LT(NowMs() - reopened, 3000);
    SimLineSettings settings = sim.LineSettings();
    EXPECT_EQ(115200, settings.speed);
    EXPECT_EQ(2, settings.stopBits);
    EXPECT_EQ(9, task->UartWrite("GET VER\r\n", 9));
    EXPECT_TRUE(sim.WaitForLine("GET VER", 2000));
    sim.Send("VER 1.0.2\r\n");
    EXPECT_EQ(Texts_t{"VER 1.0.2"}, Texts(queue.Wait(1)));

    // Giving back twice keeps the one descriptor.
    int held = task->GetUartFd();
    EXPECT_EQ(0, task->AllowOpenUartOne(1));
    EXPECT_EQ(held, task->GetUartFd());
    // Releasing twice: the second finds nothing to close.
    EXPECT_EQ(0, task->AllowOpenUartOne(0));
    LogMark again;
    EXPECT_EQ(0, task->AllowOpenUartOne(0));
    EXPECT_TRUE(again.Has("######It Can't CloseUart and Uart is <0>."));
}

TEST_F(UartTaskTest, ReopenFailureIsReported)
{
    StartTask();
    EXPECT_EQ(0, task->AllowOpenUartOne(0));
    sim.Stop();
    LogMark mark;
    EXPECT_EQ(-1, task->AllowOpenUartOne(1));
    EXPECT_TRUE(mark.Has("######OpenUart fail and s32Ret is <-1>"));
    EXPECT_FALSE(task->IsUartOpen());
}

}  // namespace
