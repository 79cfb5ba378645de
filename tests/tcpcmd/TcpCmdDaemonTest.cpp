// The TCP command port end to end: velmard as a process on a temporary board
// root inside a network namespace of its own, the simulated MCU and display
// on its serial links, and real TCP clients connected from inside that
// namespace to the port of the board's preferences (2323). Needs root; exits
// 77 (skipped) where no namespace can be made.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "TestClock.h"
#include "BoardRootFixture.h"
#include "VelmardProcess.h"
#include "DisplaySimulator.h"
#include "McuSimulator.h"

namespace {

using board_test::TempBoardRoot;
using board_test::TcpClient;
using board_test::TestNetns;
using board_test::WaitFor;

const uint16_t kCommandPort = 2323;

using board_test::NowMs;

class TcpCmdDaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fRoot.reset(new TempBoardRoot());
        ASSERT_TRUE(fRoot->Ok()) << fRoot->LayoutOutput();
        // "sync" and "cp" are recorded like the board's own programs.
        ASSERT_TRUE(RecordingProgram("sync", ""));
        ASSERT_TRUE(RecordingProgram("cp", "exec /bin/cp \"$@\"\n"));
        fNetns.reset(new TestNetns());
        ASSERT_TRUE(fNetns->Ok()) << fNetns->Output();
        ASSERT_EQ(0, fMcu.Start(SimEndpointOptions{fRoot->File("/dev/ttyS1"), ""}));
        ASSERT_EQ(0, fDisplay.Start(SimEndpointOptions{fRoot->File("/dev/ttyS2"), ""}));
    }
    void TearDown() override
    {
        fDaemon.reset();
        fMcu.Stop();
        fDisplay.Stop();
        fNetns.reset();
        fRoot.reset();
    }

    // Starts velmard, waits for the end of its start flow and forgets what
    // the MCU and the board programs saw until then.
    void StartDaemon()
    {
        fDaemon.reset(new board_test::VelmardProcess(*fRoot, fNetns->Exec({})));
        ASSERT_TRUE(fDaemon->WaitLog("start flow complete", 20000)) << fDaemon->Output();
        fMcu.ClearRecords();
        fDisplay.ClearRecords();
        ClearCalls();
    }
    bool RecordingProgram(const std::string& name, const std::string& then) const
    {
        return board_test::WriteText(fRoot->File("/usr/bin/" + name),
                                     "#!/bin/sh\n"
                                     ". \"$VELMAR_ROOT/usr/lib/board-sim/board-call.sh\"\n"
                                     "board_call " + name + " \"$@\"\n" + then,
                                     0755);
    }
    // The board programs' calls with the board root taken out of the paths.
    std::string Calls() const
    {
        std::string calls = fRoot->Calls();
        const std::string& root = fRoot->Path();
        for (size_t at = calls.find(root); at != std::string::npos; at = calls.find(root, at))
            calls.erase(at, root.size());
        return calls;
    }
    void ClearCalls() { board_test::WriteText(fRoot->File("/var/log/board-calls.log"), ""); }
    // The calls a command made: the preference writes of the start flow end
    // with a "sync" each, and on a loaded machine these can come after the
    // flow's last log line, so leading ones are left out.
    std::string CommandCalls() const
    {
        std::string calls = Calls();
        while (calls.compare(0, 5, "sync\n") == 0)
            calls.erase(0, 5);
        return calls;
    }
    // A client whose session exists: it has been answered once.
    void Open(TcpClient* client, const std::string& expectedAddressReply)
    {
        ASSERT_TRUE(client->Connect("127.0.0.1", kCommandPort, 15000, fNetns->Name()));
        ASSERT_TRUE(client->Send("GET IPADDRESS\r\n"));
        std::string before;
        ASSERT_TRUE(client->ReadUntil(expectedAddressReply, &before));
        EXPECT_EQ("", before);
    }
    // Starts velmard and opens two clients with sessions (a static address).
    void StartWithTwoClients(TcpClient* client, TcpClient* other)
    {
        ASSERT_NO_FATAL_FAILURE(StartDaemon());
        ASSERT_NO_FATAL_FAILURE(Open(client, StaticAnswer()));
        ASSERT_NO_FATAL_FAILURE(Open(other, StaticAnswer()));
    }
    std::string StaticAnswer() const
    {
        return "IPADDRESS static ip4addr " + fNetns->Address() + " netmask 255.255.255.252 gateway " +
               fNetns->Gateway() + "\r\n";
    }
    // The client's next bytes are exactly text (nothing came before it).
    static void ExpectNext(TcpClient& client, const std::string& text)
    {
        std::string before;
        EXPECT_TRUE(client.ReadUntil(text, &before)) << text;
        EXPECT_EQ("", before) << text;
    }

    std::unique_ptr<TempBoardRoot> fRoot;
    std::unique_ptr<TestNetns> fNetns;
    McuSimulator fMcu;
    DisplaySimulator fDisplay;
    std::unique_ptr<board_test::VelmardProcess> fDaemon;
};

