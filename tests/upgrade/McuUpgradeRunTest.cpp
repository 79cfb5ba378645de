// A whole MCU upgrade on the simulated board: three banks programmed page for
// page, the exact bytes on the line, the update status, the pages holding
// data that the protocol does not send named in the upgrade's notice, and
// the MCU line handed back to the MCU serial task.
#include <gtest/gtest.h>

#include "QuorUpgradeTRM40Task.h"
#include "UpgradeExpect.h"
#include "UpgradeRig.h"

namespace {

std::string Bytes(std::initializer_list<unsigned char> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

TEST(McuUpgradeRun, ThreeBanksArrivePageForPageAndTheLineComesBack)
{
    UpgradeRig& rig = *UpgradeRig::Instance();
    SimFlashImage images[3];
    images[0].FillPages(0x00, 0xFF, 1);  // pages 0x70 to 0x7F hold data that is never sent
    images[1].FillPages(0x80, 0xFF, 2);
    images[1].FillPages(0x10, 0x11, 4);  // below 0x80: never sent
    images[2].FillPages(0x80, 0x87, 3);  // bank 2 ends after the block at 0x86
    images[2].FillPages(0xA0, 0xA0, 5);  // ... so this page is never sent
    const std::string banks[3] = {SimHexOfImage(images[0], 32, true), SimHexOfImage(images[1]),
                                  SimHexOfImage(images[2], 255)};
    ASSERT_TRUE(rig.WriteBanks("TRM40_V2", banks));
    rig.Mcu().FlashLoader().SetFaults(SimFlashFaults());
    rig.Mcu().ClearRecords();

    ASSERT_TRUE(rig.StartUpgrade("TRM40_V2"));
    EXPECT_EQ("1", rig.UpdateStatus());
    EXPECT_FALSE(rig.StartUpgrade("TRM40_V2"));  // one at a time
    ASSERT_TRUE(rig.WaitDone(300000));
    EXPECT_EQ("0", rig.UpdateStatus());
    ExpectBlocks(rig.Mcu().FlashLoader().Blocks(), images, 0x86);
    char notice[QUOR_MCU_NOTICE_SIZE];
    QuorGetMcuUpgradeNotice(notice, sizeof(notice));
    EXPECT_STREQ("Bank <0> pages <0x70> to <0x7F> hold data that is not sent. "
                 "Bank <1> pages <0x10> to <0x11> hold data that is not sent. "
                 "Bank <2> pages <0xA0> to <0xA0> hold data that is not sent.",
                 notice);

    // The first block, byte for byte, and the start of the second; bank 1
    // chosen right after bank 0's last block.
    std::string received = rig.Mcu().ReceivedBytes();
    std::string first = "UPG\r\n" + Bytes({0x81, 0x87, 0x83, 0x00, 0x84, 0x00, 0x00, 0x86}) + images[0].Block(0) +
                        Bytes({0x85, 0x84, 0x02, 0x00});
    EXPECT_TRUE(received.compare(0, first.size(), first) == 0);
    EXPECT_NE(std::string::npos, received.find(images[0].Block(0xFE) + Bytes({0x85, 0x83, 0x01, 0x84, 0x80, 0x00})));
    EXPECT_EQ(1, rig.Mcu().FlashLoader().Entries());

    EXPECT_TRUE(rig.McuLineWorks(10000));
}

}  // namespace
