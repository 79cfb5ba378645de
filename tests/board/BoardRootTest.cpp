// The board-root template as sim/make-board-root lays it out: the files the
// daemons read at their fixed paths, with the contents and formats they expect.
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "BoardRootFixture.h"

using board_test::PathExists;
using board_test::ProcessResult;
using board_test::ReadText;
using board_test::RunProcess;
using board_test::TempBoardRoot;

namespace {

class BoardRootTest : public board_test::BoardRootFixture {
};

bool IsExecutableFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool IsDirectory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Pref(const std::string& name, const std::string& type, const std::string& value)
{
    std::string attrs = "NAME=\"" + name + "\" " + (type.empty() ? "" : "TYPE=\"" + type + "\" ");
    return "\t\t<PREF " + attrs + ">" + value + "</PREF>\n";
}

TEST_F(BoardRootTest, PreferencesHoldEveryKeyInTheWrittenFormat)
{
    std::string xml = Root().Read("/Velmar/etc/Velmar.xml");
    EXPECT_EQ(xml.compare(0, 36, "<CONFIGURATION>\n\t<SERVER></SERVER>\n\t"), 0) << xml;
    const std::string tail = "\t</MODULE>\n</CONFIGURATION>\n";
    ASSERT_GT(xml.size(), tail.size());
    EXPECT_EQ(xml.substr(xml.size() - tail.size()), tail);

    // Module by module, in order, as the preference writer lays them out.
    const char* modules[] = {"QuorVelmarCommon", "QuorVelmarNdk", "QuorVelmar", "QuorPowerSave"};
    size_t at = 0;
    for (const char* module : modules) {
        size_t found = xml.find(std::string("\t<MODULE NAME=\"") + module + "\" >\n", at);
        ASSERT_NE(found, std::string::npos) << module;
        at = found + 1;
    }
    // The required addresses (test defaults: loopback, a port above 1023) and the defaults.
    const std::string expected[] = {
        Pref("QuorVelmar_UdpIp", "", "127.0.0.1"),
        Pref("QuorVelmar_UdpPort", "UInt16", "3334"),
        Pref("QuorVelmar_MulUdpRecvIp", "", "230.1.0.0"),
        Pref("QuorVelmar_MulUdpRecvPort", "UInt16", "3333"),
        Pref("QuorVelmar_DHCPCheckTime", "UInt32", "60"),
        Pref("QuorVelmar_TelnetIp", "", "127.0.0.1"),
        Pref("QuorVelmar_TelnetPort", "UInt16", "2323"),
        Pref("QuorVelmar_ClinetLinkMaxNum", "UInt32", "10"),
        Pref("VelmarNdk_UdpPort", "UInt32", "65009"),
        Pref("Velmar_RecvUdp_ThreadNum", "UInt16", "2"),
        Pref("Velmar_ManageTask_ThreadNum", "UInt16", "2"),
        Pref("Quor_Velmar_LogLevel_Out", "SInt32", "10000"),
        Pref("Quor_Velmar_DevSearchQueryTimer", "UInt16", "1"),
        Pref("Quor_Velmar_MsgReTransmissionNum", "UInt16", "3"),
        Pref("Quor_Velmar_ResetTimer", "UInt16", "3"),
        Pref("Quor_Velmar_EDIDLearnTimerOut", "UInt16", "30"),
        Pref("Velmar_UartSpeed", "UInt16", "57600"),
        Pref("RS232PWROn", "char", ""),
        Pref("RS232Speed", "char", "57600"),
        Pref("RS232ParityBit", "char", "NONE"),
        Pref("RS232DataBit", "char", "8"),
        Pref("RS232Stop", "char", "1"),
        Pref("RS232EndFlg", "char", "\r\n"),
        Pref("sequenceMaxnumber", "char", ""),
    };
    for (const std::string& line : expected)
        EXPECT_NE(xml.find(line), std::string::npos) << line;
    // Every PREF opens and closes on its line (the end flag spans a CR LF).
    size_t opens = 0, closes = 0;
    for (size_t p = xml.find("<PREF "); p != std::string::npos; p = xml.find("<PREF ", p + 1))
        ++opens;
    for (size_t p = xml.find("</PREF>\n"); p != std::string::npos; p = xml.find("</PREF>\n", p + 1))
        ++closes;
    EXPECT_EQ(opens, 33u);
    EXPECT_EQ(closes, opens);
    EXPECT_EQ(Root().Read("/Velmar/etc/Velmar_factory.xml"), xml);
}

TEST_F(BoardRootTest, PropertyFileAndItsDefaultCopy)
{
    const char* expected = "UserPassWord=plomb\nalias=QuorVelmar\nautolog_mod=on\nautolog_time=5\n"
                           "gateway=192.168.2.1\nipmod=static\nrsdelaycontroltime=0\nsequence_number=0\n";
    EXPECT_EQ(Root().Read("/var/tmpfs/SavePowerOff.conf"), expected);
    EXPECT_EQ(Root().Read("/var/tmpfs/SavePowerOff_Default.conf"), expected);
}

TEST_F(BoardRootTest, NetworkTemplatesAndStartScripts)
{
    std::string stat = Root().Read("/var/tmpfs/interfaces_static");
    EXPECT_NE(stat.find("iface eth0 inet static\n\taddress 192.168.2.100\n\tnetmask 255.255.255.0\n\tgateway 192.168.2.1\n"),
              std::string::npos)
        << stat;
    EXPECT_NE(Root().Read("/var/tmpfs/interfaces_dhcp").find("iface eth0 inet dhcp\n"), std::string::npos);
    EXPECT_EQ(Root().Read("/etc/network/interfaces"), stat);

    EXPECT_TRUE(IsExecutableFile(Root().File("/Velmar/bin/S50dropbear_static")));
    EXPECT_TRUE(IsExecutableFile(Root().File("/Velmar/bin/S50dropbear_dhcp")));
    EXPECT_EQ(Root().Read("/etc/init.d/S50dropbear"), Root().Read("/Velmar/bin/S50dropbear_static"));

    std::string configip = Root().Read("/usr/sbin/configip");
    EXPECT_NE(configip.find("\nifconfig eth0 192.168.2.100 netmask 255.255.255.0\n"), std::string::npos);
    EXPECT_NE(configip.find("\nroute add default gw 192.168.2.1\n"), std::string::npos);
    EXPECT_EQ(Root().Read("/usr/sbin/configip_bak"), configip);
    for (const char* program : {"/usr/sbin/configip", "/usr/sbin/configip_bak", "/usr/sbin/setip", "/sbin/udhcpc",
                                "/sbin/reboot", "/etc/init.d/velmard", "/etc/init.d/S50dropbear"})
        EXPECT_TRUE(IsExecutableFile(Root().File(program))) << program;
}

TEST_F(BoardRootTest, GpioWebUptimeAndDirectories)
{
    EXPECT_TRUE(PathExists(Root().File("/sys/class/gpio/export")));
    EXPECT_EQ(Root().Read("/sys/class/gpio/gpio126/value"), "1\n");   // the button is released
    EXPECT_EQ(Root().Read("/sys/class/gpio/gpio126/direction"), "in\n");
    EXPECT_TRUE(PathExists(Root().File("/sys/class/gpio/gpio127/value")));

    char target[64] = {0};
    ASSERT_GT(readlink(Root().File("/proc/uptime").c_str(), target, sizeof(target) - 1), 0);
    EXPECT_STREQ(target, "/proc/uptime");
    EXPECT_FALSE(Root().Read("/proc/uptime").empty());

    std::string logo = Root().Read("/www/images/logo.png");
    EXPECT_EQ(logo.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
    EXPECT_EQ(Root().Read("/www/images/logo_factory.png"), logo);
    for (const char* dir : {"/www/tmp", "/dev", "/var/Velmar", "/var/run", "/Velmar/etc/QuorVelmar",
                            "/Velmar/etc/QuorNdk", "/Velmar/Upgrade/ARM", "/Velmar/Upgrade/MCU", "/var/log/velmarcmd"})
        EXPECT_TRUE(IsDirectory(Root().File(dir))) << dir;
    EXPECT_TRUE(PathExists(Root().File("/var/log/board-calls.log")));
    EXPECT_EQ(Root().Calls(), "");
}

TEST(BoardRootLayoutTest, OptionsReachEveryCopy)
{
    TempBoardRoot root({"--telnet-ip", "10.9.8.7", "--telnet-port", "4023", "--udp-ip", "0.0.0.0", "--address",
                        "198.51.100.10", "--netmask", "255.255.255.0", "--gateway", "198.51.100.1"});
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    for (const char* file : {"/Velmar/etc/Velmar.xml", "/Velmar/etc/Velmar_factory.xml"}) {
        std::string xml = root.Read(file);
        EXPECT_NE(xml.find(Pref("QuorVelmar_TelnetIp", "", "10.9.8.7")), std::string::npos) << file;
        EXPECT_NE(xml.find(Pref("QuorVelmar_TelnetPort", "UInt16", "4023")), std::string::npos) << file;
        EXPECT_NE(xml.find(Pref("QuorVelmar_UdpIp", "", "0.0.0.0")), std::string::npos) << file;
    }
    EXPECT_NE(root.Read("/var/tmpfs/SavePowerOff_Default.conf").find("\ngateway=198.51.100.1\n"), std::string::npos);
    EXPECT_NE(root.Read("/etc/network/interfaces").find("\taddress 198.51.100.10\n"), std::string::npos);
    EXPECT_NE(root.Read("/usr/sbin/configip_bak").find("\nifconfig eth0 198.51.100.10 netmask 255.255.255.0\n"),
              std::string::npos);
}

TEST(BoardRootLayoutTest, WithoutFakesOnlyTheTemplatesStay)
{
    TempBoardRoot bare({"--no-fakes"});
    ASSERT_TRUE(bare.Ok()) << bare.LayoutOutput();
    for (const char* program : {"/usr/sbin/configip", "/usr/sbin/setip", "/sbin/udhcpc", "/sbin/reboot",
                                "/etc/init.d/velmard", "/etc/init.d/S50dropbear"})
        EXPECT_FALSE(PathExists(bare.File(program))) << program;
    // The factory copies the daemon restores from are still there.
    for (const char* file : {"/usr/sbin/configip_bak", "/Velmar/bin/S50dropbear_static", "/Velmar/etc/Velmar_factory.xml",
                             "/var/tmpfs/SavePowerOff_Default.conf", "/var/tmpfs/interfaces_static"})
        EXPECT_TRUE(PathExists(bare.File(file))) << file;
}

TEST(BoardRootLayoutTest, RefusesBadInputAndExistingContent)
{
    std::string dir = board_test::MakeTempDir("layout");
    const std::string make = board_test::SourcePath("sim/make-board-root");
    ASSERT_TRUE(board_test::WriteText(dir + "/keep", "mine\n"));
    EXPECT_TRUE(RunProcess({make, dir}).Exited(1));
    EXPECT_EQ(ReadText(dir + "/keep"), "mine\n");
    EXPECT_FALSE(PathExists(dir + "/Velmar"));
    EXPECT_TRUE(RunProcess({make, "--telnet-port", "65536", dir + "/a"}).Exited(1));
    EXPECT_TRUE(RunProcess({make, "--telnet-ip", "1.2.3", dir + "/b"}).Exited(1));
    EXPECT_TRUE(RunProcess({make, "--gateway", "1.2.3.4;reboot", dir + "/c"}).Exited(1));
    EXPECT_TRUE(RunProcess({make, "--bogus", dir + "/d"}).Exited(2));
    EXPECT_FALSE(PathExists(dir + "/a") || PathExists(dir + "/b") || PathExists(dir + "/c") || PathExists(dir + "/d"));
    board_test::RemoveTree(dir);
}

} // namespace
