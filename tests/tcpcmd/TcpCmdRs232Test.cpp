// Display RS-232 control from TCP: storing the power commands as text or as
// hexadecimal byte text, sending them (exact bytes at the display), the end
// flag, and pass-through data.
#include "TcpCmdTestSupport.h"

#include <atomic>
#include <thread>

#include "QuorVelmarPref.h"

namespace tcpcmd_test {
namespace {

class TcpRs232Test : public TcpCmdFixture {
protected:
    // The stored commands and the form flag, in the file and in memory.
    struct Stored {
        std::string on, off, hex;
        bool operator==(const Stored& o) const { return on == o.on && off == o.off && hex == o.hex; }
    };
    static Stored InFile() { return {PowerSavePref("RS232PWROn"), PowerSavePref("RS232PWROff"), PowerSavePref("RS232Hexadecimal")}; }
    static Stored InMemory()
    {
        return {Member(CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweron),
                Member(CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweroff),
                Member(CQuorVelmarPref::s_cQuor_PWRSave_RS232Hexadecimal)};
    }
    void ExpectStored(const Stored& expected)
    {
        EXPECT_TRUE(expected == InFile()) << InFile().on << "|" << InFile().off << "|" << InFile().hex;
        EXPECT_TRUE(expected == InMemory()) << InMemory().on << "|" << InMemory().off << "|" << InMemory().hex;
    }
    // Sends the power command and returns what the display got.
    std::string Power(const char* value, size_t expectBytes)
    {
        SerialBoard::Display().ClearRecords();
        Send(std::string("SET UARTPWR_ONOFF hdmi ") + value + "\r\n");
        return DisplayGot(expectBytes);
    }
};

TEST_F(TcpRs232Test, TextCommandIsSentWithTheEndFlag)
{
    EXPECT_EQ(0, Send("SET UARTCMD_STREDIT poweron PWR ON\r\n"));
    EXPECT_EQ(0, Send("SET UARTCMD_STREDIT poweroff   PWR  OFF \r\n"));
    ExpectStored({"PWR ON", "PWR  OFF ", "0"});
    EXPECT_EQ("PWR ON\r\n", Power("ON", 8));
    EXPECT_EQ("PWR  OFF \r\n", Power("off", 11));
    EXPECT_EQ((Lines{"UARTCMD_STREDIT poweron PWR ON\r\n", "UARTCMD_STREDIT poweroff PWR  OFF \r\n",
                     "UARTPWR_ONOFF hdmi ON\r\n", "UARTPWR_ONOFF hdmi off\r\n"}),
              Replies());
    EXPECT_TRUE(McuQuiet());
}

TEST_F(TcpRs232Test, HexCommandIsSentAsDecodedBytesAndSwitchesTheOtherCommand)
{
    Send("SET UARTCMD_STREDIT poweron 41 0 42\r\n");
    EXPECT_EQ("41 0 42\r\n", Power("ON", 9));
    EXPECT_EQ(0, Send("SET UARTCMD_HEXEDIT poweroff 02 50 4F 46 03\r\n"));
    ExpectStored({"41 0 42", "02 50 4F 46 03", "1"});
    EXPECT_EQ("\x02POF\x03", Power("OFF", 5));
    // The text power-on command is now read as hexadecimal: zero byte kept,
    // no end flag.
    EXPECT_EQ(std::string("\x41\x00\x42", 3), Power("on", 3));
    EXPECT_EQ((Lines{"UARTCMD_STREDIT poweron 41 0 42\r\n", "UARTPWR_ONOFF hdmi ON\r\n",
                     "UARTCMD_HEXEDIT poweroff 02 50 4F 46 03\r\n", "UARTPWR_ONOFF hdmi OFF\r\n",
                     "UARTPWR_ONOFF hdmi on\r\n"}),
              Replies());
}

TEST_F(TcpRs232Test, EndFlagNamesAndAnUnknownName)
{
    Send("SET UARTCMD_STREDIT poweron P\r\n");
    struct Case {
        const char* name;
        const char* flag;
    } cases[] = {{"cr", "\r"}, {"LF", "\n"}, {"null", ""}, {"CRLF", "\r\n"}, {"NULL", ""}, {"crlf", "\r\n"}};
    for (const Case& c : cases) {
        LogSince log;
        EXPECT_EQ(0, Send(std::string("SET UARTENDCHAR ") + c.name + "\r\n"));
        EXPECT_EQ(c.flag, PowerSavePref("RS232EndFlg")) << c.name;
        EXPECT_EQ(c.flag, Member(CQuorVelmarPref::s_cQuor_RS232EndFlg)) << c.name;
        EXPECT_TRUE(log.Has("Set End Flag To xml is <")) << c.name;
    }
    // Names are exact: a mixed-case one is unknown, the flag stays, the
    // reply still comes, and the name does not join the map.
    LogSince log;
    TcpRecorder::Clear();
    EXPECT_EQ(0, Send("SET UARTENDCHAR Crlf\r\n"));
    EXPECT_EQ((Lines{"UARTENDCHAR Crlf\r\n"}), Replies());
    EXPECT_EQ("\r\n", PowerSavePref("RS232EndFlg"));
    EXPECT_FALSE(log.Has("Set End Flag To xml"));
    EXPECT_FALSE(fTask->FindRs232EndFlg("Crlf", nullptr));
    Send("SET UARTENDCHAR cr\r\nx");
    Send("SET UARTENDCHAR \r\n");
    EXPECT_EQ("\r", PowerSavePref("RS232EndFlg"));
    EXPECT_EQ("P\r", Power("ON", 2));
}

TEST_F(TcpRs232Test, PassThroughAsOneWordOfTextOrAsHexadecimalBytes)
{
    Send("SET TELNETPT string A B\r\n");
    EXPECT_EQ("A\r\n", DisplayGot(3));
    SerialBoard::Display().ClearRecords();
    Send("SET TELNETPT hex 41 42\r\n");
    EXPECT_EQ("AB", DisplayGot(2));
    SerialBoard::Display().ClearRecords();
    // A trailing blank makes a last piece of CR LF: a zero byte.
    Send("SET TELNETPT hex 41 0x42 \r\n");
    EXPECT_EQ(std::string("AB\0", 3), DisplayGot(3));
    SerialBoard::Display().ClearRecords();
    Send("SET UARTENDCHAR null\r\n");
    Send("SET TELNETPT STRING hello\r\n");
    EXPECT_EQ("hello", DisplayGot(5));
    EXPECT_EQ((Lines{"TELNETPT string A\r\n", "TELNETPT hex 41 42\r\n\r\n", "TELNETPT hex 41 0x42 \r\n\r\n",
                     "UARTENDCHAR null\r\n", "TELNETPT STRING hello\r\n"}),
              Replies());
    EXPECT_TRUE(McuQuiet());
}

TEST_F(TcpRs232Test, BadPowerTargetOrValueIsLoggedWithoutReply)
{
    LogSince log;
    EXPECT_EQ(0, Send("SET UARTCMD_STREDIT standby X\r\n"));
    EXPECT_EQ(0, Send("SET UARTCMD_HEXEDIT standby 01\r\n"));
    EXPECT_TRUE(log.Has("######In ProcessTcpCMDListSetParameter fun,i_tMsg len is <31>, i_tMsg content is <SET "
                        "UARTCMD_STREDIT standby X\\x0D\\x0A> Error."));
    EXPECT_TRUE(log.Has("######In ProcessTcpCMDListSetParameter fun,i_tMsg len is <32>, i_tMsg content is <SET "
                        "UARTCMD_HEXEDIT standby 01\\x0D\\x0A> <standby> Error."));
    ExpectStored({"", "", ""});
    EXPECT_EQ(0, Send("SET UARTPWR_ONOFF hdmi OF\r\n"));
    EXPECT_EQ(0, Send("SET UARTPWR_ONOFF hdmi\r\n"));
    EXPECT_TRUE(Replies().empty());
    EXPECT_TRUE(DisplayQuiet());
    EXPECT_TRUE(McuQuiet());
}

TEST_F(TcpRs232Test, CommandTextWithoutCrLfIsNotStored)
{
    LogSince log;
    EXPECT_EQ(-2, fTask->ProcessTCPSetReqRs232PwrCmdString(TcpLine("SET UARTCMD_STREDIT poweron X")));
    EXPECT_EQ(-2, fTask->ProcessTCPSetReqRs232PwrCmdHex(TcpLine("SET UARTCMD_HEXEDIT poweron 01\n")));
    EXPECT_TRUE(log.Has("######ProcessTCPSetReqRs232PwrCmdString No \\r\\n Flag"));
    EXPECT_TRUE(log.Has("######ProcessTCPSetReqRs232PwrCmdHex No \\r\\n Flag"));
    ExpectStored({"", "", ""});
    EXPECT_TRUE(Replies().empty());
}

TEST_F(TcpRs232Test, RefusedCommandTextChangesNeitherCommandNorForm)
{
    Send("SET UARTCMD_HEXEDIT poweron 01 02\r\n");
    TcpRecorder::Clear();
    LogSince log;
    EXPECT_EQ(-2, fTask->ProcessTCPSetReqRs232PwrCmdString(TcpLine("SET UARTCMD_STREDIT poweroff <PWR/>\r\n")));
    EXPECT_TRUE(log.Has("######ProcessTCPSetReqRs232PwrCmdString, RS232PWROff <<PWR/>> not stored."));
    ExpectStored({"01 02", "", "1"});
    EXPECT_TRUE(Replies().empty());
}

TEST_F(TcpRs232Test, LongCommandTextsAreCutAt255)
{
    const std::string text(300, 'x');
    LogSince log;
    EXPECT_EQ(0, Send("SET UARTCMD_STREDIT poweron " + text + "\r\n"));
    EXPECT_EQ(0, Send("SET UARTCMD_HEXEDIT poweroff " + text + "\r\n"));
    ExpectStored({text.substr(0, 255), text.substr(0, 255), "1"});
    EXPECT_TRUE(log.Has("ProcessTCPSetReqRs232PwrCmdString command text of 300 characters cut to 255."));
    EXPECT_EQ((Lines{"UARTCMD_STREDIT poweron " + text.substr(0, 255) + "\r\n",
                     "UARTCMD_HEXEDIT poweroff " + text.substr(0, 255) + "\r\n"}),
              Replies());
}

TEST_F(TcpRs232Test, EmissionNeverSeesAHalfStoredChange)
{
    // The web side changes the same preferences: a reader copying command,
    // form and end flag together never sees one form's command with the other
    // form's flag.
    Send("SET UARTCMD_STREDIT poweron ZZ\r\n");
    std::atomic<bool> done{false};
    std::thread writer([this, &done] {
        for (int i = 0; i < 8; ++i) {
            fTask->ProcessTCPSetReqRs232PwrCmdHex(TcpLine("SET UARTCMD_HEXEDIT poweron 5A 5A\r\n"));
            fTask->ProcessTCPSetReqRs232PwrCmdString(TcpLine("SET UARTCMD_STREDIT poweron ZZ\r\n"));
        }
        done = true;
    });
    int emissions = 0;
    for (; !done.load() && emissions < 100000; ++emissions)
        fTask->SendRs232PwrCmd(true);
    writer.join();
    EXPECT_GT(emissions, 0);
    usleep(100000);
    // Each emission is "ZZ\r\n" (text) or "ZZ" (hexadecimal 5A 5A): never
    // "5A 5A\r\n" or the decoded bytes of "ZZ" (two zero bytes).
    std::string got = SerialBoard::Display().ReceivedBytes();
    EXPECT_EQ(std::string::npos, got.find("5A")) << got;
    EXPECT_EQ(std::string::npos, got.find('\0')) << got;
}

}  // namespace
}  // namespace tcpcmd_test
