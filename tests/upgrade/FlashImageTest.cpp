// The HEX image conversion: placement, 0xFF fill, letter case, the checks
// that reject a file (with the previous image kept), the file size limits.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "QuorUpgradeFlashImage.h"
#include "SimHexImage.h"

namespace {

std::string Image()
{
    return std::string(reinterpret_cast<const char*>(g_FlashBuf), sizeof(g_FlashBuf));
}

// Converts from a heap copy of exactly the text's length, so that a read
// past it is caught by the address sanitizer.
int Convert(const std::string& text)
{
    std::vector<char> exact(text.begin(), text.end());
    return TransformDataOfFile(exact.empty() ? "" : exact.data(), (int)exact.size());
}

const std::string kEnd = SimHexRecord(0, 1, "");

TEST(FlashImage, PlacesRecordsAcrossPagesAndFillsTheRestWithFF)
{
    const std::string a(16, 'a'), b(16, 'b');
    ASSERT_EQ(0, Convert(SimHexRecord(0x01F8, 0, a) + "\n\n" + SimHexRecord(0x3FF0, 0, b) + kEnd));
    std::string image = Image();
    EXPECT_EQ(a, image.substr(0x01F8, 16));  // 0x01F8 to 0x0207
    EXPECT_EQ(b, image.substr(0x3FF0, 16));
    image.replace(0x01F8, 16, 16, '\xFF');
    image.replace(0x3FF0, 16, 16, '\xFF');
    EXPECT_EQ(std::string(0x10000, '\xFF'), image);
    EXPECT_EQ(0x3Fu, g_row.load());
}

TEST(FlashImage, LowerAndUpperCaseGiveTheSameImage)
{
    SimFlashImage source;
    source.FillPages(0x00, 0x30, 5);
    ASSERT_EQ(0, Convert(SimHexOfImage(source, 16, true)));
    EXPECT_TRUE(Image() == source.bytes);
    ASSERT_EQ(0, Convert(SimHexOfImage(source, 32, false)));
    EXPECT_TRUE(Image() == source.bytes);
    EXPECT_EQ(0x30u, g_row.load());
}

struct BadFile {
    const char* name;
    std::string text;
};

std::string WithWrongChecksum()
{
    std::string record = SimHexRecord(0x0100, 0, "12345678");
    record[record.size() - 3] = record[record.size() - 3] == '0' ? '1' : '0';
    return record + kEnd;
}

TEST(FlashImage, BadFilesAreRejectedAndTheImageKept)
{
    const std::string data(16, 'x');
    const std::string good = SimHexRecord(0x0100, 0, data);
    const BadFile kBad[] = {
        {"wrong checksum", WithWrongChecksum()},
        {"no end record", good},
        {"nothing at or above 0x100", SimHexRecord(0x0010, 0, data) + kEnd},
        {"data past 0x10000", SimHexRecord(0xFFF8, 0, data) + kEnd},
        {"cut in the data", good + kEnd + good.substr(0, 20)},
        {"cut in the head", good + kEnd + ":1001"},
        {"empty", ""},
        // Records are read strictly, line by line.
        {"count larger than the line", ":20" + good.substr(3) + kEnd},
        {"digits after the checksum", good.substr(0, good.size() - 2) + "00\r\n" + kEnd},
        {"odd digit count", good.substr(0, good.size() - 3) + "\r\n" + kEnd},
        {"1G read as a byte", SimHexRecord(0x0100, 0, std::string(4, '\0')).replace(9, 2, "1G") + kEnd},
        {"CR alone", good.substr(0, good.size() - 1) + kEnd},
        {"a line that is no record", "x\n" + good + kEnd},
        {"end record with data", good + SimHexRecord(0, 1, "a")},
        // Only data records before the end record count.
        {"data after the end record", good + kEnd + good},
        {"only an end record at page 1", ":00010001FE\r\n"},
        {"empty data record at page 1", SimHexRecord(0x0100, 0, "") + kEnd},
        {"end record first", kEnd + good},
    };
    SimFlashImage previous;
    previous.FillPages(0x00, 0xFF, 9);
    for (const BadFile& bad : kBad) {
        ASSERT_EQ(0, Convert(SimHexOfImage(previous, 64)));
        EXPECT_EQ(-1, Convert(bad.text)) << bad.name;
        EXPECT_TRUE(Image() == previous.bytes) << bad.name;
    }
    EXPECT_EQ(-1, TransformDataOfFile(nullptr, 10));
    EXPECT_EQ(-1, TransformDataOfFile(g_Filebuf, QUOR_UPGRADE_FILE_MAX + 1));
}

TEST(FlashImage, BankFilesUpToTheBufferSizeAreRead)
{
    char path[] = "/tmp/velmar-hexfile-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    SimFlashImage source;
    source.FillPages(0x10, 0x1F, 3);
    // The end record's last digit is the file's last byte: no terminator.
    std::string text = SimHexOfImage(source);
    text = std::string(QUOR_UPGRADE_FILE_MAX - text.size() + 2, '\n') + text.substr(0, text.size() - 2);
    ASSERT_EQ((ssize_t)text.size(), write(fd, text.data(), text.size()));
    EXPECT_EQ(0, QuorReadUpgradeFile(path));
    EXPECT_TRUE(Image() == source.bytes);
    ASSERT_EQ(1, write(fd, "\n", 1));  // one byte more than the buffer
    EXPECT_EQ(-2, QuorReadUpgradeFile(path));
    close(fd);
    unlink(path);
    EXPECT_EQ(-2, QuorReadUpgradeFile(path));
}

TEST(FlashImage, BlocksAreTwoPagesAndDigitsConvert)
{
    SimFlashImage source;
    source.FillPages(0x00, 0xFF, 4);
    ASSERT_EQ(0, Convert(SimHexOfImage(source, 255)));
    unsigned char block[QUOR_FLASH_BLOCK_SIZE];
    ASSERT_EQ(0, Get512BytesFlashData(block, 4));
    EXPECT_TRUE(std::string(reinterpret_cast<char*>(block), sizeof(block)) == source.bytes.substr(0x400, 0x200));
    ASSERT_EQ(0, Get512BytesFlashData(block, 0xFE));
    EXPECT_EQ(-2, Get512BytesFlashData(block, 0xFF));

    EXPECT_EQ(0xA5, ASCIIToHEX('a', '5'));
    EXPECT_EQ(0xFE, ASCIIToHEX('F', 'e'));
    EXPECT_EQ(0, ASCIIToHEX('g', '1'));
    EXPECT_EQ(0, ASCIIToHEX('1', ' '));
    char text[] = " 1 2 ";
    fill0(text, 4);
    EXPECT_STREQ("0102 ", text);
}

}  // namespace
