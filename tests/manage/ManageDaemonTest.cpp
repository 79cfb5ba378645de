// velmard as a process against the simulated MCU and display: the start flow
// on the wire, a silent MCU, and what MCU and display lines make the daemon
// do. Each daemon runs on a temporary board root inside a network namespace
// of its own whose eth0 carries a test address; needs root, exits 77
// (skipped) where no namespace can be made.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "SimulatedEndpointFixture.h"

namespace {

using board_test::SetPref;
using board_test::TcpClient;
using board_test::WaitFor;
using Lines = std::vector<std::string>;

const char kLog[] = "/var/Velmar/QuorVelmar001.logTmp";

class ManageDaemonTest : public board_test::SimulatedEndpointTest {
protected:
    // The daemon's log: complete once it has stopped (it writes through a
    // buffer).
    std::string Log() const { return fRoot->Read(kLog); }
    std::string StopAndReadLog()
    {
        EXPECT_TRUE(fDaemon->Stop()) << fDaemon->Output();
        return Log();
    }
    // "XX:XX" from the last two bytes of the namespace's eth0 address.
    std::string MacTail() const
    {
        board_test::ProcessResult r = board_test::RunProcess(fNetns->Exec({"cat", "/sys/class/net/eth0/address"}));
        std::string mac = r.output.substr(0, 17);
        std::transform(mac.begin(), mac.end(), mac.begin(), ::toupper);
        return mac.size() == 17 ? mac.substr(12, 5) : "?";
    }
    // The simulator's clock when the line (with its CR LF) had fully arrived.
    int64_t ArrivalMs(const std::string& line) const
    {
        std::string bytes;
        for (const SimChunk& chunk : fMcu.Chunks()) {
            bytes += chunk.bytes;
            if (bytes.find(line + "\r\n") != std::string::npos)
                return chunk.atMs;
        }
        return -1;
    }
    // Waits until the daemon took the answer to the start flow's last query.
    void WaitStartFlowComplete()
    {
        ASSERT_TRUE(fDaemon->WaitLog("start flow complete", 20000)) << fDaemon->Output();
    }
};

const Lines kQueries = {"GET ORDER",
                        "GET SUBGROUP",
                        "GET RING_MARKER",
                        "GET SHOWME",
                        "GET MP all",
                        "GET EDID all",
                        "GET HDCPSUPPORT_ONOFF hdmi",
                        "GET HDCPSUPPORT_ONOFF dp",
                        "GET VER",
                        "GET CECAUTO_ONOFF hdmi",
                        "GET CECAUTO_DELAY hdmi",
                        "GET LEDFLICKER",
                        "GET AUTOSW_ONOFF",
                        "GET UARTAUTO_ONOFF hdmi",
                        "GET UARTPWR_DELAY hdmi"};

TEST_F(ManageDaemonTest, StartFlowPushesIdentityAndWalksTheMcuThroughEveryQuery)
{
    StartDaemon();
    WaitStartFlowComplete();
    Lines expected = {"SET SDXBIP " + fNetns->Address(), "set sdxmask 255.255.255.252",
                      "set sdxgateway " + fNetns->Gateway(), "set sdxmacaddr " + MacTail()};
    const Lines identity = expected;
    expected.insert(expected.end(), kQueries.begin(), kQueries.end());
    usleep(300000);  // nothing may follow
    EXPECT_EQ(expected, fMcu.ReceivedLines());
    std::string bytes;
    for (const std::string& line : expected)
        bytes += line + "\r\n";
    EXPECT_EQ(bytes, fMcu.ReceivedBytes());

    // At least 500 ms after each identity line comes the next line. The
    // times are taken where the simulated MCU reads them, and a loaded
    // machine can hand the earlier line over late: the bound keeps a margin
    // for that and still tells a paced line from an unpaced one.
    Lines paced = identity;
    paced.push_back("GET ORDER");
    for (size_t i = 1; i < paced.size(); ++i)
        EXPECT_GE(ArrivalMs(paced[i]) - ArrivalMs(paced[i - 1]), 350) << paced[i];

    // The answers were stored and the flow completed.
    std::string log = StopAndReadLog();
    EXPECT_NE(std::string::npos, log.find("start flow complete"));
    EXPECT_NE(std::string::npos, log.find("g_ModulInfolist McuVersion is <1.0.2>"));
    EXPECT_NE(std::string::npos, log.find("g_ModulInfolist EDIDQueyReq is <1080P>"));
    EXPECT_NE(std::string::npos, log.find("Mac is <"));
}

TEST_F(ManageDaemonTest, SilentMcuGetsOrderFourTimesThenNothing)
{
    fMcu.SetSilent(true);
    StartDaemon();
    auto orders = [&] {
        Lines lines = fMcu.ReceivedLines();
        return std::count(lines.begin(), lines.end(), "GET ORDER");
    };
    ASSERT_TRUE(WaitFor([&] { return orders() == 4; }, 15000)) << fDaemon->Output();
    int64_t fourth = ArrivalMs("GET ORDER");
    usleep(3000000);
    EXPECT_EQ(4, orders());
    EXPECT_EQ(8u, fMcu.ReceivedLines().size());
    EXPECT_GE(fourth, 0);
    EXPECT_TRUE(fDaemon->Running());
    EXPECT_EQ(std::string::npos, StopAndReadLog().find("start flow complete"));
}

TEST_F(ManageDaemonTest, McuAndDisplayLinesAct)
{
    ASSERT_TRUE(SetPref(*fRoot, "RS232PWROn", "PWR ON"));
    ASSERT_TRUE(SetPref(*fRoot, "RS232PWROff", "PWR OFF"));
    StartDaemon();
    WaitStartFlowComplete();

    // The learned EDID, written as bytes.
    std::string edid = McuSimState::DefaultEdid(), line = "EDID_R hdmi";
    for (unsigned char c : edid) {
        char piece[4];
        snprintf(piece, sizeof(piece), " %02X", c);
        line += piece;
    }
    fMcu.Inject(line);
    EXPECT_TRUE(WaitFor([&] { return fRoot->Read("/www/tmp/edid.bin") == edid; }, 5000));

    // The display power command, with the stored end flag (CR LF).
    fMcu.Inject("UARTPWR_ONOFF hdmi ON");
    EXPECT_TRUE(fDisplay.WaitForBytes(8, 5000));
    fMcu.Inject("UARTPWR_ONOFF hdmi OFF");
    EXPECT_TRUE(fDisplay.WaitForBytes(17, 5000));
    EXPECT_EQ("PWR ON\r\nPWR OFF\r\n", fDisplay.ReceivedBytes());

    // A display line is handled like an MCU line. The learned EDID is
    // followed by a "sync": it must be recorded before the calls are cleared.
    board_test::WriteText(fRoot->File("/var/log/board-calls.log"), "");
    fDisplay.SendLine("ORDER 4");
    fDisplay.SendLine("EDID_R hdmi 41 42");
    EXPECT_TRUE(WaitFor([&] { return fRoot->Read("/www/tmp/edid.bin") == "AB"; }, 5000));
    EXPECT_TRUE(WaitCalls("sync\n")) << fRoot->Calls();

    // Network settings from the MCU: static address, then configip, sync and
    // reboot in the same pass.
    board_test::WriteText(fRoot->File("/var/log/board-calls.log"), "");
    fMcu.Inject("SDXBIP 10.9.8.7");
    fMcu.Inject("SDXMASK 255.255.255.0");
    fMcu.Inject("SDXGATEWAY 10.9.8.1");
    ASSERT_TRUE(WaitCalls("reboot\n")) << fRoot->Calls();
    EXPECT_EQ("sync\n"
              "setip 10.9.8.7 255.255.255.0 10.9.8.1\n"
              "configip\n"
              "ifconfig eth0 10.9.8.7 netmask 255.255.255.0\n"
              "route add default gw 10.9.8.1\n"
              "sync\n"
              "reboot\n",
              fRoot->Calls());
    EXPECT_NE(std::string::npos, fRoot->Read("/var/tmpfs/SavePowerOff.conf").find("ipmod=static"));
    std::string log = StopAndReadLog();
    EXPECT_NE(std::string::npos, log.find("g_ModulInfolist SequenceNumber is <4>"));
    EXPECT_NE(std::string::npos, log.find("Do reboot pox_system <reboot> OK."));
}

TEST_F(ManageDaemonTest, AnswersConsumedDuringTheFlowAreForwardedAfterIt)
{
    // Without an answer to its last query the flow keeps waiting.
    fMcu.SetReply("GET UARTPWR_DELAY hdmi", {});
    StartDaemon();
    ASSERT_TRUE(fMcu.WaitForLine("GET UARTPWR_DELAY hdmi", 20000)) << fDaemon->Output();
    TcpClient first, second;
    ASSERT_TRUE(first.Connect(fNetns->Address(), board_test::kEndpointTelnetPort, 15000));
    ASSERT_TRUE(second.Connect(fNetns->Address(), board_test::kEndpointTelnetPort, 5000));
    // The listener takes up waiting connections up to a second later: both
    // are sessions once the second is counted.
    ASSERT_TRUE(fDaemon->WaitLog("> number to <2>.", 15000)) << fDaemon->Log();

    // An answer of the chain while the flow runs is consumed and walks the
    // chain again; none of those answers reaches a client.
    fMcu.Inject("ORDER 7");
    ASSERT_TRUE(fMcu.WaitForLine("GET SUBGROUP", 5000));
    ASSERT_TRUE(fMcu.WaitForLine("GET UARTPWR_DELAY hdmi", 5000));
    EXPECT_EQ("", first.ReadFor(300));
    fMcu.Inject("uartpwr_delay hdmi 3");
    EXPECT_EQ("", first.ReadFor(300));

    // After the flow every MCU or display line arrives once at each client,
    // with exactly one CR LF; the identity answers stay with the daemon.
    fMcu.Inject("ORDER 7");
    fMcu.Inject("SDXMACADDR 4A:5B");
    fMcu.Inject("FOO 1");
    // The two serial lines are read on threads of their own, so only the
    // order within each line is fixed: the display line is sent afterwards.
    const std::string fromMcu = "ORDER 7\r\nFOO 1\r\n";
    EXPECT_EQ(fromMcu, first.ReadFor(1000));
    EXPECT_EQ(fromMcu, second.ReadFor(300));
    fDisplay.SendLine("OK");
    EXPECT_EQ("OK\r\n", first.ReadFor(1000));
    EXPECT_EQ("OK\r\n", second.ReadFor(300));
    std::string log = StopAndReadLog();
    EXPECT_NE(std::string::npos, log.find("start flow complete"));
    EXPECT_NE(std::string::npos, log.find("unsupport: FOO 1"));
}

TEST_F(ManageDaemonTest, HexadecimalPowerCommandIsWrittenAsItsBytes)
{
    ASSERT_TRUE(SetPref(*fRoot, "RS232Hexadecimal", "1"));
    ASSERT_TRUE(SetPref(*fRoot, "RS232PWROff", "02 00 03"));
    StartDaemon();
    WaitStartFlowComplete();
    fMcu.Inject("UARTPWR_ONOFF hdmi OFF");
    EXPECT_TRUE(fDisplay.WaitForBytes(3, 5000));
    usleep(200000);
    EXPECT_EQ(std::string("\x02\x00\x03", 3), fDisplay.ReceivedBytes());
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    board_test::RequireNetns();
    return RUN_ALL_TESTS();
}
