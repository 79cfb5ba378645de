// The TCP listener: a listening socket that is also a task of its pool. It
// accepts one connection per ready event, counts connections per client
// address (refusing those beyond the per-address limit), asks the server
// class for a session task and hands the connection to it.
//
// Whatever happens to one connection, the listener goes back to accepting:
// at once after a refusal or a connection's own error, after a 1000 ms pause
// (through the pool's idle timer) when resources are short.
#ifndef QUOR_QUORTCPLISTENERSOCKET_H
#define QUOR_QUORTCPLISTENERSOCKET_H

#include <netinet/tcp.h>

#include "QuorIdleTask.h"
#include "QuorTCPSocket.h"

// One client address of the listener's client list.
struct T_QuorIPInfoList {
    T_QuorIPInfoList* next;
    char ip[16];     // dotted address text
    uint32_t count;  // connections open from this address
};

// Results of AddNodeOrNodeNumToList.
enum : int {
    QUOR_CLIENT_REFUSED = 1,  // at its limit; the descriptor is closed
    QUOR_CLIENT_COUNTED = 2,  // already listed, count raised; the node is unused
    QUOR_CLIENT_ADDED = 3,    // new address; the node is now in the list
};

// Which addition LightLogForAddClientIP reports.
enum QuorClientAddKind : int {
    QUOR_CLIENT_ADD_FIRST = 0,      // first address of an empty list
    QUOR_CLIENT_ADD_DIFFERENT = 1,  // another new address
    QUOR_CLIENT_ADD_EXISTING = 2,   // one more connection of a listed address
};

template <int N>
class QuorTCPListenerSocket : public QuorTCPSocket<N>, public QuorIdleTask<N> {
public:
    QuorTCPListenerSocket();
    ~QuorTCPListenerSocket() override;

    // Opens a TCP socket, sets address reuse, binds (host-order address and
    // port), sets a 98304-byte receive buffer and listens with a backlog of
    // 128. 0 or an error number.
    int Initialize(uint32_t addr, uint16_t port);

    // The accept step (on the event thread when the socket is readable, on
    // a task thread from Run).
    void ProcessEvent(int eventKind) override;

    // Supplied by the server class.
    // A new session task and its socket (in *socket), or null to refuse.
    virtual QuorTask<N>* GetSessionTask(QuorTCPSocket<N>** socket) = 0;
    virtual T_QuorIPInfoList* GetTCPIPInfoNodeMemory() = 0;
    virtual void FreeTCPIPInfoNodeMemory(T_QuorIPInfoList* node) = 0;
    // No client-list node for the connection on fd.
    virtual void LightLogFormemory(int fd) = 0;
    // count: connections of the address for QUOR_CLIENT_ADD_EXISTING,
    // addresses in the list otherwise.
    virtual void LightLogForAddClientIP(QuorClientAddKind kind, const char* ip, uint32_t count) = 0;
    virtual void LightLogForDeleteClientIP(const char* ip, uint32_t count) = 0;
    virtual void LightLogForReduceClientIPNum(const char* ip, uint32_t count) = 0;
    virtual void LightLogForClientNumOutOfRange(const char* ip, uint32_t limit, int fd) = 0;
    virtual void LightLogForFindIPFromList(const char* ip) = 0;

    // Event bit 0x1 deletes the listener; any other signal runs the accept step.
    int64_t Run() override;

    // Counts a connection of ip (see QUOR_CLIENT_*); closes fd when refused.
    int AddNodeOrNodeNumToList(const char* ip, T_QuorIPInfoList* node, int fd);
    // Lowers the count of ip; returns the node once it is unlinked (count 0)
    // for the caller to free, else null.
    T_QuorIPInfoList* DeleteOrReduceNodeNumFromList(const char* ip);
    // Connections counted for ip (0 when not listed).
    uint32_t GetClientNum(const char* ip);

    void SetClientLinkMaxNum(uint32_t limit) { fClientLinkMaxNum.store(limit); }
    uint32_t GetClientLinkMaxNum() const { return fClientLinkMaxNum.load(); }
    // The server refused a session at its limit: pause accepting for a while.
    void SetAcceptPause() { fPauseAccept.store(true); }

    static const int64_t kAcceptPauseMs = 1000;
    static const int kListenBacklog = 128;
    static const int kSocketBufBytes = 98304;

private:
    enum AcceptNext { kAcceptRearm, kAcceptPause };
    AcceptNext AcceptOne();
    AcceptNext HandleAcceptError(int err);
    AcceptNext ServeConnection(int fd, const struct sockaddr_in& peer);
    void AttachConnection(int fd, const struct sockaddr_in& peer, QuorTCPSocket<N>* socket, QuorTask<N>* session);
    void ResumeAccepting(AcceptNext next);
    static bool IsConnectionError(int err);

