#include "OSWakeFd.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

OSWakeFd::OSWakeFd() : fFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

OSWakeFd::~OSWakeFd()
{
    if (fFd >= 0)
        close(fFd);
}

void OSWakeFd::Wake()
{
    if (fFd < 0)
        return;
    uint64_t one = 1;
    while (write(fFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void OSWakeFd::Drain()
{
    if (fFd < 0)
        return;
    uint64_t count;
    while (read(fFd, &count, sizeof(count)) < 0 && errno == EINTR) {
    }
}
