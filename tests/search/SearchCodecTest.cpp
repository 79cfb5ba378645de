// The search protocol's wire forms and the client's value conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "QuorVelmarSearchCodec.h"
#include "SearchClient.h"

namespace {

using Bytes = std::string;

Bytes Pack(const T_KorvexGUIRsp& rsp, int* result = nullptr)
{
    char out[QUOR_SEARCH_RSP_MAX_LEN];
    uint32_t length = 0;
    int r = PackSearchRsp(rsp, out, sizeof(out), &length);
    if (result != nullptr)
        *result = r;
    return Bytes(out, length);
}

T_KorvexGUIRsp Rsp(uint8_t tag, uint8_t len, bool number, const char* content)
{
    T_KorvexGUIRsp rsp;
    memset(&rsp, 0, sizeof(rsp));
    rsp = T_KorvexGUIRsp{QUOR_SEARCH_RSP_MAGIC, 2, 0x01020304, 0x2B3C4D5E, 1, tag, len, (uint8_t)number, {}};
    memcpy(rsp.cContent, content, strlen(content));
    return rsp;
}

const Bytes kHeader = Bytes("\x17\x99\x02\x01\x02\x03\x04\x2b\x3c\x4d\x5e\x01", 12);

// The identifier's hexadecimal text read as decimal (the LAN test checks the tags).
TEST(SearchCodecTest, SequenceNumberReadsTheTextAsDecimal)
{
    EXPECT_EQ(Pack(Rsp(0x05, 4, true, "2b3c4d5e")), kHeader + Bytes("\x05\x00\x04\x00\x00\x00\x02", 7));
    EXPECT_EQ(Pack(Rsp(0x05, 4, true, "12345678")), kHeader + Bytes("\x05\x00\x04\x00\xbc\x61\x4e", 7));
}

TEST(SearchCodecTest, NumberOfAnotherWidthIsZerosAndRefused)
{
    int result = 0;
    EXPECT_EQ(Pack(Rsp(0x07, 3, true, "110"), &result), kHeader + Bytes("\x07\x00\x03\x00\x00\x00", 6));
    EXPECT_EQ(result, -2);
    char small[16];
    uint32_t length = 7;
    EXPECT_EQ(PackSearchRsp(Rsp(0x04, 3, false, "MPL"), small, sizeof(small), &length), -2);
    EXPECT_EQ(length, 0u);
}

TEST(SearchCodecTest, ShortRequestsReadZerosAndCountWhatArrived)
{
    T_KorvexGUIReq req;
    EXPECT_EQ(ParseSearchReq("\x16", 1, &req), 0);
    EXPECT_EQ(req.u16magic, 0x1600);
    EXPECT_EQ(req.u32ContentReceived, 0u);
    EXPECT_EQ(ParseSearchReq("x", 0, &req), -2);
    Bytes full = Bytes("\x16\x98\x03\x00\x00\x00\x09\x12\x34\x56\x78\x0c\x01\xff", 14) + Bytes(600, 'v');
    ASSERT_EQ(ParseSearchReq(full.data(), (uint32_t)full.size(), &req), 0);
    EXPECT_EQ(req.u8Type, 3);
    EXPECT_EQ(req.u32PCId, 9u);
    EXPECT_EQ(req.u32Q7MId, 0x12345678u);
    EXPECT_EQ(req.u16Len, 0x1ff);
    EXPECT_EQ(req.u32ContentReceived, 512u);
}

TEST(SearchCodecTest, RepliesAreReadStrictly)
{
    const Bytes good = kHeader + Bytes("\x04\x00\x03MPL", 6);
    struct {
        Bytes bytes;
        T_SearchRspFault fault;
    } cases[] = {
        {good, QUOR_SEARCH_RSP_OK},
        {good.substr(0, 14), QUOR_SEARCH_RSP_SHORT},
        {Bytes("\x16\x98") + good.substr(2), QUOR_SEARCH_RSP_BAD_MAGIC},
        {good.substr(0, 17), QUOR_SEARCH_RSP_BAD_LENGTH},
        {good + "x", QUOR_SEARCH_RSP_BAD_LENGTH},
        {kHeader + Bytes("\x04\x01\x00", 3) + Bytes(256, 'a'), QUOR_SEARCH_RSP_BAD_LENGTH},
    };
    for (const auto& c : cases) {
        T_KorvexGUIRsp rsp;
        EXPECT_EQ(ParseSearchRsp(c.bytes.data(), (uint32_t)c.bytes.size(), &rsp), c.fault) << c.bytes.size();
    }
}

TEST(SearchCodecTest, ClientValuesFollowTheTag)
{
    struct {
        const char* tag;
        const char* text;
        Bytes bytes;   // empty: refused
    } cases[] = {
        {"ip", "10.0.0.5", Bytes("\x0a\x00\x00\x05", 4)},
        {"ip", "10.0.0.256", ""},
        {"ip", "10.0.0.5x", ""},
        {"mac", "00:1a:2b:3c:4d:5e", Bytes("\x00\x1a\x2b\x3c\x4d\x5e", 6)},
        {"mac", "00:1a:2b", ""},
        {"tcp-port", "23", Bytes("\x00\x17", 2)},
        {"tcp-port", "65536", ""},
        {"uart-rate", "-1", ""},
        {"uptime", "0x01020304", Bytes("\x01\x02\x03\x04", 4)},
        {"alias", "Hall", "Hall"},
    };
    for (const auto& c : cases) {
        std::string bytes, error;
        bool ok = SearchValueBytes(SearchTagByName(c.tag), c.text, &bytes, &error);
        EXPECT_EQ(ok, !c.bytes.empty()) << c.text;
        EXPECT_EQ(bytes, ok ? c.bytes : bytes) << c.text;
        if (!ok)
            continue;
        T_KorvexGUIRsp rsp = Rsp(0, (uint8_t)bytes.size(), false, "");
        memcpy(rsp.cContent, bytes.data(), bytes.size());
        EXPECT_EQ(SearchValueText(SearchTagByName(c.tag), rsp), std::string(c.text) == "0x01020304" ? "16909060" : c.text);
    }
}

}  // namespace