    T_QuorIPInfoList* fClientList = nullptr;
    std::atomic<uint32_t> fClientLinkMaxNum{0};
    OSMutex fClientListMutex;  // every list operation (accept and session close run on different threads)
    std::atomic<bool> fPauseAccept{false};
    std::atomic<bool> fOutOfDescriptors{false};
};

template <int N>
QuorTCPListenerSocket<N>::QuorTCPListenerSocket() : QuorTCPSocket<N>(nullptr, QUOR_SOCKET_NONBLOCKING)
{
    this->SetTask(this);
}

template <int N>
QuorTCPListenerSocket<N>::~QuorTCPListenerSocket()
{
    this->CancelIdleTimer();
    this->Cleanup();
}

template <int N>
int QuorTCPListenerSocket<N>::Initialize(uint32_t addr, uint16_t port)
{
    int err = this->GetSocketFD() < 0 ? this->Open() : 0;
    if (err == 0)
        err = this->SetIntOption(SOL_SOCKET, SO_REUSEADDR, 1);
    if (err == 0)
        err = this->Bind(addr, port);
    if (err == 0)
        err = this->SetIntOption(SOL_SOCKET, SO_RCVBUF, kSocketBufBytes);
    if (err == 0 && listen(this->GetSocketFD(), kListenBacklog) != 0)
        err = errno;
    return err;
}

template <int N>
int64_t QuorTCPListenerSocket<N>::Run()
{
    uint32_t events = this->GetEvents();
    if (events & QUOR_EVT_KILL)
        return -1;
    ProcessEvent(TASK_EVT_READ);
    return 0;
}

template <int N>
void QuorTCPListenerSocket<N>::ProcessEvent(int eventKind)
{
    (void)eventKind;
    if (this->GetSocketFD() < 0)
        return;  // cleaned up: nothing to accept on
    ResumeAccepting(AcceptOne());
}

template <int N>
void QuorTCPListenerSocket<N>::ResumeAccepting(AcceptNext next)
{
    fOutOfDescriptors.store(false);
    if (next == kAcceptRearm) {
        int err = this->RequestEvent(QUOR_EV_READ);
        if (err == 0)
            return;
        LightLogExt(LLOG_LEVEL_ERROR, 0, __FILE__, __LINE__,
                    "######TCP listener<%d> cannot renew its read interest, err<%d>; retry in %d ms.",
                    this->GetSocketFD(), err, (int)kAcceptPauseMs);
    }
    this->SetIdleTimer(kAcceptPauseMs);
}

template <int N>
typename QuorTCPListenerSocket<N>::AcceptNext QuorTCPListenerSocket<N>::AcceptOne()
{
    struct sockaddr_in peer;
    socklen_t len = sizeof(peer);
    memset(&peer, 0, sizeof(peer));
    int fd;
    do {
        fd = accept4(this->GetSocketFD(), (struct sockaddr*)&peer, &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return HandleAcceptError(errno);
    if (fd >= QUOR_MAX_SELECT_FD) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, __FILE__, __LINE__,
                    "######Accepted descriptor<%d> is outside the select sets (limit %d), connection closed.", fd,
                    (int)QUOR_MAX_SELECT_FD);
        close(fd);
        return kAcceptRearm;
    }
    return ServeConnection(fd, peer);
}

