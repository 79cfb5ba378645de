#include "OSFileSource.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void OSFileSource::Set(const char* path)
{
    Close();
    if (path == nullptr)
        return;
    fFD = open(path, O_RDONLY | O_CLOEXEC);
    if (fFD < 0)
        return;
    struct stat st;
    if (fstat(fFD, &st) == 0 && st.st_size > 0)
        fLength = (uint64_t)st.st_size;
}

int OSFileSource::Read(uint64_t offset, void* buffer, uint32_t length, uint32_t* got)
{
    if (got != nullptr)
        *got = 0;
    if (fFD < 0)
        return EBADF;
    uint32_t total = 0;
    while (total < length) {
        ssize_t n = pread(fFD, (char*)buffer + total, length - total, (off_t)(offset + total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        total += (uint32_t)n;
    }
    if (got != nullptr)
        *got = total;
    return 0;
}

void OSFileSource::Close()
{
    if (fFD >= 0)
        close(fFD);
    fFD = -1;
    fLength = 0;
}
