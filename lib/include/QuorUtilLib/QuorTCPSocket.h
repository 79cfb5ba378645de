// Stream sockets of the event layer.
#ifndef QUOR_QUORTCPSOCKET_H
#define QUOR_QUORTCPSOCKET_H

#include "QuorSocket.h"

template <int N>
class QuorTCPSocket : public QuorSocket<N> {
public:
    QuorTCPSocket(QuorTask<N>* task, uint32_t flags) : QuorSocket<N>(task, flags) {}

    int Open() { return QuorSocket<N>::Open(SOCK_STREAM); }
    // Adopts an accepted descriptor and its peer: reads the local address
    // and sets the bound and connected bits.
    void Set(int fd, const struct sockaddr_in* peer);

    const struct sockaddr_in* GetRemoteAddress() const { return &fRemoteAddress; }

private:
    struct sockaddr_in fRemoteAddress = {};
};

template <int N>
void QuorTCPSocket<N>::Set(int fd, const struct sockaddr_in* peer)
{
    if (this->GetSocketFD() >= 0) {
        // A socket object serves one connection; drop the old one cleanly.
        QuorAssert(this->GetSocketFD() < 0);
        this->Cleanup();
    }
    this->SetFD(fd);
    if (peer != nullptr) {
        fRemoteAddress = *peer;
        this->SetRemote(ntohl(peer->sin_addr.s_addr), ntohs(peer->sin_port));
    }
    this->ReadLocalAddr();
    this->SetState(QUOR_SOCKET_BOUND | QUOR_SOCKET_CONNECTED);
}

#endif
