// SET IPADDRESS: the static change with the board programs it runs (recorded
// in the board's call log), its replies and failures, the switch to DHCP, and
// address texts that try to reach the shell.
#include "TcpCmdTestSupport.h"

#include "serverproperty.h"

namespace tcpcmd_test {
namespace {

const char kStaticLine[] = "SET IPADDRESS static ip4addr 10.1.2.3 netmask 255.255.255.0 gateway 10.1.2.1\r\n";

class TcpAddressTest : public TcpCmdFixture {
protected:
    void SetUp() override
    {
        TcpCmdFixture::SetUp();
        fInterfaces = Read("/etc/network/interfaces");
        fDropbear = Read("/etc/init.d/S50dropbear");
        fSetip = Read("/usr/sbin/setip");
        fConfigip = Read("/usr/sbin/configip");
        g_ModulInfolist.UpdateOwn([](T_QuorModulInfo& r) {
            QuorCopyField(r.Ip, "10.9.9.9");
            QuorCopyField(r.IpMod, "dhcp");
            QuorCopyField(r.Netmask, "255.0.0.0");
            QuorCopyField(r.Gateway, "10.9.9.1");
        });
        CServerProperty::GetInstance()->SetIpMod("dhcp");
        ProcessBoardRoot::ClearCalls();
    }
    void TearDown() override
    {
        board_test::WriteText(File("/etc/network/interfaces"), fInterfaces);
        board_test::WriteText(File("/etc/init.d/S50dropbear"), fDropbear, 0755);
        ProcessBoardRoot::WriteProgram("/usr/sbin/setip", fSetip);
        ProcessBoardRoot::WriteProgram("/usr/sbin/configip", fConfigip);
        TcpCmdFixture::TearDown();
    }
    static std::string Mode()
    {
        char mode[32];
        CServerProperty::GetInstance()->GetIpMod(mode, sizeof(mode));
        return mode;
    }
    // Nothing ran, nothing reached the MCU, no flag is set.
    void ExpectNothingDone()
    {
        EXPECT_EQ("", Calls());
        EXPECT_TRUE(McuQuiet());
        EXPECT_FALSE(g_b8DoConfigip.load());
        EXPECT_FALSE(g_b8RebootFlag.load());
        EXPECT_EQ("dhcp", Mode());
        EXPECT_STREQ("10.9.9.9", Record().Ip);
        EXPECT_EQ(fInterfaces, Read("/etc/network/interfaces"));
    }

