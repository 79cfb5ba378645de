// velmard as a process in the board namespace of a namespace pair (see
// UdpNetnsPair.h), on a temporary board root with the simulated MCU and
// display on its serial links: its start-up chain brings up both group-message
// sockets, and what a peer sends to the group or to the module's unicast port
// reaches the management task. Needs root; exits 77 (skipped) where the
// namespaces cannot be made.
#include "UdpNetnsPair.h"

#include <signal.h>
#include <sys/wait.h>

#include "DisplaySimulator.h"
#include "McuSimulator.h"
#include "VelmardProcess.h"
#include "TestFiles.h"

using namespace udp_test;

namespace {

using test_files::CountOf;

const char kLog[] = "/var/Velmar/QuorVelmar001.logTmp";

// The unicast socket's address and port as the kernel lists bound sockets.
std::string UdpTableEntry(const char* ip, uint16_t port)
{
    in_addr a{};
    inet_pton(AF_INET, ip, &a);
    char entry[32];
    snprintf(entry, sizeof(entry), "%08X:%04X", (unsigned)a.s_addr, (unsigned)port);
    return entry;
}

// The module's unicast address in the board root's preferences.
bool SetModuleAddress(const board_test::TempBoardRoot& root, const char* ip)
{
    std::string xml = root.Read("/Velmar/etc/Velmar.xml");
    const std::string head = "<PREF NAME=\"QuorVelmar_UdpIp\" >";
    size_t at = xml.find(head);
    size_t end = at == std::string::npos ? at : xml.find("</PREF>", at);
    if (end == std::string::npos)
        return false;
    xml.replace(at + head.size(), end - at - head.size(), ip);
    return board_test::WriteText(root.File("/Velmar/etc/Velmar.xml"), xml);
}

} // namespace

TEST(UdpDaemonTest, StartUpChainBringsUpBothPathsAndPeersReachTheManagementTask)
{
    board_test::TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    ASSERT_TRUE(SetModuleAddress(root, kModuleIp));
    McuSimulator mcu;
    DisplaySimulator display;
    ASSERT_EQ(0, mcu.Start(SimEndpointOptions{root.File("/dev/ttyS1"), ""}));
    ASSERT_EQ(0, display.Start(SimEndpointOptions{root.File("/dev/ttyS2"), ""}));

    board_test::VelmardProcess daemon(root);
    const std::string unicastEntry = UdpTableEntry(kModuleIp, kModulePort);
    ASSERT_TRUE(WaitUntil(
        [&] {
            return Eth0Groups().find(GroupWord(kGroupIp)) != std::string::npos &&
                   board_test::ReadText("/proc/thread-self/net/udp").find(unicastEntry) != std::string::npos;
        },
        10000))
        << daemon.Output() << board_test::ReadText("/proc/thread-self/net/udp");

    Peer asker(kPeer1Ip, 40000), direct(kPeer2Ip, 40001);
    ASSERT_TRUE(asker.Ok() && direct.Ok());
    ASSERT_TRUE(asker.SendToGroup(SearchQuery(1)));
    ASSERT_TRUE(SendBytes(direct.sender, kModuleIp, kModulePort, SearchQuery(2)));
    // Its log reaches the file when it stops; give the daemon the time to
    // take both messages first.
    usleep(1000000);
    ASSERT_TRUE(daemon.Stop()) << daemon.Output();
    mcu.Stop();
    display.Stop();

    std::string log = root.Read(kLog);
    EXPECT_NE(std::string::npos, log.find("g_VelmarUdpMulCast Initialize Successful!")) << log;
    EXPECT_NE(std::string::npos, log.find("Velmar Module listen on IPaddr<")) << log;
    EXPECT_NE(std::string::npos, log.find("@@@@@@Recv BroadCast message <>, Msg Len is <30>")) << log;
    EXPECT_EQ(2u, CountOf(log, "@@@@@@ Receive One Packet.Length: <30>; CommandID: <0x1601>.")) << log;
    EXPECT_EQ(std::string::npos, log.find("######setsockopt()")) << log;
    EXPECT_EQ(std::string::npos, log.find("######QuorInterComUDPSocket")) << log;
    EXPECT_EQ(std::string::npos, log.find("###### Fail to initiallize CQuorVelmarCommLayer.")) << log;
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    MakeNamespaces();
    return RUN_ALL_TESTS();
}
