// The tests' clock: milliseconds of the monotonic clock, for deadlines and
// for the times a test measures, and the one wait on a condition.
#ifndef TEST_CLOCK_H
#define TEST_CLOCK_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace board_test {

inline int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Looks at done every pollMs until it holds or timeoutMs passes.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs, int pollMs = 20)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

}  // namespace board_test

#endif
