// The tokenizer of the text languages, the hexadecimal byte decoder and the
// module information record.
#include <gtest/gtest.h>

#include <string>

#include "QuorVelmarManageTask.h"

namespace {

struct Taken {
    int result;
    std::string token;
    uint32_t consumed;
    std::string rest;
};

Taken Take(const char*& cursor)
{
    char token[QUOR_TOKEN_SIZE];
    memset(token, 'x', sizeof(token));
    uint32_t consumed = 99;
    int result = PareCommandString(&cursor, token, &consumed);
    return Taken{result, token, consumed, cursor != nullptr ? cursor : ""};
}

TEST(PareCommandString, SplitsAtSpacesAndStopsAtCrLf)
{
    const char* cursor = "  SET   UARTBAUDRATE 9600\r\n";
    Taken a = Take(cursor);
    EXPECT_EQ(1, a.result);
    EXPECT_EQ("SET", a.token);
    EXPECT_EQ(8u, a.consumed);  // two spaces, three letters, three spaces
    Taken b = Take(cursor);
    EXPECT_EQ("UARTBAUDRATE", b.token);
    EXPECT_EQ(13u, b.consumed);
    Taken c = Take(cursor);
    EXPECT_EQ("9600", c.token);
    EXPECT_EQ(4u, c.consumed);
    EXPECT_EQ("\r\n", c.rest);
    // At the CR LF: an empty token, nothing consumed, still success.
    Taken d = Take(cursor);
    EXPECT_EQ(1, d.result);
    EXPECT_EQ("", d.token);
    EXPECT_EQ(0u, d.consumed);
    EXPECT_EQ("\r\n", d.rest);
}

TEST(PareCommandString, OnlyASpaceSeparatesAndOnlyCrLfEnds)
{
    const char* cursor = "a\tb c\rd e\nf g\r\nh";
    EXPECT_EQ("a\tb", Take(cursor).token);
    EXPECT_EQ("c\rd", Take(cursor).token);
    EXPECT_EQ("e\nf", Take(cursor).token);
    Taken g = Take(cursor);
    EXPECT_EQ("g", g.token);
    EXPECT_EQ("\r\nh", g.rest);
}

TEST(PareCommandString, EmptyTextAndNullCursor)
{
    const char* cursor = "";
    Taken empty = Take(cursor);
    EXPECT_EQ(1, empty.result);
    EXPECT_EQ("", empty.token);
    EXPECT_EQ(0u, empty.consumed);

    const char* none = nullptr;
    char token[QUOR_TOKEN_SIZE];
    uint32_t consumed = 7;
    EXPECT_EQ(0, PareCommandString(&none, token, &consumed));
    EXPECT_EQ(0u, consumed);
    EXPECT_EQ(0, PareCommandString(nullptr, token, &consumed));
}

TEST(PareCommandString, LongWordIsCutAt31ButConsumedWhole)
{
    for (size_t length : {30u, 31u, 32u, 100u, 2000u}) {
        std::string word(length, 'W');
        word[length - 1] = 'Z';
        std::string text = word + "  NEXT";
        const char* cursor = text.c_str();
        Taken first = Take(cursor);
        EXPECT_EQ(std::string(word, 0, length < 31 ? length : 31), first.token) << length;
        EXPECT_EQ(length + 2, first.consumed) << length;
        EXPECT_EQ("NEXT", first.rest) << length;
        EXPECT_EQ("NEXT", Take(cursor).token) << length;
    }
}

std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

TEST(HexToStr, OneByteForEachPiece)
{
    EXPECT_EQ(Bytes({0x00, 0xFF, 0x1F, 0x00}), HexToStr("00 FF 0x1f zz"));
    EXPECT_EQ(Bytes({0x02, 0x00, 0x03}), HexToStr("02   00 03"));
    EXPECT_EQ(Bytes({0x41, 0x42}), HexToStr("  41 42  "));
    // Leading digits of a piece count; a piece without any gives 0.
    EXPECT_EQ(Bytes({0x42, 0x0A, 0x00, 0x00}), HexToStr("42\r\n 0Ag 0x -1"));
    EXPECT_EQ(Bytes({0xFF, 0x34, 0xAB}), HexToStr("1FF 1234 0XaB"));
    EXPECT_EQ("", HexToStr(""));
    EXPECT_EQ("", HexToStr("   "));
    EXPECT_EQ("", HexToStr(nullptr));
}

TEST(HexToStr, ReadsAtMostTheFirst3072Characters)
{
    std::string text;
    while (text.size() < 3072)
        text += "7 ";
    text.resize(3072);
    std::string beyond = text + "1 2 3";
    EXPECT_EQ(1536u, HexToStr(text.c_str()).size());
    EXPECT_EQ(HexToStr(text.c_str()), HexToStr(beyond.c_str()));
}

TEST(ModulInfoRecord, DefaultsAndBoundedCopies)
{
    T_QuorModulInfo record;
    EXPECT_STREQ("0", record.SequenceNumber);
    EXPECT_STREQ("0", record.Updatestatus_MCU);
    EXPECT_STREQ("0", record.Updatestatus_ARM);
    EXPECT_STREQ("", record.Ip);
    EXPECT_STREQ("", record.AutoSW);

    std::string longText(600, 'a');
    QuorCopyField(record.Ip, longText.c_str());
    EXPECT_EQ(std::string(31, 'a'), record.Ip);
    QuorCopyField(record.cAlias, longText.c_str());
    EXPECT_EQ(std::string(127, 'a'), record.cAlias);
    QuorCopyField(record.EDIDQueyReq, longText.c_str());
    EXPECT_EQ(std::string(511, 'a'), record.EDIDQueyReq);
    QuorCopyField(record.Ip, nullptr);
    EXPECT_STREQ("", record.Ip);
}

TEST(ModulInfoList, ActsOnOwnRecordsOnly)
{
    CQuorVelmarModulInfoList list;
    EXPECT_EQ(0u, list.SetOwnField(&T_QuorModulInfo::Ip, "10.0.0.1"));
    char out[32] = "unchanged";
    EXPECT_FALSE(list.GetOwnField(&T_QuorModulInfo::Ip, out));
    EXPECT_STREQ("", out);

    T_QuorModulInfo other;
    QuorCopyField(other.cModulName, "QuorOther");
    list.Append(other);
    T_QuorModulInfo own;
    QuorCopyField(own.cModulName, "quorvelmarX");  // the first ten letters, any case
    list.Append(own);
    EXPECT_EQ(1u, list.SetOwnField(&T_QuorModulInfo::Ip, "10.0.0.1"));
    EXPECT_TRUE(list.GetOwnField(&T_QuorModulInfo::Ip, out));
    EXPECT_STREQ("10.0.0.1", out);

    // A short output buffer gets the beginning, terminated.
    char small[4];
    EXPECT_TRUE(list.GetOwnField(&T_QuorModulInfo::Ip, small));
    EXPECT_STREQ("10.", small);
    T_QuorModulInfo copy;
    EXPECT_TRUE(list.CopyOwn(&copy));
    EXPECT_STREQ("quorvelmarX", copy.cModulName);
    EXPECT_EQ(2u, list.Size());
}

}  // namespace
