// The settings operations of the web request processor on the simulated
// board: applying an address through "setip" and checking the script it
// generates, the address mode switches, and the RS-232 preferences.
#include <algorithm>

#include "ManageTestSupport.h"
#include "QuorVelmarMongooseTask.h"
#include "QuorVelmarPref.h"
#include "serverproperty.h"

namespace manage_test {
namespace {

const char kFullWidthComma[] = "\xA3\xAC";

class SettingsTest : public ManageFixture {
protected:
    void SetUp() override
    {
        ManageFixture::SetUp();
        fSetip = Read("/usr/sbin/setip");
        fConfigip = Read("/usr/sbin/configip");
    }
    void TearDown() override
    {
        ProcessBoardRoot::WriteProgram("/usr/sbin/setip", fSetip);
        ProcessBoardRoot::WriteProgram("/usr/sbin/configip", fConfigip);
        ManageFixture::TearDown();
    }
    // A "setip" that records its call and writes the given script text.
    void SetipWrites(const std::string& script)
    {
        ProcessBoardRoot::WriteProgram("/usr/sbin/setip",
                                       "#!/bin/sh\n"
                                       ". \"$VELMAR_ROOT/usr/lib/board-sim/board-call.sh\"\n"
                                       "board_call setip \"$@\"\n"
                                       "printf '%s' '" + script + "' > \"$VELMAR_ROOT/usr/sbin/configip\"\n");
    }
    static int Apply(const char* ip, const char* mask, const char* gateway)
    {
        T_QuorEtherNetInfoSetReq req;
        memset(&req, 0, sizeof(req));
        // Longer texts are cut to the 15 characters a field holds.
        memcpy(req.IPAddr, ip, strnlen(ip, sizeof(req.IPAddr) - 1));
        memcpy(req.SubMask, mask, strnlen(mask, sizeof(req.SubMask) - 1));
        memcpy(req.Gateway, gateway, strnlen(gateway, sizeof(req.Gateway) - 1));
        return CQuorVelmarMGProcess::ProcessNetInfoSetReq(&req);
    }
    static std::string Mode()
    {
        char mode[32];
        CServerProperty::GetInstance()->GetIpMod(mode, sizeof(mode));
        return mode;
    }

