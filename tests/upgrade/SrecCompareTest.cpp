// The conversion against srec_cat: HEX files that srec_cat makes from random
// binaries (with holes, varied record lengths) convert into the image that
// srec_cat itself reads back from them, 0xFF where no record covers; and on
// a set of good and malformed files both accept and refuse the same ones,
// except data after the end record, which srec_cat ignores and the
// converter refuses.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "BoardRootFixture.h"
#include "QuorUpgradeFlashImage.h"
#include "SimHexImage.h"

namespace {

using board_test::RunProcess;

std::string Hex(unsigned value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

void RequireSrecCat()
{
    if (!RunProcess({"srec_cat", "-version"}).Exited(0))
        board_test::SkipTest("srec_cat (Debian srecord) is not installed");
}

// A file's records, one a line, without line ends.
using Lines = std::vector<std::string>;

Lines SplitLines(const std::string& text)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string Join(const Lines& lines, const std::string& end, bool lastEnd = true)
{
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i)
        text += lines[i] + (i + 1 < lines.size() || lastEnd ? end : "");
    return text;
}

struct Mutation {
    const char* name;
    bool srecOnly;  // srec_cat accepts it, the converter refuses it
    std::function<std::string(Lines)> make;
};

// Line 1 is a data record of 16 bytes (38 characters).
const Mutation kMutations[] = {
    {"good, LF", false, [](Lines l) { return Join(l, "\n"); }},
    {"good, CR LF", false, [](Lines l) { return Join(l, "\r\n"); }},
    {"good, no line end at the end", false, [](Lines l) { return Join(l, "\n", false); }},
    {"good, empty lines", false, [](Lines l) { l.insert(l.begin() + 1, ""); return Join(l, "\n\n"); }},
    {"good, lower case", false,
     [](Lines l) {
         for (std::string& line : l)
             for (char& c : line)
                 c = (char)tolower((unsigned char)c);
         return Join(l, "\n");
     }},
    {"good, extended address 0", false, [](Lines l) { l.insert(l.begin(), ":020000040000FA"); return Join(l, "\n"); }},
    {"good, empty data record", false, [](Lines l) { l.insert(l.begin(), ":0001000000FF"); return Join(l, "\n"); }},
    {"wrong checksum", false, [](Lines l) { l[1].back() = l[1].back() == '0' ? '1' : '0'; return Join(l, "\n"); }},
    {"count larger than the line", false, [](Lines l) { l[1][1] = '2'; return Join(l, "\n"); }},
    {"digits after the checksum", false, [](Lines l) { l[1] += "00"; return Join(l, "\n"); }},
    {"odd digit count", false, [](Lines l) { l[1].pop_back(); return Join(l, "\n"); }},
    {"letter that is no digit", false, [](Lines l) { l[1][12] = 'G'; return Join(l, "\n"); }},
    {"CR alone", false, [](Lines l) { return l[0] + "\r" + Join(Lines(l.begin() + 1, l.end()), "\n"); }},
    {"blank after the checksum", false, [](Lines l) { l[1] += " "; return Join(l, "\n"); }},
    {"only a colon", false, [](Lines l) { l.insert(l.begin() + 1, ":"); return Join(l, "\n"); }},
    {"end record with data", false, [](Lines l) { l.back() = ":0100000100FE"; return Join(l, "\n"); }},
    {"cut record", false, [](Lines l) { l[1].resize(7); return Join(l, "\n"); }},
    {"data after the end record", true, [](Lines l) { l.push_back(l[1]); return Join(l, "\n"); }},
};

TEST(SrecCompare, SrecCatAcceptsAndRefusesTheSameFiles)
{
    RequireSrecCat();
    std::string dir = board_test::MakeTempDir("srec");
    ASSERT_FALSE(dir.empty());
    int files = 0;
    for (uint32_t seed = 1; files < 30; ++seed) {
        SimFlashImage image;
        image.FillPages(0x01 + seed, 0x03 + 2 * seed, seed);
        const Lines base = SplitLines(SimHexOfImage(image, 16));
        for (const Mutation& mutation : kMutations) {
            if (files++ == 30)
                break;
            const std::string text = mutation.make(base);
            ASSERT_TRUE(board_test::WriteText(dir + "/in.hex", text));
            bool srecValid = RunProcess({"srec_cat", dir + "/in.hex", "-intel", "-o", dir + "/out.bin", "-binary"})
                                 .Exited(0);
            std::vector<char> exact(text.begin(), text.end());
            bool ownValid = TransformDataOfFile(exact.data(), (int)exact.size()) == 0;
            EXPECT_EQ(srecValid && !mutation.srecOnly, ownValid) << mutation.name << ", seed " << seed;
            EXPECT_TRUE(srecValid || !mutation.srecOnly) << mutation.name;
        }
    }
    board_test::RemoveTree(dir);
}

TEST(SrecCompare, ImagesEqualSrecCatsOwn)
{
    RequireSrecCat();
    std::string dir = board_test::MakeTempDir("srec");
    ASSERT_FALSE(dir.empty());
    uint32_t state = 12345;
    auto next = [&state](uint32_t range) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % range;
    };
    for (int round = 0; round < 8; ++round) {
        std::string random(0x10000, '\0');
        for (char& c : random)
            c = (char)next(256);
        ASSERT_TRUE(board_test::WriteText(dir + "/in.bin", random));
        // Two covered ranges with a hole between, somewhere above 0x100.
        unsigned a = 0x100 + next(0x6000), b = a + 1 + next(0x3000), c = b + next(0x2000), d = c + 1 + next(0x10000 - c);
        ASSERT_TRUE(RunProcess({"srec_cat", dir + "/in.bin", "-binary", "-crop", Hex(a), Hex(b), Hex(c), Hex(d), "-o",
                                dir + "/in.hex", "-intel", "-obs=" + std::to_string(1 + next(64))})
                        .Exited(0));
        ASSERT_TRUE(RunProcess({"srec_cat", dir + "/in.hex", "-intel", "-fill", "0xFF", "0", "0x10000", "-o",
                                dir + "/out.bin", "-binary"})
                        .Exited(0));
        ASSERT_EQ(0, QuorReadUpgradeFile((dir + "/in.hex").c_str())) << "round " << round;
        std::string expected = board_test::ReadText(dir + "/out.bin");
        ASSERT_EQ(0x10000u, expected.size());
        EXPECT_TRUE(expected == std::string(reinterpret_cast<char*>(g_FlashBuf), 0x10000)) << "round " << round;
    }
    board_test::RemoveTree(dir);
}

}  // namespace
