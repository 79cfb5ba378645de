// The log descriptions of group message records.
#include "ProtocolTestUtil.h"

#include "QuorVelmarFunction.h"

namespace {

std::string Describe(uint32_t id, const void* record)
{
    char text[QUOR_LOG_PACK_TEXT_SIZE];
    memset(text, 'Z', sizeof(text));
    int n = GetLogCharForPack(id, record, text, sizeof(text));
    EXPECT_EQ((int)strlen(text), n);
    return text;
}

// The description of a zeroed record of type T that fill has set up.
template <class T, class Fill>
std::string Described(uint32_t id, Fill fill)
{
    auto record = Zeroed<T>();
    fill(*record);
    return Describe(id, record.get());
}

TEST(GroupMsgLogText, FixedSizeRecords)
{
    EXPECT_EQ("DeviceType is: 0x1a, DeviceFunction is: 4000000000.",
              Described<T_QuorDeviceSearchQueryReq>(
                  0x1601, [](auto& q) { q.u16DeviceType = 0x1A, q.u32DeviceFunction = 4000000000u; }));
    EXPECT_EQ("DeviceType is: 0x1, DeviceMaxSeqNum is: 12.",
              Described<T_QuorDeviceMaxSeqNumNotifyReq>(
                  0x1603, [](auto& m) { m.u16DeviceType = 1, m.u16DeviceMaxSeqNum = 12; }));
    EXPECT_EQ("ResultCode is: 200, DeviceType is: 0x1, DeviceMaxSeqNum is: 65535.",
              Described<T_QuorDeviceMaxSeqNumNotifyRsp>(
                  0x2603, [](auto& m) { m.u8ResultCode = 200, m.u16DeviceType = 1, m.u16DeviceMaxSeqNum = 65535; }));
    EXPECT_EQ("DeviceType is: 0x1, DeviceGroupSignCmd is: 0x1001.",
              Described<T_QuorDeviceGroupSignNotifyReq>(
                  0x1605, [](auto& g) { g.u16DeviceType = 1, g.u16DeviceGroupSignCmd = 0x1001; }));
    EXPECT_EQ("ResultCode is: 0, DeviceType is: 0x1, DeviceGroupSignCmd is: 0x1002.",
              Described<T_QuorDeviceGroupSignNotifyRsp>(
                  0x2605, [](auto& g) { g.u16DeviceType = 1, g.u16DeviceGroupSignCmd = 0x1002; }));
}

// Sets one user information annex of type 0x1001 holding "pw".
template <class T>
void OnePasswordAnnex(T& record)
{
    record.u16DeviceType = 1;
    record.u8UserInfoTotal = 1;
    record.tAnnexCode[0].u16UserInfoType = 0x1001;
    SetText(record.tAnnexCode[0].cUserInfoContent, "pw");
}

TEST(GroupMsgLogText, ListRecordsDescribeEachAnnex)
{
    EXPECT_EQ("DeviceType is: 0x1, DeviceFunction is: 0, DeviceInfoTotal is: 2."
              "InfoID is: 0x1,InfoCode is:abc.InfoID is: 0xB,InfoCode is:%s%n.",
              Described<T_QuorDeviceSearchQueryRsp>(0x2601, [](auto& s) {
                  s.u16DeviceType = 1;
                  s.u8DeviceInfoTotal = 2;
                  s.tAnnexCode[0].u16InfoID = 1;
                  SetText(s.tAnnexCode[0].cInfoCode, "abc");
                  s.tAnnexCode[1].u16InfoID = 0xB;
                  SetText(s.tAnnexCode[1].cInfoCode, "%s%n");
              }));
    EXPECT_EQ("DeviceType is: 0x1, UserInfoTotal is: 1.UserInfoType is: 0x1001,UserInfoContent is:pw.",
              Described<T_QuorUserInfoChangeNotifyReq>(0x1604, OnePasswordAnnex<T_QuorUserInfoChangeNotifyReq>));
    EXPECT_EQ("ResultCode is: 0, DeviceType is: 0x1, UserInfoTotal is: 1."
              "ResultCode is:0, UserInfoType is: 0x1001, UserInfoContent is:pw.",
              Described<T_QuorUserInfoChangeNotifyRsp>(0x2604, OnePasswordAnnex<T_QuorUserInfoChangeNotifyRsp>));
}

TEST(GroupMsgLogText, VersionUpgradeRequest)
{
    auto r = Zeroed<T_QuorVersionUpgradeReq>();
    SetText(r->cDevAddr, "ARM");
    r->u32DevPort = 3334;
    r->u32ReqCode = 1;
    SetText(r->cVersionSN, "1.0");
    SetText(r->cVersionName, "fw");
    SetText(r->cVersionFile, "/tmp/a.tar");
    EXPECT_EQ("cDevAddr is: ARM, u32DevPort is: 3334, u32ReqCode is: 1, u32ReqResult is: 0, cVersionSN is: 1.0, "
              "cVersionName is: fw, cVersionFile is: /tmp/a.tar.",
              Describe(0x1801, r.get()));
}

TEST(GroupMsgLogText, LongDescriptionsAreCutAt2048Characters)
{
    auto s = Zeroed<T_QuorDeviceSearchQueryRsp>();
    s->u8DeviceInfoTotal = 50;
    for (int i = 0; i < 50; ++i) {
        // Unterminated arrays: the description stops at the array's end.
        memset(s->tAnnexCode[i].cInfoCode, 'x', QUOR_MSG_TEXT_SIZE);
        s->tAnnexCode[i].u32cInfoCodeLen = 511;
    }
    char text[QUOR_LOG_PACK_TEXT_SIZE + 16];
    memset(text, 'Z', sizeof(text));
    EXPECT_EQ(2048, GetLogCharForPack(0x2601, s.get(), text));
    EXPECT_EQ('\0', text[2048]);
    EXPECT_EQ(2048u, strlen(text));
    for (size_t i = QUOR_LOG_PACK_TEXT_SIZE; i < sizeof(text); ++i)
        EXPECT_EQ('Z', text[i]);

    // A count field beyond the array describes at most 50 annexes.
    s->u8DeviceInfoTotal = 255;
    char small[64];
    EXPECT_EQ(63, GetLogCharForPack(0x2601, s.get(), small, sizeof(small)));
    EXPECT_EQ(63u, strlen(small));
    std::unique_ptr<char[]> huge(new char[100000]);
    int n = GetLogCharForPack(0x2601, s.get(), huge.get(), 100000);
    EXPECT_EQ((int)strlen(huge.get()), n);
    EXPECT_LT(n, 50 * 540 + 100);
}

TEST(GroupMsgLogText, UnknownIdentifiersAndNullArguments)
{
    auto r = Zeroed<T_QuorVersionUpgradeRsp>();
    EXPECT_EQ("", Describe(0x2801, r.get()));
    EXPECT_EQ("", Describe(0x9999, r.get()));
    char text[8];
    EXPECT_EQ(-2, GetLogCharForPack(0x1601, nullptr, text, sizeof(text)));
    EXPECT_EQ(-2, GetLogCharForPack(0x1601, r.get(), nullptr, 10));
    EXPECT_EQ(-2, GetLogCharForPack(0x1601, r.get(), text, 0));
}

}  // namespace
