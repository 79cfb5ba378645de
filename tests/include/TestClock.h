// The tests' clock: milliseconds of the monotonic clock, for deadlines and
// for the times a test measures.
#ifndef TEST_CLOCK_H
#define TEST_CLOCK_H

#include <chrono>
#include <cstdint>

namespace board_test {

inline int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace board_test

#endif
