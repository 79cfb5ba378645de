#include "OS.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
std::atomic<int64_t> sMilSecLowPrecision{0};
}

void OS::Initialize()
{
    UpdateMilSecLowPrecision();
}

int64_t OS::Milliseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

void OS::UpdateMilSecLowPrecision()
{
    sMilSecLowPrecision.store(Milliseconds(), std::memory_order_relaxed);
}

int64_t OS::MilSecLowPrecision()
{
    return sMilSecLowPrecision.load(std::memory_order_relaxed);
}

int OS::LockSemFile(const char* path)
{
    if (path == nullptr)
        return 0;
    // The descriptor stays open for the life of the process: the lock goes
    // with it, also across the daemonising fork.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    int result;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        close(fd);
        return 0;
    }
    return 1;
}

void OS::KillMyself()
{
    _exit(1);
}
