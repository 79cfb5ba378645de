// A TCP client of a daemon's line port (command port, web server) for the
// tests: connects (from this namespace or from a named one, /run/netns/NAME),
// writes, and reads what arrives, keeping what came after the text it waited
// for for the next read.
#ifndef TCP_LINE_CLIENT_H
#define TCP_LINE_CLIENT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include "TestClock.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace board_test {

// Runs make on a thread of its own that has entered the named namespace (the
// sockets it makes stay in that namespace); its result, or -1 when the
// namespace cannot be entered. An empty name runs make here.
inline int InNamespace(const std::string& ns, const std::function<int()>& make)
{
    if (ns.empty())
        return make();
    int result = -1;
    std::thread inside([&] {
        int nsFd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0)
            return;
        if (setns(nsFd, CLONE_NEWNET) == 0)
            result = make();
        close(nsFd);
    });
    inside.join();
    return result;
}

class TcpClient {
public:
    TcpClient() = default;
    ~TcpClient()
    {
        if (fFd >= 0)
            close(fFd);
    }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Connects to address:port, trying again until the port listens or the
    // time is up; with ns, the socket is made in that namespace.
    bool Connect(const std::string& address, uint16_t port, int timeoutMs, const std::string& ns = "")
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        if (inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1)
            return false;
        return WaitFor(
            [&] {
                fFd = InNamespace(ns, [&] {
                    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0)
                        return s;
                    if (s >= 0)
                        close(s);
                    return -1;
                });
                return fFd >= 0;
            },
            timeoutMs);
    }
    // Writes all of bytes, waiting while the socket is full; false on an
    // error or when the time is up.
    bool Send(const std::string& bytes, int timeoutMs = 10000)
    {
        int64_t end = NowMs() + timeoutMs;
        for (size_t done = 0; done < bytes.size();) {
            pollfd p{fFd, POLLOUT, 0};
            if (NowMs() > end || poll(&p, 1, 100) < 0)
                return false;
            ssize_t n = (p.revents & POLLOUT) ? send(fFd, bytes.data() + done, bytes.size() - done,
                                                     MSG_DONTWAIT | MSG_NOSIGNAL)
                                              : 0;
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            done += n > 0 ? (size_t)n : 0;
        }
        return true;
    }
    // Reads until needle has arrived: true, with what came before it in
    // *before; false on a time-out or when the peer closes.
    bool ReadUntil(const std::string& needle, std::string* before, int timeoutMs = 10000)
    {
        for (int64_t end = NowMs() + timeoutMs;;) {
            size_t at = fPending.find(needle);
            if (at != std::string::npos) {
                if (before != nullptr)
                    *before = fPending.substr(0, at);
                fPending.erase(0, at + needle.size());
                return true;
            }
            if (!ReadSome(end))
                return false;
        }
    }
    bool ReadUntil(const std::string& needle) { return ReadUntil(needle, nullptr); }
    // What arrived up to and including until; everything that arrived when
    // until does not come in time or the peer closes.
    std::string ReadUntil(const std::string& until, int timeoutMs)
    {
        std::string before;
        if (ReadUntil(until, &before, timeoutMs))
            return before + until;
        before.swap(fPending);
        return before;
    }
    // Everything that arrives within ms (and what was left from before).
    std::string ReadFor(int ms)
    {
        for (int64_t end = NowMs() + ms; ReadSome(end);) {
        }
        std::string out;
        out.swap(fPending);
        return out;
    }
    int Fd() const { return fFd; }

private:
    // Reads what arrives before endMs; false at the end, on a close or an error.
    bool ReadSome(int64_t endMs)
    {
        int left = (int)(endMs - NowMs());
        pollfd p{fFd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            return false;
        char buf[4096];
        ssize_t n = recv(fFd, buf, sizeof(buf), 0);
        if (n <= 0)
            return false;
        fPending.append(buf, (size_t)n);
        return true;
    }

    int fFd = -1;
    std::string fPending;
};

}  // namespace board_test

#endif
