// Translating wire bytes into group message records: exact bytes of every
// message, malformed and truncated messages, round trips, and any byte
// sequence up to 3073 bytes without reading past the bytes received.
#include "ProtocolTestUtil.h"

#include <random>

namespace {

// A message's bytes and the identifier that goes with them.
struct BytesAndId {
    Bytes bytes;
    uint32_t id;
};

Bytes SearchQuery(uint16_t type, uint32_t function)
{
    return WireBuilder().Header(0x1601, 0x11, 0x22, 0x33, 0x44).U16(type).U32(function).Done();
}

// A user information notice with the given annex types and texts.
Bytes UserInfoNotice(const std::vector<std::pair<uint16_t, std::string>>& annexes)
{
    WireBuilder w;
    w.Header(0x1604).U16(1).U8((uint32_t)annexes.size());
    for (const auto& a : annexes)
        w.U16(a.first).Text(a.second);
    return w.Done();
}

Bytes UpgradeAnswer(const std::string& addr, const std::string& data)
{
    return WireBuilder().Header(0x2801).Text(addr).U32(3334).U32(0x20).U32(7).Text(data).Done();
}

TEST(GroupMsgParse, SearchQueryOfExactlyThirtyBytes)
{
    Translated t;
    Translate(SearchQuery(1, 0x01020304), &t);
    ASSERT_EQ(0, t.result);
    EXPECT_EQ(0x1601u, t.id);
    ASSERT_NE(nullptr, t.record);
    const auto& r = t.As<T_QuorDeviceSearchQueryReq>();
    EXPECT_EQ(30u, r.tHeader.u32Length);
    EXPECT_EQ(0x1601u, r.tHeader.u32CommandID);
    EXPECT_EQ(0x11u, r.tHeader.u32HeadWord2);
    EXPECT_EQ(0x22u, r.tHeader.u32HeadWord3);
    EXPECT_EQ(0x33u, r.tHeader.u32HeadWord4);
    EXPECT_EQ(0x44u, r.tHeader.u32HeadWord5);
    EXPECT_EQ(1u, r.u16DeviceType);
    EXPECT_EQ(0x01020304u, r.u32DeviceFunction);
}

TEST(GroupMsgParse, SearchQueryForReceiversOrShortGivesNoRecord)
{
    LogCapture log;
    Translated receivers;
    Translate(SearchQuery(2, 0), &receivers);
    EXPECT_EQ(nullptr, receivers.record);
    EXPECT_EQ(0x1601u, receivers.id);
    EXPECT_TRUE(log.Has("ParseDeviceSearchQueryReq is Search Receiver Not Process."));

    Bytes b = SearchQuery(1, 0);
    b.pop_back();
    Translated shortOne;
    Translate(b, &shortOne);
    EXPECT_EQ(nullptr, shortOne.record);
    EXPECT_EQ(-2, shortOne.result);
    EXPECT_EQ(0x1601u, shortOne.id);
    EXPECT_TRUE(log.Has("###### Get DeviceType/DeviceFunction error! When ParseDeviceSearchQueryReq()."));
}

TEST(GroupMsgParse, MessagesShorterThanTheHeaderReportIdentifierZero)
{
    Bytes full = SearchQuery(1, 0);
    for (size_t n = 0; n < 24; ++n) {
        Translated t;
        Translate(Slice(full, 0, n), &t);
        EXPECT_EQ(-2, t.result) << n;
        EXPECT_EQ(0u, t.id) << n;
        EXPECT_EQ(nullptr, t.record) << n;
    }
    Translated nothing;
    nothing.result = CQuorVelmarCommLayer::TranslateOnePackToStruct(nullptr, 30, &nothing.id, &nothing.record);
    EXPECT_EQ(-2, nothing.result);
    EXPECT_EQ(0u, nothing.id);
}

TEST(GroupMsgParse, UnknownAndOutgoingOnlyIdentifiersGiveNoRecord)
{
    for (uint32_t id : {0u, 0x1234u, 0x1602u, 0x2602u, 0x1801u}) {
        Bytes b = WireBuilder().Header(id).Raw(std::string(100, '\x01')).Done();
        Translated t;
        Translate(b, &t);
        EXPECT_EQ(id, t.id);
        EXPECT_EQ(nullptr, t.record);
    }
}

TEST(GroupMsgParse, FixedSizeNoticesAndAnswers)
{
    std::vector<BytesAndId> cases = {
        {WireBuilder().Header(0x1603).U16(1).U16(12).Done(), 0x1603},
        {WireBuilder().Header(0x2603).U8(5).U16(1).U16(12).Done(), 0x2603},
        {WireBuilder().Header(0x1605).U16(1).U16(0x1001).Done(), 0x1605},
        {WireBuilder().Header(0x2605).U8(5).U16(1).U16(0x1002).Done(), 0x2605},
    };
    for (const BytesAndId& c : cases) {
        Translated t;
        Translate(c.bytes, &t);
        ASSERT_NE(nullptr, t.record) << std::hex << c.id;
        Bytes shorter = Slice(c.bytes, 0, c.bytes.size() - 1);
        Translated s;
        Translate(shorter, &s);
        EXPECT_EQ(nullptr, s.record) << std::hex << c.id;
        // Longer messages translate: only the end of the last field counts.
        Bytes longer = c.bytes;
        longer.push_back(0xEE);
        Translated l;
        Translate(longer, &l);
        EXPECT_NE(nullptr, l.record) << std::hex << c.id;
    }

    Translated a;
    Translate(cases[0].bytes, &a);
    EXPECT_EQ(1u, a.As<T_QuorDeviceMaxSeqNumNotifyReq>().u16DeviceType);
    EXPECT_EQ(12u, a.As<T_QuorDeviceMaxSeqNumNotifyReq>().u16DeviceMaxSeqNum);
    Translated b;
    Translate(cases[1].bytes, &b);
    EXPECT_EQ(5u, b.As<T_QuorDeviceMaxSeqNumNotifyRsp>().u8ResultCode);
    EXPECT_EQ(1u, b.As<T_QuorDeviceMaxSeqNumNotifyRsp>().u16DeviceType);
    EXPECT_EQ(12u, b.As<T_QuorDeviceMaxSeqNumNotifyRsp>().u16DeviceMaxSeqNum);
    Translated c;
    Translate(cases[2].bytes, &c);
    EXPECT_EQ(0x1001u, c.As<T_QuorDeviceGroupSignNotifyReq>().u16DeviceGroupSignCmd);
    Translated d;
    Translate(cases[3].bytes, &d);
    EXPECT_EQ(5u, d.As<T_QuorDeviceGroupSignNotifyRsp>().u8ResultCode);
    EXPECT_EQ(0x1002u, d.As<T_QuorDeviceGroupSignNotifyRsp>().u16DeviceGroupSignCmd);
}

TEST(GroupMsgParse, SearchAnswerAnnexes)
{
    Bytes b = WireBuilder().Header(0x2601).U16(1).U32(0).U8(2).U16(1).Text("abc").U16(2).Text("").Done();
    Translated t;
    Translate(b, &t);
    ASSERT_NE(nullptr, t.record);
    const auto& r = t.As<T_QuorDeviceSearchQueryRsp>();
    EXPECT_EQ(2u, r.u8DeviceInfoTotal);
    EXPECT_EQ(1u, r.tAnnexCode[0].u16InfoID);
    EXPECT_EQ(3u, r.tAnnexCode[0].u32cInfoCodeLen);
    EXPECT_STREQ("abc", r.tAnnexCode[0].cInfoCode);
    EXPECT_EQ(2u, r.tAnnexCode[1].u16InfoID);
    EXPECT_EQ(0u, r.tAnnexCode[1].u32cInfoCodeLen);
}

TEST(GroupMsgParse, SearchAnswerBadLengthWordStopsAndKeepsTheBadLength)
{
    Bytes b = WireBuilder().Header(0x2601).U16(1).U32(0).U8(3).U16(1).Text("abc").U16(2).U32(3).Done();
    Translated t;
    Translate(b, &t);
    ASSERT_NE(nullptr, t.record);
    const auto& r = t.As<T_QuorDeviceSearchQueryRsp>();
    EXPECT_EQ(3u, r.u8DeviceInfoTotal);  // the count keeps its received value
    EXPECT_STREQ("abc", r.tAnnexCode[0].cInfoCode);
    EXPECT_GE(r.tAnnexCode[1].u32cInfoCodeLen, 512u);  // makes the answer discarded later
}

TEST(GroupMsgParse, SearchAnswerRefusals)
{
    // A text of 512 bytes.
    Bytes longText = WireBuilder().Header(0x2601).U16(1).U32(0).U8(1).U16(1).Text(std::string(512, 'x')).Done();
    Translated a;
    Translate(longText, &a);
    EXPECT_EQ(nullptr, a.record);
    // 511 bytes fit.
    Bytes fits = WireBuilder().Header(0x2601).U16(1).U32(0).U8(1).U16(1).Text(std::string(511, 'x')).Done();
    Translated b;
    Translate(fits, &b);
    ASSERT_NE(nullptr, b.record);
    EXPECT_EQ(511u, strlen(b.As<T_QuorDeviceSearchQueryRsp>().tAnnexCode[0].cInfoCode));
    // The count says more annexes than there are bytes.
    Bytes missing = WireBuilder().Header(0x2601).U16(1).U32(0).U8(2).U16(1).Text("abc").Done();
    Translated c;
    Translate(missing, &c);
    EXPECT_EQ(nullptr, c.record);
    // A count above 50, even with the bytes present.
    WireBuilder many;
    many.Header(0x2601).U16(1).U32(0).U8(51);
    for (int i = 0; i < 51; ++i)
        many.U16(1).Text("a");
    Translated d;
    Translate(many.Done(), &d);
    EXPECT_EQ(nullptr, d.record);
}

TEST(GroupMsgParse, UserInfoNoticeAnnexes)
{
    Translated t;
    Translate(UserInfoNotice({{0x1001, "secret"}, {0x1002, ""}}), &t);
    ASSERT_NE(nullptr, t.record);
    const auto& r = t.As<T_QuorUserInfoChangeNotifyReq>();
    EXPECT_EQ(1u, r.u16DeviceType);
    EXPECT_EQ(2u, r.u8UserInfoTotal);
    EXPECT_EQ(0x1001u, r.tAnnexCode[0].u16UserInfoType);
    EXPECT_STREQ("secret", r.tAnnexCode[0].cUserInfoContent);
    EXPECT_EQ(0x1002u, r.tAnnexCode[1].u16UserInfoType);
    EXPECT_STREQ("", r.tAnnexCode[1].cUserInfoContent);
}

TEST(GroupMsgParse, UserInfoNoticeLengthWordBelowFourStopsTheLoop)
{
    LogCapture log;
    Bytes b = WireBuilder().Header(0x1604).U16(1).U8(3).U16(0x1001).Text("pw").U16(0x1002).U32(3).Done();
    Translated t;
    Translate(b, &t);
    ASSERT_NE(nullptr, t.record);
    const auto& r = t.As<T_QuorUserInfoChangeNotifyReq>();
    // The notice keeps the annexes read whole; the one stopped on is cleared.
    EXPECT_EQ(1u, r.u8UserInfoTotal);
    EXPECT_STREQ("pw", r.tAnnexCode[0].cUserInfoContent);
    EXPECT_EQ(0u, r.tAnnexCode[1].u16UserInfoType);
    EXPECT_STREQ("", r.tAnnexCode[1].cUserInfoContent);
    EXPECT_TRUE(log.Has("######In ParseUserInfoChangeNotifyReq,  AnnexCode <1> cInfoCodeLen is <-1> is Error."));
}

TEST(GroupMsgParse, UserInfoNoticeRefusals)
{
    LogCapture log;
    // Length word 516: a text of 512 bytes, with the bytes present.
    Bytes big = WireBuilder().Header(0x1604).U16(1).U8(2).U16(0x1001).Text("pw").U16(0x1001).Text(std::string(512, 'p')).Done();
    Translated a;
    Translate(big, &a);
    EXPECT_EQ(nullptr, a.record);
    EXPECT_TRUE(log.Has("AnnexCode <1> cInfoCodeLen is <512> is Error."));
    // Length word 516 without the bytes.
    Bytes bigWord = WireBuilder().Header(0x1604).U16(1).U8(1).U16(0x1001).U32(516).Raw("pw").Done();
    Translated b;
    Translate(bigWord, &b);
    EXPECT_EQ(nullptr, b.record);
    // A text running past the end.
    Bytes pastEnd = WireBuilder().Header(0x1604).U16(1).U8(1).U16(0x1001).U32(4 + 10).Raw("short").Done();
    Translated c;
    Translate(pastEnd, &c);
    EXPECT_EQ(nullptr, c.record);
    // An annex that ends inside its type field.
    Bytes cut = WireBuilder().Header(0x1604).U16(1).U8(1).U8(0x10).Done();
    Translated d;
    Translate(cut, &d);
    EXPECT_EQ(nullptr, d.record);
    // A count above 50 and one of exactly 50.
    std::vector<std::pair<uint16_t, std::string>> fifty(50, {0x1001, "x"});
    Translated e;
    Translate(UserInfoNotice(fifty), &e);
    ASSERT_NE(nullptr, e.record);
    EXPECT_STREQ("x", e.As<T_QuorUserInfoChangeNotifyReq>().tAnnexCode[49].cUserInfoContent);
    fifty.push_back({0x1001, "x"});
    Translated f;
    Translate(UserInfoNotice(fifty), &f);
    EXPECT_EQ(nullptr, f.record);
    EXPECT_TRUE(log.Has("######In ParseUserInfoChangeNotifyReq, annex count <51> is more than 50, Error."));
    // Short fixed part.
    Translated g;
    Translate(WireBuilder().Header(0x1604).U16(1).Done(), &g);
    EXPECT_EQ(nullptr, g.record);
    EXPECT_TRUE(log.Has("###### Get DeviceType/UserInfoTotal error! When ParseUserInfoChangeNotifyReq()."));
}

TEST(GroupMsgParse, UserInfoAnswer)
{
    Bytes b = WireBuilder().Header(0x2604).U8(0).U16(1).U8(2).U8(0).U16(0x1001).Text("pw").U8(9).U16(0x1003).Text("z").Done();
    ASSERT_EQ(28u + 9 + 8, b.size());
    Translated t;
    Translate(b, &t);
    ASSERT_NE(nullptr, t.record);
    const auto& r = t.As<T_QuorUserInfoChangeNotifyRsp>();
    EXPECT_EQ(2u, r.u8UserInfoTotal);
    EXPECT_EQ(0x1001u, r.tAnnexCode[0].u16UserInfoType);
    EXPECT_STREQ("pw", r.tAnnexCode[0].cUserInfoContent);
    EXPECT_EQ(9u, r.tAnnexCode[1].u8ResultCode);
    EXPECT_EQ(0x1003u, r.tAnnexCode[1].u16UserInfoType);
    EXPECT_STREQ("z", r.tAnnexCode[1].cUserInfoContent);

    for (size_t n = 24; n < b.size(); ++n) {
        Translated cut;
        Translate(Slice(b, 0, n), &cut);
        EXPECT_EQ(nullptr, cut.record) << n;
    }
}

TEST(GroupMsgParse, VersionUpgradeAnswer)
{
    Translated t;
    Translate(UpgradeAnswer("QuorNdk", "done"), &t);
    ASSERT_NE(nullptr, t.record);
    const auto& r = t.As<T_QuorVersionUpgradeRsp>();
    EXPECT_STREQ("QuorNdk", r.cDevAddr);
    EXPECT_EQ(3334u, r.u32DevPort);
    EXPECT_EQ(0x20u, r.u32RspCode);
    EXPECT_EQ(7u, r.u32RspResult);
    EXPECT_STREQ("done", r.cRspData);

    Translated empty;
    Translate(UpgradeAnswer("", ""), &empty);
    EXPECT_NE(nullptr, empty.record);
}

TEST(GroupMsgParse, VersionUpgradeAnswerRefusals)
{
    LogCapture log;
    struct Case {
        Bytes bytes;
        const char* fault;
    };
    std::vector<Case> cases = {
        {UpgradeAnswer("a", std::string(512, 'd')), "cRspData"},
        {UpgradeAnswer(std::string(512, 'a'), "d"), "DeviceAddr"},
        {WireBuilder().Header(0x2801).Text("a").U32(1).U32(2).U32(3).U32(4 + 20).Raw("short").Done(), "cRspData"},
        {WireBuilder().Header(0x2801).Text("a").U32(1).U32(2).U32(3).U32(3).Done(), "cRspData"},
        {WireBuilder().Header(0x2801).U32(2).Done(), "DeviceAddr"},
        {WireBuilder().Header(0x2801).Text("a").U32(1).U16(2).Done(), "RspCode"},
        {WireBuilder().Header(0x2801).Text("a").U16(1).Done(), "DevicePort"},
        {WireBuilder().Header(0x2801).Text("a").U32(1).U32(2).U8(3).Done(), "RspResult"},
    };
    for (const Case& c : cases) {
        Translated t;
        Translate(c.bytes, &t);
        EXPECT_EQ(nullptr, t.record) << c.fault;
        EXPECT_EQ(-2, t.result);
        EXPECT_TRUE(log.Has(std::string("CQuorVelmarCommLayer::ParseVersionUpgradeRsp error, ") + c.fault +
                            " have question!"))
            << c.fault;
    }
    Translated fits;
    Translate(UpgradeAnswer(std::string(511, 'a'), std::string(511, 'd')), &fits);
    EXPECT_NE(nullptr, fits.record);
}

TEST(GroupMsgParse, AnswersCopyHeaderWordsTwoToFiveFromTheRequest)
{
    // The request's bytes and the answer's identifier.
    std::vector<BytesAndId> cases = {
        {WireBuilder().Header(0x1601, 0xDEADBEEF, 0, 0x80000000, 7).U16(0).U32(0).Done(), 0x2601},
        {WireBuilder().Header(0x1603, 1, 2, 3, 4).U16(1).U16(9).Done(), 0x2603},
        {WireBuilder().Header(0x1604, 5, 6, 7, 8).U16(1).U8(0).Done(), 0x2604},
        {WireBuilder().Header(0x1605, 0xFFFFFFFF, 0xFFFFFFFE, 0, 1).U16(1).U16(0x1001).Done(), 0x2605},
    };
    for (const BytesAndId& c : cases) {
        Translated request;
        Translate(c.bytes, &request);
        ASSERT_NE(nullptr, request.record);
        const T_QuorMsgHeader& rh = *static_cast<const T_QuorMsgHeader*>(request.record);
        // The answer record: cleared, header from the request, then packed.
        std::unique_ptr<unsigned char[]> answer(new unsigned char[MemPoolOfMessage(c.id)->GetBlockSize()]);
        memset(answer.get(), 0, (size_t)MemPoolOfMessage(c.id)->GetBlockSize());
        T_QuorMsgHeader ah = QuorAnswerMsgHeader(rh, c.id);
        memcpy(answer.get(), &ah, sizeof(ah));
        Bytes packed = Pack(c.id, answer.get());
        ASSERT_GE(packed.size(), 24u);
        EXPECT_EQ(Hex(Slice(c.bytes, 8, 16)), Hex(Slice(packed, 8, 16))) << std::hex << c.id;
        EXPECT_EQ(Hex(WireBuilder().U32(c.id).DoneAsIs()), Hex(Slice(packed, 4, 4)));
    }
}

// Record -> bytes -> record gives the same record; bytes -> record -> bytes
// gives the same bytes.
template <class R>
void ExpectRoundTrip(uint32_t id, R* record)
{
    Bytes packed = Pack(id, record);
    ASSERT_FALSE(packed.empty());
    record->tHeader.u32Length = (uint32_t)packed.size();
    Translated t;
    Translate(packed, &t);
    ASSERT_NE(nullptr, t.record) << std::hex << id;
    EXPECT_EQ(0, memcmp(record, t.record, sizeof(R))) << std::hex << id;
    EXPECT_EQ(Hex(packed), Hex(Pack(id, t.record))) << std::hex << id;
}

// A notice that carries one 16-bit value and its answer, with the extremes
// of each field.
template <class Req, class Rsp>
void ExpectValueRoundTrips(const T_QuorMsgHeader& header, uint32_t reqId, uint16_t Req::*reqValue, uint32_t rspId,
                           uint16_t Rsp::*rspValue)
{
    SCOPED_TRACE(reqId);
    auto req = Zeroed<Req>();
    req->tHeader = header;
    req->tHeader.u32CommandID = reqId;
    req->u16DeviceType = 0x8001;
    req.get()->*reqValue = 0xFFFF;
    ExpectRoundTrip(reqId, req.get());

    auto rsp = Zeroed<Rsp>();
    rsp->tHeader = QuorAnswerMsgHeader(req->tHeader, rspId);
    rsp->u8ResultCode = 0xFF;
    rsp->u16DeviceType = 1;
    rsp.get()->*rspValue = 0xFFFE;
    ExpectRoundTrip(rspId, rsp.get());
}

TEST(GroupMsgParse, RoundTripsOfEveryMessageBothWays)
{
    T_QuorMsgHeader header{0, 0, 0xA, 0xB, 0xC, 0xD};

    auto q = Zeroed<T_QuorDeviceSearchQueryReq>();
    q->tHeader = header;
    q->tHeader.u32CommandID = 0x1601;
    q->u16DeviceType = 0xFFFF;
    q->u32DeviceFunction = 0xFEDCBA98;
    ExpectRoundTrip(0x1601, q.get());

    auto s = Zeroed<T_QuorDeviceSearchQueryRsp>();
    s->tHeader = QuorAnswerMsgHeader(header, 0x2601);
    s->u16DeviceType = 1;
    s->u8DeviceInfoTotal = 50;
    for (int i = 0; i < 50; ++i) {
        s->tAnnexCode[i].u16InfoID = (uint16_t)(i * 977);
        std::string text(i * 10, (char)('a' + i % 26));
        SetText(s->tAnnexCode[i].cInfoCode, text);
        s->tAnnexCode[i].u32cInfoCodeLen = (uint32_t)text.size();
    }
    ExpectRoundTrip(0x2601, s.get());

    ExpectValueRoundTrips(header, 0x1603, &T_QuorDeviceMaxSeqNumNotifyReq::u16DeviceMaxSeqNum, 0x2603,
                          &T_QuorDeviceMaxSeqNumNotifyRsp::u16DeviceMaxSeqNum);
    ExpectValueRoundTrips(header, 0x1605, &T_QuorDeviceGroupSignNotifyReq::u16DeviceGroupSignCmd, 0x2605,
                          &T_QuorDeviceGroupSignNotifyRsp::u16DeviceGroupSignCmd);

    auto u = Zeroed<T_QuorUserInfoChangeNotifyReq>();
    u->tHeader = header;
    u->tHeader.u32CommandID = 0x1604;
    u->u16DeviceType = 1;
    u->u8UserInfoTotal = 50;
    for (int i = 0; i < 50; ++i) {
        u->tAnnexCode[i].u16UserInfoType = (uint16_t)(0x1000 + i);
        SetText(u->tAnnexCode[i].cUserInfoContent, std::string(i == 49 ? 511 : i, 'u'));
    }
    ExpectRoundTrip(0x1604, u.get());

    auto ur = Zeroed<T_QuorUserInfoChangeNotifyRsp>();
    ur->tHeader = QuorAnswerMsgHeader(u->tHeader, 0x2604);
    ur->u16DeviceType = 1;
    ur->u8UserInfoTotal = 3;
    for (int i = 0; i < 3; ++i) {
        ur->tAnnexCode[i].u8ResultCode = (uint8_t)i;
        ur->tAnnexCode[i].u16UserInfoType = 0x1001;
        SetText(ur->tAnnexCode[i].cUserInfoContent, std::string(100 * i, 'r'));
    }
    ExpectRoundTrip(0x2604, ur.get());
}

// Every message kind once, valid and complete, for the truncation and
// random-byte runs.
std::vector<Bytes> ValidMessages()
{
    WireBuilder bigSearch;
    bigSearch.Header(0x2601).U16(1).U32(0).U8(8);
    for (int i = 1; i <= 8; ++i)
        bigSearch.U16(i).Text(std::string(300, 'a'));
    return {
        SearchQuery(1, 0),
        WireBuilder().Header(0x2601).U16(1).U32(0).U8(2).U16(1).Text("abc").U16(2).Text("10.0.0.7").Done(),
        bigSearch.Done(),
        WireBuilder().Header(0x1603).U16(1).U16(12).Done(),
        WireBuilder().Header(0x2603).U8(0).U16(1).U16(12).Done(),
        WireBuilder().Header(0x1605).U16(1).U16(0x1001).Done(),
        WireBuilder().Header(0x2605).U8(0).U16(1).U16(0x1001).Done(),
        UserInfoNotice({{0x1001, "pw"}, {0x1002, std::string(400, 'q')}, {0x1001, ""}}),
        WireBuilder().Header(0x2604).U8(0).U16(1).U8(2).U8(0).U16(0x1001).Text("pw").U8(0).U16(0x1002).Text("x").Done(),
        UpgradeAnswer("QuorNdk", std::string(300, 'd')),
    };
}

TEST(GroupMsgParse, EveryTruncationOfAValidMessageGivesNoRecord)
{
    std::vector<uint32_t> before = PoolsInUse();
    for (const Bytes& full : ValidMessages()) {
        Translated whole;
        Translate(full, &whole);
        ASSERT_NE(nullptr, whole.record) << Hex(Slice(full, 0, 8));
        for (size_t n = 0; n < full.size() && n <= 3073; ++n) {
            Translated t;
            Translate(Slice(full, 0, n), &t);
            EXPECT_EQ(nullptr, t.record) << Hex(Slice(full, 0, 8)) << " cut at " << n;
        }
    }
    EXPECT_EQ(before, PoolsInUse());
}

// Small annex counts and length words in random bytes (n > 40), so that the
// annex loops and text reads of each kind are reached.
void MakeCountsSmall(uint32_t id, Bytes* b)
{
    Bytes& m = *b;
    switch (id) {
    case 0x2601:  // count at 30, first length word at 33
        m[30] &= 3;
        m[33] = m[34] = m[35] = 0;
        break;
    case 0x1604:  // count at 26, first length word at 29
        m[26] &= 3;
        m[29] = m[30] = m[31] = 0;
        break;
    case 0x2604:  // count at 27, first length word at 31
        m[27] &= 3;
        m[31] = m[32] = m[33] = 0;
        break;
    case 0x2801:  // cDevAddr length word at 24
        m[24] = m[25] = m[26] = 0;
        break;
    default:
        break;
    }
}

TEST(GroupMsgParse, AnyBytesOfAnyLengthUpTo3073AreSafe)
{
    std::mt19937 random(20240611);
    const uint32_t ids[] = {0x1601, 0x2601, 0x1603, 0x2603, 0x1604, 0x2604, 0x1605, 0x2605, 0x1801, 0x2801, 0x7777};
    std::vector<Bytes> valid = ValidMessages();
    std::vector<uint32_t> before = PoolsInUse();
    Bytes noise(1 << 16);
    for (auto& byte : noise)
        byte = (uint8_t)random();
    int records = 0;
    for (uint32_t n = 0; n <= 3073; ++n) {
        for (uint32_t id : ids) {
            size_t from = random() % (noise.size() - n);
            Bytes b(noise.begin() + (long)from, noise.begin() + (long)(from + n));
            // Small counts and length words now and then, so the annex loops run.
            if (n > 8) {
                b[4] = (uint8_t)(id >> 24);
                b[5] = (uint8_t)(id >> 16);
                b[6] = (uint8_t)(id >> 8);
                b[7] = (uint8_t)id;
            }
            if (n > 40 && (random() & 1))
                MakeCountsSmall(id, &b);
            Translated t;
            Translate(b, &t);
            if (t.record != nullptr)
                ++records;
        }
        // A valid message followed by random bytes, cut to n.
        const Bytes& base = valid[n % valid.size()];
        Bytes tail = base;
        while (tail.size() < n)
            tail.push_back((uint8_t)random());
        Translated t;
        Translate(Slice(tail, 0, n), &t);
        if (n >= base.size()) {
            EXPECT_NE(nullptr, t.record) << n;
        }
    }
    EXPECT_GT(records, 0);
    EXPECT_EQ(before, PoolsInUse());
}

TEST(GroupMsgParse, ParsersCalledDirectlyStayWithinTheGivenBytes)
{
    auto q = Zeroed<T_QuorDeviceSearchQueryReq>();
    EXPECT_EQ(-2, CQuorVelmarCommLayer::ParseDeviceSearchQueryReq(nullptr, 30, q.get()));
    Bytes b = SearchQuery(1, 5);
    std::unique_ptr<char[]> exact(new char[b.size()]);
    memcpy(exact.get(), b.data(), b.size());
    EXPECT_EQ(0, CQuorVelmarCommLayer::ParseDeviceSearchQueryReq(exact.get(), 30, q.get()));
    EXPECT_EQ(5u, q->u32DeviceFunction);
    EXPECT_EQ(-2, CQuorVelmarCommLayer::ParseDeviceSearchQueryReq(exact.get(), 29, q.get()));
    EXPECT_EQ(-2, CQuorVelmarCommLayer::ParseDeviceSearchQueryReq(exact.get(), 10, q.get()));
    EXPECT_EQ(-2, CQuorVelmarCommLayer::ParseDeviceSearchQueryReq(exact.get(), 30, nullptr));
}

}  // namespace