TEST_F(TcpCmdDaemonTest, DisplayLineAndPowerCommandsFromAClient)
{
    TcpClient client, other;
    ASSERT_NO_FATAL_FAILURE(StartWithTwoClients(&client, &other));

    // Settings of the display line, read back from its terminal attributes.
    client.Send("SET UARTBAUDRATE 14400\r\nSET UARTBAUDRATE 9600\r\n");
    ExpectNext(client, "UARTBAUDRATE 9600\r\n");
    EXPECT_EQ(9600, fDisplay.LineSettings().speed);
    client.Send("SET UARTSTOPBIT 2\r\nSET UARTPARITY odd\r\nSET UARTDATABIT 7\r\n");
    ExpectNext(client, "UARTSTOPBIT 2\r\nUARTPARITY odd\r\nUARTDATABIT 7\r\n");
    EXPECT_EQ(2, fDisplay.LineSettings().stopBits);
    EXPECT_TRUE(fDisplay.LineSettings().oddBit);
    EXPECT_EQ(9600, fDisplay.LineSettings().speed);
    const std::string prefs = fRoot->Read("/Velmar/etc/Velmar.xml");
    EXPECT_NE(std::string::npos, prefs.find("<PREF NAME=\"RS232Speed\" TYPE=\"char\" >9600</PREF>")) << prefs;
    EXPECT_NE(std::string::npos, prefs.find("<PREF NAME=\"RS232Stop\" TYPE=\"char\" >2</PREF>"));

    // Power commands: exact bytes at the display, nothing at the MCU.
    client.Send("SET UARTCMD_STREDIT poweron PWR ON\r\nSET UARTPWR_ONOFF hdmi ON\r\n");
    ExpectNext(client, "UARTCMD_STREDIT poweron PWR ON\r\nUARTPWR_ONOFF hdmi ON\r\n");
    EXPECT_TRUE(fDisplay.WaitForBytes(8, 5000));
    client.Send("SET UARTCMD_HEXEDIT poweroff 02 50 4F 46 03\r\nSET UARTPWR_ONOFF hdmi OFF\r\n");
    ExpectNext(client, "UARTCMD_HEXEDIT poweroff 02 50 4F 46 03\r\nUARTPWR_ONOFF hdmi OFF\r\n");
    EXPECT_TRUE(fDisplay.WaitForBytes(13, 5000));

    // End flag: an unknown name changes nothing; pass-through in both forms.
    client.Send("SET UARTENDCHAR Crlf\r\nSET TELNETPT string A B\r\nSET TELNETPT hex 41 42\r\n");
    ExpectNext(client, "UARTENDCHAR Crlf\r\nTELNETPT string A\r\nTELNETPT hex 41 42\r\n\r\n");
    EXPECT_TRUE(fDisplay.WaitForBytes(18, 5000));
    usleep(200000);
    EXPECT_EQ("PWR ON\r\n\x02POF\x03" "A\r\nAB", fDisplay.ReceivedBytes());
    EXPECT_EQ(0u, fMcu.ReceivedByteCount());
    EXPECT_EQ("", other.ReadFor(300));
}

