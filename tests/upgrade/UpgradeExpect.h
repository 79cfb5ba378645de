// What the simulated MCU must have received from one upgrade: the (bank,
// page) order of the blocks and their bytes, taken from the bank images.
#ifndef UPGRADE_EXPECT_H
#define UPGRADE_EXPECT_H

#include <gtest/gtest.h>

#include <vector>

#include "SimFlashLoader.h"
#include "SimHexImage.h"

// The pages a bank sends: bank 0 from 0x00 (0x70 to 0x7F skipped), banks 1
// and 2 from 0x80, up to 0xFE; bank 2 up to lastBankTwoPage.
inline std::vector<unsigned> BankPages(unsigned bank, unsigned lastBankTwoPage = 0xFE)
{
    std::vector<unsigned> pages;
    unsigned last = bank == 2 ? lastBankTwoPage : 0xFE;
    for (unsigned page = bank == 0 ? 0 : 0x80; page <= last; page += 2) {
        if (page < 0x70 || page >= 0x80)
            pages.push_back(page);
    }
    return pages;
}

// The blocks equal the images, bank by bank and page for page.
inline void ExpectBlocks(const std::vector<SimFlashBlock>& blocks, const SimFlashImage (&images)[3],
                         unsigned lastBankTwoPage)
{
    size_t at = 0;
    for (unsigned bank = 0; bank < 3; ++bank) {
        for (unsigned page : BankPages(bank, lastBankTwoPage)) {
            ASSERT_LT(at, blocks.size()) << "bank " << bank << " page " << page << " never written";
            EXPECT_EQ(bank, blocks[at].bank);
            ASSERT_EQ(page, blocks[at].page) << "block " << at;
            EXPECT_TRUE(blocks[at].bytes == images[bank].Block(page)) << "bank " << bank << " page " << page;
            ++at;
        }
    }
    EXPECT_EQ(at, blocks.size());
}

#endif
