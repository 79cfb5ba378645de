// The listener of the TCP command port and its session list: see
// QuorVelmarTCPServerSocket.h.
#include "QuorVelmarTCPServerSocket.h"

#include <algorithm>

#include "LightLog.h"
#include "MemoryPool.h"
#include "QuorVelmarMetrics.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarTCPSessionTask.h"

namespace {

const char kSrc[] = "src/QuorVelmarTCPServerSocket";

uint32_t ClientLinkMaxNumPref()
{
    OSMutexLocker locker(&CQuorVelmarPref::PrefMutex());
    return CQuorVelmarPref::s_u32Quor_Velmar_ClientMaxNum;
}

}  // namespace

CQuorTCPServerSocket::CQuorTCPServerSocket()
{
    SetTaskName("CQuorTCPServerSocket");
}

CQuorTCPServerSocket::~CQuorTCPServerSocket() = default;

// ---- Sessions ------------------------------------------------------------------

QuorTask<7>* CQuorTCPServerSocket::GetSessionTask(QuorTCPSocket<7>** socket)
{
    SetClientLinkMaxNum(ClientLinkMaxNumPref());
    // No overall limit beyond the session pool.
    CQuorVelmarTCPSessionTask* session = GetObjOfVelmarTCPSession();
    if (session == nullptr) {
        CQuorVelmarMetrics::Add(CQuorVelmarMetrics::kTcpSessionsRefused);
        LightLogExt(40000, 0, kSrc, __LINE__, "###### GetObjOfVelmarTCPSession fail! No TCP session left.");
        return nullptr;
    }
    if (!session->Initialize(this)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Initialize CQuorVelmarTCPSessionTask failed!");
        FreeObjOfVelmarTCPSession(session);
        return nullptr;
    }
    {
        OSMutexLocker locker(&m_SessionListMutex);
        m_SessionList.push_back(session);
        m_u32SessionCount++;
    }
    CQuorVelmarMetrics::Add(CQuorVelmarMetrics::kTcpSessionsOpened);
    *socket = session->GetSocket();
    return session;
}

CQuorVelmarTCPSessionTask* CQuorTCPServerSocket::FindLocked(int32_t id)
{
    for (CQuorVelmarTCPSessionTask* session : m_SessionList) {
        if (session->GetSrcNo2() == id)
            return session;
    }
    return nullptr;
}

CQuorVelmarTCPSessionTask* CQuorTCPServerSocket::GetTCPSessionBySrcNo2(int32_t id)
{
    OSMutexLocker locker(&m_SessionListMutex);
    return id != 0 ? FindLocked(id) : nullptr;
}

void CQuorTCPServerSocket::DeleteTCPSessionBySrcNo2(int32_t id)
{
    OSMutexLocker locker(&m_SessionListMutex);
    CQuorVelmarTCPSessionTask* session = id != 0 ? FindLocked(id) : nullptr;
    if (session == nullptr)
        return;
    LightLogExt(10000, 0, kSrc, __LINE__, "Delete TCP Link and SrcNo2 is <%d>", id);
    ForgetClientAddress(session);
    m_SessionList.erase(std::find(m_SessionList.begin(), m_SessionList.end(), session));
    m_u32SessionCount--;
    CQuorVelmarMetrics::Add(CQuorVelmarMetrics::kTcpSessionsClosed);
}

// Lowers the connection count of the session's peer address.
void CQuorTCPServerSocket::ForgetClientAddress(CQuorVelmarTCPSessionTask* session)
{
    QuorTCPSocket<7>* socket = session->GetSocket();
    if (socket == nullptr)
        return;
    char ip[INET_ADDRSTRLEN];
    QuorAddrToText(socket->GetRemoteAddr(), ip, sizeof(ip));
    T_QuorIPInfoList* node = DeleteOrReduceNodeNumFromList(ip);
    if (node != nullptr)
        FreeTCPIPInfoNodeMemory(node);
}

std::vector<CQuorVelmarTCPSessionTask*> CQuorTCPServerSocket::GetAllTCPSession()
{
    OSMutexLocker locker(&m_SessionListMutex);
    return m_SessionList;
}