    std::string fSetip, fConfigip;
};

TEST_F(SettingsTest, AppliesAnAddressThroughSetipAndChecksTheScript)
{
    LogSince log;
    EXPECT_EQ(0, Apply("10.0.0.5", "255.255.255.0", "10.0.0.1"));
    EXPECT_EQ("setip 10.0.0.5 255.255.255.0 10.0.0.1\n", ProcessBoardRoot::Calls());
    EXPECT_TRUE(log.Has("ProcessNetInfoSetReq NetInfo is setip 10.0.0.5 255.255.255.0 10.0.0.1 !"));
    EXPECT_TRUE(log.Has("ProcessNetInfoSetReq ReqResult is ok !"));
    EXPECT_FALSE(log.Has("######"));
}

TEST_F(SettingsTest, RefusedRequestsRunNoCommand)
{
    LogSince log;
    EXPECT_EQ(-2, Apply("10.0.0.5", "255.255.255.0", "10.0.0.5"));
    EXPECT_TRUE(log.Has("######CheckIPInfoValidity fail, Ret is <-2>!"));
    EXPECT_EQ(-2, Apply("1.1.1.1;reboot", "255.0.0.0", "1.1.1.2"));
    EXPECT_EQ(-2, Apply("10.0.0.5 10.0.0.6", "255.0.0.0", "10.0.0.1"));
    EXPECT_EQ(-2, Apply("", "", ""));
    T_QuorEtherNetInfoSetReq unterminated;
    memset(&unterminated, '1', sizeof(unterminated));
    EXPECT_EQ(-2, CQuorVelmarMGProcess::ProcessNetInfoSetReq(&unterminated));
    EXPECT_EQ(-2, CQuorVelmarMGProcess::ProcessNetInfoSetReq(nullptr));
    EXPECT_EQ("", ProcessBoardRoot::Calls());
}

TEST_F(SettingsTest, SetipFailureAndMissingScriptAreFailures)
{
    ProcessBoardRoot::WriteProgram("/usr/sbin/setip", "#!/bin/sh\nexit 4\n");
    LogSince log;
    EXPECT_EQ(-2, Apply("10.0.0.5", "255.255.255.0", "10.0.0.1"));
    EXPECT_TRUE(log.Has("######Exc Setip fail, Ret is <1024>, system is <setip 10.0.0.5 255.255.255.0 10.0.0.1>!"));
    ProcessBoardRoot::WriteProgram("/usr/sbin/setip", "#!/bin/sh\nrm -f \"$VELMAR_ROOT/usr/sbin/configip\"\n");
    EXPECT_EQ(-2, Apply("10.0.0.5", "255.255.255.0", "10.0.0.1"));
    EXPECT_TRUE(log.Has("######fopen fail, return fp is NULL!"));
}

TEST_F(SettingsTest, ScriptForAnotherAddressEndsAtTheEndOfTheFile)
{
    SetipWrites("#!/bin/sh\nifconfig eth0 10.0.0.9 netmask 255.0.0.0\n");
    LogSince log;
    EXPECT_EQ(0, Apply("10.0.0.5", "255.255.255.0", "10.0.0.1"));
    EXPECT_TRUE(log.Has("######fgets fail, return pmove is NULL!"));
    EXPECT_FALSE(log.Has("######set ipinfo fail"));
}

TEST_F(SettingsTest, ScriptMismatchesAreLoggedWithTheBoardsCommaAndStillSucceed)
{
    struct Case {
        const char* script;
        const char* message;
    } cases[] = {
        {"route add default gw 10.0.0.254\n", "It should be GATEWAY!"},
        {"route add default gw 10.0.0.1 metric 5\n", "It should be GATEWAY!"},
        {"route add default gw\t10.0.0.10\n", "It should be GATEWAY!"},
        {"route add default gw10.0.0.1\n", "It should be Blank Character after 'route add default gw'!"},
        {"ifconfig eth0:1 10.0.0.5\n", "It should be Blank Character after 'ifconfig eth0'!"},
        {"ifconfig eth0 10.0.0.50 netmask 255.255.255.0\n", "It should be Blank Character after IP!"},
        {"ifconfig eth0 10.0.0.5 up\n", "It should be Blank Character after 'netmask'!"},
        {"ifconfig eth0 10.0.0.5 netmask 255.255.0.0\n", "It should be NETMASK!"},
        {"ifconfig eth0 10.0.0.5 netmask 255.255.255.0 up\n", "It should be NETMASK!"},
    };
    for (const Case& c : cases) {
        SetipWrites(c.script);
        LogSince log;
        EXPECT_EQ(0, Apply("10.0.0.5", "255.255.255.0", "10.0.0.1")) << c.script;
        EXPECT_TRUE(log.Has(std::string("######set ipinfo fail") + kFullWidthComma + c.message))
            << c.script << log.Text();
    }
    SetipWrites("ifconfig eth0   10.0.0.5  netmask\t255.255.255.0 \r\nroute add default gw 10.0.0.1\r\nbad\n");
    LogSince log;
    EXPECT_EQ(0, Apply("10.0.0.5", "255.255.255.0", "10.0.0.1"));
    EXPECT_FALSE(log.Has("######"));
}

TEST_F(SettingsTest, AddressModeSwitches)
{
    LogSince log;
    EXPECT_EQ(1, CQuorVelmarMGProcess::StaticToDHCP());
    EXPECT_EQ("dhcp", Mode());
    EXPECT_EQ(Read("/var/tmpfs/interfaces_dhcp"), Read("/etc/network/interfaces"));
    EXPECT_EQ(Read("/Velmar/bin/S50dropbear_dhcp"), Read("/etc/init.d/S50dropbear"));
    EXPECT_TRUE(log.Has("pox_system <sync> OK."));
    EXPECT_EQ(1, CQuorVelmarMGProcess::DHCPToStatic());
    EXPECT_EQ("static", Mode());
    EXPECT_EQ(Read("/var/tmpfs/interfaces_static"), Read("/etc/network/interfaces"));
    EXPECT_EQ(Read("/Velmar/bin/S50dropbear_static"), Read("/etc/init.d/S50dropbear"));
    EXPECT_TRUE(log.Has("change system start script <cp -f /Velmar/bin/S50dropbear_static /etc/init.d/S50dropbear> ."));
    EXPECT_EQ("cp -f /var/tmpfs/interfaces_dhcp /etc/network/interfaces\n"
              "cp -f /Velmar/bin/S50dropbear_dhcp /etc/init.d/S50dropbear\n"
              "sync\n"
              "cp -f /var/tmpfs/interfaces_static /etc/network/interfaces\n"
              "cp -f /Velmar/bin/S50dropbear_static /etc/init.d/S50dropbear\n"
              "sync\n",
              ProcessBoardRoot::Calls());
}

TEST_F(SettingsTest, AddressModeSwitchStopsAtTheFirstFailingCommand)
{
    CServerProperty::GetInstance()->SetIpMod("dhcp");
    SetStatus("cp", 1);
    LogSince log;
    EXPECT_EQ(0, CQuorVelmarMGProcess::DHCPToStatic());
    EXPECT_EQ("dhcp", Mode());
    EXPECT_EQ("cp -f /var/tmpfs/interfaces_static /etc/network/interfaces\n", ProcessBoardRoot::Calls());
    EXPECT_TRUE(log.Has("######pox_system <cp -f /var/tmpfs/interfaces_static /etc/network/interfaces> Error and "
                        "s32Rst is <256>."));

    // A failing "sync" after both copies: the files and the mode stay changed.
    SetStatus("cp", 0);
    SetStatus("sync", 1);
    ProcessBoardRoot::ClearCalls();
    EXPECT_EQ(0, CQuorVelmarMGProcess::DHCPToStatic());
    EXPECT_EQ("static", Mode());
    EXPECT_EQ(Read("/var/tmpfs/interfaces_static"), Read("/etc/network/interfaces"));
    std::string calls = ProcessBoardRoot::Calls();
    EXPECT_EQ(3, std::count(calls.begin(), calls.end(), '\n'));
}

TEST_F(SettingsTest, EndFlagCodes)
{
    const char* expected[] = {"", "\r", "\n", "\r\n"};
    for (uint32_t code = 0; code < 4; ++code) {
        EXPECT_EQ(1, CQuorVelmarMGProcess::SetRs232EndFlgToXml(code));
        EXPECT_EQ(expected[code], PowerSavePref("RS232EndFlg")) << code;
        EXPECT_STREQ(expected[code], CQuorVelmarPref::s_cQuor_RS232EndFlg) << code;
    }
    LogSince log;
    EXPECT_EQ(0, CQuorVelmarMGProcess::SetRs232EndFlgToXml(4));
    EXPECT_TRUE(log.Has("######SetRs232EndFlgToXml, i_u32EndFlg is <4> Error!"));
    EXPECT_EQ("\r\n", PowerSavePref("RS232EndFlg"));
    EXPECT_STREQ("\r\n", CQuorVelmarPref::s_cQuor_RS232EndFlg);
    // The stored value survives a new read of the file.
    std::string file = Read("/Velmar/etc/Velmar.xml");
    EXPECT_NE(std::string::npos, file.find("RS232EndFlg"));
}

TEST_F(SettingsTest, Rs232TextsAreBoundedAndStoredWithSync)
{
    EXPECT_EQ(0, CQuorVelmarMGProcess::SaveRs232Support("1"));
    EXPECT_EQ("1", PowerSavePref("RS232Support"));
    EXPECT_EQ("sync\n", ProcessBoardRoot::Calls());
    std::string longest(127, '7'), tooLong(128, '8');
    EXPECT_EQ(0, CQuorVelmarMGProcess::SaveRs232DelayTime(longest.c_str()));
    EXPECT_EQ(longest, PowerSavePref("RS232DelayCtrltime"));
    EXPECT_EQ(longest, CQuorVelmarPref::s_cQuor_PWRSave_RS232DlyCtrltime);
    EXPECT_EQ(-2, CQuorVelmarMGProcess::SaveRs232DelayTime(tooLong.c_str()));
    EXPECT_EQ(longest, PowerSavePref("RS232DelayCtrltime"));
    EXPECT_EQ(longest, CQuorVelmarPref::s_cQuor_PWRSave_RS232DlyCtrltime);
    LogSince log;
    EXPECT_EQ(-2, CQuorVelmarMGProcess::SaveRs232Support(nullptr));
    EXPECT_TRUE(log.Has("######In SetPWRSavePrefVal, sValue is NULL Error!"));
    // A value the preferences file cannot hold changes nothing.
    EXPECT_EQ(-2, CQuorVelmarMGProcess::SaveRs232Support("<1>"));
    EXPECT_EQ("1", PowerSavePref("RS232Support"));
    EXPECT_STREQ("1", CQuorVelmarPref::s_cQuor_PWRSave_RS232Support);
}

TEST_F(SettingsTest, RawStringToFile)
{
    EXPECT_EQ(3, CQuorVelmarMGProcess::StringToFile("a\0b", 3, "/www/tmp/raw.bin"));
    EXPECT_EQ(std::string("a\0b", 3), Read("/www/tmp/raw.bin"));
    EXPECT_EQ(0, CQuorVelmarMGProcess::StringToFile("", 0, "/www/tmp/raw.bin"));
    EXPECT_EQ("", Read("/www/tmp/raw.bin"));
    EXPECT_EQ(-1, CQuorVelmarMGProcess::StringToFile("x", 1, "/www/no-such-dir/raw.bin"));
    remove(File("/www/tmp/raw.bin").c_str());
}

}  // namespace
}  // namespace manage_test
