// Escaping, hexadecimal bytes, words, line framing and the traffic log.
#include <gtest/gtest.h>

#include "SimLineFramer.h"
#include "SimTestSupport.h"
#include "SimText.h"
#include "SimTrafficLog.h"

namespace {

TEST(SimTextTest, EscapingRoundTripsEveryByte)
{
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    std::string escaped = SimEscapeBytes(all);
    for (unsigned char c : escaped)
        EXPECT_TRUE(c >= 0x20 && c < 0x7f);
    std::string back;
    ASSERT_TRUE(SimUnescapeBytes(escaped, &back));
    EXPECT_EQ(all, back);
    EXPECT_EQ("GET ORDER\\r\\n", SimEscapeBytes("GET ORDER\r\n"));
    EXPECT_EQ("\\x00\\xFF\\\\", SimEscapeBytes(std::string("\0\xff\\", 3)));
    ASSERT_TRUE(SimUnescapeBytes("a\\0b\\x41\\t", &back));
    EXPECT_EQ(std::string("a\0bA\t", 5), back);
    for (const char* bad : {"\\", "\\q", "\\x", "\\x4", "\\xg1", "ab\\x1"})
        EXPECT_FALSE(SimUnescapeBytes(bad, &back)) << bad;
}

TEST(SimTextTest, HexadecimalBytesAndWords)
{
    std::string bytes;
    ASSERT_TRUE(SimParseHexBytes("02  00 0xff 3", &bytes));
    EXPECT_EQ(std::string("\x02\x00\xff\x03", 4), bytes);
    ASSERT_TRUE(SimParseHexBytes("", &bytes));
    EXPECT_TRUE(bytes.empty());
    for (const char* bad : {"zz", "100", "0x", "1 2 x"})
        EXPECT_FALSE(SimParseHexBytes(bad, &bytes)) << bad;
    EXPECT_EQ("00 01 1F FF", SimHexBytes(std::string("\x00\x01\x1f\xff", 4)));

    EXPECT_EQ((std::vector<std::string>{"SET", "SUBGROUP", "self", "on"}),
              SimSplitWords("  SET SUBGROUP  self on "));
    EXPECT_TRUE(SimSplitWords("   ").empty());
    EXPECT_EQ((std::vector<std::string>{"a", "", "b c"}), SimSplitOn("a||||b c", "||"));
    EXPECT_EQ((std::vector<std::string>{"AB", "C\\r\\n"}), SimSplitOn("AB|C\\r\\n", "|"));
    EXPECT_EQ(std::vector<std::string>{""}, SimSplitOn("", "|"));
    EXPECT_EQ("self on", SimJoinWords({"SET", "SUBGROUP", "self", "on"}, 2));
    EXPECT_EQ("", SimJoinWords({"SET"}, 2));
    EXPECT_TRUE(SimEqualsNoCase("uartauto_onoff", "UARTAUTO_ONOFF"));
    EXPECT_FALSE(SimEqualsNoCase("ORDER", "ORDERX"));
    EXPECT_EQ("a b", SimTrim(" \t a b\r\n"));
    int value = -1;
    EXPECT_TRUE(SimParseCount("0", &value));
    EXPECT_EQ(0, value);
    EXPECT_TRUE(SimParseCount("250", &value));
    EXPECT_EQ(250, value);
    for (const char* bad : {"", "-1", "1x", "1234567890"})
        EXPECT_FALSE(SimParseCount(bad, &value)) << bad;
}

TEST(SimLineFramerTest, CutsAtCrLfAcrossPushesAndBoundsTheRest)
{
    SimLineFramer framer(8);
    std::vector<std::string> lines;
    framer.Push("VER 1.0\r\nORD", 12, &lines);
    EXPECT_EQ(std::vector<std::string>{"VER 1.0"}, lines);
    EXPECT_EQ("ORD", framer.Pending());
    framer.Push("ER 3\r", 5, &lines);
    EXPECT_EQ(1u, lines.size());
    framer.Push("\n\r\n\rX\r\n", 7, &lines);
    EXPECT_EQ((std::vector<std::string>{"VER 1.0", "ORDER 3", "", "\rX"}), lines);
    EXPECT_EQ("", framer.Pending());

    lines.clear();
    framer.Push("0123456789AB", 12, &lines);
    EXPECT_EQ(std::vector<std::string>{"01234567"}, lines);
    EXPECT_EQ("89AB", framer.Pending());
    framer.Clear();
    EXPECT_EQ("", framer.Pending());
}

TEST(SimTrafficLogTest, WritesStampedEntries)
{
    ScratchDir dir;
    SimTrafficLog log;
    ASSERT_EQ(0, log.Open(dir / "t.log"));
    log.Line("daemon->mcu", "GET ORDER");
    log.Bytes("mcu->daemon", "A\r\nB\r\nC");
    log.Note("silent on \\r");
    log.Note(std::string("bad\x01", 4));
    log.Close();
    log.Line("daemon->mcu", "after close");
    std::string text = test_files::ReadText(dir / "t.log");
    std::vector<std::string> entries;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        entries.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_EQ(6u, entries.size()) << text;
    const char* rests[] = {"daemon->mcu GET ORDER", "mcu->daemon A", "mcu->daemon B",
                           "mcu->daemon C [no CR LF]", "# silent on \\r", "# bad\\x01"};
    for (size_t i = 0; i < 6; ++i) {
        // "HH:MM:SS.mmm " then the entry.
        ASSERT_GT(entries[i].size(), 13u);
        EXPECT_EQ(':', entries[i][2]);
        EXPECT_EQ('.', entries[i][8]);
        EXPECT_EQ(rests[i], entries[i].substr(13));
    }
    EXPECT_LT(log.Open(dir / "no/such/dir/t.log"), 0);
}

} // namespace
