#include "QuorVelmarUdpMulSocketTask.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "LightLog.h"
#include "QuorSocket.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarFunction.h"
#include "QuorVelmarPref.h"

CQuorVelmarUdpMulSocketTask* g_VelmarUdpMulCast = nullptr;

namespace {

const char kSrc[] = "src/QuorVelmarUdpMulSocketTask";
const uint32_t kLocalHost = INADDR_LOOPBACK;  // 127.0.0.1, host order

int OpenDatagramSocket()
{
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

// The group address of the preferences; false (logged) when it does not parse.
bool GroupAddress(struct in_addr* group)
{
    char text[CQuorVelmarPref::kMulAddrTextSize];
    CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_Velmar_MulUdpRecvAddr, text);
    if (inet_pton(AF_INET, text, group) == 1)
        return true;
    LightLogExt(40000, 0, kSrc, __LINE__, "######QuorVelmar_MulUdpRecvIp<%s> is not a correct fomat", text);
    return false;
}

// Multicast loopback off on a sending or receiving socket: 0 or -1.
int SetMulticastLoopOff(int fd)
{
    unsigned char loop = 0;
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
}

// A datagram socket with multicast loopback off: the descriptor, or -1 (no
// socket) or -3 (loopback stays on), logged.
int OpenMulticastSocket()
{
    int fd = OpenDatagramSocket();
    if (fd < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######socket()");
        return -1;
    }
    if (SetMulticastLoopOff(fd) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######setsockopt():IP_MULTICAST_LOOP");
        close(fd);
        return -3;
    }
    return fd;
}

ssize_t SendDatagram(int fd, const char* msg, uint32_t len, const struct sockaddr_in& to)
{
    ssize_t n;
    do {
        n = sendto(fd, msg, len, 0, reinterpret_cast<const struct sockaddr*>(&to), sizeof(to));
    } while (n < 0 && errno == EINTR);
    return n;
}

// A message and its length must both be there: false (logged) otherwise.
bool MessageGiven(const char* sender, const char* msg, uint32_t len)
{
    if (msg != nullptr && len != 0)
        return true;
    LightLogExt(40000, 0, kSrc, __LINE__, "######In %s i_Msg is <%s>, i_u32MsgLen is <%d> Error.", sender,
                msg != nullptr ? "" : "(null)", (int)len);
    return false;
}

// True when fd has a datagram; waits until then or until wake is readable
// (at most waitMilSec when there is no wake descriptor).
bool WaitReadable(int fd, OSWakeFd& wake, int waitMilSec)
{
    struct pollfd p[2] = {{fd, POLLIN, 0}, {wake.Fd(), POLLIN, 0}};
    nfds_t count = wake.IsValid() ? 2 : 1;
    if (poll(p, count, count == 2 ? -1 : waitMilSec) <= 0)
        return false;
    if (count == 2 && (p[1].revents & POLLIN) != 0)
        wake.Drain();
    return (p[0].revents & POLLIN) != 0;
}

} // namespace

CQuorVelmarUdpMulSocketTask::CQuorVelmarUdpMulSocketTask()
    : CQuorVelmarReceiveLoopTask<8>(kSrc, "CQuorVelmarUdpMulSocketTask")
{
}

CQuorVelmarUdpMulSocketTask::~CQuorVelmarUdpMulSocketTask() = default;

// ---- Receiving -----------------------------------------------------------------

int CQuorVelmarUdpMulSocketTask::CreateBroadCastSocket(struct sockaddr_in* addr, struct ip_mreq* mreq)
{
    int fd = OpenMulticastSocket();
    if (fd < 0)
        return fd;
    *addr = QuorInetAddr(INADDR_ANY, CQuorVelmarPref::s_u16Quor_Velmar_MulUdpRecvPort);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(addr), sizeof(*addr)) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######bind()");
        close(fd);
        return -2;
    }
    memset(mreq, 0, sizeof(*mreq));
    mreq->imr_interface.s_addr = htonl(INADDR_ANY);
    if (!GroupAddress(&mreq->imr_multiaddr)) {
        close(fd);
        return -4;
    }
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, mreq, sizeof(*mreq)) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######setsockopt():IP_ADD_MEMBERSHIP");
        close(fd);
        return -4;
    }
    return fd;
}

void CQuorVelmarUdpMulSocketTask::ReadMulUdpData()
{
    struct sockaddr_in addr;
    struct ip_mreq mreq;
    int fd = CreateBroadCastSocket(&addr, &mreq);
    if (fd <= 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "invalid socket...");
        if (fd == 0)
            close(fd);
        return;
    }
    m_b8Receiving.store(true);
    // One spare byte keeps a full datagram terminated.
    char buffer[kRecvBufLen + 1];
    memset(buffer, 0, sizeof(buffer));
    while (!m_b8StopRequested.load()) {
        if (WaitReadable(fd, m_StopWake, kWaitMilSec))
            ReceiveOne(fd, buffer);
    }
    close(fd);
    m_b8Receiving.store(false);
}

