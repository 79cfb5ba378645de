// The network identity read from the kernel and from the real "ip route":
// the whole binary moves into a fresh network namespace of its own, where the
// tests make veth pairs whose board end is "eth0" (and "eth1"). Nothing of this
// machine's network is touched or read. Skipped (status 77) where a namespace
// cannot be made.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <string>
#include <vector>

#include "NetHelpersTestSupport.h"
#include "QuorVelmarFunction.h"

using board_test::RunProcess;
using net_test::LogSince;

namespace {

void Ip(const std::vector<std::string>& args)
{
    std::string output;
    ASSERT_TRUE(board_test::RunIp(args, &output)) << "ip " << ::testing::PrintToString(args) << ": " << output;
}

// "eth0" with a known MAC address, an address in 198.18.7.0/24, up, its peer
// up, and optionally a default route.
void MakeEth0(bool defaultRoute)
{
    Ip({"link", "add", "eth0", "address", "02:1a:2b:3c:4d:5e", "type", "veth", "peer", "name", "peer0"});
    Ip({"addr", "add", "198.18.7.2/24", "dev", "eth0"});
    Ip({"link", "set", "peer0", "up"});
    Ip({"link", "set", "eth0", "up"});
    if (defaultRoute)
        Ip({"route", "add", "default", "via", "198.18.7.1", "dev", "eth0"});
}

void RemoveLinks()
{
    for (const char* name : {"eth0", "eth1"})
        RunProcess({"ip", "link", "del", name});
}

class NetIdentityTest : public ::testing::Test {
protected:
    void TearDown() override { RemoveLinks(); }
};

TEST_F(NetIdentityTest, WithoutEth0NothingIsReported)
{
    LogSince log;
    char mac[QUOR_MAC_HEX_TEXT_SIZE] = "untouched";
    EXPECT_EQ(GetLocalMacAddr(mac), 0);
    EXPECT_STREQ(mac, "untouched");
    EXPECT_TRUE(log.Has("###### MAC ioctl error...for geting MAC Addr.")) << log.Text();

    T_DevInfoFromLocalAboutEth record;
    memset(&record, 'R', sizeof(record));
    EXPECT_EQ(GetNetWorkInfo(&record), 0);
    EXPECT_EQ(record.cIpAddr[0], 'R');
    EXPECT_TRUE(log.Has("(include lo)The network interface num is intrface=<1>")) << log.Text();

    char gateway[QUOR_IP_TEXT_SIZE] = "untouched";
    EXPECT_EQ(GetGateWay(gateway), 0);
    EXPECT_STREQ(gateway, "untouched");
}

TEST_F(NetIdentityTest, ReadsTheMacAddressInBothFormats)
{
    MakeEth0(false);
    char mac[QUOR_MAC_HEX_TEXT_SIZE];
    LogSince log;
    ASSERT_EQ(GetLocalMacAddr(mac), 1);
    EXPECT_STREQ(mac, "021A2B3C4D5E");
    EXPECT_TRUE(log.Has("MAC Addr is <021A2B3C4D5E>.")) << log.Text();

    T_DevInfoFromLocalAboutEth record;
    memset(&record, 0, sizeof(record));
    ASSERT_EQ(GetNetWorkInfo(&record), 1);
    EXPECT_STREQ(record.cMacAddr, "02:1a:2b:3c:4d:5e");
}

TEST_F(NetIdentityTest, FillsTheRecordOfEth0)
{
    MakeEth0(true);
    // The address of a second, non-Ethernet interface is listed but not counted.
    Ip({"addr", "add", "198.18.7.1/24", "dev", "peer0"});

    T_DevInfoFromLocalAboutEth record;
    memset(&record, 0, sizeof(record));
    memset(record.cReserved, 'R', sizeof(record.cReserved));
    LogSince log;
    ASSERT_EQ(GetNetWorkInfo(&record), 1);
    EXPECT_STREQ(record.cIpAddr, "198.18.7.2");
    EXPECT_STREQ(record.cNetMask, "255.255.255.0");
    EXPECT_STREQ(record.cGateWay, "198.18.7.1");
    EXPECT_STREQ(record.cMacAddr, "02:1a:2b:3c:4d:5e");
    EXPECT_EQ(std::string(record.cReserved, sizeof(record.cReserved)), std::string(20, 'R'));

    for (const char* line : {"(include lo)The network interface num is intrface=<3>",
                             "(Not include lo)The net device name is <eth0>", "The interface status is UP",
                             "EthNum is eth<0>, Ip Addr is <198.18.7.2>", "Eth<0>,its mac addr is <02:1a:2b:3c:4d:5e>",
                             "Eth<0>,its netmask is <255.255.255.0>", "Eth<0>,its GateWay is <198.18.7.1>"})
        EXPECT_TRUE(log.Has(line)) << line << "\n" << log.Text();
    EXPECT_FALSE(log.Has("<peer0>"));
    EXPECT_FALSE(log.Has("PROMISC"));
}

TEST_F(NetIdentityTest, ReadsTheDefaultGatewayFromTheRealRouteListing)
{
    MakeEth0(false);
    char gateway[QUOR_IP_TEXT_SIZE] = "untouched";
    EXPECT_EQ(GetGateWay(gateway), 0);
    EXPECT_STREQ(gateway, "untouched");

    Ip({"route", "add", "default", "via", "198.18.7.254", "dev", "eth0"});
    EXPECT_EQ(GetGateWay(gateway), 0);
    EXPECT_STREQ(gateway, "198.18.7.254");
}

TEST_F(NetIdentityTest, FillsNoMoreRecordsThanThereIsRoomFor)
{
    MakeEth0(true);
    Ip({"link", "add", "eth1", "address", "02:00:00:00:00:01", "type", "veth", "peer", "name", "peer1"});
    Ip({"addr", "add", "198.18.8.2/24", "dev", "eth1"});
    Ip({"link", "set", "eth1", "promisc", "on"});

    // Two records: the last interface of the kernel's list comes first.
    T_DevInfoFromLocalAboutEth records[3];
    memset(records, 'R', sizeof(records));
    {
        LogSince log;
        ASSERT_EQ(GetNetWorkInfo(records, 2), 2);
        EXPECT_STREQ(records[0].cIpAddr, "198.18.8.2");
        EXPECT_STREQ(records[0].cMacAddr, "02:00:00:00:00:01");
        EXPECT_STREQ(records[0].cNetMask, "255.255.255.0");
        EXPECT_STREQ(records[0].cGateWay, "198.18.7.1");
        EXPECT_STREQ(records[1].cIpAddr, "198.18.7.2");
        EXPECT_EQ(records[2].cIpAddr[0], 'R');
        // eth1 is down and promiscuous; eth0 is up.
        size_t promisc = log.Find("the interface is PROMISC");
        size_t down = log.Find("The interface status is DOWN");
        size_t up = log.Find("The interface status is UP");
        ASSERT_NE(promisc, std::string::npos) << log.Text();
        ASSERT_NE(down, std::string::npos) << log.Text();
        ASSERT_NE(up, std::string::npos) << log.Text();
        EXPECT_LT(promisc, down);
        EXPECT_LT(down, up);
    }

    // Room for one: only the first interface of the walk, and the count is
    // the number of records filled.
    memset(records, 'R', sizeof(records));
    LogSince log;
    ASSERT_EQ(GetNetWorkInfo(records, 1), 1);
    EXPECT_STREQ(records[0].cIpAddr, "198.18.8.2");
    EXPECT_EQ(records[1].cIpAddr[0], 'R');
    EXPECT_TRUE(log.Has("######eth0 not reported: room for 1 Ethernet interface(s) only")) << log.Text();
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    board_test::RequireNetns();
    // This thread, and every process it starts, leaves the machine's network.
    board_test::LeaveForFreshNetns("test");
    return net_test::RunAllWithBoardRoot();
}
