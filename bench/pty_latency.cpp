// How late a pseudo-terminal delivers: `lines` pseudo-terminals, each with a
// writer on the follower side sending its clock every 10 ms and a reader on
// the leader side, as the simulated MCU reads what the daemon writes. Prints
// per line the mean and worst delay from write to read, and how many writes
// arrived later than 10 ms (the protocol's shortest quiet time) and 100 ms.
//
//   pty_latency [lines (2)] [writes per line (1000)]
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

const int kMaxLines = 16;
const int kMaxWrites = 100000;

int64_t NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Line {
    int leader = -1;
    int follower = -1;
    int64_t sumUs = 0, worstUs = 0;
    int over10 = 0, over100 = 0, received = 0;
};

bool OpenLine(Line* line)
{
    line->leader = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line->leader < 0 || grantpt(line->leader) != 0 || unlockpt(line->leader) != 0)
        return false;
    const char* name = ptsname(line->leader);
    line->follower = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    struct termios raw;
    if (line->follower < 0 || tcgetattr(line->follower, &raw) != 0)
        return false;
    cfmakeraw(&raw);
    return tcsetattr(line->follower, TCSANOW, &raw) == 0;
}

void Write(Line* line, int writes)
{
    for (int i = 0; i < writes; ++i) {
        int64_t stamp = NowUs();
        if (write(line->follower, &stamp, sizeof stamp) != (ssize_t)sizeof stamp)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Reads whole stamps until `writes` have come or the line stays silent for 5 s.
void Read(Line* line, int writes)
{
    unsigned char buffer[sizeof(int64_t) * 64];
    size_t have = 0;
    struct pollfd wait = {line->leader, POLLIN, 0};
    while (line->received < writes && poll(&wait, 1, 5000) > 0) {
        ssize_t n = read(line->leader, buffer + have, sizeof buffer - have);
        if (n <= 0)
            return;
        int64_t now = NowUs();
        have += (size_t)n;
        size_t used = 0;
        for (; used + sizeof(int64_t) <= have; used += sizeof(int64_t)) {
            int64_t stamp;
            std::copy(buffer + used, buffer + used + sizeof stamp, reinterpret_cast<unsigned char*>(&stamp));
            int64_t delay = now - stamp;
            line->sumUs += delay;
            line->worstUs = std::max(line->worstUs, delay);
            line->over10 += delay > 10000;
            line->over100 += delay > 100000;
            ++line->received;
        }
        std::copy(buffer + used, buffer + have, buffer);
        have -= used;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 2;
    int writes = argc > 2 ? atoi(argv[2]) : 1000;
    if (count < 1 || count > kMaxLines || writes < 1 || writes > kMaxWrites) {
        fprintf(stderr, "usage: pty_latency [lines 1-%d] [writes 1-%d]\n", kMaxLines, kMaxWrites);
        return 2;
    }
    std::vector<Line> lines(count);
    for (Line& line : lines) {
        if (!OpenLine(&line)) {
            perror("pseudo-terminal");
            return 1;
        }
    }
    std::vector<std::thread> threads;
    for (Line& line : lines) {
        threads.emplace_back(Read, &line, writes);
        threads.emplace_back(Write, &line, writes);
    }
    for (std::thread& thread : threads)
        thread.join();
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        printf("line %zu: %d of %d writes, mean %lld us, worst %lld us, later than 10 ms: %d, than 100 ms: %d\n", i,
               line.received, writes, (long long)(line.received > 0 ? line.sumUs / line.received : 0),
               (long long)line.worstUs, line.over10, line.over100);
        close(line.leader);
        close(line.follower);
    }
    return 0;
}
