// Dispatch of TCP lines: the first and second words, lines handed to the MCU
// unchanged (binary EDID data included), dropped lines, the IP configuration
// answer, group control and the power delay.
#include "TcpCmdTestSupport.h"

#include "QuorVelmarPref.h"

namespace tcpcmd_test {
namespace {

class TcpDispatchTest : public TcpCmdFixture {
protected:
    static void SetOwnAddress(const char* ip, const char* mode, const char* netmask, const char* gateway)
    {
        g_ModulInfolist.UpdateOwn([&](T_QuorModulInfo& r) {
            QuorCopyField(r.Ip, ip);
            QuorCopyField(r.IpMod, mode);
            QuorCopyField(r.Netmask, netmask);
            QuorCopyField(r.Gateway, gateway);
        });
    }
    // Sends the lines: they are answered with replies and the display gets
    // exactly display.
    void ExpectRepliesAndDisplay(const Lines& lines, const Lines& replies, const std::string& display)
    {
        for (const std::string& line : lines)
            Send(line);
        EXPECT_EQ(replies, Replies());
        EXPECT_EQ(display, DisplayGot(display.size()));
    }
};

TEST_F(TcpDispatchTest, UnknownFirstWordsAreLoggedAndGetNothing)
{
    for (const char* line : {"HELLO\r\n", "XSET UARTBAUDRATE 9600\r\n", " \r\n", "%s%n\r\n"}) {
        LogSince log;
        EXPECT_EQ(-2, Send(line)) << line;
        const std::string word = std::string(line).substr(0, std::string(line).find_first_of(" \r"));
        EXPECT_TRUE(log.Has("######PareCommandString Parameter One is <" + word + "> Error!")) << log.Text();
    }
    EXPECT_TRUE(Replies().empty());
    EXPECT_TRUE(McuQuiet());
    EXPECT_TRUE(DisplayQuiet());
}

TEST_F(TcpDispatchTest, LinesWithoutHandlerReachTheMcuByteForByte)
{
    const std::string lines[] = {"get order\r\n",  "SET FOO 1\r\n",        "GET VER\r\n",
                                 "REBOOT\r\n",     "reset all\r\n",        "SETTING x y\r\n",
                                 "SET SHOWME on\r\n", "SET SUBGROUP 3 on\r\n", "GET %s%n\r\n"};
    std::string all;
    for (const std::string& line : lines) {
        EXPECT_EQ(0, Send(line)) << line;
        all += line;
    }
    EXPECT_EQ(all, McuBytes(all.size()));
    EXPECT_TRUE(Replies().empty());
    EXPECT_TRUE(EventRecorder::Events().empty());
}

TEST_F(TcpDispatchTest, SetLinesWhoseSecondWordHoldsDbgAreDropped)
{
    for (const char* word : {"SET XDBG 1", "SET aDbGz", "set dbg", "SET LOGDBGLEVEL 3"}) {
        LogSince log;
        EXPECT_EQ(0, Send(std::string(word) + "\r\n"));
        EXPECT_TRUE(log.Has(std::string("drop msg <") + word + "\\x0D\\x0A>")) << word;
    }
    // Only the second word counts, and only on set lines.
    Send("SET FOO dbg\r\n");
    Send("GET XDBG\r\n");
    EXPECT_EQ("SET FOO dbg\r\nGET XDBG\r\n", McuBytes(24));
    EXPECT_TRUE(Replies().empty());
}

TEST_F(TcpDispatchTest, KeywordsMatchByPrefixIgnoringCase)
{
    ExpectRepliesAndDisplay({"set uartbaudrateX 9600\r\n", "sEt TeLnEtPt string Z\r\n"},
                            {"uartbaudrateX 9600\r\n", "TeLnEtPt string Z\r\n"}, "Z\r\n");
    EXPECT_TRUE(McuQuiet());
}

TEST_F(TcpDispatchTest, EdidDataReachesTheMcuUnchangedWithItsByteCount)
{
    std::string data = "SET EDID_W 1 ";
    for (int i = 0; i < 200; ++i)
        data.push_back((char)(i * 37 + 11));
    data[20] = '\0';
    data[40] = '\r';
    data[41] = '\n';
    data[60] = '\0';
    data.push_back('\0');
    EXPECT_EQ(0, Send(data));
    EXPECT_EQ(data, McuBytes(data.size()));
    EXPECT_EQ(data.size(), SerialBoard::Mcu().ReceivedByteCount());
    EXPECT_TRUE(Replies().empty());
}

TEST_F(TcpDispatchTest, LinesTakenFromTheStringListAreDispatchedAsTcpCommands)
{
    SetOwnAddress("10.0.0.7", "static", "255.0.0.0", "10.0.0.1");
    fTask->AddStringPacketToProcessList(TcpLine("GET IPADDRESS\r\n"));
    fTask->AddStringPacketToProcessList(TcpLine("GET ORDER\r\n"));
    fTask->Signal(TASK_EVT_READ);
    fTask->Run();
    EXPECT_EQ((Lines{"IPADDRESS static ip4addr 10.0.0.7 netmask 255.0.0.0 gateway 10.0.0.1\r\n"}), Replies());
    EXPECT_EQ("GET ORDER\r\n", McuBytes(11));
}

TEST_F(TcpDispatchTest, IpConfigurationAnswerInBothModes)
{
    SetOwnAddress("192.168.1.10", "static", "255.255.255.0", "192.168.1.1");
    EXPECT_EQ(0, Send("GET IPADDRESS\r\n"));
    SetOwnAddress("192.168.1.10", "dhcp", "255.255.255.0", "192.168.1.1");
    EXPECT_EQ(0, Send("get ipaddress now\r\n"));
    EXPECT_EQ((Lines{"IPADDRESS static ip4addr 192.168.1.10 netmask 255.255.255.0 gateway 192.168.1.1\r\n",
                     "IPADDRESS dhcp\r\n"}),
              Replies());
    EXPECT_TRUE(McuQuiet());
}

TEST_F(TcpDispatchTest, IpConfigurationAnswerGoesToTheAskingSessionOnly)
{
    SetOwnAddress("10.1.1.1", "dhcp", "", "");
    Send("GET IPADDRESS\r\n", 77);
    std::vector<TcpSent> sent = TcpRecorder::Sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(QUOR_STRING_MODE_ONE_CLIENT, sent[0].mode);
    EXPECT_EQ(77, sent[0].session);
}

TEST_F(TcpDispatchTest, ShowMeIsHandedToTheMcu)
{
    LogSince log;
    Send("SET SHOWME on\r\n");
    EXPECT_EQ("SET SHOWME on\r\n", McuBytes(15));
    EXPECT_TRUE(log.Has("PareCommandString Parameter Tree is <on>"));
    EXPECT_TRUE(Replies().empty());
}

TEST_F(TcpDispatchTest, SubgroupAllIsAnsweredNotifiedTwiceAndSentAsSelf)
{
    EXPECT_EQ(0, Send("SET SUBGROUP all on\r\n"));
    EXPECT_EQ((Lines{"SUBGROUP all on\r\n"}), Replies());
    EXPECT_EQ((Lines{"group 0x1605 type 1 sign 0x1001 header 0x1605 1", "pause 50",
                     "group 0x1605 type 1 sign 0x1001 header 0x1605 1"}),
              EventRecorder::Events());
    EXPECT_EQ("SET SUBGROUP self on\r\n", McuBytes(22));

    SerialBoard::Mcu().ClearRecords();
    TcpRecorder::Clear();
    EventRecorder::Clear();
    Send("set subgroup ALLX off\r\n");
    EXPECT_EQ((Lines{"subgroup ALLX off\r\n"}), Replies());
    EXPECT_EQ((Lines{"group 0x1605 type 1 sign 0x1002 header 0x1605 1", "pause 50",
                     "group 0x1605 type 1 sign 0x1002 header 0x1605 1"}),
              EventRecorder::Events());
    EXPECT_EQ("set subgroup self off\r\n", McuBytes(23));
}

TEST_F(TcpDispatchTest, SubgroupAllStillAnswersAndTellsTheMcuWhenTheGroupCannotBeReached)
{
    // No group task runs in this process: the notices go nowhere.
    CQuorVelmarManageTask::SetGroupBroadcaster(nullptr);
    LogSince log;
    Send("SET SUBGROUP all on\r\n");
    EXPECT_EQ((Lines{"SUBGROUP all on\r\n"}), Replies());
    EXPECT_EQ("SET SUBGROUP self on\r\n", McuBytes(22));
    EXPECT_EQ(-2, fTask->DoBroadCastMsgReq(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, nullptr));
    EXPECT_TRUE(log.Has("###### Find CQuorVelmarManageTask::DoBroadCastMsgReq inParams be NULL!"));
}

TEST_F(TcpDispatchTest, PowerDelayIsStoredAndSentToTheMcu)
{
    EXPECT_EQ(0, Send("SET UARTPWR_DELAY hdmi 15\r\n"));
    EXPECT_EQ("15", PowerSavePref("RS232DelayCtrltime"));
    EXPECT_EQ("15", Member(CQuorVelmarPref::s_cQuor_PWRSave_RS232DlyCtrltime));
    EXPECT_EQ("SET UARTPWR_DELAY hdmi 15\r\n", McuBytes(27));
    EXPECT_TRUE(Replies().empty());

    // A value the preferences refuse changes nothing and goes nowhere.
    SerialBoard::Mcu().ClearRecords();
    LogSince log;
    EXPECT_EQ(-2, fTask->ProcessTcpCMDListSetParameter(TcpLine("SET UARTPWR_DELAY hdmi 1<2\r\n")));
    EXPECT_TRUE(log.Has("######RS232 Rs232DelayCtrltime <1<2> not stored."));
    EXPECT_EQ("15", PowerSavePref("RS232DelayCtrltime"));
    EXPECT_EQ("15", Member(CQuorVelmarPref::s_cQuor_PWRSave_RS232DlyCtrltime));
    EXPECT_TRUE(McuQuiet());
    EXPECT_TRUE(Replies().empty());
}

TEST_F(TcpDispatchTest, ExternalTextIsNeverAFormat)
{
    // The display's bytes are taken in full, so none can reach the next case's display.
    ExpectRepliesAndDisplay({"SET UARTENDCHAR %s%n%x\r\n", "SET TELNETPT string %n%s\r\n"},
                            {"UARTENDCHAR %s%n%x\r\n", "TELNETPT string %n%s\r\n"}, "%n%s\r\n");
}

TEST_F(TcpDispatchTest, LongestLineIsAnsweredWhole)
{
    // A line of 2047 bytes, the most a session hands over: the reply is the
    // line without "SET " plus CR LF, and every piece reaches the display.
    std::string line = "SET TELNETPT hexx";
    while (line.size() < 2045)
        line += " 41";
    line.resize(2045);
    line += "\r\n";
    ASSERT_EQ(2047u, line.size());
    Send(line);
    EXPECT_EQ((Lines{line.substr(4) + "\r\n"}), Replies());
    const size_t pieces = (2045 - 17) / 3;
    EXPECT_EQ(std::string(pieces, 'A'), DisplayGot(pieces));
}

}  // namespace
}  // namespace tcpcmd_test
