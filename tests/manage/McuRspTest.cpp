// The MCU answers outside the start flow: what each keyword does to the module
// information record, the preferences, the property file, the board's
// programs, the display line and the TCP clients.
#include <sys/stat.h>

#include "ManageTestSupport.h"
#include "QuorVelmarPref.h"
#include "serverproperty.h"

namespace manage_test {
namespace {

using Lines = std::vector<std::string>;

class McuRspTest : public ManageFixture {};

TEST_F(McuRspTest, KeywordsMatchByPrefixInTableOrderIgnoringCase)
{
    McuLine("version hdmi 1.0");
    EXPECT_STREQ("1.0", Record().McuVersion);
    McuLine("orderx 5");
    EXPECT_STREQ("5", Record().SequenceNumber);
    McuLine("Ring_Marker on");
    EXPECT_STREQ("on", Record().cLoopLink);
    // EDID_RX is the learned EDID (EDID_R comes first), not the EDID name.
    LogSince log;
    McuLine("EDID_RX hdmi 00");
    EXPECT_TRUE(log.Has("EDID <hdmi> Lean Rsp."));
    EXPECT_STREQ("", Record().EDIDQueyReq);
    McuLine("EDID all 1080P");
    EXPECT_STREQ("1080P", Record().EDIDQueyReq);
}

TEST_F(McuRspTest, AnswersAreForwardedOnceWithOneCrLfUnlessConsumed)
{
    LogSince log;
    McuLine("FOO 1");
    McuLine("SDXMACADDR x");
    McuLine("SDXBIP a");
    McuLine("SDXMASK m");
    McuLine("UARTPWR_ONOFF hdmi ON");
    McuLine("ORDER 5");
    McuLine("SHOWME on");
    std::vector<TcpSent> sent = TcpRecorder::Sent();
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ("FOO 1\r\n", sent[0].text);
    EXPECT_EQ("ORDER 5\r\n", sent[1].text);
    EXPECT_EQ("SHOWME on\r\n", sent[2].text);
    for (const TcpSent& s : sent) {
        EXPECT_EQ(0, s.mode);
        EXPECT_EQ(0, s.session);
    }
    EXPECT_TRUE(log.Has("unsupport: FOO 1"));
    EXPECT_TRUE(log.Has("flag is false"));
    EXPECT_FALSE(log.Has("unsupport: SDXMACADDR"));
    EXPECT_STREQ("a", Record().Ip);
    EXPECT_STREQ("m", Record().Netmask);
}

TEST_F(McuRspTest, ExternalTextIsNeverAFormat)
{
    LogSince log;
    McuLine("%s%s%n %x%x");
    McuLine("ORDER %s%n");
    McuLine("HDCPSUPPORT_ONOFF %n%s ON");
    EXPECT_EQ((Lines{"%s%s%n %x%x\r\n", "ORDER %s%n\r\n", "HDCPSUPPORT_ONOFF %n%s ON\r\n"}), TcpRecorder::Texts());
    EXPECT_STREQ("%s%n", Record().SequenceNumber);
    EXPECT_TRUE(log.Has("unsupport: %s%s%n %x%x"));
    EXPECT_TRUE(log.Has("######HdcpSuppert is <%n%s ON> Error."));
}

TEST_F(McuRspTest, LongWordsAreCutAndLongLinesStayBounded)
{
    std::string value(100, 'v');
    McuLine(("ORDER " + value).c_str());
    EXPECT_EQ(std::string(31, 'v'), Record().SequenceNumber);
    McuLine(("HDCP_IN   " + std::string(200, 'h') + " tail").c_str());
    EXPECT_EQ(std::string(31, 'h'), Record().HdcpInStatus);
    McuLine("HDCP_OUT 1.4 ok");
    EXPECT_STREQ("1.4 ok", Record().HdcpOutStatus);
    // A keyword followed by a 100-character word still finds its value after it.
    McuLine(("VER " + value + " 2.0").c_str());
    EXPECT_STREQ("2.0", Record().McuVersion);
    // A 2047-character line is forwarded cut to the 2047 bytes a text holds.
    std::string huge = "FOO " + std::string(2043, 'x');
    McuLine(huge.c_str());
    ASSERT_FALSE(TcpRecorder::Texts().empty());
    EXPECT_EQ(2047u, TcpRecorder::Texts().back().size());
}

TEST_F(McuRspTest, WithoutOwnRecordNothingIsStoredButLinesAreForwarded)
{
    g_ModulInfolist.Clear();
    McuLine("ORDER 9");
    McuLine("SDXBIP 10.0.0.1");
    EXPECT_FALSE(g_ModulInfolist.CopyOwn(nullptr));
    EXPECT_EQ((Lines{"ORDER 9\r\n"}), TcpRecorder::Texts());
}

TEST_F(McuRspTest, SubgroupVideoAndSimpleValues)
{
    McuLine("SUBGROUP a");
    EXPECT_STREQ("a", Record().Group);
    McuLine("SUBGROUP a b");
    EXPECT_STREQ("b", Record().Group);
    McuLine("MP dp all");
    EXPECT_STREQ("dp", Record().cViSelect);
    McuLine("SW hdmi all");
    EXPECT_STREQ("hdmi", Record().cViSelect);
    McuLine("CECAUTO_DELAY hdmi 7");
    EXPECT_STREQ("7", Record().CECDelay);
    McuLine("AUTOSW_ONOFF off");
    EXPECT_STREQ("off", Record().AutoSW);
    McuLine("SHOWME on");
    EXPECT_STREQ("on", Record().cShowMe);
}

TEST_F(McuRspTest, HdcpSupportPortsAreAsymmetric)
{
    McuLine("HDCPSUPPORT_ONOFF hdmi OF");
    EXPECT_STREQ("0", Record().HdcpHDMISuppert);
    McuLine("HDCPSUPPORT_ONOFF HDMI on");
    EXPECT_STREQ("1", Record().HdcpHDMISuppert);

    LogSince log;
    McuLine("HDCPSUPPORT_ONOFF dp OF");
    EXPECT_TRUE(log.Has("######Hdmi_HdcpSuppert is Error."));
    EXPECT_STREQ("", Record().HdcpDPSuppert);
    McuLine("HDCPSUPPORT_ONOFF dp off");
    EXPECT_STREQ("0", Record().HdcpDPSuppert);
    McuLine("HDCPSUPPORT_ONOFF dp ON");
    EXPECT_STREQ("1", Record().HdcpDPSuppert);

    McuLine("HDCPSUPPORT_ONOFF vga ON");
    EXPECT_TRUE(log.Has("######HdcpSuppert is <vga ON> Error."));
    EXPECT_EQ(6u, TcpRecorder::Texts().size());  // every line forwarded
}

TEST_F(McuRspTest, CecSupportValues)
{
    McuLine("CECAUTO_ONOFF hdmi ON");
    EXPECT_STREQ("1", Record().CECSuppert);
    McuLine("CECAUTO_ONOFF any of");
    EXPECT_STREQ("0", Record().CECSuppert);
    LogSince log;
    McuLine("CECAUTO_ONOFF hdmi maybe");
    EXPECT_TRUE(log.Has("######CECSuppert is Error."));
    EXPECT_STREQ("0", Record().CECSuppert);
}

TEST_F(McuRspTest, LedFlickerStatusIsInverted)
{
    McuLine("LEDFLICKER On");
    EXPECT_EQ(0, g_LedFilckerStatus.load());
    McuLine("LEDFLICKER off");
    EXPECT_EQ(1, g_LedFilckerStatus.load());
    McuLine("LEDFLICKER onward");
    EXPECT_EQ(0, g_LedFilckerStatus.load());
}

TEST_F(McuRspTest, AliasGoesToRecordPropertyFileAndSync)
{
    McuLine("ALIAS Hall-2");
    EXPECT_STREQ("Hall-2", Record().cAlias);
    EXPECT_NE(std::string::npos, Read("/var/tmpfs/SavePowerOff.conf").find("alias=Hall-2\n"));
    EXPECT_EQ("sync\n", ProcessBoardRoot::Calls());
    EXPECT_EQ((Lines{"ALIAS Hall-2\r\n"}), TcpRecorder::Texts());

    // A failing "sync" is logged; the values stay and the line still goes out.
    SetStatus("sync", 3);
    LogSince log;
    McuLine("ALIAS Hall-3");
    EXPECT_TRUE(log.Has("######pox_system <sync> Error and s32Rst is <768>."));
    EXPECT_STREQ("Hall-3", Record().cAlias);
    EXPECT_EQ(2u, TcpRecorder::Texts().size());
}

TEST_F(McuRspTest, LearnedEdidIsWrittenAsDecodedBytes)
{
    remove(File("/www/tmp/edid.bin").c_str());
    McuLine("EDID_R hdmi 00 FF 0x1f zz");
    EXPECT_EQ(std::string("\x00\xFF\x1F\x00", 4), Read("/www/tmp/edid.bin"));
    struct stat st;
    ASSERT_EQ(0, stat(File("/www/tmp/edid.bin").c_str(), &st));
    EXPECT_EQ(0664u, st.st_mode & 0777);
    EXPECT_TRUE(g_b8LearnEDIDOK.load());
    EXPECT_EQ("sync\n", ProcessBoardRoot::Calls());
    EXPECT_EQ((Lines{"EDID_R hdmi 00 FF 0x1f zz\r\n"}), TcpRecorder::Texts());

    // 128 bytes of a real EDID; a failing "sync" leaves the flag clear.
    g_b8LearnEDIDOK = false;
    SetStatus("sync", 1);
    std::string edid = McuSimState::DefaultEdid(), line = "EDID_R hdmi";
    for (unsigned char c : edid) {
        char piece[4];
        snprintf(piece, sizeof(piece), " %02X", c);
        line += piece;
    }
    McuLine(line.c_str());
    EXPECT_EQ(edid, Read("/www/tmp/edid.bin"));
    EXPECT_FALSE(g_b8LearnEDIDOK.load());
}

TEST_F(McuRspTest, UartAutoAndPowerDelayStoreTheRs232Preferences)
{
    McuLine("uartauto_onoff hdmi");
    EXPECT_EQ("1", PowerSavePref("RS232Support"));
    EXPECT_STREQ("1", CQuorVelmarPref::s_cQuor_PWRSave_RS232Support);
    McuLine("UARTAUTO_ONOFF hdmi OFF");
    EXPECT_EQ("0", PowerSavePref("RS232Support"));
    EXPECT_STREQ("0", CQuorVelmarPref::s_cQuor_PWRSave_RS232Support);
    McuLine("uartauto_onoff hdmi o");
    EXPECT_EQ("1", PowerSavePref("RS232Support"));
    McuLine("uartauto_onoff hdmi onx");
    EXPECT_EQ("0", PowerSavePref("RS232Support"));

    McuLine("uartpwr_delay hdmi 12");
    EXPECT_EQ("12", PowerSavePref("RS232DelayCtrltime"));
    EXPECT_STREQ("12", CQuorVelmarPref::s_cQuor_PWRSave_RS232DlyCtrltime);
    // A value the preferences refuse is not kept in memory either.
    McuLine("uartpwr_delay hdmi 1<2");
    EXPECT_EQ("12", PowerSavePref("RS232DelayCtrltime"));
    EXPECT_STREQ("12", CQuorVelmarPref::s_cQuor_PWRSave_RS232DlyCtrltime);
    EXPECT_EQ(6u, TcpRecorder::Texts().size());
}

class DisplayPowerTest : public ManageFixture {
protected:
    void Store(const char* on, const char* off, const char* hex, const char* endFlag)
    {
        CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweron, on);
        CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweroff, off);
        CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_PWRSave_RS232Hexadecimal, hex);
        CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_RS232EndFlg, endFlag);
    }
    std::string DisplayGot(size_t count)
    {
        SerialBoard::Display().WaitForBytes(count, 2000);
        usleep(50000);  // nothing more may follow
        return SerialBoard::Display().ReceivedBytes();
    }
    void TearDown() override
    {
        Store("", "", "", "");
        ManageFixture::TearDown();
    }
};

