// MCU upgrades against a line that never falls quiet: the simulated MCU
// starts sending a byte every 5 ms (or 60 ms) after 0x87, after the first block or at
// the switch to bank 1, and keeps on whatever the daemon does. Each upgrade
// ends with "99" well within 30 s of the chatter's start (asserted with a
// wide margin, the measured time printed), the MCU line answers text once
// the chatter stops, and the next upgrade starts again at bank 0, page 0.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "QuorUpgradeTRM40Task.h"
#include "SimText.h"
#include "UpgradeRig.h"

namespace {

struct ChatterCase {
    const char* name;
    SimFlashFaults::Chatter moment;
    int gapMs;      // 5: the answer buffer overflows; 60: the collection cap ends each answer
};

class McuUpgradeChatter : public ::testing::TestWithParam<ChatterCase> {
protected:
    void SetUp() override
    {
        SimFlashImage image;
        image.FillPages(0x00, 0xFF, 11);
        const std::string bank = SimHexOfImage(image, 64);
        const std::string banks[3] = {bank, bank, bank};
        ASSERT_TRUE(rig.WriteBanks("CHATTER", banks));
    }
    void TearDown() override { rig.Mcu().StopChatter(); }

    UpgradeRig& rig = *UpgradeRig::Instance();
};

TEST_P(McuUpgradeChatter, EndsWith99SoonAfterTheNoiseStarts)
{
    SimFlashFaults faults;
    faults.chatterAfter = GetParam().moment;
    faults.chatterGapMs = GetParam().gapMs;
    rig.Mcu().FlashLoader().SetFaults(faults);
    rig.Mcu().FlashLoader().ClearRecords();
    ASSERT_TRUE(rig.StartUpgrade("CHATTER"));
    ASSERT_TRUE(rig.WaitDone(240000));
    const int64_t endedMs = SimNowMs();
    EXPECT_EQ("99", rig.UpdateStatus());
    ASSERT_GT(rig.Mcu().ChatterStartedMs(), 0);
    const int64_t tookMs = endedMs - rig.Mcu().ChatterStartedMs();
    printf("chatter after %s, a byte every %d ms: \"99\" %lld ms after the chatter started\n", GetParam().name,
           GetParam().gapMs, (long long)tookMs);
    EXPECT_LT(tookMs, 60000);
    std::vector<SimFlashBlock> blocks = rig.Mcu().FlashLoader().Blocks();
    EXPECT_EQ(GetParam().moment == SimFlashFaults::kAfter87, blocks.empty());
    // The noise went on after the line was handed back.
    const uint64_t bytes = rig.Mcu().ChatterBytes();
    for (int64_t until = SimNowMs() + 10000; rig.Mcu().ChatterBytes() < bytes + 10 && SimNowMs() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(rig.Mcu().ChatterBytes(), bytes + 10);

    rig.Mcu().StopChatter();
    rig.Mcu().FlashLoader().SetFaults(SimFlashFaults());
    EXPECT_TRUE(rig.McuLineWorks(30000));

    // The next upgrade writes bank 0, page 0 first (and fails at once).
    SimFlashFaults noAck;
    noAck.noAckBlock = 0;
    rig.Mcu().FlashLoader().SetFaults(noAck);
    rig.Mcu().FlashLoader().ClearRecords();
    ASSERT_TRUE(rig.StartUpgrade("CHATTER"));
    ASSERT_TRUE(rig.WaitDone(120000));
    EXPECT_EQ("99", rig.UpdateStatus());
    blocks = rig.Mcu().FlashLoader().Blocks();
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ(0u, blocks[0].bank);
    EXPECT_EQ(0u, blocks[0].page);
    rig.Mcu().FlashLoader().SetFaults(SimFlashFaults());
    EXPECT_TRUE(rig.McuLineWorks(30000));
}

const ChatterCase kChatter[] = {
    {"0x87", SimFlashFaults::kAfter87, 5},
    {"0x87, slower", SimFlashFaults::kAfter87, 60},
    {"a block", SimFlashFaults::kAfterBlock, 5},
    {"the bank switch", SimFlashFaults::kAfterBankSwitch, 5},
};

INSTANTIATE_TEST_SUITE_P(Line, McuUpgradeChatter, ::testing::ValuesIn(kChatter),
                         [](const ::testing::TestParamInfo<ChatterCase>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c != '\0'; ++c) {
                                 if (isalnum((unsigned char)*c))
                                     name += *c;
                             }
                             return name;
                         });

}  // namespace