namespace {

// velmar-find prints text as UTF-8; every byte that is not valid UTF-8 (and,
// outside JSON, every control character) shows as \xNN.
TEST(SearchCodecTest, TextIsShownAsUtf8WithOtherBytesEscaped)
{
    const struct {
        const char* name;
        std::string text;
        std::string shown;
        std::string shownInJson;
    } kCases[] = {
        {"ASCII", "Hall-1", "Hall-1", "Hall-1"},
        {"two, three and four bytes", "S\xc3\xbc\x64 \xe2\x98\x83 \xf0\x9f\x8e\xb5", "S\xc3\xbc\x64 \xe2\x98\x83 \xf0\x9f\x8e\xb5",
         "S\xc3\xbc\x64 \xe2\x98\x83 \xf0\x9f\x8e\xb5"},
        {"a lone continuation byte", "a\x80z", "a\\x80z", "a\\x80z"},
        {"a cut sequence at the end", "a\xe2\x98", "a\\xe2\\x98", "a\\xe2\\x98"},
        {"an overlong form", "\xc0\xaf", "\\xc0\\xaf", "\\xc0\\xaf"},
        {"a surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80", "\\xed\\xa0\\x80"},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80", "\\xf4\\x90\\x80\\x80"},
        {"control characters", std::string("a\tb\x7f", 4), "a\\x09b\\x7f", "a\tb\\x7f"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(c.shown, SearchEscapedText(c.text, false)) << c.name;
        EXPECT_EQ(c.shownInJson, SearchEscapedText(c.text, true)) << c.name;
    }
}

}  // namespace