TEST_F(DisplayPowerTest, TextCommandWithEndFlag)
{
    Store("PWR ON", "PWR OFF", "0", "\r\n");
    McuLine("UARTPWR_ONOFF hdmi ON");
    EXPECT_EQ("PWR ON\r\n", DisplayGot(8));
    SerialBoard::Display().ClearRecords();
    McuLine("UARTPWR_ONOFF hdmi off");
    EXPECT_EQ("PWR OFF\r\n", DisplayGot(9));
    EXPECT_TRUE(TcpRecorder::Texts().empty());
}

TEST_F(DisplayPowerTest, TextCommandWithoutEndFlag)
{
    Store("PWR ON", "PWR OFF", "", "");
    McuLine("UARTPWR_ONOFF hdmi On");
    EXPECT_EQ("PWR ON", DisplayGot(6));
}

TEST_F(DisplayPowerTest, HexadecimalCommandKeepsZeroBytesAndHasNoEndFlag)
{
    Store("02 00 03", "02 50 4F 46 03", "1", "\r\n");
    McuLine("UARTPWR_ONOFF hdmi ON");
    EXPECT_EQ(std::string("\x02\x00\x03", 3), DisplayGot(3));
    SerialBoard::Display().ClearRecords();
    McuLine("UARTPWR_ONOFF hdmi OFF");
    EXPECT_EQ("\x02POF\x03", DisplayGot(5));
}