// Errors of the one pending connection (accept(2) passes them on): the next
// connection may well succeed.
template <int N>
bool QuorTCPListenerSocket<N>::IsConnectionError(int err)
{
    switch (err) {
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

template <int N>
typename QuorTCPListenerSocket<N>::AcceptNext QuorTCPListenerSocket<N>::HandleAcceptError(int err)
{
    if (err == EAGAIN || err == EWOULDBLOCK)
        return kAcceptRearm;
    if (err == EMFILE || err == ENFILE) {
        fOutOfDescriptors.store(true);
        printf("Out of File Descriptors. Set max connections lower and check for competing usage from other "
               "processes. Exiting.\n");
        fflush(stdout);
        OS::KillMyself();
    }
    char reason[128];
    const char* reasonText = strerror_r(err, reason, sizeof(reason));
    char text[256];
    snprintf(text, sizeof(text), "accept error = %d '%s' on socket. Clean up and continue.", err, reasonText);
    printf("_WarnV: %s, %d (%s)\n", "../lib/include/QuorUtilLib/QuorTCPListenerSocket", __LINE__, text);
    LightLogExt(LLOG_LEVEL_WARNING, 0, __FILE__, __LINE__, "%s", text);
    // An error that is not the connection's own would come back at once:
    // pace the retries instead of spinning.
    return IsConnectionError(err) ? kAcceptRearm : kAcceptPause;
}

template <int N>
typename QuorTCPListenerSocket<N>::AcceptNext QuorTCPListenerSocket<N>::ServeConnection(int fd,
                                                                                      const struct sockaddr_in& peer)
{
    char ip[INET_ADDRSTRLEN];
    QuorAddrToText(ntohl(peer.sin_addr.s_addr), ip, sizeof(ip));
    T_QuorIPInfoList* node = GetTCPIPInfoNodeMemory();
    if (node == nullptr) {
        LightLogFormemory(fd);
        close(fd);
        return kAcceptPause;
    }
    int counted = AddNodeOrNodeNumToList(ip, node, fd);
    if (counted != QUOR_CLIENT_ADDED)
        FreeTCPIPInfoNodeMemory(node);
    if (counted == QUOR_CLIENT_REFUSED)
        return kAcceptRearm;

    QuorTCPSocket<N>* socket = nullptr;
    QuorTask<N>* session = GetSessionTask(&socket);
    if (session == nullptr || socket == nullptr) {
        QuorAssert(session == nullptr);  // a session must come with its socket
        close(fd);
        if (socket != nullptr)
            socket->ClearConnected();
        T_QuorIPInfoList* unlinked = DeleteOrReduceNodeNumFromList(ip);
        if (unlinked != nullptr)
            FreeTCPIPInfoNodeMemory(unlinked);
        return kAcceptPause;
    }
    AttachConnection(fd, peer, socket, session);
    return fPauseAccept.exchange(false) ? kAcceptPause : kAcceptRearm;
}

template <int N>
void QuorTCPListenerSocket<N>::AttachConnection(int fd, const struct sockaddr_in& peer, QuorTCPSocket<N>* socket,
                                                QuorTask<N>* session)
{
    int one = 1;
    int sendBuf = kSocketBufBytes;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0)
        QuorAssertV(false, errno);
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one)) != 0)
        QuorAssertV(false, errno);
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuf, sizeof(sendBuf));
    socket->Set(fd, &peer);
    socket->InitNonBlocking(fd);
    socket->SetTask(session);
    int err = socket->RequestEvent(QUOR_EV_READ);
    if (err != 0)
        LightLogExt(LLOG_LEVEL_ERROR, 0, __FILE__, __LINE__,
                    "######Session socket<%d> cannot request read events, err<%d>.", fd, err);
}

template <int N>
int QuorTCPListenerSocket<N>::AddNodeOrNodeNumToList(const char* ip, T_QuorIPInfoList* node, int fd)
{
    OSMutexLocker locker(&fClientListMutex);
    uint32_t limit = fClientLinkMaxNum.load();
    uint32_t listed = 0;
    T_QuorIPInfoList* last = nullptr;
    for (T_QuorIPInfoList* p = fClientList; p != nullptr; last = p, p = p->next) {
        listed++;
        if (strncmp(p->ip, ip, sizeof(p->ip)) != 0)
            continue;
        if (p->count < limit) {
            p->count++;
            LightLogForAddClientIP(QUOR_CLIENT_ADD_EXISTING, ip, p->count);
            return QUOR_CLIENT_COUNTED;
        }
        LightLogForClientNumOutOfRange(ip, limit, fd);
        close(fd);
        return QUOR_CLIENT_REFUSED;
    }
    if (node == nullptr) {
        QuorAssert(node != nullptr);
        close(fd);
        return QUOR_CLIENT_REFUSED;
    }
    snprintf(node->ip, sizeof(node->ip), "%s", ip);
    node->count = 1;
    node->next = nullptr;
    if (last == nullptr)
        fClientList = node;
    else
        last->next = node;
    LightLogForAddClientIP(last == nullptr ? QUOR_CLIENT_ADD_FIRST : QUOR_CLIENT_ADD_DIFFERENT, node->ip,
                           listed + 1);
    return QUOR_CLIENT_ADDED;
}

template <int N>
T_QuorIPInfoList* QuorTCPListenerSocket<N>::DeleteOrReduceNodeNumFromList(const char* ip)
{
    OSMutexLocker locker(&fClientListMutex);
    T_QuorIPInfoList** link = &fClientList;
    while (*link != nullptr && strncmp((*link)->ip, ip, sizeof((*link)->ip)) != 0)
        link = &(*link)->next;
    T_QuorIPInfoList* node = *link;
    if (node == nullptr) {
        LightLogForFindIPFromList(ip);
        return nullptr;
    }
    if (node->count > 1) {
        node->count--;
        LightLogForReduceClientIPNum(ip, node->count);
        return nullptr;
    }
    *link = node->next;
    node->next = nullptr;
    node->count = 0;
    LightLogForDeleteClientIP(node->ip, node->count);
    return node;
}

template <int N>
uint32_t QuorTCPListenerSocket<N>::GetClientNum(const char* ip)
{
    OSMutexLocker locker(&fClientListMutex);
    for (T_QuorIPInfoList* p = fClientList; p != nullptr; p = p->next) {
        if (strncmp(p->ip, ip, sizeof(p->ip)) == 0)
            return p->count;
    }
    return 0;
}

#endif
