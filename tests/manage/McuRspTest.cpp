// The MCU answers outside the start flow: what each keyword does to the module
// information record, the preferences, the property file, the board's
// programs, the display line and the TCP clients.
#include <sys/stat.h>

#include <functional>

#include "ManageTestSupport.h"
#include "QuorVelmarPref.h"
#include "serverproperty.h"

namespace manage_test {
namespace {

using Lines = std::vector<std::string>;

// A value an MCU line is expected to leave behind.
using Probe = std::function<std::string()>;

// One MCU line, the value it leaves and, where set, a line it logs.
struct Step {
    std::string line;
    Probe probe;
    std::string want;
    const char* logged = nullptr;
};

class McuRspTest : public ManageFixture {
protected:
    template <size_t N>
    static Probe Rec(char (T_QuorModulInfo::*field)[N])
    {
        return [field] {
            T_QuorModulInfo record = Record();
            return std::string(record.*field);
        };
    }
    // The power-save preference in the file; its copy in memory must agree.
    static Probe Pref(const char* name, const char* inMemory)
    {
        return [name, inMemory] {
            std::string stored = PowerSavePref(name);
            return stored == inMemory ? stored : stored + " (in memory: " + inMemory + ")";
        };
    }
    // Hands the lines to the dispatcher in order, checking each one's effect.
    void Run(const std::vector<Step>& steps)
    {
        for (const Step& step : steps) {
            LogSince log;
            McuLine(step.line.c_str());
            EXPECT_EQ(step.want, step.probe()) << step.line;
            if (step.logged != nullptr) {
                EXPECT_TRUE(log.Has(step.logged)) << step.line << " should log " << step.logged;
            }
        }
    }
};

using R = T_QuorModulInfo;

TEST_F(McuRspTest, KeywordsMatchByPrefixInTableOrderIgnoringCase)
{
    Run({{"version hdmi 1.0", Rec(&R::McuVersion), "1.0"},
         {"orderx 5", Rec(&R::SequenceNumber), "5"},
         {"Ring_Marker on", Rec(&R::cLoopLink), "on"},
         // EDID_RX is the learned EDID (EDID_R comes first), not the EDID name.
         {"EDID_RX hdmi 00", Rec(&R::EDIDQueyReq), "", "EDID <hdmi> Lean Rsp."},
         {"EDID all 1080P", Rec(&R::EDIDQueyReq), "1080P"}});
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
    Run({{"ORDER " + value, Rec(&R::SequenceNumber), std::string(31, 'v')},
         {"HDCP_IN   " + std::string(200, 'h') + " tail", Rec(&R::HdcpInStatus), std::string(31, 'h')},
         {"HDCP_OUT 1.4 ok", Rec(&R::HdcpOutStatus), "1.4 ok"},
         // A keyword followed by a 100-character word still finds its value after it.
         {"VER " + value + " 2.0", Rec(&R::McuVersion), "2.0"}});
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
    Run({{"SUBGROUP a", Rec(&R::Group), "a"},
         {"SUBGROUP a b", Rec(&R::Group), "b"},
         {"MP dp all", Rec(&R::cViSelect), "dp"},
         {"SW hdmi all", Rec(&R::cViSelect), "hdmi"},
         {"CECAUTO_DELAY hdmi 7", Rec(&R::CECDelay), "7"},
         {"AUTOSW_ONOFF off", Rec(&R::AutoSW), "off"},
         {"SHOWME on", Rec(&R::cShowMe), "on"}});
}

TEST_F(McuRspTest, HdcpSupportPortsAreAsymmetric)
{
    Run({{"HDCPSUPPORT_ONOFF hdmi OF", Rec(&R::HdcpHDMISuppert), "0"},
         {"HDCPSUPPORT_ONOFF HDMI on", Rec(&R::HdcpHDMISuppert), "1"},
         {"HDCPSUPPORT_ONOFF dp OF", Rec(&R::HdcpDPSuppert), "", "######Hdmi_HdcpSuppert is Error."},
         {"HDCPSUPPORT_ONOFF dp off", Rec(&R::HdcpDPSuppert), "0"},
         {"HDCPSUPPORT_ONOFF dp ON", Rec(&R::HdcpDPSuppert), "1"},
         {"HDCPSUPPORT_ONOFF vga ON", Rec(&R::HdcpDPSuppert), "1", "######HdcpSuppert is <vga ON> Error."}});
    EXPECT_EQ(6u, TcpRecorder::Texts().size());  // every line forwarded
}

TEST_F(McuRspTest, CecSupportValues)
{
    Run({{"CECAUTO_ONOFF hdmi ON", Rec(&R::CECSuppert), "1"},
         {"CECAUTO_ONOFF any of", Rec(&R::CECSuppert), "0"},
         {"CECAUTO_ONOFF hdmi maybe", Rec(&R::CECSuppert), "0", "######CECSuppert is Error."}});
}

TEST_F(McuRspTest, LedFlickerStatusIsInverted)
{
    Probe status = [] { return std::to_string(g_LedFilckerStatus.load()); };
    Run({{"LEDFLICKER On", status, "0"}, {"LEDFLICKER off", status, "1"}, {"LEDFLICKER onward", status, "0"}});
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
    Probe support = Pref("RS232Support", CQuorVelmarPref::s_cQuor_PWRSave_RS232Support);
    Probe delay = Pref("RS232DelayCtrltime", CQuorVelmarPref::s_cQuor_PWRSave_RS232DlyCtrltime);
    Run({{"uartauto_onoff hdmi", support, "1"},
         {"UARTAUTO_ONOFF hdmi OFF", support, "0"},
         {"uartauto_onoff hdmi o", support, "1"},
         {"uartauto_onoff hdmi onx", support, "0"},
         {"uartpwr_delay hdmi 12", delay, "12"},
         // A value the preferences refuse is not kept in memory either.
         {"uartpwr_delay hdmi 1<2", delay, "12"}});
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