uint32_t CQuorTCPServerSocket::GetSessionCount()
{
    OSMutexLocker locker(&m_SessionListMutex);
    return m_u32SessionCount;
}

int CQuorTCPServerSocket::DeferAccept()
{
    return SetIntOption(IPPROTO_TCP, TCP_DEFER_ACCEPT, 1);
}

// ---- Output for the clients --------------------------------------------------------

int CQuorTCPServerSocket::QueueTcpMsg(const char* text, uint8_t mode, int32_t session)
{
    if (text == nullptr)
        return -2;
    OSMutexLocker locker(&m_SessionListMutex);
    if (session > 0) {
        CQuorVelmarTCPSessionTask* target = FindLocked(session);
        if (target == nullptr) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######No TaskSession<%d> Client Connect Server.", session);
            return -2;
        }
        target->AddOneTcpMsgToSendList(text, mode);
        return 0;
    }
    if (mode == QUOR_STRING_MODE_ALL_CLIENTS)
        FanOutLocked(text, nullptr);  // each client's copy is queued now, in order with its replies
    else if (!m_SessionList.empty())
        m_SessionList.front()->AddOneTcpMsgToSendList(text, mode);
    return 0;
}

void CQuorTCPServerSocket::FanOutTcpMsg(const char* text, const CQuorVelmarTCPSessionTask* except)
{
    if (text == nullptr)
        return;
    OSMutexLocker locker(&m_SessionListMutex);
    FanOutLocked(text, except);
}

void CQuorTCPServerSocket::FanOutLocked(const char* text, const CQuorVelmarTCPSessionTask* except)
{
    for (CQuorVelmarTCPSessionTask* session : m_SessionList) {
        if (session != except)
            session->AddOneTcpMsgToSendList(text, QUOR_STRING_MODE_ONE_CLIENT);
    }
}

// ---- Client list -------------------------------------------------------------------------

T_QuorIPInfoList* CQuorTCPServerSocket::GetTCPIPInfoNodeMemory()
{
    return static_cast<T_QuorIPInfoList*>(GetMemPoolTCPIPInfo());
}

void CQuorTCPServerSocket::FreeTCPIPInfoNodeMemory(T_QuorIPInfoList* node)
{
    FreeMemPoolTCPIPInfo(node);
}

void CQuorTCPServerSocket::LightLogFormemory(int fd)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "###### GetNew T_QuorIPInfo memory fail! When GetTCPIPInfoNodeMemory.");
    LightLogExt(40000, 0, kSrc, __LINE__, "###### Get Memory fail and close socked<%d>.", fd);
}

void CQuorTCPServerSocket::LightLogForAddClientIP(QuorClientAddKind kind, const char* ip, uint32_t count)
{
    switch (kind) {
    case QUOR_CLIENT_ADD_FIRST:
        LightLogExt(20000, 0, kSrc, __LINE__, "Add the first IP client<%s> and IP client number is <%u>.", ip, count);
        break;
    case QUOR_CLIENT_ADD_DIFFERENT:
        LightLogExt(20000, 0, kSrc, __LINE__,
                    "Add different IP client<%s> to list and current client number is <%d>.", ip, (int)count);
        break;
    case QUOR_CLIENT_ADD_EXISTING:
        LightLogExt(20000, 0, kSrc, __LINE__, "Add the existing(in list) IP client<%s> number to <%u>.", ip, count);
        break;
    }
}

void CQuorTCPServerSocket::LightLogForDeleteClientIP(const char* ip, uint32_t count)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "Delete client node<%s> and client number is <%u> at IP<%s>.", ip, count,
                ip);
}

void CQuorTCPServerSocket::LightLogForReduceClientIPNum(const char* ip, uint32_t count)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "Reduce client number to <%u> at IP<%s>.", count, ip);
}

void CQuorTCPServerSocket::LightLogForClientNumOutOfRange(const char* ip, uint32_t limit, int fd)
{
    LightLogExt(40000, 0, kSrc, __LINE__,
                "######IP client existing(in list) number is much more than <%u> at IP<%s>, close socket<%d>.", limit,
                ip, fd);
}

void CQuorTCPServerSocket::LightLogForFindIPFromList(const char* ip)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "######Don't Find IP<%s> from TCP Linking List.", ip);
}