TEST_F(McuRspTest, ResetForwardsRestoresPreferencesAndRunsFactoryReset)
{
    testing::internal::CaptureStdout();
    McuLine("RESET");
    testing::internal::GetCapturedStdout();
    // The line goes out before the reset and once more after it.
    EXPECT_EQ((Lines{"RESET\r\n", "RESET\r\n"}), TcpRecorder::Texts());
    std::string calls = ProcessBoardRoot::Calls();
    EXPECT_NE(std::string::npos, calls.find("cp -f /Velmar/etc/Velmar_factory.xml /Velmar/etc/Velmar.xml\n"));
    EXPECT_EQ(calls.size() - 7, calls.rfind("reboot\n"));
    // The preferences were set before the factory copies replaced the file.
    EXPECT_EQ(0u, calls.find("sync\nsync\nsync\nsync\nsync\nsync\nsync\nsync\ncp -f"));
    EXPECT_EQ((std::vector<uint32_t>{1000, 1000, 5000}), PauseRecorder::Pauses());
    // Put the daemon's preferences back for the tests that follow.
    CQuorVelmarPref::Write();
}

TEST_F(McuRspTest, ResetThatFailsIsLogged)
{
    SetStatus("cp", 1);
    LogSince log;
    McuLine("reset_edid now");
    EXPECT_TRUE(log.Has("######RebootFactory is fail!"));
    EXPECT_EQ((Lines{"reset_edid now\r\n", "reset_edid now\r\n"}), TcpRecorder::Texts());
    EXPECT_EQ(std::string::npos, ProcessBoardRoot::Calls().find("reboot"));
    EXPECT_EQ("1", PowerSavePref("sequenceMaxnumber"));
    EXPECT_EQ("1", PowerSavePref("RS232Support"));
    EXPECT_EQ("0", PowerSavePref("RS232cmdstring"));
}

}  // namespace
}  // namespace manage_test
