// Packing group message records into wire bytes: exact bytes of every
// message, the computed length word, answer headers and refused records.
#include "ProtocolTestUtil.h"

namespace {

// The packed record in hex from byte `from` on, or what went wrong when it does
// not pack to `size` bytes.
std::string PackedHex(uint32_t id, const void* record, size_t size, size_t from)
{
    Bytes b = Pack(id, record);
    if (b.size() != size)
        return "packed to " + std::to_string(b.size()) + " bytes, not " + std::to_string(size);
    return Hex(Slice(b, from));
}

// A zeroed record of type R with the given header, from device type 1.
template <class R>
std::unique_ptr<R> DeviceRecord(const T_QuorMsgHeader& header)
{
    auto r = Zeroed<R>();
    r->tHeader = header;
    r->u16DeviceType = 1;
    return r;
}

const char kFreshHeader1601[] = "00 00 00 1E 00 00 16 01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00";

TEST(GroupMsgPack, SearchQueryIsThirtyBytesWithFreshHeader)
{
    auto r = Zeroed<T_QuorDeviceSearchQueryReq>();
    r->tHeader = QuorFreshMsgHeader(0x1601);
    r->u16DeviceType = 0;
    r->u32DeviceFunction = 0;
    Bytes b = Pack(0x1601, r.get());
    EXPECT_EQ(std::string(kFreshHeader1601) + " 00 00 00 00 00 00", Hex(b));

    // Word 0 of the record is ignored: the packer computes the length.
    r->tHeader.u32Length = 999;
    r->u16DeviceType = 0x0102;
    r->u32DeviceFunction = 0x03040506;
    b = Pack(0x1601, r.get());
    ASSERT_EQ(30u, b.size());
    EXPECT_EQ("00 00 00 1E", Hex(Slice(b, 0, 4)));
    EXPECT_EQ("01 02 03 04 05 06", Hex(Slice(b, 24)));
}

TEST(GroupMsgPack, FreshAndAnswerHeaders)
{
    T_QuorMsgHeader fresh = QuorFreshMsgHeader(0x1603);
    EXPECT_EQ(0u, fresh.u32Length);
    EXPECT_EQ(0x1603u, fresh.u32CommandID);
    EXPECT_EQ(0u, fresh.u32HeadWord2);
    EXPECT_EQ(1u, fresh.u32HeadWord3);
    EXPECT_EQ(0u, fresh.u32HeadWord4);
    EXPECT_EQ(0u, fresh.u32HeadWord5);

    T_QuorMsgHeader request{30, 0x1601, 0xA1A2A3A4, 0xB1B2B3B4, 0xC1C2C3C4, 0xD1D2D3D4};
    T_QuorMsgHeader answer = QuorAnswerMsgHeader(request, 0x2601);
    EXPECT_EQ(0u, answer.u32Length);
    EXPECT_EQ(0x2601u, answer.u32CommandID);

    auto r = Zeroed<T_QuorDeviceSearchQueryRsp>();
    r->tHeader = answer;
    r->u16DeviceType = 1;
    Bytes b = Pack(0x2601, r.get());
    EXPECT_EQ("00 00 00 1F 00 00 26 01 A1 A2 A3 A4 B1 B2 B3 B4 C1 C2 C3 C4 D1 D2 D3 D4", Hex(Slice(b, 0, 24)));
}

TEST(GroupMsgPack, SearchAnswerAnnexesCountTheirLengthWord)
{
    auto r = DeviceRecord<T_QuorDeviceSearchQueryRsp>(QuorFreshMsgHeader(0x2601));
    EXPECT_EQ("00 01 00 00 00 00 00", PackedHex(0x2601, r.get(), 31u, 24));

    r->u8DeviceInfoTotal = 1;
    r->tAnnexCode[0].u16InfoID = 1;
    SetText(r->tAnnexCode[0].cInfoCode, "abc");
    r->tAnnexCode[0].u32cInfoCodeLen = 3;
    Bytes one = Pack(0x2601, r.get());
    ASSERT_EQ(40u, one.size());
    EXPECT_EQ("00 00 00 28", Hex(Slice(one, 0, 4)));
    EXPECT_EQ("01", Hex(Slice(one, 30, 1)));
    EXPECT_EQ("00 01 00 00 00 07 61 62 63", Hex(Slice(one, 31)));

    // Exactly u32cInfoCodeLen bytes: zero-filled behind a shorter text.
    r->tAnnexCode[0].u32cInfoCodeLen = 5;
    Bytes padded = Pack(0x2601, r.get());
    EXPECT_EQ("00 01 00 00 00 09 61 62 63 00 00", Hex(Slice(padded, 31)));
}

TEST(GroupMsgPack, SearchAnswerWithEightAnnexesInOrder)
{
    auto r = DeviceRecord<T_QuorDeviceSearchQueryRsp>(QuorFreshMsgHeader(0x2601));
    r->u8DeviceInfoTotal = 8;
    const char* texts[8] = {"hall", "10.0.0.7", "3", "0", "1", "0", "2", "TX"};
    WireBuilder expected;
    expected.Header(0x2601).U16(1).U32(0).U8(8);
    for (int i = 0; i < 8; ++i) {
        r->tAnnexCode[i].u16InfoID = (uint16_t)(i + 1);
        SetText(r->tAnnexCode[i].cInfoCode, texts[i]);
        r->tAnnexCode[i].u32cInfoCodeLen = (uint32_t)strlen(texts[i]);
        expected.U16(i + 1).Text(texts[i]);
    }
    EXPECT_EQ(Hex(expected.Done()), Hex(Pack(0x2601, r.get())));
}

TEST(GroupMsgPack, SearchAnswerRefusesOversizedRecords)
{
    auto r = Zeroed<T_QuorDeviceSearchQueryRsp>();
    r->tHeader = QuorFreshMsgHeader(0x2601);
    r->u8DeviceInfoTotal = 1;
    r->tAnnexCode[0].u32cInfoCodeLen = 511;
    memset(r->tAnnexCode[0].cInfoCode, 'x', 511);
    Bytes b = Pack(0x2601, r.get());
    ASSERT_EQ(31u + 6 + 511, b.size());
    EXPECT_EQ("00 00 02 03", Hex(Slice(b, 33, 4)));

    r->tAnnexCode[0].u32cInfoCodeLen = 512;
    EXPECT_TRUE(Pack(0x2601, r.get()).empty());
    r->tAnnexCode[0].u32cInfoCodeLen = 0xFFFFFFFF;
    EXPECT_TRUE(Pack(0x2601, r.get()).empty());

    r->tAnnexCode[0].u32cInfoCodeLen = 0;
    r->u8DeviceInfoTotal = 50;
    EXPECT_EQ(31u + 50 * 6, Pack(0x2601, r.get()).size());
    r->u8DeviceInfoTotal = 51;
    EXPECT_TRUE(Pack(0x2601, r.get()).empty());
}

// The notices that carry one 16-bit value (highest sequence number, group
// sign command) and their answers share one layout under other identifiers.
template <class Req, class Rsp>
void ExpectValueNoticeAndAnswer(uint32_t reqId, uint16_t Req::*reqValue, uint32_t rspId, uint16_t Rsp::*rspValue)
{
    auto req = Zeroed<Req>();
    req->tHeader = QuorFreshMsgHeader(reqId);
    req->u16DeviceType = 1;
    req.get()->*reqValue = 0x1002;
    Bytes b = Pack(reqId, req.get());
    ASSERT_EQ(28u, b.size());
    EXPECT_EQ("00 00 00 1C " + Hex(WireBuilder().U32(reqId).DoneAsIs()), Hex(Slice(b, 0, 8)));
    EXPECT_EQ("00 01 10 02", Hex(Slice(b, 24)));

    auto rsp = Zeroed<Rsp>();
    rsp->tHeader = QuorAnswerMsgHeader(T_QuorMsgHeader{28, reqId, 7, 8, 9, 10}, rspId);
    rsp->u8ResultCode = 3;
    rsp->u16DeviceType = 0xABCD;
    rsp.get()->*rspValue = 0x1001;
    b = Pack(rspId, rsp.get());
    ASSERT_EQ(29u, b.size());
    EXPECT_EQ("00 00 00 1D " + Hex(WireBuilder().U32(rspId).DoneAsIs()) +
                  " 00 00 00 07 00 00 00 08 00 00 00 09 00 00 00 0A",
              Hex(Slice(b, 0, 24)));
    // u16 fields at the odd offsets 25 and 27: no padding.
    EXPECT_EQ("03 AB CD 10 01", Hex(Slice(b, 24)));
}

TEST(GroupMsgPack, MaxSeqNumNoticeAndAnswer)
{
    ExpectValueNoticeAndAnswer(0x1603, &T_QuorDeviceMaxSeqNumNotifyReq::u16DeviceMaxSeqNum, 0x2603,
                               &T_QuorDeviceMaxSeqNumNotifyRsp::u16DeviceMaxSeqNum);
}

TEST(GroupMsgPack, GroupSignNoticeAndAnswer)
{
    ExpectValueNoticeAndAnswer(0x1605, &T_QuorDeviceGroupSignNotifyReq::u16DeviceGroupSignCmd, 0x2605,
                               &T_QuorDeviceGroupSignNotifyRsp::u16DeviceGroupSignCmd);
}

TEST(GroupMsgPack, UserInfoNoticeAnnexesAreSixPlusText)
{
    auto r = DeviceRecord<T_QuorUserInfoChangeNotifyReq>(QuorFreshMsgHeader(0x1604));
    EXPECT_EQ("00 01 00", PackedHex(0x1604, r.get(), 27u, 24));

    r->u8UserInfoTotal = 2;
    r->tAnnexCode[0].u16UserInfoType = 0x1001;
    SetText(r->tAnnexCode[0].cUserInfoContent, "pw");
    r->tAnnexCode[1].u16UserInfoType = 0x1002;
    Bytes b = Pack(0x1604, r.get());
    ASSERT_EQ(27u + 8 + 6, b.size());
    EXPECT_EQ("00 00 00 29", Hex(Slice(b, 0, 4)));
    EXPECT_EQ("00 01 02 10 01 00 00 00 06 70 77 10 02 00 00 00 04", Hex(Slice(b, 24)));
}

TEST(GroupMsgPack, UserInfoAnswerAnnexesAreSevenPlusText)
{
    auto r = DeviceRecord<T_QuorUserInfoChangeNotifyRsp>(QuorAnswerMsgHeader(QuorFreshMsgHeader(0x1604), 0x2604));
    Bytes empty = Pack(0x2604, r.get());
    ASSERT_EQ(28u, empty.size());

    r->u8UserInfoTotal = 1;
    r->tAnnexCode[0].u8ResultCode = 0;
    r->tAnnexCode[0].u16UserInfoType = 0x1001;
    SetText(r->tAnnexCode[0].cUserInfoContent, "pw");
    Bytes b = Pack(0x2604, r.get());
    ASSERT_EQ(28u + 7 + 2, b.size());
    EXPECT_EQ("00 00 26 04", Hex(Slice(b, 4, 4)));
    EXPECT_EQ("00 00 01 01 00 10 01 00 00 00 06 70 77", Hex(Slice(b, 24)));
}

TEST(GroupMsgPack, UserInfoRecordsWithTooManyAnnexesOrUnterminatedTextsAreRefused)
{
    auto req = Zeroed<T_QuorUserInfoChangeNotifyReq>();
    req->tHeader = QuorFreshMsgHeader(0x1604);
    req->u8UserInfoTotal = 50;
    EXPECT_EQ(27u + 50 * 6, Pack(0x1604, req.get()).size());
    req->u8UserInfoTotal = 51;
    EXPECT_TRUE(Pack(0x1604, req.get()).empty());
    req->u8UserInfoTotal = 1;
    memset(req->tAnnexCode[0].cUserInfoContent, 'p', 511);
    EXPECT_EQ(27u + 6 + 511, Pack(0x1604, req.get()).size());
    memset(req->tAnnexCode[0].cUserInfoContent, 'p', 512);
    EXPECT_TRUE(Pack(0x1604, req.get()).empty());

    auto rsp = Zeroed<T_QuorUserInfoChangeNotifyRsp>();
    rsp->tHeader = QuorFreshMsgHeader(0x2604);
    rsp->u8UserInfoTotal = 51;
    EXPECT_TRUE(Pack(0x2604, rsp.get()).empty());
    rsp->u8UserInfoTotal = 2;
    memset(rsp->tAnnexCode[1].cUserInfoContent, 'p', 512);
    EXPECT_TRUE(Pack(0x2604, rsp.get()).empty());
}

TEST(GroupMsgPack, VersionUpgradeRequestItemsInOrder)
{
    auto r = Zeroed<T_QuorVersionUpgradeReq>();
    r->tHeader = QuorFreshMsgHeader(0x1801);
    r->u32DevPort = 3334;
    r->u32ReqCode = 1;
    r->u32ReqResult = 0;
    SetText(r->cVersionSN, "1.0");
    SetText(r->cVersionName, "fw");
    SetText(r->cVersionFile, "/tmp/a.tar");
    Bytes b = Pack(0x1801, r.get());
    ASSERT_EQ(52u + 0 + 3 + 2 + 10, b.size());
    EXPECT_EQ("00 00 00 43 00 00 18 01", Hex(Slice(b, 0, 8)));
    // An empty cDevAddr still has its length word.
    EXPECT_EQ("00 00 00 04 00 00 0D 06 00 00 00 01 00 00 00 00 "
              "00 00 00 07 31 2E 30 00 00 00 06 66 77 00 00 00 0E 2F 74 6D 70 2F 61 2E 74 61 72",
              Hex(Slice(b, 24)));

    SetText(r->cDevAddr, "ARM");
    b = Pack(0x1801, r.get());
    ASSERT_EQ(52u + 3 + 3 + 2 + 10, b.size());
    EXPECT_EQ("00 00 00 07 41 52 4D 00 00 0D 06", Hex(Slice(b, 24, 11)));

    memset(r->cVersionFile, 'f', 512);
    EXPECT_TRUE(Pack(0x1801, r.get()).empty());
}

TEST(GroupMsgPack, IdentifiersWithoutPackerGiveNothing)
{
    auto rsp = Zeroed<T_QuorVersionUpgradeRsp>();
    rsp->tHeader = QuorFreshMsgHeader(0x2801);
    EXPECT_TRUE(Pack(0x2801, rsp.get()).empty());
    EXPECT_TRUE(Pack(0x1234, rsp.get()).empty());
    EXPECT_TRUE(Pack(0x1601, nullptr).empty());
    auto req = Zeroed<T_QuorDeviceSearchQueryReq>();
    EXPECT_EQ(nullptr, CQuorVelmarCommLayer::TranslateOneStructToPack(0x1601, req.get(), nullptr));
}

TEST(GroupMsgPack, PackedBlocksGoBackToTheirPools)
{
    std::vector<uint32_t> before = PoolsInUse();
    auto r = Zeroed<T_QuorUserInfoChangeNotifyReq>();
    r->tHeader = QuorFreshMsgHeader(0x1604);
    r->u8UserInfoTotal = 50;
    for (int i = 0; i < 50; ++i)
        SetText(r->tAnnexCode[i].cUserInfoContent, std::string(300, 'a'));
    for (int round = 0; round < 200; ++round)
        ASSERT_EQ(27u + 50 * 306, Pack(0x1604, r.get()).size());
    EXPECT_EQ(before, PoolsInUse());
}

TEST(GroupMsgPack, RecordSizesMatchTheirPools)
{
    struct {
        uint32_t id;
        size_t size;
    } kinds[] = {{0x1601, sizeof(T_QuorDeviceSearchQueryReq)},     {0x2601, sizeof(T_QuorDeviceSearchQueryRsp)},
                 {0x1603, sizeof(T_QuorDeviceMaxSeqNumNotifyReq)}, {0x2603, sizeof(T_QuorDeviceMaxSeqNumNotifyRsp)},
                 {0x1604, sizeof(T_QuorUserInfoChangeNotifyReq)},  {0x2604, sizeof(T_QuorUserInfoChangeNotifyRsp)},
                 {0x1605, sizeof(T_QuorDeviceGroupSignNotifyReq)}, {0x2605, sizeof(T_QuorDeviceGroupSignNotifyRsp)},
                 {0x2801, sizeof(T_QuorVersionUpgradeRsp)}};
    for (const auto& k : kinds)
        EXPECT_EQ((int32_t)k.size, MemPoolOfMessage(k.id)->GetBlockSize()) << std::hex << k.id;
    EXPECT_EQ(26036u, sizeof(T_QuorDeviceSearchQueryRsp));
    EXPECT_EQ(25728u, sizeof(T_QuorUserInfoChangeNotifyReq));
    EXPECT_EQ(25832u, sizeof(T_QuorUserInfoChangeNotifyRsp));
    EXPECT_EQ(1060u, sizeof(T_QuorVersionUpgradeRsp));
    EXPECT_EQ((int32_t)sizeof(T_QuorStringMsg), g_MemPool_TCPSendMsgList.GetBlockSize());
}

}  // namespace
