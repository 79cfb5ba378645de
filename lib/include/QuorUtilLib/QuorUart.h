// The event context of a serial descriptor: the pool's event thread (shared
// with the sockets of the same pool, QuorUart<3>::sEventThread for the serial
// lines) signals the owning task when the line has bytes to read.
#ifndef QUOR_QUORUART_H
#define QUOR_QUORUART_H

#include "QuorEventContext.h"

template <int N>
class QuorUart : public QuorEventContext<N> {
public:
    explicit QuorUart(QuorTask<N>* task) : QuorEventContext<N>(-1, task) {}

    // Opens a serial device read-write, without making it the controlling
    // terminal, non-blocking and close-on-exec. 0 or an error number.
    int Open(const char* path);
    // Adopts a descriptor opened elsewhere and makes it non-blocking.
    int Set(int fd) { return this->InitNonBlocking(fd); }
    // Reads what is there: 0 with *got bytes, 11 when nothing waits, or an
    // error number. Interrupted calls are retried.
    int Read(void* buffer, uint32_t length, uint32_t* got);
};

template <int N>
int QuorUart<N>::Open(const char* path)
{
    if (path == nullptr || this->GetSocketFD() >= 0) {
        QuorAssert(path != nullptr && this->GetSocketFD() < 0);
        return EINVAL;
    }
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    this->SetFD(fd);
    return 0;
}

template <int N>
int QuorUart<N>::Read(void* buffer, uint32_t length, uint32_t* got)
{
    *got = 0;
    ssize_t n;
    do {
        n = read(this->GetSocketFD(), buffer, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EWOULDBLOCK ? EAGAIN : errno;
    *got = (uint32_t)n;
    return 0;
}

#endif
