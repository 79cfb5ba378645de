// Fair turns of the management task and the MCU line's writer: the TCP
// sessions take turns one line each, lines bound for the MCU wait (and are
// not lost) while the line's queue is full, and the writer keeps the order,
// the pauses asked for and its limits.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "ManageTestSupport.h"
#include "QuorVelmarLineWriter.h"
#include "QuorVelmarUartTask.h"

namespace manage_test {
namespace {

T_QuorStringMsg Line(uint8_t scope, int32_t session, const std::string& text)
{
    return StringLine(scope, session, text);
}

TEST(McuBoundLine, OnlyWhatTheDaemonAnswersItselfOrIgnoresIsNot)
{
    const struct {
        const char* text;
        bool mcuBound;
    } kCases[] = {
        {"GET ORDER\r\n", true},       {"get order\r\n", true},         {"GET IPADDRESS\r\n", false},
        {"get ipaddress\r\n", false},  {"REBOOT\r\n", true},            {"RESET IPADDRESS\r\n", false},
        {"SET IPADDRESS dhcp\r\n", true}, {"SET SHOWME on\r\n", true},  {"A\r\n", false},
        {"\r\n", false},               {"SETX ORDER\r\n", true},        {"XGET ORDER\r\n", false},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(c.mcuBound, CQuorVelmarManageTask::IsMcuBoundTcpLine(Line(11, 1, c.text))) << c.text;
}

class FairTurnsTest : public ManageFixture {
protected:
    // The lines in the order the task takes them in turn, "<session>:<text>".
    std::vector<std::string> TakeInTurn()
    {
        std::vector<std::string> taken;
        T_QuorStringMsg m;
        while (fTask->TakeStringMsgInTurn(&m))
            taken.push_back(std::to_string(m.s32SessionId) + ":" + std::string(m.cMsg, m.u16Length));
        return taken;
    }
};

TEST_F(FairTurnsTest, SessionsTakeTurnsAndSerialLinesKeepTheirAge)
{
    for (int i = 0; i < 4; ++i)
        fTask->AddStringPacketToProcessList(Line(11, 1, "A" + std::to_string(i)));
    fTask->AddStringPacketToProcessList(Line(10, 0, "S0"));
    fTask->AddStringPacketToProcessList(Line(11, 2, "B0"));
    fTask->AddStringPacketToProcessList(Line(11, 3, "C0"));
    fTask->AddStringPacketToProcessList(Line(11, 2, "B1"));
    EXPECT_EQ((std::vector<std::string>{"1:A0", "0:S0", "2:B0", "3:C0", "1:A1", "2:B1", "1:A2", "1:A3"}),
              TakeInTurn());
    EXPECT_EQ(0u, fTask->GetStringListLength());
}

TEST_F(FairTurnsTest, McuBoundLinesWaitWhileTheLineIsBusyAndAreTakenAfter)
{
    ASSERT_NE(nullptr, g_pVelmarUartTask);
    CQuorVelmarLineWriter& writer = g_pVelmarUartTask->Writer();
    // The first line holds the line quiet; the lines behind it fill the queue.
    uint64_t first = writer.Queue("SET HOLD x\r\n", 12);  // the MCU answers neither
    ASSERT_NE(0u, first);
    writer.HoldAfter(first, 800);
    for (uint32_t i = 0; i < CQuorVelmarManageTask::kMcuLinesHighMark; ++i)
        ASSERT_NE(0u, writer.Queue("SET FILL x\r\n", 12));
    ASSERT_TRUE(fTask->IsMcuLineBusy());

    fTask->AddStringPacketToProcessList(Line(11, 1, "GET ORDER\r\n"));
    fTask->AddStringPacketToProcessList(Line(11, 1, "GET IPADDRESS\r\n"));
    fTask->AddStringPacketToProcessList(Line(11, 2, "GET IPADDRESS\r\n"));
    fTask->AddStringPacketToProcessList(Line(11, 2, "A\r\n"));
    // Session 1's next line is bound for the MCU: it waits, and so do its
    // lines behind it; session 2 is served.
    EXPECT_EQ((std::vector<std::string>{"2:GET IPADDRESS\r\n", "2:A\r\n"}), TakeInTurn());
    EXPECT_TRUE(fTask->TcpLinesAbove(1, 1, 100));
    ASSERT_TRUE(writer.WaitIdle(10000));
    EXPECT_EQ((std::vector<std::string>{"1:GET ORDER\r\n", "1:GET IPADDRESS\r\n"}), TakeInTurn());
}

// ---- The writer alone ----------------------------------------------------------

class WriterRecord {
public:
    static int Write(void* self, const char* bytes, uint32_t length)
    {
        WriterRecord* record = static_cast<WriterRecord*>(self);
        while (record->gate.load())
            usleep(1000);
        std::lock_guard<std::mutex> lock(record->mutex);
        record->lines.emplace_back(std::chrono::steady_clock::now(), std::string(bytes, length));
        return (int)length;
    }
    static void BelowMark() { ++s_belowMark; }

    std::atomic<bool> gate{false};
    std::mutex mutex;
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> lines;
    static std::atomic<int> s_belowMark;
};
std::atomic<int> WriterRecord::s_belowMark{0};

TEST(LineWriter, KeepsOrderAndHoldsTheLineAfterAPause)
{
    WriterRecord record;
    CQuorVelmarLineWriter writer(WriterRecord::Write, &record, WriterRecord::BelowMark);
    record.gate = true;  // the queue lags behind its sender
    writer.Queue("a", 1);
    writer.HoldAfterOwnLine(300);
    writer.Queue("b", 1);
    writer.Queue("c", 1);
    record.gate = false;
    ASSERT_TRUE(writer.WaitIdle(10000));
    ASSERT_EQ(3u, record.lines.size());
    EXPECT_EQ("a", record.lines[0].second);
    EXPECT_EQ("b", record.lines[1].second);
    EXPECT_EQ("c", record.lines[2].second);
    // The writer counts whole milliseconds: the pause may begin up to one
    // before the moment this record took for "a".
    EXPECT_GE(record.lines[1].first - record.lines[0].first, std::chrono::milliseconds(299));
}

TEST(LineWriter, RefusesBeyondItsLimitsAndTellsWhenBelowAMark)
{
    WriterRecord record;
    CQuorVelmarLineWriter writer(WriterRecord::Write, &record, WriterRecord::BelowMark);
    record.gate = true;
    ASSERT_NE(0u, writer.Queue("x", 1));  // taken by the writer, held at the gate
    while (writer.GetQueuedLines() != 0)
        usleep(1000);
    for (uint32_t i = 0; i < CQuorVelmarLineWriter::kMaxLines; ++i)
        ASSERT_NE(0u, writer.Queue("y", 1));
    EXPECT_EQ(0u, writer.Queue("z", 1));  // one line too many
    EXPECT_EQ(CQuorVelmarLineWriter::kMaxLines, writer.GetQueuedLines());
    WriterRecord::s_belowMark = 0;
    EXPECT_FALSE(writer.NotifyWhenBelow(16));
    record.gate = false;
    ASSERT_TRUE(writer.WaitIdle(10000));
    EXPECT_EQ(1, WriterRecord::s_belowMark.load());
    EXPECT_TRUE(writer.NotifyWhenBelow(16));
    EXPECT_EQ(1u + CQuorVelmarLineWriter::kMaxLines, record.lines.size());

    // Bytes are bounded too.
    std::string big(CQuorVelmarLineWriter::kMaxBytes, 'b');
    record.gate = true;
    ASSERT_NE(0u, writer.Queue("x", 1));
    while (writer.GetQueuedLines() != 0)
        usleep(1000);
    EXPECT_NE(0u, writer.Queue(big.data(), (uint32_t)big.size()));
    EXPECT_EQ(0u, writer.Queue("z", 1));
    record.gate = false;
    ASSERT_TRUE(writer.WaitIdle(10000));
}

}  // namespace
}  // namespace manage_test
