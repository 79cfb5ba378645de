// velmard's preferences: defaults, the loading rules of every key group, bad
// values, the setters with their refusals and atomic writes, the round trip
// through the file, and concurrent use from several threads.
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "BoardRootFixture.h"
#include "LightLog.h"
#include "OSMutex.h"
#include "QuorVelmarPref.h"

namespace {

using P = CQuorVelmarPref;

// One board root for the whole binary, made before any test resolves a board
// path (the root is read once per process) and removed after the last test:
// "sync" runs under it.
class BoardEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        fRoot.reset(new board_test::TempBoardRoot());
        if (fRoot->Ok())
            setenv("VELMAR_ROOT", fRoot->Path().c_str(), 1);
    }
    void TearDown() override { fRoot.reset(); }
    static const board_test::TempBoardRoot& Root() { return *fRoot; }

private:
    static std::unique_ptr<board_test::TempBoardRoot> fRoot;
};

std::unique_ptr<board_test::TempBoardRoot> BoardEnvironment::fRoot;
::testing::Environment* const g_pBoardEnvironment = ::testing::AddGlobalTestEnvironment(new BoardEnvironment);

const board_test::TempBoardRoot& Board()
{
    return BoardEnvironment::Root();
}

// A module as the writer writes it.
std::string Module(const std::string& name, const std::string& prefs)
{
    std::string start = "\t<MODULE NAME=\"" + name + "\" >";
    return prefs.empty() ? start + "</MODULE>\n" : start + "\n" + prefs + "\t</MODULE>\n";
}

std::string Pref(const std::string& name, const std::string& value, const std::string& type = "")
{
    std::string typeAttr = type.empty() ? "" : "TYPE=\"" + type + "\" ";
    return "\t\t<PREF NAME=\"" + name + "\" " + typeAttr + ">" + value + "</PREF>\n";
}

std::string Config(const std::string& modules)
{
    return "<CONFIGURATION>\n\t<SERVER></SERVER>\n" + modules + "</CONFIGURATION>\n";
}

// A whole file with the four modules ReadPref reads (it adds the missing
// ones to the tree, and so to the next file written).
std::string AllModules(const std::string& velmar, const std::string& power, const std::string& common = "")
{
    return Config(Module("QuorVelmarCommon", "\t\t<PREF NAME=\"QuorVelmar_UdpIp\" >127.0.0.1</PREF>\n" + common +
                                                 "\t\t<PREF NAME=\"QuorVelmar_TelnetIp\" >127.0.0.2</PREF>\n") +
                  Module("QuorVelmarNdk", "") + Module("QuorVelmar", velmar) + Module("QuorPowerSave", power));
}

// The common module with the two required addresses and the given extras.
std::string Common(const std::string& extra = "", const std::string& udpIp = "127.0.0.1",
                   const std::string& telnetIp = "127.0.0.2")
{
    return Module("QuorVelmarCommon", Pref("QuorVelmar_UdpIp", udpIp) + extra + Pref("QuorVelmar_TelnetIp", telnetIp));
}

// The text preferences, in the order ExpectTexts takes their values.
struct TextPref {
    const char* name;
    const char* value;
};
const TextPref kTextPrefs[] = {
    {"RS232PWROn", P::s_cQuor_PWRSave_Rs232Poweron},   {"RS232PWROff", P::s_cQuor_PWRSave_Rs232Poweroff},
    {"RS232Support", P::s_cQuor_PWRSave_RS232Support}, {"RS232DlyCtrltime", P::s_cQuor_PWRSave_RS232DlyCtrltime},
    {"RS232Speed", P::s_cQuor_RS232Speed},              {"RS232ParityBit", P::s_cQuor_RS232ParityBit},
    {"RS232DataBit", P::s_cQuor_RS232DataBit},          {"RS232StopBit", P::s_cQuor_RS232StopBit},
    {"RS232Hexadecimal", P::s_cQuor_PWRSave_RS232Hexadecimal}, {"RS232EndFlg", P::s_cQuor_RS232EndFlg},
    {"sequenceMaxnumber", P::s_cQuor_SequenceMaxNum},
};

void ExpectTexts(const std::vector<std::string>& expected)
{
    ASSERT_EQ(expected.size(), sizeof(kTextPrefs) / sizeof(kTextPrefs[0]));
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(expected[i], kTextPrefs[i].value) << kTextPrefs[i].name;
}

class PrefTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Board().Ok()) << Board().LayoutOutput();
        fDir = board_test::MakeTempDir("pref");
        ASSERT_FALSE(fDir.empty());
        fPath = fDir + "/Velmar.xml";
        ASSERT_EQ(StartLog(), 0);
        P::ResetToDefaults();
    }
    void TearDown() override
    {
        P::ResetToDefaults();
        LightLogExit();
        board_test::RemoveTree(fDir);
    }

    // The log of this test alone, in its directory (one file).
    int StartLog()
    {
        T_LightLogCallBack callbacks = LightLogStdioCallBack();
        int result = LightLogSetCallBack(&callbacks);
        return result != 0 ? result : LightLogSetup((fDir + "/pref").c_str(), 100000, 10, 10000);
    }
    // Starts the log afresh, for the next case of a loop.
    void FreshLog()
    {
        LightLogExit();
        unlink((fDir + "/pref001.logTmp").c_str());
        ASSERT_EQ(StartLog(), 0);
    }

    int Read(const std::string& content)
    {
        EXPECT_TRUE(board_test::WriteText(fPath, content));
        return P::ReadPref(fPath.c_str());
    }
    std::string File() const { return board_test::ReadText(fPath); }
    std::string Log() const
    {
        LightLogFlush();
        return board_test::ReadText(fDir + "/pref001.logTmp");
    }
    bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

    std::string fDir;
    std::string fPath;
};

// ---- Defaults -------------------------------------------------------------------------

TEST_F(PrefTest, OnlyTheRequiredAddressesGiveEveryDefault)
{
    ASSERT_EQ(Read(Config(Common())), 0);
    EXPECT_EQ(P::s_u32Quor_Velmar_UdpInterAddr, htonl(0x7F000001));
    EXPECT_EQ(P::s_u32Quor_Velmar_TelnetInterAddr, htonl(0x7F000002));
    EXPECT_EQ(P::s_u16Quor_Velmar_UdpInterPort, 3334);
    EXPECT_STREQ(P::s_cQuor_Velmar_MulUdpRecvAddr, "230.1.0.0");
    EXPECT_EQ(P::s_u16Quor_Velmar_MulUdpRecvPort, 3333);
    EXPECT_EQ(P::s_u32Quor_Velmar_DHCPCheckTime, 60u);
    EXPECT_EQ(P::s_u16Quor_Velmar_TelnetInterPort, 23);
    EXPECT_EQ(P::s_u32Quor_Velmar_ClientMaxNum, 10u);
    EXPECT_EQ(P::s_u32Quor_VelmarNdk_UdpInterPort, 65009u);
    EXPECT_EQ(P::s_u16Quor_Velmar_RecvUdpThreadNum, 2);
    EXPECT_EQ(P::s_u16Quor_Velmar_ManageTaskThreadNum, 2);
    EXPECT_EQ(P::s_s32Quor_Velmar_LogLevel_Out, 10000);
    EXPECT_EQ(P::s_u16Quor_Velmar_DevSearchQueryTimer, 1);
    EXPECT_EQ(P::s_u16Quor_Velmar_MsgReTransmissionNum, 3);
    EXPECT_EQ(P::s_u16Quor_ResetTimer, 3);
    EXPECT_EQ(P::s_u16Quor_EDIDLearnTimerOut, 30);
    EXPECT_EQ(P::s_u16Quor_UartSpeed, 57600);
    // A missing end flag clears it: no CR LF default once the file is read.
    ExpectTexts({"", "", "", "", "57600", "NONE", "8", "1", "", "", ""});

    // Missing keys log their defaults; the group address must not be empty.
    std::string log = Log();
    EXPECT_NE(log.find("[20000]: QuorVelmar_UdpPort is <3334> --"), std::string::npos);
    EXPECT_NE(log.find("[20000]: QuorVelmar_MulUdpRecvIp is <230.1.0.0> --"), std::string::npos);
    EXPECT_NE(log.find("[20000]: RS232PWROn is <>, len is <0> --"), std::string::npos);
    EXPECT_NE(log.find("[20000]: RS232Speed is <57600> --"), std::string::npos);
    EXPECT_NE(log.find("[40000]: ######ReadPref QuorVelmar_MulUdpRecvIp Error. --"), std::string::npos);
    EXPECT_NE(log.find("[20000]: QuorVelmar ReadPref OK! --"), std::string::npos);
    // The module lines, in the order of the modules.
    size_t common = log.find("Read Config for QuorVelmar\t\t\t --");
    size_t ndk = log.find("Read Config for QuorVelmarNdk\t\t\t --");
    size_t velmar = log.find("Read Config for Velmarwork\t\t --");
    size_t power = log.find("Read Config for QuorPWRSave Module\t\t --");
    EXPECT_TRUE(common < ndk && ndk < velmar && velmar < power && power != std::string::npos) << log;
}

