// GetGateWay's reading of the route listing, with a stand-in "ip" in the
// board root's usr/sbin that prints a prepared text. The stand-in gives the
// forms the real "ip route" never prints (leading blanks, over-long words and
// lines); the real program, in a network namespace, is exercised by
// NetIdentityNetnsTest.
#include <gtest/gtest.h>

#include <dirent.h>
#include <string>

#include "NetHelpersTestSupport.h"
#include "QuorVelmarFunction.h"

using net_test::LogSince;
using net_test::ProcessBoardRoot;

namespace {

const char kFakeIp[] =
    "#!/bin/sh\n"
    "[ \"$1\" = route ] && [ $# -eq 1 ] || exit 2\n"
    "cat \"$VELMAR_ROOT/var/run/ip-route.out\"\n"
    "exit \"$(cat \"$VELMAR_ROOT/var/run/ip-route.status\" 2>/dev/null || echo 0)\"\n";

int OpenDescriptors()
{
    int n = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (readdir(dir) != nullptr)
        ++n;
    closedir(dir);
    return n;
}

class GatewayParseTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ProcessBoardRoot::WriteProgram("/usr/sbin/ip", kFakeIp)); }
    void TearDown() override
    {
        remove(ProcessBoardRoot::Get().File("/usr/sbin/ip").c_str());
        remove(ProcessBoardRoot::Get().File("/var/run/ip-route.out").c_str());
        remove(ProcessBoardRoot::Get().File("/var/run/ip-route.status").c_str());
    }

    // The gateway read from the given listing; "untouched" when none was taken.
    static std::string Gateway(const std::string& listing, size_t size = QUOR_IP_TEXT_SIZE)
    {
        EXPECT_TRUE(board_test::WriteText(ProcessBoardRoot::Get().File("/var/run/ip-route.out"), listing));
        char buf[64];
        snprintf(buf, sizeof(buf), "untouched");
        EXPECT_EQ(GetGateWay(buf, size), 0);
        return buf;
    }
};

TEST_F(GatewayParseTest, TakesTheThirdWordOfTheFirstDefaultLine)
{
    LogSince log;
    EXPECT_EQ(Gateway("default via 192.168.1.1 dev eth0 \n192.168.1.0/24 dev eth0 proto kernel scope link src "
                      "192.168.1.10 \n"),
              "192.168.1.1");
    EXPECT_TRUE(log.Has("default gateway is <192.168.1.1>")) << log.Text();

    EXPECT_EQ(Gateway("  default via 192.168.1.1 dev eth0"), "192.168.1.1");
    EXPECT_EQ(Gateway("\tdefault\tvia\t10.0.0.1\tdev eth0 proto dhcp metric 100\n"), "10.0.0.1");
    EXPECT_EQ(Gateway("10.0.0.0/8 dev eth0\ndefault via 10.0.0.254 dev eth0\ndefault via 10.0.0.253 dev eth0\n"),
              "10.0.0.254");
    EXPECT_EQ(Gateway("default via 10.0.0.1\r\n"), "10.0.0.1");
    // Exactly 15 characters fit the 16-byte field.
    EXPECT_EQ(Gateway("default via 192.168.100.200 dev eth0\n"), "192.168.100.200");
}

TEST_F(GatewayParseTest, LeavesTheTextAsItWasWithoutAUsableDefaultLine)
{
    EXPECT_EQ(Gateway(""), "untouched");
    EXPECT_EQ(Gateway("192.168.1.0/24 dev eth0 proto kernel scope link src 192.168.1.10\n"), "untouched");
    EXPECT_EQ(Gateway("unreachable default\n"), "untouched");
    // A default route without a gateway names no address.
    EXPECT_EQ(Gateway("default dev ppp0 scope link\n"), "untouched");
    EXPECT_EQ(Gateway("default via\n"), "untouched");
    // Longer than 15 characters: ignored.
    {
        LogSince log;
        EXPECT_EQ(Gateway("default via 192.168.100.2001 dev eth0\n"), "untouched");
        EXPECT_TRUE(log.Has("######default gateway <192.168.100.2001> does not fit in 16 bytes")) << log.Text();
    }
    // The field size given is the bound.
    EXPECT_EQ(Gateway("default via 192.168.1.1 dev eth0\n", 11), "untouched");
    EXPECT_EQ(Gateway("default via 192.168.1.1 dev eth0\n", 12), "192.168.1.1");
}

TEST_F(GatewayParseTest, TheRestOfAnOverlongLineIsNotALineOfItsOwn)
{
    std::string listing = std::string(511, 'a') + "default via 6.6.6.6 dev eth0\ndefault via 1.1.1.1 dev eth0\n";
    EXPECT_EQ(Gateway(listing), "1.1.1.1");
    // A default line of exactly 511 characters is read whole.
    std::string exact = "default via 7.7.7.7 dev eth0 ";
    exact += std::string(511 - exact.size(), 'b');
    EXPECT_EQ(Gateway(exact + "\n"), "7.7.7.7");
}

TEST_F(GatewayParseTest, AFailingListingAndRepeatedCallsLeaveNothingOpen)
{
    ASSERT_TRUE(board_test::WriteText(ProcessBoardRoot::Get().File("/var/run/ip-route.status"), "1\n"));
    EXPECT_EQ(Gateway(""), "untouched");
    remove(ProcessBoardRoot::Get().File("/var/run/ip-route.status").c_str());

    Gateway("default via 1.2.3.4 dev eth0\n");
    int before = OpenDescriptors();
    for (int i = 0; i < 30; ++i)
        Gateway(i % 2 == 0 ? "default via 1.2.3.4 dev eth0\n" + std::string(100000, 'x') + "\n" : "none\n");
    EXPECT_EQ(OpenDescriptors(), before);

    char buf[QUOR_IP_TEXT_SIZE] = "untouched";
    EXPECT_EQ(GetGateWay(nullptr, 16), -2);
    EXPECT_EQ(GetGateWay(buf, 0), -2);
    EXPECT_STREQ(buf, "untouched");
}

TEST(NetIdentityArgumentsTest, RefusesMissingOrSmallBuffers)
{
    {
        LogSince log;
        EXPECT_EQ(GetLocalMacAddr(nullptr, 13), 0);
        EXPECT_TRUE(log.Has("###### io_pMacAddr is null for geting MAC Addr.")) << log.Text();
    }
    char small[12] = "untouched";
    EXPECT_EQ(GetLocalMacAddr(small), 0);
    EXPECT_STREQ(small, "untouched");

    T_DevInfoFromLocalAboutEth record;
    EXPECT_EQ(GetNetWorkInfo(nullptr), 0);
    EXPECT_EQ(GetNetWorkInfo(&record, 0), 0);
}

} // namespace
