// Hexadecimal dumps into the log: the byte format, the 4095-character bound
// and the level rule.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "NetHelpersTestSupport.h"
#include "QuorVelmarFunction.h"

using net_test::LogSince;

namespace {

std::vector<unsigned char> Counting(size_t n)
{
    std::vector<unsigned char> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>(i);
    return bytes;
}

TEST(MemDumpTest, ShowsAtMost1365BytesIn4095Characters)
{
    std::vector<unsigned char> bytes = Counting(2000);
    char text[QUOR_MEM_DUMP_TEXT_SIZE];
    memset(text, 'z', sizeof(text));
    ASSERT_EQ(FormatMemDump(bytes.data(), 2000, text, sizeof(text)), 4095u);
    EXPECT_EQ(text[4095], '\0');
    // Byte i at 3 * i, as two upper-case digits and a blank; the last is byte 1364.
    for (size_t i = 0; i < 1365; ++i) {
        char expected[4];
        snprintf(expected, sizeof(expected), "%02X ", static_cast<unsigned>(i & 0xFF));
        ASSERT_EQ(std::string(text + 3 * i, 3), expected) << "byte " << i;
    }
    EXPECT_EQ(std::string(text + 3 * 0xAB, 3), "AB ");

    // 1365 bytes fill the text exactly; 1364 leave room.
    EXPECT_EQ(FormatMemDump(bytes.data(), 1365, text, sizeof(text)), 4095u);
    EXPECT_EQ(FormatMemDump(bytes.data(), 1364, text, sizeof(text)), 4092u);
}

TEST(MemDumpTest, SmallTextsStopBeforeTheirLastByte)
{
    std::vector<unsigned char> bytes = Counting(4);
    char text[7];
    EXPECT_EQ(FormatMemDump(bytes.data(), 4, text, 7), 6u);
    EXPECT_STREQ(text, "00 01 ");
    EXPECT_EQ(FormatMemDump(bytes.data(), 4, text, 6), 3u);
    EXPECT_STREQ(text, "00 ");
    EXPECT_EQ(FormatMemDump(bytes.data(), 4, text, 3), 0u);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(FormatMemDump(nullptr, 4, text, sizeof(text)), 0u);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(FormatMemDump(bytes.data(), 4, nullptr, 7), 0u);
}

TEST(MemDumpTest, LogsTheTextLengthNotTheByteCount)
{
    std::vector<unsigned char> bytes = Counting(2000);
    LogSince log;
    EXPECT_EQ(print_mem(20000, bytes.data(), 2000), 0);
    EXPECT_TRUE(log.Has(" [20000]: ===Memory<len=\"4095\"> is <00 01 02 03 04 05 06 07 08 09 0A 0B ")) << log.Text();

    LogSince small;
    const unsigned char two[] = {0x00, 0xAB};
    EXPECT_EQ(print_mem(30000, two, 2), 0);
    EXPECT_TRUE(small.Has(" [30000]: ===Memory<len=\"6\"> is <00 AB > --")) << small.Text();

    LogSince empty;
    EXPECT_EQ(print_mem(20000, two, 0), 0);
    EXPECT_TRUE(empty.Has("===Memory<len=\"0\"> is <> --")) << empty.Text();
}

TEST(MemDumpTest, LevelsBelow20000LogNothing)
{
    const unsigned char two[] = {0x01, 0x02};
    LogSince log;
    EXPECT_EQ(print_mem(10000, two, 2), -1);
    EXPECT_EQ(print_mem(19999, two, 2), -1);
    EXPECT_EQ(print_mem(20000, nullptr, 2), -2);
    EXPECT_EQ(log.Text(), "");
}

} // namespace
