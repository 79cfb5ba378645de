// The boot loader protocol's requests byte for byte, and the checks of its
// answers, on one end of a socket pair.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include "QuorUpgradeTRMxx.h"

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
