// The GPIO task (thread pool 5): watches the front-panel reset button (GPIO
// 126, sysfs "value" reads "1" while released) once a second and sends the
// factory-reset command "RESET\r\n" to the MCU through the management task
// when the button has been held for "Quor_Velmar_ResetTimer" polls.
//
// The task arms itself at the first released reading, so a button held or
// stuck at power-on never resets. While held, each poll counts (16 bits,
// saturating); from the threshold on every pressed poll sends the command
// again. A release clears the count and restarts the timer period from now.
// A value file that cannot be read changes nothing: no count, no arming, no
// command. The sysfs paths resolve under the board root.
#ifndef VELMAR_GPIOTASK_H
#define VELMAR_GPIOTASK_H

#include <atomic>
#include <cstdint>

#include "QuorSecTimeoutTask.h"
#include "QuorTask.h"

class CVELMARGPIOTask : public QuorTask<5> {
public:
    enum : int { kResetButtonGpio = 126, kLedGpio = 127 };
    enum : int64_t { kPollMilSec = 1000 };
    // Sends length bytes of text to the MCU: bytes written or a negative error.
    typedef int (*ResetSender)(uint32_t length, const char* text);

    CVELMARGPIOTask();
    ~CVELMARGPIOTask() override;

    // Creates the timer, exports GPIO 126 as an input and starts the 1000 ms
    // polls. 0; -1 when the timer cannot be created.
    int Initialize();
    // On TASK_EVT_TIMEOUT one poll of the button. 0.
    int64_t Run() override;
    // One poll.
    void ReadEtherResetButtonStatus();

    // sysfs access. GpioOpen: for line n != 0 the named file of the line's
    // directory (read and write), for 0 the named file of the GPIO directory
    // (write only). A descriptor or -1.
    static int GpioOpen(int n, const char* name);
    static void GpioClose(int fd);
    static void GpioExport(int n);
    // Writes "out" (dir 1) or "in", each with its terminator.
    static void SetGpioDir(int n, int dir);
    // The value file as a decimal number (low 8 bits) in *value: true, or
    // false (logged) when it cannot be read.
    static bool GetGpioVal(int n, uint8_t* value);
    // Line 127 only ("1" for v 1, else "0", with the terminator); any other
    // line is logged and nothing is written.
    static void SetGpioVal(int n, int v);

    // Replaces the command sender (tests); null restores the management task's.
    void SetResetSender(ResetSender sender);
    // The poll state (written by the polls only; readable from any thread).
    bool Armed() const { return m_u16Armed.load() != 0; }
    uint16_t HoldCount() const { return m_u16HoldCount.load(); }

private:
    QuorSecTimeoutTask<5>* m_pTimeout = nullptr;
    std::atomic<uint16_t> m_u16Armed{0};
    std::atomic<uint16_t> m_u16HoldCount{0};
    ResetSender m_pfnSendReset;
};

// The GPIO task, created once at start-up.
extern CVELMARGPIOTask* g_pVelmarGPIOTask;

#endif
