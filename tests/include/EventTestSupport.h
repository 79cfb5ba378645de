// Helpers of the event-layer tests: pools with their event thread, a task
// that records its events, loopback sockets and a capture of the light log.
#ifndef EVENT_TEST_SUPPORT_H
#define EVENT_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "LightLog.h"
#include "QuorEventContext.h"
#include "TaskTestSupport.h"
#include "TestLog.h"

const uint32_t kLoopback = 0x7F000001u;  // 127.0.0.1, host order

// Task threads, then the event thread of pool N (once per process).
template <int N>
void StartEventPool(uint32_t threads)
{
    QuorEventContext<N>::InitializeEventThread();
    QuorTaskThreadPool<N>::AddThreads(threads, 0);
    QuorEventContext<N>::StartEventThread();
}

// Records every run's events.
template <int N>
class EventRecorder : public QuorTask<N> {
public:
    int64_t Run() override
    {
        uint32_t events = this->GetEvents();
        std::lock_guard<std::mutex> lock(fMutex);
        fRuns.push_back(events);
        if (events & TASK_EVT_READ)
            fReadEvents++;
        return 0;
    }
    int ReadEvents()
    {
        std::lock_guard<std::mutex> lock(fMutex);
        return fReadEvents;
    }

private:
    std::mutex fMutex;
    std::vector<uint32_t> fRuns;
    int fReadEvents = 0;
};

inline sockaddr_in LoopbackAddr(uint16_t port, const char* ip = "127.0.0.1")
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

// A plain UDP socket bound to ip:0; its port in *port.
inline int BoundUdp(uint16_t* port, const char* ip = "127.0.0.1")
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = LoopbackAddr(0, ip);
    if (fd < 0 || bind(fd, (sockaddr*)&addr, sizeof(addr)) != 0)
        return -1;
    socklen_t len = sizeof(addr);
    getsockname(fd, (sockaddr*)&addr, &len);
    if (port != nullptr)
        *port = ntohs(addr.sin_port);
    return fd;
}

inline bool SendUdp(int fd, uint16_t port, const void* data, size_t len)
{
    sockaddr_in to = LoopbackAddr(port);
    return sendto(fd, data, len, 0, (sockaddr*)&to, sizeof(to)) == (ssize_t)len;
}

inline bool IsOpenFd(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// Blocking TCP client from srcIp to 127.0.0.1:port; -1 on failure.
inline int ConnectFrom(const char* srcIp, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in src = LoopbackAddr(0, srcIp);
    sockaddr_in dst = LoopbackAddr(port);
    if (fd < 0 || bind(fd, (sockaddr*)&src, sizeof(src)) != 0 || connect(fd, (sockaddr*)&dst, sizeof(dst)) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// True when the peer closes fd (end of stream or reset) within timeoutMs.
inline bool ClosedByPeer(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return false;
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// Raises the soft descriptor limit to at least want; false when the hard
// limit does not allow it.
inline bool RaiseFdLimit(rlim_t want)
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return false;
    if (lim.rlim_cur >= want)
        return true;
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < want)
        return false;
    lim.rlim_cur = want;
    return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

// The light log of this process, written into a fresh directory.
class LogCapture : public test_log::LightLogDir {
public:
    static LogCapture& Get()
    {
        static LogCapture capture;
        return capture;
    }

private:
    LogCapture() : LightLogDir("events", "events", 100000, 5) {}
};

#endif