    std::string fInterfaces, fDropbear, fSetip, fConfigip;
};

TEST_F(TcpAddressTest, StaticChangeRunsTheBoardProgramsInOrderAndReplies)
{
    LogSince log;
    EXPECT_EQ(0, Send(kStaticLine));
    EXPECT_EQ((Lines{" IPADDRESS static ip4addr 10.1.2.3 netmask 255.255.255.0 gateway 10.1.2.1\r\n\r\n"}),
              Replies());
    EXPECT_EQ((Lines{"SET SDXBIP 10.1.2.3", "set sdxmask 255.255.255.0", "set sdxgateway 10.1.2.1"}), McuGot(3));
    EXPECT_EQ((Lines{"pause 500", "pause 500", "pause 500", "pause 1000"}), EventRecorder::Events());
    T_QuorModulInfo record = Record();
    EXPECT_STREQ("10.1.2.3", record.Ip);
    EXPECT_STREQ("static", record.IpMod);
    EXPECT_STREQ("255.255.255.0", record.Netmask);
    EXPECT_STREQ("10.1.2.1", record.Gateway);
    EXPECT_EQ("static", Mode());
    EXPECT_EQ(Read("/var/tmpfs/interfaces_static"), Read("/etc/network/interfaces"));
    EXPECT_EQ(Read("/Velmar/bin/S50dropbear_static"), Read("/etc/init.d/S50dropbear"));
    EXPECT_TRUE(g_b8DoConfigip.load());
    EXPECT_FALSE(g_b8RebootFlag.load());
    EXPECT_TRUE(log.Has("change system start script <cp -f /Velmar/bin/S50dropbear_static /etc/init.d/S50dropbear> ."));
    EXPECT_TRUE(log.Has("g_ModulInfolist Ip is <10.1.2.3>, IpMod is <static>, Netmask is <255.255.255.0>, Gateway is "
                        "<10.1.2.1>."));
    EXPECT_TRUE(log.Has("Set IP is OK."));
    EXPECT_FALSE(log.Has("######"));

    // The management task's pass runs configip, sync and reboot. The
    // switch is the web's own: its "sync" follows the copies.
    fTask->Run();
    EXPECT_EQ("cp -f /var/tmpfs/interfaces_static /etc/network/interfaces\n"
              "cp -f /Velmar/bin/S50dropbear_static /etc/init.d/S50dropbear\n"
              "sync\n"
              "setip 10.1.2.3 255.255.255.0 10.1.2.1\n"
              "sync\n"
              "configip\n"
              "ifconfig eth0 10.1.2.3 netmask 255.255.255.0\n"
              "route add default gw 10.1.2.1\n"
              "sync\n"
              "reboot\n",
              Calls());
}

TEST_F(TcpAddressTest, CopyFailureRepliesWithTheCopyError)
{
    SetStatus("cp", 1);
    LogSince log;
    EXPECT_EQ(0, Send(kStaticLine));
    EXPECT_EQ((Lines{"Set IpAddr Error \r\n"}), Replies());
    EXPECT_EQ("cp -f /var/tmpfs/interfaces_static /etc/network/interfaces\n", Calls());
    EXPECT_TRUE(log.Has("######pox_system <cp -f /var/tmpfs/interfaces_static /etc/network/interfaces> Error and "
                        "s32Rst is <256>."));
    EXPECT_TRUE(McuQuiet());
    EXPECT_FALSE(g_b8DoConfigip.load());
}

TEST_F(TcpAddressTest, SetipFailureRepliesWithTheAddressErrorAfterTheCopies)
{
    ProcessBoardRoot::WriteProgram("/usr/sbin/setip", "#!/bin/sh\n"
                                                      ". \"$VELMAR_ROOT/usr/lib/board-sim/board-call.sh\"\n"
                                                      "board_call setip \"$@\"\nexit 3\n");
    LogSince log;
    Send(kStaticLine);
    EXPECT_EQ((Lines{"Set IPAddr Error \r\n"}), Replies());
    EXPECT_TRUE(log.Has("######Set IP is Fail."));
    EXPECT_EQ("cp -f /var/tmpfs/interfaces_static /etc/network/interfaces\n"
              "cp -f /Velmar/bin/S50dropbear_static /etc/init.d/S50dropbear\n"
              "sync\n"
              "setip 10.1.2.3 255.255.255.0 10.1.2.1\n",
              Calls());
    EXPECT_TRUE(McuQuiet());
    EXPECT_FALSE(g_b8DoConfigip.load());
    EXPECT_STREQ("dhcp", Record().IpMod);
}

TEST_F(TcpAddressTest, SyncFailureOfTheSwitchStopsTheChange)
{
    SetStatus("sync", 1);
    LogSince log;
    Send(kStaticLine);
    EXPECT_EQ((Lines{"Set IpAddr Error \r\n"}), Replies());
    EXPECT_TRUE(log.Has("######pox_system <sync> Error and s32Rst is <256>."));
    EXPECT_FALSE(g_b8DoConfigip.load());
    EXPECT_EQ(std::string::npos, Calls().find("setip"));
    EXPECT_TRUE(McuQuiet());
    EXPECT_STREQ("dhcp", Record().IpMod);
}

TEST_F(TcpAddressTest, DhcpSwitchRepliesAndRebootsLater)
{
    CServerProperty::GetInstance()->SetIpMod("static");
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::IpMod, "static");
    LogSince log;
    EXPECT_EQ(0, Send("SET IPADDRESS dhcp\r\n"));
    // The line from its fourth character, its own CR LF and one more.
    EXPECT_EQ((Lines{" IPADDRESS dhcp\r\n\r\n"}), Replies());
    EXPECT_EQ("cp -f /var/tmpfs/interfaces_dhcp /etc/network/interfaces\n"
              "cp -f /Velmar/bin/S50dropbear_dhcp /etc/init.d/S50dropbear\n"
              "sync\n",
              Calls());
    EXPECT_EQ("dhcp", Mode());
    EXPECT_STREQ("static", Record().IpMod);  // the record keeps its mode
    EXPECT_EQ(Read("/var/tmpfs/interfaces_dhcp"), Read("/etc/network/interfaces"));
    EXPECT_TRUE(g_b8RebootFlag.load());
    EXPECT_FALSE(g_b8DoConfigip.load());
    EXPECT_TRUE(log.Has("pox_system <cp -f /var/tmpfs/interfaces_dhcp /etc/network/interfaces> ."));
    EXPECT_TRUE(log.Has("pox_system <sync> OK."));
    EXPECT_TRUE(McuQuiet());
}

TEST_F(TcpAddressTest, DhcpSwitchFailuresGetNoReplyOrNoReboot)
{
    SetStatus("cp", 1);
    Send("SET IPADDRESS dhcp\r\n");
    EXPECT_TRUE(Replies().empty());
    EXPECT_EQ("cp -f /var/tmpfs/interfaces_dhcp /etc/network/interfaces\n", Calls());

    // A failing "sync" ends the switch: no reply, no reboot.
    SetStatus("cp", 0);
    SetStatus("sync", 1);
    Send("SET IPADDRESS DHCP\r\n");
    EXPECT_TRUE(Replies().empty());
    EXPECT_FALSE(g_b8RebootFlag.load());
}

TEST_F(TcpAddressTest, OtherModesAreLoggedWithoutReply)
{
    LogSince log;
    EXPECT_EQ(-2, fTask->ProcessTcpCMDListSetParameter(TcpLine("SET IPADDRESS auto\r\n")));
    EXPECT_TRUE(log.Has("######In ProcessTcpCMDListSetParameter fun,i_tMsg len is <20>, i_tMsg content is <SET "
                        "IPADDRESS auto\\x0D\\x0A> Error."));
    EXPECT_TRUE(Replies().empty());
    ExpectNothingDone();
}

TEST_F(TcpAddressTest, RefusedAddressesRunNoProgramAndGetTheErrorReply)
{
    const char* lines[] = {
        // Shell text in every field.
        "SET IPADDRESS static ip4addr 1.2.3.4;reboot netmask 255.0.0.0 gateway 1.2.3.1\r\n",
        "SET IPADDRESS static ip4addr 192.168.1.10 netmask 1;sh</www/tmp/a gateway 192.168.1.1\r\n",
        "SET IPADDRESS static ip4addr 10.0.0.5 netmask 255.0.0.0 gateway $(reboot)\r\n",
        "SET IPADDRESS static ip4addr 10.0.0.5 netmask 255.0.0.0 gateway `reboot`\r\n",
        "SET IPADDRESS static ip4addr 10.0.0.5|reboot netmask 255.0.0.0 gateway 10.0.0.1\r\n",
        // CR LF inside a word ends the line there: the later fields are empty.
        "SET IPADDRESS static ip4addr 10.0.0.5\r\nreboot netmask 255.0.0.0 gateway 10.0.0.1\r\n",
        // A lone CR or LF stays inside its word.
        "SET IPADDRESS static ip4addr 10.0.0.5\rreboot netmask 255.0.0.0 gateway 10.0.0.1\r\n",
        "SET IPADDRESS static ip4addr 10.0.0.5 netmask 255.0.0.0\nreboot gateway 10.0.0.1\r\n",
        // Words of 40 characters (kept to 31).
        "SET IPADDRESS static ip4addr 10.0.0.5000000000000000000000000000000000 netmask 255.0.0.0 gateway "
        "10.0.0.1\r\n",
        "SET IPADDRESS static ip4addr 10.0.0.5 netmask 255.255.255.0.0.0.0.0.0.0.0.0.0.0.0.0 gateway 10.0.0.1\r\n",
        "SET IPADDRESS static ip4addr 1234567890123456789012345678901234567890 netmask 255.0.0.0 gateway "
        "10.0.0.1\r\n",
        // Well-formed but refused: missing fields, equal texts, gateway off the network.
        "SET IPADDRESS static\r\n",
        "SET IPADDRESS static ip4addr 10.0.0.5 netmask 10.0.0.5 gateway 10.0.0.1\r\n",
        "SET IPADDRESS static ip4addr 10.0.0.5 netmask 255.255.255.0 gateway 10.0.1.1\r\n",
    };
    for (const char* line : lines) {
        TcpRecorder::Clear();
        LogSince log;
        EXPECT_EQ(0, Send(line)) << line;
        EXPECT_EQ((Lines{"Set IPAddr Error \r\n"}), Replies()) << line;
        EXPECT_TRUE(log.Has("######Set IP is Fail.")) << line;
        EXPECT_EQ("", Calls()) << line;
    }
    ExpectNothingDone();
}

}  // namespace
}  // namespace tcpcmd_test