TEST_F(PrefTest, BeforeAnyReadTheMembersHoldTheirDefaultsAndTheEndFlagIsCrLf)
{
    EXPECT_STREQ(P::s_cQuor_RS232EndFlg, "\r\n");
    EXPECT_STREQ(P::s_cQuor_Velmar_MulUdpRecvAddr, "230.1.0.0");
    EXPECT_EQ(P::s_u16Quor_UartSpeed, 57600);
    EXPECT_EQ(P::GetRefForModule("QuorPowerSave"), nullptr);
    EXPECT_EQ(P::SetPWRSavePrefVal("RS232Speed", "char", "9600"), -2);
    EXPECT_EQ(P::Write(), -2);
}

TEST_F(PrefTest, TheBoardFileIsReadThroughTheBoardRoot)
{
    ASSERT_EQ(P::ReadPref(), 0);
    EXPECT_EQ(P::s_u16Quor_Velmar_TelnetInterPort, 2323);
    EXPECT_STREQ(P::s_cQuor_RS232EndFlg, "\r\n");
    EXPECT_NE(Log().find("RS232EndFlg is <\\x0D\\x0A> --"), std::string::npos);
    EXPECT_STREQ(P::s_xmlPrefsParser->GetFilePath(), Board().File("/Velmar/etc/Velmar.xml").c_str());
}

// ---- Required addresses and unreadable files -------------------------------------

TEST_F(PrefTest, RequiredAddressesMustBeDottedAddresses)
{
    struct Case {
        std::string udp, telnet, error;
    } cases[] = {
        {"", "127.0.0.2", "QuorVelmar_UdpIp<> is not a correct fomat"},
        {"127.0.0.", "127.0.0.2", "QuorVelmar_UdpIp<127.0.0.> is not a correct fomat"},
        {"256.1.1.1", "127.0.0.2", "QuorVelmar_UdpIp<256.1.1.1> is not a correct fomat"},
        {"1.2.3.4.5", "127.0.0.2", "QuorVelmar_UdpIp<1.2.3.4.5> is not a correct fomat"},
        {"127.0.0.1", "host", "QuorVelmar_TelnetIp<host> is not a correct fomat"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.udp + "/" + c.telnet);
        EXPECT_EQ(Read(Config(Common(Pref("QuorVelmar_UdpPort", "99"), c.udp, c.telnet) +
                              Module("QuorVelmar", Pref("Velmar_UartSpeed", "9600")))),
                  -1);
        EXPECT_TRUE(Logged("[40000]: " + c.error + " --")) << Log();
        EXPECT_FALSE(Logged("ReadPref OK!"));
        // Later keys keep their defaults.
        EXPECT_EQ(P::s_u16Quor_UartSpeed, 57600);
    }
    // The first address missing altogether fails too.
    EXPECT_EQ(Read(Config(Module("QuorVelmarCommon", Pref("QuorVelmar_TelnetIp", "1.2.3.4")))), -1);
}

TEST_F(PrefTest, StoredAddressesAreReadAsTheyAlwaysWere)
{
    // White space around the address is trimmed and every form inet_aton
    // takes is taken: a file that loaded before still loads.
    struct Case {
        std::string text;
        uint32_t address;
    } cases[] = {{" 127.0.0.1\t", 0x7F000001}, {"127.1", 0x7F000001}, {"0x7f.0.0.3", 0x7F000003},
                 {"010.1.1.1", 0x08010101}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(Read(Config(Common("", c.text, "127.0.0.2"))), 0) << Log();
        EXPECT_EQ(P::s_u32Quor_Velmar_UdpInterAddr, htonl(c.address));
    }
}

TEST_F(PrefTest, KeysBeforeAFailingAddressAreRead)
{
    EXPECT_EQ(Read(Config(Common(Pref("QuorVelmar_UdpPort", "99") + Pref("QuorVelmar_DHCPCheckTime", "7"),
                                 "127.0.0.1", "x"))),
              -1);
    EXPECT_EQ(P::s_u16Quor_Velmar_UdpInterPort, 99);
    EXPECT_EQ(P::s_u32Quor_Velmar_DHCPCheckTime, 7u);
}

