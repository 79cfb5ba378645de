// MCU upgrades against a faulty boot loader: every fault, in bank 0 or in
// bank 2, ends with update status "99" and the MCU line handed back, and the
// next upgrade starts again at bank 0, page 0.
#include <gtest/gtest.h>

#include <cstdio>

#include "QuorUpgradeTRM40Task.h"
#include "QuorVelmarUartTask.h"
#include "UpgradeRig.h"

namespace {

struct FaultCase {
    const char* name;
    SimFlashFaults faults;
    int blocksWritten;  // by the failed upgrade (-1: any number)
};

SimFlashFaults Faults(const std::function<void(SimFlashFaults&)>& change)
{
    SimFlashFaults faults;
    change(faults);
    return faults;
}

class McuUpgradeFault : public ::testing::TestWithParam<FaultCase> {
protected:
    void SetUp() override
    {
        SimFlashImage image;
        image.FillPages(0x00, 0xFF, 7);
        const std::string bank = SimHexOfImage(image, 32);
        const std::string banks[3] = {bank, bank, bank};
        ASSERT_TRUE(rig.WriteBanks("FAULT", banks));
    }

    // One upgrade with these faults: it fails, the line comes back.
    void RunFailing(const SimFlashFaults& faults)
    {
        rig.Mcu().FlashLoader().SetFaults(faults);
        rig.Mcu().FlashLoader().ClearRecords();
        ASSERT_TRUE(rig.StartUpgrade("FAULT"));
        ASSERT_TRUE(rig.WaitDone(120000));
        EXPECT_EQ("99", rig.UpdateStatus());
        EXPECT_EQ(0, g_UpgradeTRM40Task->Protocol().m_Uartfd);
        EXPECT_TRUE(rig.McuLineWorks(30000));  // late split answers may still be queued
    }

    UpgradeRig& rig = *UpgradeRig::Instance();
};

TEST_P(McuUpgradeFault, EndsWith99AndTheNextUpgradeStartsAtBankZero)
{
    RunFailing(GetParam().faults);
    if (GetParam().blocksWritten >= 0) {
        EXPECT_EQ((size_t)GetParam().blocksWritten, rig.Mcu().FlashLoader().Blocks().size());
    }

    // The second upgrade writes bank 0, page 0 again (and fails at once).
    RunFailing(Faults([](SimFlashFaults& f) { f.noAckBlock = 0; }));
    std::vector<SimFlashBlock> blocks = rig.Mcu().FlashLoader().Blocks();
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ(0u, blocks[0].bank);
    EXPECT_EQ(0u, blocks[0].page);
}

// A split answer: the first byte at once, the rest later than six retries of
// the acknowledgement wait; where the upgrade stops depends on the timing.
const FaultCase kFaults[] = {
    {"NoAnswer", Faults([](SimFlashFaults& f) { f.silent = true; }), 0},
    {"NoAckOnBlockThree", Faults([](SimFlashFaults& f) { f.noAckBlock = 3; }), 4},
    {"WrongAddressAnswer", Faults([](SimFlashFaults& f) { f.wrongAddrAnswer = true; }), 0},
    {"SplitAnswers", Faults([](SimFlashFaults& f) { f.splitGapMs = 400; }), -1},
};

INSTANTIATE_TEST_SUITE_P(Loader, McuUpgradeFault, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// Banks 0 and 1 complete, the first block of bank 2 unacknowledged: a
// failure, never reported as success.
TEST_F(McuUpgradeFault, FailureInBankTwoIs99)
{
    const size_t blocksBeforeBankTwo = 120 + 64;
    RunFailing(Faults([](SimFlashFaults& f) { f.noAckBlock = 120 + 64; }));
    std::vector<SimFlashBlock> blocks = rig.Mcu().FlashLoader().Blocks();
    ASSERT_EQ(blocksBeforeBankTwo + 1, blocks.size());
    EXPECT_EQ(1u, blocks[blocksBeforeBankTwo - 1].bank);
    EXPECT_EQ(2u, blocks.back().bank);
    EXPECT_EQ(0x80u, blocks.back().page);
}

TEST(McuUpgradeFiles, MissingFirstBankFailsAtOnce)
{
    UpgradeRig& rig = *UpgradeRig::Instance();
    const std::string banks[3] = {"", "", ""};
    ASSERT_TRUE(rig.WriteBanks("MISSING", banks));
    rig.Mcu().FlashLoader().ClearRecords();
    ASSERT_TRUE(rig.StartUpgrade("MISSING"));
    ASSERT_TRUE(rig.WaitDone(30000));
    EXPECT_EQ("99", rig.UpdateStatus());
    EXPECT_EQ(0, rig.Mcu().FlashLoader().Entries());
    EXPECT_TRUE(rig.McuLineWorks(10000));
}

TEST(McuUpgradeFiles, LineThatCannotBeOpenedFailsAtOnce)
{
    UpgradeRig& rig = *UpgradeRig::Instance();
    const std::string link = rig.Root() + "/dev/ttyS1", aside = link + ".aside";
    ASSERT_EQ(0, rename(link.c_str(), aside.c_str()));
    rig.Mcu().FlashLoader().ClearRecords();
    bool started = rig.StartUpgrade("FAULT");
    bool done = started && rig.WaitDone(30000);
    ASSERT_EQ(0, rename(aside.c_str(), link.c_str()));
    ASSERT_TRUE(done);
    EXPECT_EQ("99", rig.UpdateStatus());
    EXPECT_EQ(0, rig.Mcu().FlashLoader().Entries());
    // The hand-back found no line either; give it the line again.
    EXPECT_EQ(0, g_pVelmarUartTask->AllowOpenUartOne(1));
    EXPECT_TRUE(rig.McuLineWorks(10000));
}

}  // namespace
