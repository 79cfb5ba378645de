// IPv4 sockets watched by the pool's event thread. Operations never throw;
// they return 0 or the system error number (107 when the socket is not
// connected or the peer closed it, 11 when the call would block).
#ifndef QUOR_QUORSOCKET_H
#define QUOR_QUORSOCKET_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "QuorEventContext.h"

enum : uint32_t {
    QUOR_SOCKET_NONBLOCKING = 0x1u,  // state bit 0
    QUOR_SOCKET_BOUND = 0x4u,        // state bit 2
    QUOR_SOCKET_CONNECTED = 0x8u,    // state bit 3
};

// Dotted form of a host-order address into a buffer of at least 16 bytes.
inline const char* QuorAddrToText(uint32_t hostAddr, char* text, size_t size)
{
    struct in_addr addr;
    addr.s_addr = htonl(hostAddr);
    if (size < INET_ADDRSTRLEN || inet_ntop(AF_INET, &addr, text, (socklen_t)size) == nullptr) {
        if (size > 0)
            text[0] = '\0';
    }
    return text;
}

// An IPv4 socket address of a host-order address and port.
inline struct sockaddr_in QuorInetAddr(uint32_t hostAddr, uint16_t port)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(hostAddr);
    return addr;
}

template <int N>
class QuorSocket : public QuorEventContext<N> {
public:
    // flags: QUOR_SOCKET_NONBLOCKING makes every opened descriptor non-blocking.
    QuorSocket(QuorTask<N>* task, uint32_t flags)
        : QuorEventContext<N>(-1, task), fState(flags & QUOR_SOCKET_NONBLOCKING) {}

    // Creates an IPv4 socket of the given type (SOCK_STREAM, SOCK_DGRAM).
    int Open(int type);
    // Binds to a host-order address (0 = any) and port; reads the local
    // address back. 0 or an error number.
    int Bind(uint32_t addr, uint16_t port);
    int Read(void* buffer, uint32_t length, uint32_t* got);
    int Send(const void* buffer, uint32_t length, uint32_t* sent);
    // Sets an integer socket option. 0 or an error number.
    int SetIntOption(int level, int name, int value);

    uint32_t GetState() const { return fState.load(std::memory_order_acquire); }
    bool IsBound() const { return (GetState() & QUOR_SOCKET_BOUND) != 0; }
    bool IsConnected() const { return (GetState() & QUOR_SOCKET_CONNECTED) != 0; }
    void ClearConnected() { fState.fetch_and(~QUOR_SOCKET_CONNECTED); }
    uint32_t GetLocalAddr() const { return fLocalAddr; }
    uint16_t GetLocalPort() const { return fLocalPort; }
    uint32_t GetRemoteAddr() const { return fRemoteAddr; }
    uint16_t GetRemotePort() const { return fRemotePort; }

protected:
    void SetState(uint32_t bits) { fState.fetch_or(bits); }
    // Reads the bound address back from the descriptor.
    void ReadLocalAddr();
    void SetRemote(uint32_t addr, uint16_t port)
    {
        fRemoteAddr = addr;
        fRemotePort = port;
    }
    // Maps a failed call's error: would-block → 11, peer gone → 107.
    int MapIoError(int err);

private:
    std::atomic<uint32_t> fState;
    uint32_t fLocalAddr = 0;
    uint16_t fLocalPort = 0;
    uint32_t fRemoteAddr = 0;
    uint16_t fRemotePort = 0;
};

template <int N>
int QuorSocket<N>::Open(int type)
{
    if (this->GetSocketFD() >= 0) {
        QuorAssert(this->GetSocketFD() < 0);
        return EINVAL;
    }
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    this->SetFD(fd);
    fState.fetch_and(QUOR_SOCKET_NONBLOCKING);  // a fresh socket is neither bound nor connected
    if (GetState() & QUOR_SOCKET_NONBLOCKING)
        return this->InitNonBlocking(fd);
    return 0;
}

template <int N>
void QuorSocket<N>::ReadLocalAddr()
{
    struct sockaddr_in local;
    socklen_t len = sizeof(local);
    memset(&local, 0, sizeof(local));
    if (getsockname(this->GetSocketFD(), (struct sockaddr*)&local, &len) == 0) {
        fLocalAddr = ntohl(local.sin_addr.s_addr);
        fLocalPort = ntohs(local.sin_port);
    }
}

template <int N>
int QuorSocket<N>::Bind(uint32_t addr, uint16_t port)
{
    struct sockaddr_in local = QuorInetAddr(addr, port);
    if (bind(this->GetSocketFD(), (struct sockaddr*)&local, sizeof(local)) != 0) {
        int err = errno;
        fLocalAddr = 0;
        fLocalPort = 0;
        return err;
    }
    ReadLocalAddr();
    SetState(QUOR_SOCKET_BOUND);
    return 0;
}

template <int N>
int QuorSocket<N>::SetIntOption(int level, int name, int value)
{
    if (setsockopt(this->GetSocketFD(), level, name, &value, sizeof(value)) != 0)
        return errno;
    return 0;
}

template <int N>
int QuorSocket<N>::MapIoError(int err)
{
    if (err == EAGAIN || err == EWOULDBLOCK)
        return EAGAIN;
    ClearConnected();
    if (err == EPIPE || err == ECONNRESET)
        return ENOTCONN;
    return err;
}

template <int N>
int QuorSocket<N>::Read(void* buffer, uint32_t length, uint32_t* got)
{
    *got = 0;
    if (this->GetSocketFD() < 0)
        return ENOTCONN;
    ssize_t n;
    do {
        n = recv(this->GetSocketFD(), buffer, length, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return MapIoError(errno);
    if (n == 0 && length > 0) {
        // The peer closed the connection.
        ClearConnected();
        return ENOTCONN;
    }
    *got = (uint32_t)n;
    return 0;
}

template <int N>
int QuorSocket<N>::Send(const void* buffer, uint32_t length, uint32_t* sent)
{
    *sent = 0;
    if (this->GetSocketFD() < 0)
        return ENOTCONN;
    ssize_t n;
    do {
        n = send(this->GetSocketFD(), buffer, length, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return MapIoError(errno);
    *sent = (uint32_t)n;
    return 0;
}

#endif
