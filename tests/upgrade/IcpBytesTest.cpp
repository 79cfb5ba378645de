// The boot loader protocol's requests byte for byte, and the checks of its
// answers, on one end of a socket pair.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include "QuorUpgradeTRM40Task.h"
#include "QuorUpgradeTRMxx.h"
#include "SimHexImage.h"

namespace {

class IcpBytes : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds));
        icp.m_Uartfd = fds[0];
    }
    void TearDown() override
    {
        icp.CloseUart();
        close(fds[1]);
    }
    std::string Sent()
    {
        std::string bytes;
        char buffer[1024];
        ssize_t n;
        while ((n = read(fds[1], buffer, sizeof(buffer))) > 0)
            bytes.append(buffer, (size_t)n);
        return bytes;
    }

    CQuorUpgradeTRMxx icp;
    int fds[2] = {-1, -1};
};

std::string Bytes(std::initializer_list<unsigned char> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(IcpBytes, RequestsAreSentExactly)
{
    const struct {
        std::function<int(CQuorUpgradeTRMxx&)> send;
        std::string bytes;
    } kRequests[] = {
        {[](CQuorUpgradeTRMxx& p) { return p.ApplyIntoUpgradeModleReq(); }, "UPG\r\n"},
        {[](CQuorUpgradeTRMxx& p) { return p.Check0x81Req(); }, Bytes({0x81})},
        {[](CQuorUpgradeTRMxx& p) { return p.Check0x87Req(); }, Bytes({0x87})},
        {[](CQuorUpgradeTRMxx& p) { return p.ChoiceFlashBlockReq(2); }, Bytes({0x83, 0x02})},
        {[](CQuorUpgradeTRMxx& p) { return p.ChoiceFlashAddrReq(0xFE); }, Bytes({0x84, 0xFE, 0x00})},
        {[](CQuorUpgradeTRMxx& p) { return p.Check0x86Req(); }, Bytes({0x86})},
        {[](CQuorUpgradeTRMxx& p) { return p.Check0x85Req(); }, Bytes({0x85})},
        {[](CQuorUpgradeTRMxx& p) { return p.SendUartChannelCtrlCmd(0x31); }, Bytes({0x05, 'U', 'U', 'W', 0x31})},
    };
    for (const auto& request : kRequests) {
        EXPECT_EQ((int)request.bytes.size(), request.send(icp));
        EXPECT_EQ(request.bytes, Sent());
    }
    EXPECT_EQ(0xFEu, icp.m_u32SendAddr);
    EXPECT_EQ(-2, icp.ChoiceFlashAddrReq(0x100));
    EXPECT_EQ("", Sent());
}

TEST_F(IcpBytes, LoaderPromptAnswersWith0x81)
{
    const struct {
        std::string answer;
        int result;
        std::string sent;
    } kAnswers[] = {
        {"upg", 0, ""}, {"UPG\r\n", 0, ""}, {">", 1, Bytes({0x81})}, {"<", 1, Bytes({0x81})},
        {Bytes({0xFE}), 1, Bytes({0x81})}, {"UP", -2, ""}, {"", -2, ""}, {Bytes({0x00, 0x3E}), -2, ""},
    };
    for (const auto& a : kAnswers) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(a.answer.data());
        EXPECT_EQ(a.result, icp.ApplyIntoUpgradeModleRsp(bytes, (uint32_t)a.answer.size())) << a.answer;
        EXPECT_EQ(a.sent, Sent()) << a.answer;
    }
    const unsigned char good84[] = {0x84, 0x10}, bad84[] = {0x48, 0x84};
    EXPECT_EQ(0, icp.ChoiceFlashAddrRsp(good84, 2));
    EXPECT_EQ(-2, icp.ChoiceFlashAddrRsp(bad84, 2));
    EXPECT_EQ(-2, icp.ChoiceFlashAddrRsp(good84, 0));
}

TEST_F(IcpBytes, BlockIsTwoPagesOfTheImage)
{
    for (uint32_t i = 0; i < QUOR_FLASH_IMAGE_SIZE; ++i)
        g_FlashBuf[i] = (unsigned char)(i * 7 + (i >> 8));
    icp.m_u32SendAddr = 0x12;
    EXPECT_EQ(0, icp.SendUpgrade512DateWriteToUart());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(g_FlashBuf) + 0x1200, QUOR_FLASH_BLOCK_SIZE), Sent());
}

}  // namespace

namespace {

// The pages whose data an upgrade of each bank does not send: bank 0 skips
// 0x70 to 0x7F, banks 1 and 2 start at 0x80, bank 2 ends after the block
// (from 0x84 on) whose next block looks blank.
TEST(UpgradePages, HoldingDataThatIsNotSentAreNamed)
{
    const struct {
        const char* name;
        unsigned bank, first, last;  // pages filled
        bool notSent;
        uint32_t from, to;
    } kCases[] = {
        {"bank 0, all sent", 0, 0x00, 0x6F, false, 0, 0},
        {"bank 0, the skipped pages", 0, 0x6E, 0x72, true, 0x70, 0x72},
        {"bank 0, up to the top", 0, 0x80, 0xFF, false, 0, 0},
        {"bank 1, below 0x80", 1, 0x10, 0x81, true, 0x10, 0x7F},
        {"bank 1, from 0x80", 1, 0x80, 0xFF, false, 0, 0},
        {"bank 2, all sent", 2, 0x80, 0xFF, false, 0, 0},
        {"bank 2, below 0x80", 2, 0x7F, 0x85, true, 0x7F, 0x7F},
    };
    for (const auto& c : kCases) {
        SimFlashImage image;
        image.FillPages(c.first, c.last, 3);
        uint32_t from = 0, to = 0;
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(image.bytes.data());
        ASSERT_EQ(c.notSent, QuorPagesNotSent(c.bank, bytes, &from, &to)) << c.name;
        if (c.notSent) {
            EXPECT_EQ(c.from, from) << c.name;
            EXPECT_EQ(c.to, to) << c.name;
        }
    }
    // Bank 2 ends after the block at 0x86 (0x88 and on look blank): a page
    // after the gap is not sent, nor is one whose block looks blank by its
    // bytes 0, 1, 2 and 511 alone.
    SimFlashImage image;
    image.FillPages(0x80, 0x87, 4);
    image.FillPages(0xA0, 0xA1, 5);
    image.bytes[0x88 * 256 + 3] = 0x00;
    uint32_t from = 0, to = 0;
    ASSERT_TRUE(QuorPagesNotSent(2, reinterpret_cast<const unsigned char*>(image.bytes.data()), &from, &to));
    EXPECT_EQ(0x88u, from);
    EXPECT_EQ(0xA1u, to);
}

}  // namespace