TEST_F(PrefTest, UnreadableOrMalformedFilesFail)
{
    EXPECT_EQ(P::ReadPref((fDir + "/missing.xml").c_str()), -1);
    EXPECT_TRUE(Logged("[40000]: ###### Fail to parse s_xmlPrefsParser. --"));
    ASSERT_EQ(mkdir((fDir + "/dir.xml").c_str(), 0755), 0);
    EXPECT_EQ(P::ReadPref((fDir + "/dir.xml").c_str()), -1);
    EXPECT_EQ(Read(""), -1);
    EXPECT_EQ(Read("<CONFIGURATION>\n\t<SERVER></SERVER>\n"), -1);
    EXPECT_EQ(Read("<CONFIGURATION><MODULE NAME=\"QuorVelmarCommon\"></CONFIGURATION>"), -1);
    EXPECT_EQ(Read("garbage"), -1);
    EXPECT_EQ(Read(Config(Common()).replace(0, 1, "")), -1);
    EXPECT_EQ(P::ReadPref(nullptr), -1);
}

// ---- Numbers ---------------------------------------------------------------------------

TEST_F(PrefTest, NumbersFollowStrtoulBaseZeroAndAreNarrowed)
{
    ASSERT_EQ(Read(Config(Common(Pref("QuorVelmar_UdpPort", "010") + Pref("QuorVelmar_MulUdpRecvPort", "0x10") +
                                 Pref("QuorVelmar_DHCPCheckTime", "4294967297") +
                                 Pref("QuorVelmar_TelnetPort", "65559") + Pref("QuorVelmar_ClinetLinkMaxNum", "abc")) +
                          Module("QuorVelmarNdk", Pref("VelmarNdk_UdpPort", "0X1F")) +
                          Module("QuorVelmar", Pref("Quor_Velmar_LogLevel_Out", "-1") +
                                                   Pref("Quor_Velmar_DevSearchQueryTimer", " 12") +
                                                   Pref("Quor_Velmar_MsgReTransmissionNum", "0") +
                                                   Pref("Quor_Velmar_ResetTimer", "08") +
                                                   Pref("Quor_Velmar_EDIDLearnTimerOut", "7x") +
                                                   Pref("Velmar_UartSpeed", "115200")))),
              0);
    EXPECT_EQ(P::s_u16Quor_Velmar_UdpInterPort, 8);
    EXPECT_EQ(P::s_u16Quor_Velmar_MulUdpRecvPort, 16);
    EXPECT_EQ(P::s_u32Quor_Velmar_DHCPCheckTime, 1u);
    EXPECT_EQ(P::s_u16Quor_Velmar_TelnetInterPort, 23);
    EXPECT_EQ(P::s_u32Quor_Velmar_ClientMaxNum, 0u);
    EXPECT_EQ(P::s_u32Quor_VelmarNdk_UdpInterPort, 31u);
    EXPECT_EQ(P::s_s32Quor_Velmar_LogLevel_Out, -1);
    EXPECT_EQ(P::s_u16Quor_Velmar_DevSearchQueryTimer, 12);
    EXPECT_EQ(P::s_u16Quor_Velmar_MsgReTransmissionNum, 0);
    EXPECT_EQ(P::s_u16Quor_ResetTimer, 0);  // "08": octal stops at the 8
    EXPECT_EQ(P::s_u16Quor_EDIDLearnTimerOut, 7);
    // 115200 does not fit 16 bits: kept truncated, as stored files expect.
    EXPECT_EQ(P::s_u16Quor_UartSpeed, 49664);
    std::string log = Log();
    EXPECT_NE(log.find("[20000]: Velmar_UartSpeed is <49664> --"), std::string::npos);
    EXPECT_NE(log.find("[20000]: Quor_Velmar_LogLevel_Out is <4294967295> --"), std::string::npos);
    EXPECT_NE(log.find("[20000]: QuorVelmar_DHCPCheckTime is <1> --"), std::string::npos);
}

