// Datagram sockets of the event layer.
#ifndef QUOR_QUORUDPSOCKET_H
#define QUOR_QUORUDPSOCKET_H

#include "QuorSocket.h"

template <int N>
class QuorUDPSocket : public QuorSocket<N> {
public:
    QuorUDPSocket(QuorTask<N>* task, uint32_t flags) : QuorSocket<N>(task, flags) {}

    int Open() { return QuorSocket<N>::Open(SOCK_DGRAM); }
    // Sends one datagram to a host-order address and port. 0 or an error number.
    int SendTo(uint32_t addr, uint16_t port, const void* buffer, uint32_t length);
    // Receives one datagram; the sender's address and port come back in host
    // order. 0, 11 when nothing is waiting, or an error number.
    int RecvFrom(uint32_t* addr, uint16_t* port, void* buffer, uint32_t length, uint32_t* got);

    // Sender of the last datagram received, host order.
    uint32_t GetLastSenderAddr() const { return fMsgAddr; }
    uint16_t GetLastSenderPort() const { return fMsgPort; }

private:
    uint32_t fMsgAddr = 0;
    uint16_t fMsgPort = 0;
};

template <int N>
int QuorUDPSocket<N>::SendTo(uint32_t addr, uint16_t port, const void* buffer, uint32_t length)
{
    struct sockaddr_in remote = QuorInetAddr(addr, port);
    ssize_t n;
    do {
        n = sendto(this->GetSocketFD(), buffer, length, MSG_NOSIGNAL, (struct sockaddr*)&remote, sizeof(remote));
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EWOULDBLOCK ? EAGAIN : errno;
    return 0;
}

template <int N>
int QuorUDPSocket<N>::RecvFrom(uint32_t* addr, uint16_t* port, void* buffer, uint32_t length, uint32_t* got)
{
    *got = 0;
    struct sockaddr_in remote;
    socklen_t len = sizeof(remote);
    memset(&remote, 0, sizeof(remote));
    ssize_t n;
    do {
        n = recvfrom(this->GetSocketFD(), buffer, length, 0, (struct sockaddr*)&remote, &len);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EWOULDBLOCK ? EAGAIN : errno;
    fMsgAddr = ntohl(remote.sin_addr.s_addr);
    fMsgPort = ntohs(remote.sin_port);
    *addr = fMsgAddr;
    *port = fMsgPort;
    *got = (uint32_t)n;
    return 0;
}

#endif
