// The conversion against srec_cat: HEX files that srec_cat makes from random
// binaries (with holes, varied record lengths) convert into the image that
// srec_cat itself reads back from them, 0xFF where no record covers.
#include <gtest/gtest.h>

#include "BoardRootFixture.h"
#include "QuorUpgradeFlashImage.h"

namespace {

using board_test::RunProcess;

std::string Hex(unsigned value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

TEST(SrecCompare, ImagesEqualSrecCatsOwn)
{
    if (!RunProcess({"srec_cat", "-version"}).Exited(0))
        board_test::SkipTest("srec_cat (Debian srecord) is not installed");
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