TEST_F(PrefTest, ThreadCountsOfZeroUseTheDefaultAndLargeOnesAreCapped)
{
    struct Case {
        const char* text;
        uint16_t used;
        bool warned;
    } cases[] = {
        {"0", 2, true}, {"65536", 2, true}, {"abc", 2, true}, {"1", 1, false}, {"65537", 1, false},
        {"64", 64, false}, {"65", 64, true}, {"0x40", 64, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(Read(Config(Common() + Module("QuorVelmar", Pref("Velmar_RecvUdp_ThreadNum", c.text) +
                                                                  Pref("Velmar_ManageTask_ThreadNum", c.text)))),
                  0);
        EXPECT_EQ(P::s_u16Quor_Velmar_RecvUdpThreadNum, c.used);
        EXPECT_EQ(P::s_u16Quor_Velmar_ManageTaskThreadNum, c.used);
        std::string log = Log();
        EXPECT_EQ(log.find("[30000]: Velmar_RecvUdp_ThreadNum <") != std::string::npos, c.warned) << log;
        EXPECT_EQ(log.find("[30000]: Velmar_ManageTask_ThreadNum <") != std::string::npos, c.warned);
        EXPECT_NE(log.find("[20000]: Velmar_ManageTask_ThreadNum is <" + std::to_string(c.used) + "> --"),
                  std::string::npos);
        FreshLog();
    }
}

// ---- Texts --------------------------------------------------------------------------------

TEST_F(PrefTest, MulticastAddressTakesAtMost15Characters)
{
    struct Case {
        const char* text;
        const char* stored;
        bool error;
    } cases[] = {
        {"239.255.255.250", "239.255.255.250", false},  // 15 characters
        {"239.255.255.2500", "230.1.0.0", true},        // 16
        {"239.255.255.25000", "230.1.0.0", true},       // 17
        {"", "230.1.0.0", true},
        {"224.0.0.1", "224.0.0.1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(Read(Config(Common(Pref("QuorVelmar_MulUdpRecvIp", c.text)))), 0);
        EXPECT_STREQ(P::s_cQuor_Velmar_MulUdpRecvAddr, c.stored);
        EXPECT_EQ(Log().rfind("[40000]: ######ReadPref QuorVelmar_MulUdpRecvIp Error. --") != std::string::npos,
                  c.error);
        EXPECT_NE(Log().find(std::string("[20000]: QuorVelmar_MulUdpRecvIp is <") + c.stored + "> --"),
                  std::string::npos);
        FreshLog();
    }
}

TEST_F(PrefTest, PowerSaveTextsAreCopiedWithinTheirMembers)
{
    const std::string long300(300, 'L');
    const std::string exact127(127, 'e');
    ASSERT_EQ(Read(Config(Common() + Module("QuorPowerSave", Pref("RS232PWROn", long300, "char") +
                                                                 Pref("RS232PWROff", "PWR OFF\r", "char") +
                                                                 Pref("RS232Support", long300, "char") +
                                                                 Pref("RS232DelayCtrltime", exact127, "char") +
                                                                 Pref("RS232Speed", "", "char") +
                                                                 Pref("RS232ParityBit", "ODD", "char") +
                                                                 Pref("RS232DataBit", "7", "char") +
                                                                 Pref("RS232Stop", "2", "char") +
                                                                 Pref("RS232Hexadecimal", "1", "char") +
                                                                 Pref("RS232EndFlg", "\r", "char") +
                                                                 Pref("sequenceMaxnumber", "17", "char")))),
              0);
    // Read at most 255 characters, then cut to the member; an empty speed
    // keeps the default.
    ExpectTexts({long300.substr(0, 255), "PWR OFF\r", long300.substr(0, 127), exact127, "57600", "ODD", "7", "2", "1",
                 "\r", "17"});
    std::string log = Log();
    EXPECT_NE(log.find("[20000]: RS232PWROn is <" + long300.substr(0, 255) + ">, len is <255> --"),
              std::string::npos);
    EXPECT_NE(log.find("[20000]: RS232ParityBit is <ODD> --"), std::string::npos);
    EXPECT_NE(log.find("[20000]: sequenceMaxnumber is <17> --"), std::string::npos);

    // An empty end flag clears the member too.
    ASSERT_EQ(Read(Config(Common() + Module("QuorPowerSave", Pref("RS232EndFlg", "", "char")))), 0);
    EXPECT_STREQ(P::s_cQuor_RS232EndFlg, "");
}

TEST_F(PrefTest, GettersReportMissingKeysAndCopyWithinTheCapacity)
{
    ASSERT_EQ(Read(Config(Common() + Module("Test", Pref("u8", "300") + Pref("t", "true") + Pref("F", "False") +
                                                        Pref("n", "0x2") + Pref("text", "a&amp;b c") +
                                                        "\t\t<PREF NAME=\"novalue\"/>\n"))),
              0);
    ContainerRef section = P::GetRefForModule("Test");
    ASSERT_NE(section, nullptr);
    uint8_t u8 = 9;
    EXPECT_EQ(P::GetPrefUInt8Val(section, "u8", &u8), 0);
    EXPECT_EQ(u8, 44);
    uint16_t flag = 9;
    EXPECT_EQ(P::GetPrefBool16Val(section, "t", &flag), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(P::GetPrefBool16Val(section, "F", &flag), 0);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(P::GetPrefBool16Val(section, "n", &flag), 0);
    EXPECT_EQ(flag, 2);
    // Missing keys and keys without a value leave the out value alone.
    uint32_t u32 = 77;
    EXPECT_EQ(P::GetPrefUInt32Val(section, "absent", &u32), -1);
    EXPECT_EQ(P::GetPrefUInt32Val(section, "novalue", &u32), -1);
    EXPECT_EQ(u32, 77u);
    EXPECT_EQ(P::GetPrefUInt32Val(nullptr, "u8", &u32), -1);
    EXPECT_EQ(P::GetPrefUInt32Val(section, nullptr, &u32), -1);
    EXPECT_EQ(P::GetPrefUInt32Val(section, "u8", nullptr), -1);

    char small[4];
    memset(small, 'x', sizeof(small));
    EXPECT_EQ(P::GetPrefStringVal(section, "text", small), 0);
    EXPECT_STREQ(small, "a&a");
    char text[64] = "unchanged";
    EXPECT_EQ(P::GetPrefStringVal(section, "novalue", text), -1);
    EXPECT_STREQ(text, "unchanged");
    std::string value;
    EXPECT_TRUE(P::GetPrefVal(section, "text", value));
    EXPECT_EQ(value, "a&amp;b c");  // entities stay as written
    EXPECT_FALSE(P::GetPrefVal(section, "absent", value));
}

// ---- Setters -------------------------------------------------------------------------------

TEST_F(PrefTest, SetPrefValUpdatesOrAddsAndWritesTheFile)
{
    ASSERT_EQ(Read(AllModules(Pref("Velmar_UartSpeed", "57600", "UInt16"), "")), 0);
    ContainerRef velmar = P::GetRefForModule("QuorVelmar");
    EXPECT_EQ(P::SetPrefVal(velmar, "Velmar_UartSpeed", "UInt16", "9600"), 0);
    EXPECT_EQ(P::SetPrefVal(velmar, "New_Number", "UInt16", "5"), 0);
    EXPECT_EQ(P::SetPrefVal(velmar, "New_Text", "CharArray", "x y"), 0);
    EXPECT_EQ(File(), AllModules(Pref("Velmar_UartSpeed", "9600", "UInt16") + Pref("New_Number", "5", "UInt16") +
                                     Pref("New_Text", "x y"),
                                 ""));
    struct stat st;
    ASSERT_EQ(stat(fPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_TRUE(Logged("[20000]: In SetPrefVal, Update Prefval, sName is <Velmar_UartSpeed>sType is "
                       "<UInt16>sValue is <9600> --"));
    EXPECT_TRUE(Logged("[20000]: In SetPrefVal, insert new Prefval, sName is <New_Number>sType is <UInt16>sValue "
                       "is <5> --"));
    // The members keep what was read until the next start.
    EXPECT_EQ(P::s_u16Quor_UartSpeed, 57600);
    ASSERT_EQ(P::ReadPref(fPath.c_str()), 0);
    EXPECT_EQ(P::s_u16Quor_UartSpeed, 9600);
}

TEST_F(PrefTest, SetPWRSavePrefValWritesThePowerSaveModuleEvenWhenMissing)
{
    // A file without the module: ReadPref adds the missing modules in memory.
    ASSERT_EQ(Read(Config(Common())), 0);
    EXPECT_EQ(P::SetPWRSavePrefVal("RS232PWROn", "char", "PWR ON\r"), 0);
    EXPECT_EQ(P::SetPWRSavePrefVal("RS232PWROn", "char", "ON"), 0);
    EXPECT_EQ(File(), AllModules("", Pref("RS232PWROn", "ON", "char")));
    EXPECT_TRUE(Logged("[20000]: In SetPWRSavePrefVal, insert new Prefval, sName is <RS232PWROn>sType is "
                       "<char>sValue is <PWR ON\\x0D> --"));
    EXPECT_TRUE(Logged("[20000]: In SetPrefVal, Update Prefval, sName is <RS232PWROn>sType is <char>sValue is "
                       "<ON> --"));
    EXPECT_EQ(P::SetPWRSavePrefVal(nullptr, "char", "1"), -2);
    EXPECT_EQ(P::SetPWRSavePrefVal("RS232Support", nullptr, "1"), -2);
    EXPECT_EQ(P::SetPWRSavePrefVal("RS232Support", "char", nullptr), -2);
    EXPECT_TRUE(Logged("[40000]: ######In SetPWRSavePrefVal, sValue is NULL Error! --"));
    EXPECT_EQ(P::SetPrefVal(nullptr, "a", "char", "1"), -2);
}

TEST_F(PrefTest, RefusedValuesChangeNeitherTheFileNorTheTree)
{
    ASSERT_EQ(Read(AllModules("", Pref("RS232PWROn", "ON", "char"))), 0);
    const std::string before = File();
    ContainerRef power = P::GetRefForModule("QuorPowerSave");
    const std::string tooLong(P::kMaxStoredValue + 1, 'v');
    const char withNul[] = {'a', '\0', 'b'};

    EXPECT_EQ(P::SetPWRSavePrefVal("RS232PWROn", "char", "<b>"), -2);
    EXPECT_EQ(P::SetPWRSavePrefVal("RS232New", "char", "a<"), -2);
    EXPECT_EQ(P::SetPrefVal(power, "RS232PWROn", "char", tooLong.c_str()), -2);
    EXPECT_EQ(P::SetPWRSavePrefVal("RS232PWROn", "char", withNul, sizeof(withNul)), -2);
    EXPECT_EQ(P::SetPrefVal(power, "RS232New", "char", withNul, sizeof(withNul)), -2);
    EXPECT_EQ(P::SetPrefVal(power, "Bad\"Name", "char", "1"), -2);
    EXPECT_EQ(P::SetPrefVal(power, "RS232New", "ch\"ar", "1"), -2);
    EXPECT_EQ(File(), before);
    std::string value;
    EXPECT_TRUE(P::GetPrefVal(power, "RS232PWROn", value));
    EXPECT_EQ(value, "ON");
    EXPECT_FALSE(P::GetPrefVal(power, "RS232New", value));
    EXPECT_FALSE(P::GetPrefVal(power, "Bad\"Name", value));
    EXPECT_EQ(P::Write(), 0);
    EXPECT_EQ(File(), before);

    // The longest value is stored whole; the readers cut it.
    const std::string longest(P::kMaxStoredValue, 'v');
    EXPECT_EQ(P::SetPWRSavePrefVal("RS232PWROn", "char", longest.c_str()), 0);
    EXPECT_TRUE(P::GetPrefVal(power, "RS232PWROn", value));
    EXPECT_EQ(value, longest);
    ASSERT_EQ(P::ReadPref(fPath.c_str()), 0);
    EXPECT_EQ(std::string(P::s_cQuor_PWRSave_Rs232Poweron), longest.substr(0, 255));

    // A value given with its length and no NUL is stored as those bytes.
    EXPECT_EQ(P::SetPWRSavePrefVal("RS232Support", "char", "123", 2), 0);
    EXPECT_TRUE(P::GetPrefVal(P::GetRefForModule("QuorPowerSave"), "RS232Support", value));
    EXPECT_EQ(value, "12");
}

TEST_F(PrefTest, AFailedWriteKeepsTheOldFileAndRollsTheTreeBack)
{
    ASSERT_EQ(Read(AllModules("", Pref("RS232PWROn", "ON", "char") + "\t\t<PREF NAME=\"Empty\" ></PREF>\n")), 0);
    const std::string before = File();
    ContainerRef power = P::GetRefForModule("QuorPowerSave");
    std::string value;
    bool emptyHadValue = P::GetPrefVal(power, "Empty", value);
    // The temporary file of the atomic write cannot be made.
    ASSERT_EQ(mkdir((fPath + ".tmp").c_str(), 0755), 0);

    EXPECT_EQ(P::SetPWRSavePrefVal("RS232PWROn", "char", "OFF"), -2);
    EXPECT_EQ(P::SetPWRSavePrefVal("RS232Added", "char", "1"), -2);
    EXPECT_EQ(P::SetPWRSavePrefVal("Empty", "char", "1"), -2);
    EXPECT_EQ(P::Write(), -2);
    EXPECT_EQ(File(), before);
    EXPECT_TRUE(Logged("[40000]: ######In SetPWRSavePrefVal, writing sName <RS232PWROn> failed, the file is "
                       "unchanged. --"));
    EXPECT_TRUE(P::GetPrefVal(power, "RS232PWROn", value));
    EXPECT_EQ(value, "ON");
    EXPECT_FALSE(P::GetPrefVal(power, "RS232Added", value));
    EXPECT_EQ(P::GetPrefVal(power, "Empty", value), emptyHadValue);

    // Once the file can be written again, only what was accepted is stored.
    ASSERT_EQ(rmdir((fPath + ".tmp").c_str()), 0);
    EXPECT_EQ(P::Write(), 0);
    EXPECT_EQ(File(), before);
}

TEST_F(PrefTest, RoundTripOfTheBoardTemplateIsByteForByte)
{
    const std::string original = board_test::ReadText(board_test::SourcePath("sim/board-root/Velmar/etc/Velmar.xml"));
    ASSERT_EQ(Read(original), 0);
    // Rewriting every value of every module with what it holds keeps the file.
    const char* modules[] = {"QuorVelmarCommon", "QuorVelmarNdk", "QuorVelmar", "QuorPowerSave"};
    for (const char* name : modules) {
        ContainerRef section = P::GetRefForModule(name);
        for (uint32_t i = 0; i < P::s_xmlPrefsParser->GetNumPrefsByContainer(section); ++i) {
            char* prefName = nullptr;
            char* type = nullptr;
            const char* text = P::s_xmlPrefsParser->GetPrefValueByIndex(section, i, 0, &prefName, &type);
            std::string copy = text != nullptr ? text : "";
            EXPECT_EQ(P::SetPrefVal(section, prefName, type, copy.c_str()), 0) << prefName;
        }
    }
    EXPECT_EQ(File(), original);
    ASSERT_EQ(P::ReadPref(fPath.c_str()), 0);
    EXPECT_STREQ(P::s_cQuor_RS232EndFlg, "\r\n");
}

// ---- The text members and concurrency ------------------------------------------------

TEST_F(PrefTest, TextMembersAreCopiedAndStoredWithinTheirSizes)
{
    const std::string mac(200, 'M');
    P::StoreText(P::s_cQuor_MacAddr, mac.c_str());
    EXPECT_EQ(std::string(P::s_cQuor_MacAddr), mac.substr(0, 127));
    char out[8];
    EXPECT_EQ(P::CopyText(P::s_cQuor_MacAddr, out), 7u);
    EXPECT_STREQ(out, "MMMMMMM");
    P::StoreText(P::s_cQuor_MacAddr, nullptr);
    EXPECT_STREQ(P::s_cQuor_MacAddr, "");
    // ReadPref leaves the MAC text alone; ResetToDefaults clears it.
    P::StoreText(P::s_cQuor_MacAddr, "0011AABBCCDD");
    ASSERT_EQ(Read(Config(Common())), 0);
    EXPECT_STREQ(P::s_cQuor_MacAddr, "0011AABBCCDD");
    P::ResetToDefaults();
    EXPECT_STREQ(P::s_cQuor_MacAddr, "");
}

TEST_F(PrefTest, SettersAndReadersOnSeveralThreads)
{
    ASSERT_EQ(Read(Config(Common() + Module("QuorVelmar", "") + Module("QuorPowerSave", ""))), 0);
    ContainerRef velmar = P::GetRefForModule("QuorVelmar");
    const int kRounds = 40;
    std::atomic<int> failures{0};
    auto writer = [&](const std::string& key) {
        for (int i = 0; i < kRounds; ++i) {
            if (P::SetPrefVal(velmar, key.c_str(), "UInt16", std::to_string(i).c_str()) != 0)
                ++failures;
        }
    };
    auto reader = [&] {
        for (int i = 0; i < kRounds * 4; ++i) {
            char text[16];
            std::string value;
            P::GetPrefStringVal(velmar, "A", text);
            P::GetPrefVal(P::GetRefForModule("QuorVelmar"), "B", value);
            uint16_t number;
            P::GetPrefUInt16Val(velmar, "A", &number);
        }
    };
    auto members = [&] {
        for (int i = 0; i < kRounds * 4; ++i) {
            P::StoreText(P::s_cQuor_RS232Speed, i % 2 == 0 ? "9600" : "115200");
            char copy[P::kShortTextSize];
            P::CopyText(P::s_cQuor_RS232Speed, copy);
            if (strcmp(copy, "9600") != 0 && strcmp(copy, "115200") != 0)
                ++failures;
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(writer, "A");
    threads.emplace_back(writer, "B");
    threads.emplace_back(reader);
    threads.emplace_back(members);
    threads.emplace_back([] { P::SetPWRSavePrefVal("RS232Support", "char", "1"); });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(P::ReadPref(fPath.c_str()), 0);
    uint16_t a = 0, b = 0;
    velmar = P::GetRefForModule("QuorVelmar");
    EXPECT_EQ(P::GetPrefUInt16Val(velmar, "A", &a), 0);
    EXPECT_EQ(P::GetPrefUInt16Val(velmar, "B", &b), 0);
    EXPECT_EQ(a, kRounds - 1);
    EXPECT_EQ(b, kRounds - 1);
    EXPECT_STREQ(P::s_cQuor_PWRSave_RS232Support, "1");
}

} // namespace