void CQuorVelmarUdpMulSocketTask::ReceiveOne(int fd, char* buffer)
{
    struct sockaddr_in sender;
    socklen_t senderLen = sizeof(sender);
    memset(&sender, 0, sizeof(sender));
    ssize_t got = recvfrom(fd, buffer, kRecvBufLen, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&sender),
                           &senderLen);
    if (got < 0)
        return;
    m_LastSender.Set(ntohl(sender.sin_addr.s_addr), ntohs(sender.sin_port));
    LightLogExt(20000, 0, kSrc, __LINE__, "@@@@@@Recv BroadCast message <%.*s>, Msg Len is <%d>", (int)got, buffer,
                (int)got);
    CQuorVelmarCommLayer::Msg_UdpRecved(buffer, (uint32_t)got, ntohl(sender.sin_addr.s_addr),
                                        ntohs(sender.sin_port));
    memset(buffer, 0, kRecvBufLen);
}

// ---- Sending -------------------------------------------------------------------

int CQuorVelmarUdpMulSocketTask::SendBroadCastUdpMsg(const char* msg, uint32_t len)
{
    if (!MessageGiven("SendBroadCastUdpMsg", msg, len))
        return -2;
    struct in_addr group;
    if (!GroupAddress(&group))
        return -2;
    int fd = OpenMulticastSocket();
    if (fd < 0)
        return fd;
    struct sockaddr_in to = QuorInetAddr(ntohl(group.s_addr), CQuorVelmarPref::s_u16Quor_Velmar_MulUdpRecvPort);
    ssize_t sent = SendDatagram(fd, msg, len, to);
    if (sent >= 1) {
        close(fd);
        return 0;
    }
    LightLogExt(40000, 0, kSrc, __LINE__, "######sendto Len nRet is <%d>.", (int)sent);
    close(fd);
    return (int)sent;
}

int CQuorVelmarUdpMulSocketTask::udp_create_sender()
{
    int fd = OpenDatagramSocket();
    if (fd < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######socket");
        return -1;
    }
    struct sockaddr_in any = QuorInetAddr(INADDR_ANY, 0);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&any), sizeof(any)) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######bind");
        close(fd);
        return -1;
    }
    return fd;
}

int CQuorVelmarUdpMulSocketTask::SendRespondUdpMsg(const char* msg, uint32_t len, uint32_t peerAddr)
{
    if (!MessageGiven("SendRespondUdpMsg", msg, len))
        return -2;
    if (peerAddr == INADDR_ANY) {
        // No asker: 0.0.0.0 would reach this host itself.
        LightLogExt(40000, 0, kSrc, __LINE__, "######In SendRespondUdpMsg the peer address is 0.0.0.0 Error.");
        return -2;
    }
    int fd = udp_create_sender();
    if (fd < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######socket()");
        return -1;
    }
    struct sockaddr_in to = QuorInetAddr(peerAddr, CQuorVelmarPref::s_u16Quor_Velmar_UdpInterPort);
    print_mem(20000, msg, len);
    ssize_t sent = SendDatagram(fd, msg, len, to);
    close(fd);
    if (sent < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Send Msg length is <%d> Error.", (int)sent);
        return -1;
    }
    char peer[INET_ADDRSTRLEN];
    QuorAddrToText(peerAddr, peer, sizeof(peer));
    LightLogExt(20000, 0, kSrc, __LINE__, "Send Msg <%.*s> and MsgLen is <%d> to IP<%s>, Port<%d>.", (int)len, msg,
                (int)len, peer, (int)CQuorVelmarPref::s_u16Quor_Velmar_UdpInterPort);
    return 0;
}

int CQuorVelmarUdpMulSocketTask::SendNDKUdpMsg(const char* msg, uint32_t len)
{
    if (!MessageGiven("SendNDKUdpMsg", msg, len))
        return -2;
    print_mem(20000, msg, len);
    int fd = OpenDatagramSocket();
    if (fd < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######socket()");
        return -1;
    }
    struct sockaddr_in to = QuorInetAddr(kLocalHost, (uint16_t)CQuorVelmarPref::s_u32Quor_VelmarNdk_UdpInterPort);
    ssize_t sent = SendDatagram(fd, msg, len, to);
    int err = sent < 0 ? errno : 0;
    LightLogExt(20000, 0, kSrc, __LINE__, "SendNDKUdpMsg Msg <%.*s> and MsgLen is <%d>.", (int)len, msg, (int)len);
    close(fd);
    if (sent < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######SendNDKUdpMsg sendto error<%d>.", err);
        return -1;
    }
    return 0;
}
