// The auxiliary serial task (thread pool 4): owns the second serial line,
// "/dev/ttyS2", which leads to the display. Its settings come from the RS-232
// preferences ("RS232Speed", "RS232DataBit", the first character of
// "RS232ParityBit", "RS232Stop") and may change while the daemon runs; the
// display's replies are cut into CR LF lines and handed to the management
// task exactly like MCU lines (scope 10). Writes go through the management
// task's SendUart2Buf (the write-with-retry of the line). The line stays open
// for the life of the process.
#ifndef QUOR_VELMAR_UARTTWOTASK_H
#define QUOR_VELMAR_UARTTWOTASK_H

#include <cstdint>

#include "QuorVelmarSerialTask.h"

// Initialize opens "/dev/ttyS2" and applies the stored RS-232 settings.
class CQuorVelmarUartTwoTask : public CQuorVelmarSerialTask<4> {
public:
    CQuorVelmarUartTwoTask();
    ~CQuorVelmarUartTwoTask() override;

    // Applies the stored RS-232 settings (their in-memory copies): 0 or -2 as
    // SetUartOpt. The caller holds GetLineMutex() across this call (not across
    // the preference writes, whose "sync" may take long), so the line is
    // applied one consistent set of the copies at a time.
    int SetUartOptFromPrefs();

private:
    void ApplyStartSettings() override { SetUartOptFromPrefs(); }
};

// The auxiliary serial task, created once at start-up.
extern CQuorVelmarUartTwoTask* g_pVelmarUartTwoTask;

#endif
