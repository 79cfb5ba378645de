// The write-with-retry of a serial line: exact bytes, a length of 0, a
// closed line refused without any write, three failed writes one second
// apart, and a write longer than the terminal's buffer completed.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "QuorVelmarSerialLine.h"
#include "SerialTestSupport.h"

using namespace serial_test;

namespace {

const char kWriteFail[] = "###### write m_Uartfd fail, sRet is <-1>.";
const char kGiveUp[] = "###### aready retry write 3th...........";

class UartWriteTest : public PtyLineFixture {
protected:
    UartWriteTest() : PtyLineFixture("/dev/ttyS6") {}
    int Write(const std::string& bytes)
    {
        return line.UartWrite(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
};

TEST_F(UartWriteTest, BytesArriveExactly)
{
    OpenLine();
    LogMark mark;
    EXPECT_EQ(9, Write("GET VER\r\n"));
    EXPECT_EQ("GET VER\r\n", pty.ReadLeader(100));
    // Hexadecimal power commands hold zero bytes: the length decides.
    EXPECT_EQ(4, Write(std::string("\x02\x00\x03\xff", 4)));
    EXPECT_EQ(std::string("\x02\x00\x03\xff", 4), pty.ReadLeader(100));
    EXPECT_TRUE(mark.Has("===Memory<len=\"12\"> is <02 00 03 FF >"));
    EXPECT_TRUE(mark.Has("Len is <4> finish!"));
    EXPECT_FALSE(mark.Has("######"));
}

TEST_F(UartWriteTest, LengthZeroWritesNothing)
{
    OpenLine();
    LogMark mark;
    EXPECT_EQ(0, line.UartWrite("", 0));
    EXPECT_EQ(0, line.UartWrite("GET VER\r\n", 0));
    EXPECT_EQ("", pty.ReadLeader(100));
    EXPECT_EQ("", mark.Since());
}

TEST_F(UartWriteTest, ClosedLineIsRefusedAtOnce)
{
    // Never opened, and closed after use: -2 at once, nothing written, one
    // refusal logged per call.
    for (int round = 0; round < 2; ++round) {
        LogMark mark;
        int64_t start = NowMs();
        EXPECT_EQ(-2, Write("GET ORDER\r\n"));
        EXPECT_EQ(-2, Write("GET VER\r\n"));
        EXPECT_LT(NowMs() - start, 500);
        EXPECT_EQ(2u, mark.Count("######UartWrite refused, /dev/ttyS6 is not open"));
        EXPECT_EQ(0u, mark.Count("###### write m_Uartfd fail"));
        EXPECT_EQ("", pty.ReadLeader(50));
        if (round == 0) {
            OpenLine();
            EXPECT_EQ(3, Write("ON\n"));
            EXPECT_EQ("ON\n", pty.ReadLeader(100));
            ASSERT_EQ(0, line.CloseUart());
        }
    }
    EXPECT_EQ(0, line.GetUartFd());
}

TEST_F(UartWriteTest, ThreeFailedWritesOneSecondApart)
{
    OpenLine();
    pty.CloseLeader();  // the follower now fails every write with EIO
    LogMark mark;
    int64_t start = NowMs();
    EXPECT_EQ(-2, Write("GET ORDER\r\n"));
    int64_t took = NowMs() - start;
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 6000);
    std::string log = mark.Since();
    EXPECT_EQ(3u, mark.Count(kWriteFail)) << log;
    EXPECT_EQ(1u, mark.Count(kGiveUp));
    EXPECT_LT(log.rfind(kWriteFail), log.find(kGiveUp));
    // Dumped before every try.
    EXPECT_EQ(3u, mark.Count("===Memory<len="));
}

TEST_F(UartWriteTest, WriteLongerThanTheTerminalBufferIsCompleted)
{
    OpenLine();
    std::string bytes;
    for (int i = 0; bytes.size() < 20000; ++i)
        bytes += "EDID_R hdmi " + std::to_string(i) + "\r\n";
    std::string received;
    std::thread reader([&] { received = pty.ReadLeader(500); });
    EXPECT_EQ(static_cast<int>(bytes.size()), Write(bytes));
    reader.join();
    EXPECT_EQ(bytes, received);
}

}  // namespace
