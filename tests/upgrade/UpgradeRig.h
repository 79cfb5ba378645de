// The MCU programming on a simulated board, in one process: a board root
// (VELMAR_ROOT) with its log, the simulated MCU on <root>/dev/ttyS1, the MCU
// serial task on pool 3 (its lines reach a management task's queue, whose
// pool has no threads), the programming task on pool 9 and the module's own
// record. Shared by the upgrade tests and bench/mcu-program; one per process.
#ifndef UPGRADE_RIG_H
#define UPGRADE_RIG_H

#include <string>

#include "McuSimulator.h"
#include "SimHexImage.h"

class UpgradeRig {
public:
    // Lays everything out and starts it once; null (with the reason on
    // stderr) when that failed.
    static UpgradeRig* Instance();

    McuSimulator& Mcu() { return m_mcu; }
    const std::string& Root() const { return m_root; }

    // Writes <root>/Velmar/Upgrade/MCU/<name>.h00 .. .h02 (an empty text
    // leaves that bank's file out).
    bool WriteBanks(const std::string& name, const std::string (&banks)[3]);
    // Names /Velmar/Upgrade/MCU/<name> and starts the programming as the web
    // side does; false when it was refused.
    bool StartUpgrade(const std::string& name);
    // Waits until the programming has ended (b16UpTRM90 clear).
    bool WaitDone(int timeoutMs);
    std::string UpdateStatus() const;

    // The MCU serial task has its line again and a line from the MCU reaches
    // the management task's queue.
    bool McuLineWorks(int timeoutMs);

    // Stops the MCU serial line and the simulated MCU, and removes the root
    // (keep: leave it).
    void Finish(bool keep);

private:
    UpgradeRig() : m_mcu() {}
    bool Start();

    std::string m_root;
    McuSimulator m_mcu;
};

#endif