TEST_F(TcpCmdDaemonTest, McuTrafficDroppedLinesGroupControlAndEdidData)
{
    TcpClient client, other;
    ASSERT_NO_FATAL_FAILURE(StartWithTwoClients(&client, &other));

    // Unknown first words and debug lines go nowhere; other lines reach the
    // MCU unchanged and its answer reaches every client once.
    client.Send("HELLO\r\nSET XDBG 1\r\nset aDbGz\r\nget order\r\n");
    ASSERT_TRUE(fMcu.WaitForLine("get order", 5000));
    ASSERT_TRUE(client.ReadUntil("ORDER 1\r\n"));
    ASSERT_TRUE(other.ReadUntil("ORDER 1\r\n"));
    EXPECT_EQ("get order\r\n", fMcu.ReceivedBytes());

    // Group control: the answer, the MCU's own line and its answer to all.
    client.Send("SET SUBGROUP all on\r\n");
    ExpectNext(client, "SUBGROUP all on\r\n");
    ASSERT_TRUE(fMcu.WaitForLine("SET SUBGROUP self on", 5000));
    ExpectNext(client, "SUBGROUP self on\r\n");
    ExpectNext(other, "SUBGROUP self on\r\n");

    // EDID data, zero bytes and CR LF inside, in one write.
    std::string edid = "SET EDID_W 1 ";
    for (int i = 0; i < 200; ++i)
        edid.push_back((char)(i * 7));
    edid[50] = '\r';
    edid[51] = '\n';
    fMcu.ClearRecords();
    client.Send(edid);
    EXPECT_TRUE(fMcu.WaitForBytes(edid.size(), 5000));
    usleep(200000);
    EXPECT_EQ(edid, fMcu.ReceivedBytes());

    // An address text that tries the shell: the error reply, no program.
    client.Send("SET IPADDRESS static ip4addr 1.2.3.4;reboot netmask 255.0.0.0 gateway 1.2.3.1\r\n");
    ExpectNext(client, "Set IPAddr Error \r\n");
    EXPECT_EQ("", CommandCalls());
    EXPECT_EQ("", client.ReadFor(300));
    EXPECT_EQ("", other.ReadFor(100));
}

TEST_F(TcpCmdDaemonTest, StaticAddressChangeRunsTheBoardProgramsAndReboots)
{
    StartDaemon();
    // The MCU would answer the address lines; here it only listens.
    fMcu.SetSilent(true);
    TcpClient client;
    ASSERT_NO_FATAL_FAILURE(Open(&client, StaticAnswer()));
    client.Send("SET IPADDRESS static ip4addr 198.19.0.10 netmask 255.255.255.0 gateway 198.19.0.1\r\n");
    ExpectNext(client, " IPADDRESS static ip4addr 198.19.0.10 netmask 255.255.255.0 gateway 198.19.0.1\r\n\r\n");
    ASSERT_TRUE(WaitFor([&] { return Calls().find("reboot\n") != std::string::npos; }, 5000))
        << Calls();
    EXPECT_EQ("cp -f /var/tmpfs/interfaces_static /etc/network/interfaces\n"
              "cp -f /Velmar/bin/S50dropbear_static /etc/init.d/S50dropbear\n"
              "sync\n"
              "setip 198.19.0.10 255.255.255.0 198.19.0.1\n"
              "sync\n"
              "configip\n"
              "ifconfig eth0 198.19.0.10 netmask 255.255.255.0\n"
              "route add default gw 198.19.0.1\n"
              "sync\n"
              "reboot\n",
              CommandCalls());
    EXPECT_EQ((std::vector<std::string>{"SET SDXBIP 198.19.0.10", "set sdxmask 255.255.255.0",
                                        "set sdxgateway 198.19.0.1"}),
              fMcu.ReceivedLines());
    // The record answers with the new address.
    client.Send("GET IPADDRESS\r\n");
    ExpectNext(client, "IPADDRESS static ip4addr 198.19.0.10 netmask 255.255.255.0 gateway 198.19.0.1\r\n");
}

TEST_F(TcpCmdDaemonTest, DhcpModeIsReportedAndSwitchedToWithADeferredReboot)
{
    std::string property = fRoot->Read("/var/tmpfs/SavePowerOff.conf");
    property.replace(property.find("ipmod=static"), 12, "ipmod=dhcp");
    ASSERT_TRUE(board_test::WriteText(fRoot->File("/var/tmpfs/SavePowerOff.conf"), property));
    StartDaemon();
    TcpClient client;
    ASSERT_NO_FATAL_FAILURE(Open(&client, "IPADDRESS dhcp\r\n"));
    const int64_t sent = NowMs();
    client.Send("SET IPADDRESS dhcp\r\n");
    ExpectNext(client, " IPADDRESS dhcp\r\n\r\n");
    ASSERT_TRUE(WaitFor([&] { return Calls().find("reboot\n") != std::string::npos; }, 10000))
        << Calls();
    // The reboot follows on the fifth one-second tick.
    EXPECT_GE(NowMs() - sent, 3900);
    EXPECT_EQ("cp -f /var/tmpfs/interfaces_dhcp /etc/network/interfaces\n"
              "cp -f /Velmar/bin/S50dropbear_dhcp /etc/init.d/S50dropbear\n"
              "sync\n"
              "reboot\n",
              CommandCalls());
    EXPECT_EQ(fRoot->Read("/var/tmpfs/interfaces_dhcp"), fRoot->Read("/etc/network/interfaces"));
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    board_test::RequireNetns();
    return RUN_ALL_TESTS();
}
