// Settings of the display line from TCP: accepted and refused values, what
// is stored, the replies, and the line's attributes read back from the
// display's pseudo-terminal (a pseudo-terminal keeps the speed, the stop bits
// and the odd-parity bit; Linux forces 8 data bits and no parity on it).
#include "TcpCmdTestSupport.h"

#include "QuorVelmarPref.h"
#include "QuorVelmarUartTwoTask.h"

namespace tcpcmd_test {
namespace {

class TcpUartTest : public TcpCmdFixture {
protected:
    static SimLineSettings Line() { return SerialBoard::Display().LineSettings(); }
    // A refused value: logged, no reply, nothing stored, the line unchanged.
    void ExpectRefused(const std::string& line, const char* pref, const char* stored, const std::string& logged)
    {
        TcpRecorder::Clear();
        const SimLineSettings before = Line();
        LogSince log;
        EXPECT_EQ(0, Send(line)) << line;
        EXPECT_TRUE(log.Has(logged)) << line << log.Text();
        EXPECT_TRUE(Replies().empty()) << line;
        EXPECT_EQ(stored, PowerSavePref(pref)) << line;
        EXPECT_EQ(before, Line()) << line;
    }
};

TEST_F(TcpUartTest, EveryAcceptedSpeedIsAppliedStoredAndAnswered)
{
    const long speeds[] = {300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (long speed : speeds) {
        TcpRecorder::Clear();
        const std::string value = std::to_string(speed);
        LogSince log;
        EXPECT_EQ(0, Send("SET UARTBAUDRATE " + value + "\r\n"));
        EXPECT_EQ((Lines{"UARTBAUDRATE " + value + "\r\n"}), Replies());
        EXPECT_EQ(value, PowerSavePref("RS232Speed"));
        EXPECT_EQ(value, Member(CQuorVelmarPref::s_cQuor_RS232Speed));
        EXPECT_EQ(speed, Line().speed);
        EXPECT_EQ(1, Line().stopBits);
        EXPECT_TRUE(log.Has("Send RS232 Rs232Speed <" + value + ">."));
    }
    // "sync" follows each store.
    std::string syncs;
    for (size_t i = 0; i < sizeof(speeds) / sizeof(speeds[0]); ++i)
        syncs += "sync\n";
    EXPECT_EQ(syncs, Calls());
}

TEST_F(TcpUartTest, RefusedSpeedsChangeNothing)
{
    Send("SET UARTBAUDRATE 9600\r\n");
    ASSERT_EQ(9600, Line().speed);
    for (const char* value : {"14400", "0", "abc", "-9600", "96000", ""})
        ExpectRefused(std::string("SET UARTBAUDRATE ") + value + "\r\n", "RS232Speed", "9600",
                      std::string("######RS232 Rs232Speed <") + value + "> Error.");
    EXPECT_TRUE(McuQuiet());
}

TEST_F(TcpUartTest, ValueTheStoreRefusesLeavesLineAndPreferenceAlone)
{
    Send("SET UARTBAUDRATE 9600\r\n");
    // Read as 9600, but "<" would make the preferences file unreadable.
    ExpectRefused("SET UARTBAUDRATE 19200<\r\n", "RS232Speed", "9600", "######RS232 Rs232Speed <19200<> not stored.");
    EXPECT_EQ("9600", Member(CQuorVelmarPref::s_cQuor_RS232Speed));
    ExpectRefused("SET UARTPARITY o<\r\n", "RS232ParityBit", "NONE", "######RS232 cRs232ParityBit <o<> not stored.");
    EXPECT_FALSE(Line().oddBit);
    EXPECT_EQ(-2, fTask->ProcessTcpCMDListSetParameter(TcpLine("SET UARTSTOPBIT 2<\r\n")));
    EXPECT_EQ(1, Line().stopBits);
}

TEST_F(TcpUartTest, StopBitsAreAppliedWithTheStoredSpeed)
{
    Send("SET UARTBAUDRATE 115200\r\n");
    EXPECT_EQ(0, Send("SET UARTSTOPBIT 2\r\n"));
    EXPECT_EQ(2, Line().stopBits);
    EXPECT_EQ(115200, Line().speed);
    EXPECT_EQ("2", PowerSavePref("RS232Stop"));
    Send("SET UARTSTOPBIT 1\r\n");
    EXPECT_EQ(1, Line().stopBits);
    EXPECT_EQ((Lines{"UARTBAUDRATE 115200\r\n", "UARTSTOPBIT 2\r\n", "UARTSTOPBIT 1\r\n"}), Replies());
    for (const char* value : {"0", "3", "x"})
        ExpectRefused(std::string("SET UARTSTOPBIT ") + value + "\r\n", "RS232Stop", "1",
                      std::string("######RS232 cRs232StopBit <") + value + "> Error should be 1 or 2.");
}

TEST_F(TcpUartTest, DataBitsSevenOrEight)
{
    EXPECT_EQ(0, Send("SET UARTDATABIT 7\r\n"));
    EXPECT_EQ("7", PowerSavePref("RS232DataBit"));
    EXPECT_EQ("7", Member(CQuorVelmarPref::s_cQuor_RS232DataBit));
    EXPECT_EQ(0, Send("SET UARTDATABIT 8\r\n"));
    EXPECT_EQ((Lines{"UARTDATABIT 7\r\n", "UARTDATABIT 8\r\n"}), Replies());
    for (const char* value : {"5", "6", "9", "16"})
        ExpectRefused(std::string("SET UARTDATABIT ") + value + "\r\n", "RS232DataBit", "8",
                      std::string("######RS232 Rs232DataBit <") + value + "> Error should be 7 or 8.");
    EXPECT_EQ(57600, Line().speed);
}

TEST_F(TcpUartTest, ParityByItsFirstLetterStoredWhole)
{
    EXPECT_EQ(0, Send("SET UARTPARITY odd\r\n"));
    EXPECT_TRUE(Line().oddBit);
    EXPECT_EQ("odd", PowerSavePref("RS232ParityBit"));
    EXPECT_EQ(0, Send("SET UARTPARITY none\r\n"));
    EXPECT_FALSE(Line().oddBit);
    EXPECT_EQ("none", PowerSavePref("RS232ParityBit"));
    EXPECT_EQ("none", Member(CQuorVelmarPref::s_cQuor_RS232ParityBit));
    EXPECT_EQ(0, Send("SET UARTPARITY Even\r\n"));
    EXPECT_FALSE(Line().oddBit);
    EXPECT_EQ((Lines{"UARTPARITY odd\r\n", "UARTPARITY none\r\n", "UARTPARITY Even\r\n"}), Replies());
    for (const char* value : {"x", "mark", ""})
        ExpectRefused(std::string("SET UARTPARITY ") + value + "\r\n", "RS232ParityBit", "Even",
                      std::string("######RS232 cRs232ParityBit <") + value + "> Error.");
}

TEST_F(TcpUartTest, WithoutTheLineTheValueIsStoredForTheNextStart)
{
    CQuorVelmarUartTwoTask* line = g_pVelmarUartTwoTask;
    g_pVelmarUartTwoTask = nullptr;
    LogSince log;
    EXPECT_EQ(0, Send("SET UARTBAUDRATE 4800\r\n"));
    g_pVelmarUartTwoTask = line;
    EXPECT_TRUE(log.Has("######RS232 Rs232Speed <4800> stored, but the line keeps its settings."));
    EXPECT_EQ("4800", PowerSavePref("RS232Speed"));
    EXPECT_EQ((Lines{"UARTBAUDRATE 4800\r\n"}), Replies());
    EXPECT_EQ(57600, Line().speed);
}

}  // namespace
}  // namespace tcpcmd_test
