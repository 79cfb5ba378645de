// Programs three full flash banks into the simulated MCU, whose boot loader
// takes the bytes at the pace of a 57600 bit/s line, and sets the time next
// to the protocol's own floor: every pause and quiet time the programming
// protocol prescribes, plus every byte of both directions at the line speed.
// Prints figures, asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "SimText.h"

#include "UpgradeRig.h"

namespace {

const int kLineSpeed = 57600;

// Milliseconds of prescribed waiting for one upgrade of `blocks` blocks in
// three banks: 200 ms before the first answer, 10 ms after setting the line
// speed, 100 ms quiet after each of the five steps into the boot loader;
// per bank the bank choice (two steps of 10 ms); banks 0 and 1 end with one
// more page choice (10 ms); per block the page choice and its answer (2 x
// 10 ms), 0x86 (5 ms and 10 ms), the block (20 + 50 ms, then 33 ms), the
// acknowledgement (33 ms), 0x85 (50 ms, then 33 ms; 10 ms for the first two
// blocks) and the next page (33 ms); 50 ms before the line goes back.
double PrescribedMs(unsigned blocks)
{
    const double start = 200 + 10 + 5 * 100, perBank = 2 * 10, bankEnds = 2 * 10, end = 50;
    const double perBlock = 2 * 10 + (5 + 10) + (20 + 50 + 33) + 33 + (50 + 33) + 33;
    return start + 3 * perBank + bankEnds + blocks * perBlock - 2 * (33 - 10) + end;
}

double LineMs(unsigned long long bytes)
{
    return bytes * 10 * 1000.0 / kLineSpeed;
}

}  // namespace

int main()
{
    UpgradeRig* rig = UpgradeRig::Instance();
    if (rig == nullptr)
        return 1;
    SimFlashImage images[3];
    images[0].FillPages(0x00, 0xFF, 1);
    images[1].FillPages(0x80, 0xFF, 2);
    images[2].FillPages(0x80, 0xFF, 3);
    const std::string banks[3] = {SimHexOfImage(images[0], 32), SimHexOfImage(images[1], 32),
                                  SimHexOfImage(images[2], 32)};
    if (!rig->WriteBanks("BENCH", banks))
        return 1;
    rig->Mcu().FlashLoader().SetLineSpeed(kLineSpeed);
    rig->Mcu().ClearRecords();

    auto started = std::chrono::steady_clock::now();
    if (!rig->StartUpgrade("BENCH") || !rig->WaitDone(600000))
        return 1;
    int64_t doneMs = SimNowMs();
    double totalMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    // From the first byte on the line: without the task's once-a-second poll.
    std::vector<SimChunk> chunks = rig->Mcu().Chunks();
    double lineStartMs = chunks.empty() ? 0 : (double)(doneMs - chunks.front().atMs);

    unsigned blocks = (unsigned)rig->Mcu().FlashLoader().Blocks().size();
    unsigned long long toMcu = rig->Mcu().ReceivedByteCount(), fromMcu = 0;
    for (const SimWrite& write : rig->Mcu().Writes())
        fromMcu += write.bytes.size();
    double floorMs = PrescribedMs(blocks) + LineMs(toMcu + fromMcu);
    printf("status %s, %u blocks in three banks, %llu bytes to the MCU, %llu bytes back\n",
           rig->UpdateStatus().c_str(), blocks, toMcu, fromMcu);
    printf("prescribed pauses and quiet times: %.0f ms; bytes at %d bit/s: %.0f ms; floor %.0f ms\n",
           PrescribedMs(blocks), kLineSpeed, LineMs(toMcu + fromMcu), floorMs);
    // The pauses after a block run while its bytes are still on the line.
    double overlapMs = blocks * std::min(20.0 + 50.0, LineMs(512));
    printf("programming from the start request: %.0f ms (ratio %.3f)\n", totalMs, totalMs / floorMs);
    printf("programming from the first byte on the line: %.0f ms (ratio %.3f; %.3f to the floor less the "
           "%.0f ms of pauses that overlap a block's line time)\n",
           lineStartMs, lineStartMs / floorMs, lineStartMs / (floorMs - overlapMs), overlapMs);
    rig->Finish(false);
    return 0;
}
