// The agent's request translation and answer packing against exact bytes,
// and what it accepts of senders and names.
#include <gtest/gtest.h>

#include <cstring>

#include "MemoryPool.h"
#include "NdkTestSupport.h"
#include "QuorNdkCommLayer.h"
#include "QuorNdkRequestCheck.h"

using namespace ndk_test;

namespace {

int Translate(const Bytes& b, T_QuorVersionUpgradeReq* out)
{
    uint32_t id = 0;
    void* record = nullptr;
    int result = CQuorNdkCommLayer::TranslateOnePackToStruct(reinterpret_cast<const char*>(b.data()),
                                                             static_cast<uint32_t>(b.size()), &id, &record);
    if (record != nullptr) {
        memcpy(out, record, sizeof(*out));
        CQuorNdkCommLayer::FreeVersionUpgradeReq(record);
    }
    return result;
}

} // namespace

TEST(NdkRequestTest, RequestTranslatesAndItsAnswerPacksToTheExactBytes)
{
    Bytes request = UpgradeRequest("V3.12", "up.tar.gz");
    T_QuorVersionUpgradeReq r;
    ASSERT_EQ(0, Translate(request, &r));
    EXPECT_EQ(0x1801u, r.tHeader.u32CommandID);
    EXPECT_EQ(0x44u, r.tHeader.u32HeadWord5);
    EXPECT_STREQ("ARM", r.cDevAddr);
    EXPECT_EQ(3334u, r.u32DevPort);
    EXPECT_EQ(7u, r.u32ReqCode);
    EXPECT_STREQ("SN-1", r.cVersionSN);
    EXPECT_STREQ("V3.12", r.cVersionName);
    EXPECT_STREQ("up.tar.gz", r.cVersionFile);

    T_QuorVersionUpgradeRsp answer;
    memset(&answer, 0, sizeof(answer));
    answer.tHeader = QuorAnswerMsgHeader(r.tHeader, 0x2801);
    strcpy(answer.cDevAddr, "ARM");
    answer.u32DevPort = 3334;
    answer.u32RspCode = 7;
    strcpy(answer.cRspData, "V3.12");
    uint32_t length = 0;
    char* packed = CQuorNdkCommLayer::TranslateOneStructToPack(0x2801, &answer, &length);
    ASSERT_NE(nullptr, packed);
    EXPECT_EQ(UpgradeAnswer("V3.12"), Bytes(packed, packed + length));
    FreeMemPoolAllMsg(static_cast<int32_t>(length), packed);
}

TEST(NdkRequestTest, BadLengthWordsAndShortMessagesDoNotTranslate)
{
    const Bytes good = UpgradeRequest("V1", "a.tar.gz");
    // Offsets of the length words: cDevAddr 24, cVersionSN 43, cVersionName 51, cVersionFile 57.
    struct Case {
        const char* what;
        size_t at;
        uint32_t word;
    } const cases[] = {
        {"address word below 4", 24, 3},  {"address past the end", 24, 4000},
        {"serial word 0", 43, 0},         {"name past the end", 51, 200},
        {"file of 512 bytes", 57, 516},   {"file one byte past the end", 57, 4 + 8 + 1},
    };
    for (const Case& c : cases) {
        Bytes b = good;
        for (int i = 0; i < 4; ++i)
            b[c.at + i] = static_cast<uint8_t>(c.word >> (24 - 8 * i));
        T_QuorVersionUpgradeReq r;
        EXPECT_EQ(-2, Translate(b, &r)) << c.what;
    }
    for (size_t cut : {size_t(23), size_t(24), size_t(30), size_t(50), good.size() - 1}) {
        T_QuorVersionUpgradeReq r;
        EXPECT_EQ(-2, Translate(Bytes(good.begin(), good.begin() + cut), &r)) << cut;
    }
    Bytes other = good;
    other[6] = 0x16;  // 0x1601
    T_QuorVersionUpgradeReq r;
    EXPECT_EQ(-2, Translate(other, &r));
    EXPECT_EQ(0u, g_MPVersionUpgradeReq.GetInUseCount());
}

TEST(NdkRequestTest, OnlyLoopbackSendersAndSinglePathComponentsAreAccepted)
{
    EXPECT_TRUE(CQuorNdkRequestCheck::IsLoopbackSender(0x7F000001));
    EXPECT_TRUE(CQuorNdkRequestCheck::IsLoopbackSender(0x7FFFFFFE));
    EXPECT_FALSE(CQuorNdkRequestCheck::IsLoopbackSender(0xC612FA02));
    EXPECT_FALSE(CQuorNdkRequestCheck::IsLoopbackSender(0x80000001));

    const std::string longest(511, 'a');
    for (const std::string& name : {std::string("V3.11_b+1-rc"), std::string("a"), longest})
        EXPECT_TRUE(CQuorNdkRequestCheck::IsSafeName(name.c_str())) << name;
    const std::string tooLong(512, 'a');
    for (const std::string& name : {std::string(""), std::string("a;reboot.tar.gz"), std::string("../x"),
                                    std::string("-rf"), std::string(".hidden"), std::string("a/b"),
                                    std::string("a b"), std::string("a$(id)"), std::string("\xc3\xa9"), tooLong})
        EXPECT_FALSE(CQuorNdkRequestCheck::IsSafeName(name.c_str())) << name;
}
