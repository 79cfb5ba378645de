// Process-wide operating system helpers of the utility layer.
#ifndef QUOR_OS_H
#define QUOR_OS_H

#include <cstdint>

class OS {
public:
    static void Initialize();
    // Monotonic millisecond clock.
    static int64_t Milliseconds();
    // Refreshes the low-precision copy of the clock.
    static void UpdateMilSecLowPrecision();
    static int64_t MilSecLowPrecision();
    // Non-zero when this process now holds the exclusive lock on path (kept
    // for the life of the process), 0 when another process holds it.
    static int LockSemFile(const char* path);
    // Ends the process at once.
    [[noreturn]] static void KillMyself();
};

#endif
