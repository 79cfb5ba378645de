// One client connection of the TCP command port: see QuorVelmarTCPSessionTask.h.
#include "QuorVelmarTCPSessionTask.h"

#include <strings.h>

#include <climits>
#include <cstring>
#include <new>
#include <set>

#include "LightLog.h"
#include "MemoryPool.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarCrLf.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarTCPServerSocket.h"

// Tasks may still run on pool 7's threads while the process exits: the pool
// and its objects are never destroyed.
CObjectPool<CQuorVelmarTCPSessionTask>& g_MemPool_VelmarTCPSession =
    *new CObjectPool<CQuorVelmarTCPSessionTask>(100);

namespace {

const char kSrc[] = "src/QuorVelmarTCPSessionTask";
const char kEdidCommand[] = "SET EDID_W";
const size_t kEdidCommandLen = sizeof(kEdidCommand) - 1;

// Process-wide session identifiers.
OSMutex& SessionIdMutex()
{
    static OSMutex* mutex = new OSMutex;
    return *mutex;
}
int32_t s_s32LastSessionId = 0;
std::set<int32_t>& LiveSessionIds()
{
    static std::set<int32_t>* ids = new std::set<int32_t>;
    return *ids;
}

}  // namespace

CQuorVelmarTCPSessionTask* GetObjOfVelmarTCPSession()
{
    LightLogExt(10000, 0, kSrc, __LINE__, "get memory from g_MemPool_VelmarTCPSession<%d><%d>",
                (int)g_MemPool_VelmarTCPSession.GetCreatedCount(), (int)g_MemPool_VelmarTCPSession.GetInUseCount());
    return g_MemPool_VelmarTCPSession.GetNew();
}

void FreeObjOfVelmarTCPSession(CQuorVelmarTCPSessionTask* session)
{
    if (session == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### FreeObjOfVelmarTCPSession session is NULL.");
        return;
    }
    g_MemPool_VelmarTCPSession.Free(session);
    LightLogExt(10000, 0, kSrc, __LINE__, "free memory[%x] from g_MemPool_VelmarTCPSession<%d><%d>",
                (unsigned)(uintptr_t)session, (int)g_MemPool_VelmarTCPSession.GetCreatedCount(),
                (int)g_MemPool_VelmarTCPSession.GetInUseCount());
}

// ---- The session's socket ------------------------------------------------------

// Reports write readiness as TASK_EVT_WRITE (the default reports every kind
// as a read) and tells the session that its interest was used up.
class CQuorVelmarTCPSessionTask::CSessionSocket : public QuorTCPSocket<7> {
public:
    explicit CSessionSocket(CQuorVelmarTCPSessionTask* owner)
        : QuorTCPSocket<7>(nullptr, QUOR_SOCKET_NONBLOCKING), m_pOwner(owner) {}
    void ProcessEvent(int eventKind) override { m_pOwner->SocketReady(eventKind); }

private:
    CQuorVelmarTCPSessionTask* m_pOwner;
};

// ---- Identifiers -------------------------------------------------------------------

int32_t CQuorVelmarTCPSessionTask::TakeSessionId()
{
    OSMutexLocker locker(&SessionIdMutex());
    std::set<int32_t>& live = LiveSessionIds();
    int32_t id = s_s32LastSessionId;
    do {
        id = id >= INT32_MAX || id < 0 ? 1 : id + 1;
    } while (live.count(id) != 0);  // at most 101 are live
    live.insert(id);
    s_s32LastSessionId = id;
    return id;
}

void CQuorVelmarTCPSessionTask::GiveBackSessionId(int32_t id)
{
    OSMutexLocker locker(&SessionIdMutex());
    LiveSessionIds().erase(id);
}

void CQuorVelmarTCPSessionTask::SetLastSessionId(int32_t id)
{
    OSMutexLocker locker(&SessionIdMutex());
    s_s32LastSessionId = id;
}

uint32_t CQuorVelmarTCPSessionTask::GetLiveSessionIdCount()
{
    OSMutexLocker locker(&SessionIdMutex());
    return (uint32_t)LiveSessionIds().size();
}

// ---- Life cycle ----------------------------------------------------------------------

CQuorVelmarTCPSessionTask::CQuorVelmarTCPSessionTask()
{
    SetTaskName("CQuorVelmarTCPSessionTask");
    memset(m_cReadBuf, 0, sizeof(m_cReadBuf));
    memset(m_cFrameBuf, 0, sizeof(m_cFrameBuf));
}

CQuorVelmarTCPSessionTask::~CQuorVelmarTCPSessionTask()
{
    ReleaseSocket();
}

bool CQuorVelmarTCPSessionTask::Initialize(CQuorTCPServerSocket* server)
{
    ClearFrame();
    memset(m_cReadBuf, 0, sizeof(m_cReadBuf));
    ClearSendList();
    m_s64NextSendMs = 0;
    m_bReadPaused = false;
    ReleaseSocket();  // none, unless the last connection never closed
    int32_t previous = m_s32SrcNo2.exchange(0);
    if (previous != 0)
        GiveBackSessionId(previous);
    int32_t id = TakeSessionId();
    void* block = GetMemPoolAllMsg((int32_t)sizeof(CSessionSocket), nullptr);
    if (block == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######TCPSession<%d>: Put in for memory for m_pTCPSocket failed!", id);
        GiveBackSessionId(id);
        return false;
    }
    m_pTCPSocket.store(new (block) CSessionSocket(this));
    m_pServer.store(server);
    m_u32RequestedEvents.store(QUOR_EV_READ);  // what the listener asks for when it attaches
    m_s32SrcNo2.store(id, std::memory_order_release);  // last: a run that sees it sees the rest
    Signal(TASK_EVT_START);
    LightLogExt(20000, 0, kSrc, __LINE__, "TCPSession<%d>: Initialize CQuorVelmarTCPSessionTask successful!", id);
    return true;
}

QuorTCPSocket<7>* CQuorVelmarTCPSessionTask::GetSocket() const
{
    return m_pTCPSocket.load();
}

void CQuorVelmarTCPSessionTask::ReleaseSocket()
{
    CSessionSocket* socket = m_pTCPSocket.exchange(nullptr);
    if (socket == nullptr)
        return;
    socket->Cleanup();  // the event thread closes a watched descriptor
    socket->~CSessionSocket();
    FreeMemPoolAllMsg((int32_t)sizeof(CSessionSocket), socket);
}

void CQuorVelmarTCPSessionTask::CloseTcpTask()
{
    int32_t id = GetSrcNo2();
    if (m_pTCPSocket.load() != nullptr) {
        LightLogExt(10000, 0, kSrc, __LINE__, "CloseTcpTask SrcNo2 is <%u>.", (unsigned)id);
        CQuorTCPServerSocket* server = m_pServer.exchange(nullptr);
        if (server != nullptr)
            server->DeleteTCPSessionBySrcNo2(id);  // nothing reaches this session after this
        ReleaseSocket();
    }
    ClearSendList();
    ClearFrame();
    memset(m_cReadBuf, 0, sizeof(m_cReadBuf));
    m_s32SrcNo2.store(0, std::memory_order_release);
    if (id != 0)
        GiveBackSessionId(id);
    FreeObjOfVelmarTCPSession(this);
}

// ---- Events ----------------------------------------------------------------------------

void CQuorVelmarTCPSessionTask::SocketReady(int eventKind)
{
    m_u32RequestedEvents.store(0);  // one-shot: the event thread dropped the interest
    Signal(eventKind == QUOR_EV_WRITE ? TASK_EVT_WRITE : TASK_EVT_READ);
}

// The listener makes the session the socket's task once the connection is
// set up (non-blocking); until then there is nothing to read or write.
bool CQuorVelmarTCPSessionTask::IsAttached() const
{
    CSessionSocket* socket = m_pTCPSocket.load();
    return socket != nullptr && socket->GetTask() != nullptr;
}

void CQuorVelmarTCPSessionTask::RenewInterest(bool wantWrite)
{
    uint32_t want = (m_bReadPaused ? 0 : QUOR_EV_READ) | (wantWrite ? QUOR_EV_WRITE : 0);
    if (want == 0 || m_u32RequestedEvents.load() == want)
        return;
    m_u32RequestedEvents.store(want);
    int err = m_pTCPSocket.load()->RequestEvent((int)want);
    if (err != 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "######TCPSession<%d>: request of socket events <%u> failed, err<%d>.",
                    GetSrcNo2(), want, err);
}

int64_t CQuorVelmarTCPSessionTask::Run()
{
    uint32_t events = GetEvents();
    if (GetSrcNo2() == 0 || m_pTCPSocket.load() == nullptr)
        return 0;  // back in the pool: a late signal of a closed connection
    if (!IsAttached())
        return HasQueuedOutput() ? kAttachWaitMs : 0;
    if ((events & TASK_EVT_READ) != 0 && ProcessReadEvent() == kReadClosed)
        return 0;  // the object may already serve another connection
    UpdateReadPause();
    // Queued output goes out whatever woke the session: a read and a write
    // event taken in the same pass are both handled.
    DrainResult drained = kDrainEmpty;
    int64_t wait = 0;
    if (HasQueuedOutput()) {
        wait = m_s64NextSendMs - OS::Milliseconds();
        if (wait <= 0) {
            drained = SendBatch();
            wait = drained == kDrainMore ? kSendPauseMs : 0;
        }
    }
    RenewInterest(drained == kDrainBlocked);
    if (m_bReadPaused && (wait == 0 || wait > kResumeCheckMs))
        wait = kResumeCheckMs;
    return wait;
}

// Backpressure: while the management task holds too many of this client's
// lines (or of all clients'), the session leaves the socket unread, the
// kernel's buffers fill and TCP slows the client down.
void CQuorVelmarTCPSessionTask::UpdateReadPause()
{
    CQuorVelmarManageTask* task = g_pVelmarManageTask;
    if (task == nullptr)
        return;
    int32_t id = GetSrcNo2();
    if (m_bReadPaused)
        m_bReadPaused = task->TcpLinesAbove(id, kOwnLinesLowMark, kAllLinesLowMark);
    else
        m_bReadPaused = task->TcpLinesAbove(id, kOwnLinesHighMark, kAllLinesHighMark);
}

// ---- Receiving --------------------------------------------------------------------------

CQuorVelmarTCPSessionTask::ReadResult CQuorVelmarTCPSessionTask::ProcessReadEvent()
{
    int32_t id = GetSrcNo2();
    CSessionSocket* socket = m_pTCPSocket.load();
    if (socket == nullptr) {
        LightLogExt(20000, 0, kSrc, __LINE__, "TCPSession<%d>: m_pTCPSocket is NULL, return!", id);
        CloseTcpTask();
        return kReadClosed;
    }
    uint32_t got = 0;
    int err = socket->Read(m_cReadBuf, kReadChunk, &got);
    if (err == EAGAIN) {
        LightLogExt(10000, 0, kSrc, __LINE__, "TCPSession<%d>: Read no data!Error code<%d>", id, err);
        return kReadKept;
    }
    if (err != 0)
        return CloseAfterReadError(err, got);
    m_cReadBuf[got] = '\0';
    LightLogExt(20000, 0, kSrc, __LINE__, "Reade TCP Msg is <%s>, unOutLen is <%d>", m_cReadBuf, (int)got);
    if (got >= kEdidCommandLen && strncasecmp(m_cReadBuf, kEdidCommand, kEdidCommandLen) == 0)
        HandOnWholeRead(got);
    else
        DoRecognition0D0AForOneFramMsg(m_cReadBuf, got);
    memset(m_cReadBuf, 0, got + 1);
    return kReadKept;
}

CQuorVelmarTCPSessionTask::ReadResult CQuorVelmarTCPSessionTask::CloseAfterReadError(int err, uint32_t got)
{
    int32_t id = GetSrcNo2();
    LightLogExt(40000, 0, kSrc, __LINE__, "TCPSession<%d>: Socket receive data error! theErr = %d,unOutLen = %u", id,
                err, got);
    LightLogExt(20000, 0, kSrc, __LINE__, "TCPSession<%d>: At present,ProcessReadEvent error! Need to close link!",
                id);
    CloseTcpTask();
    return kReadClosed;
}

// A "SET EDID_W" read carries binary data: it goes on whole, as it came.
void CQuorVelmarTCPSessionTask::HandOnWholeRead(uint32_t length)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "@@@@@@Recevie One Tcp Frame is <%s>, len is <%d> content is <%s>.",
                kEdidCommand, (int)length, m_cReadBuf);
    T_QuorStringMsg message;
    memset(&message, 0, sizeof(message));
    message.u8Scope = QUOR_STRING_SCOPE_TCP;
    message.s32SessionId = GetSrcNo2();
    message.u16Length = (uint16_t)length;  // at most 2047: one read
    memcpy(message.cMsg, m_cReadBuf, length);
    CQuorVelmarCommLayer::Msg_StringRecved(message);
}

void CQuorVelmarTCPSessionTask::ClearFrame()
{
    m_u32FrameLen = 0;
    m_cFrameBuf[0] = '\0';
    m_bSkipping = false;
    m_bSkippedCr = false;
}

void CQuorVelmarTCPSessionTask::DoRecognition0D0AForOneFramMsg(const char* bytes, uint32_t length)
{
    if (bytes == nullptr)
        return;
    uint32_t pos = 0;
    while (pos < length) {
        if (m_bSkipping) {
            pos += SkipToLineEnd(bytes + pos, length - pos, &m_bSkipping, &m_bSkippedCr);
            continue;
        }
        uint32_t take = length - pos;
        if (take > kFrameBufSize - m_u32FrameLen)
            take = kFrameBufSize - m_u32FrameLen;
        memcpy(m_cFrameBuf + m_u32FrameLen, bytes + pos, take);
        m_u32FrameLen += take;
        m_cFrameBuf[m_u32FrameLen] = '\0';
        pos += take;
        HandOnCompleteLines();
        if (m_u32FrameLen < kFrameBufSize)
            continue;
        // Full and without CR LF: this line can never be handed on.
        LightLogExt(40000, 0, kSrc, __LINE__, "######TcpMsg Len is arrive <%d>, to long and it's not have \\r\\n.",
                    (int)kFrameBufSize);
        bool endsWithCr = m_cFrameBuf[kFrameBufSize - 1] == '\r';
        ClearFrame();
        m_bSkipping = true;
        m_bSkippedCr = endsWithCr;
    }
}

void CQuorVelmarTCPSessionTask::HandOnCompleteLines()
{
    uint32_t start = 0;
    while (const char* crlf = FindCrLf(m_cFrameBuf + start, m_u32FrameLen - start)) {
        uint32_t lineLength = (uint32_t)(crlf - (m_cFrameBuf + start)) + 2;
        if (lineLength > 2)  // an empty line is dropped
            HandOnLine(m_cFrameBuf + start, lineLength);
        start += lineLength;
    }
    DropFront(m_cFrameBuf, &m_u32FrameLen, start);
}

// One line with its CR LF.
void CQuorVelmarTCPSessionTask::HandOnLine(const char* text, uint32_t length)
{
    int32_t id = GetSrcNo2();
    if (length > kMaxLineBytes) {
        // Cut, the command would reach the MCU without its CR LF.
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "######TCPSession<%d>: TcpMsg line of <%u> bytes is longer than <%u>, dropped.", id, length,
                    (unsigned)kMaxLineBytes);
        return;
    }
    T_QuorStringMsg message;
    memset(&message, 0, sizeof(message));
    message.u8Scope = QUOR_STRING_SCOPE_TCP;
    message.s32SessionId = id;
    message.u16Length = (uint16_t)length;
    memcpy(message.cMsg, text, length);
    LightLogExt(20000, 0, kSrc, __LINE__, "@@@@@@Recevie One Tcp Frame is <%s>.", message.cMsg);
    CQuorVelmarCommLayer::Msg_StringRecved(message);
}

// ---- Send list ---------------------------------------------------------------------------

void CQuorVelmarTCPSessionTask::AddOneTcpMsgToSendList(const char* text, uint8_t mode)
{
    if (text == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Find AddOneTcpSendMsgToList inParams be NULL!");
        return;
    }
    size_t length = strnlen(text, kMaxLineBytes + 1);
    if (length > kMaxLineBytes) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######TCPSession<%d>: TcpMsg to send is longer than <%u>, cut.",
                    GetSrcNo2(), (unsigned)kMaxLineBytes);
        length = kMaxLineBytes;
    }
    {
        OSMutexLocker locker(&m_SendListMutex);
        m_SendList.push_back(SendRecord{mode, 0, std::string(text, length)});
        m_u32QueuedBytes += (uint32_t)length;
        while ((m_u32QueuedBytes > kMaxQueuedBytes || m_SendList.size() > kMaxQueuedLines) && DropOldestLocked()) {
        }
    }
    Signal(TASK_EVT_WRITE);
}

// Drops the oldest line that has not begun to go out; false when there is
// none (cannot happen while over the bounds: one line is far below them).
bool CQuorVelmarTCPSessionTask::DropOldestLocked()
{
    size_t index = (m_bHeadInFlight || m_SendList.front().u32Sent > 0) ? 1 : 0;
    if (index >= m_SendList.size())
        return false;
    m_u32QueuedBytes -= (uint32_t)m_SendList[index].text.size();
    m_SendList.erase(m_SendList.begin() + (long)index);
    if (m_u32Dropped++ == 0)
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "######TCPSession<%d>: client does not read, send list over <%u> bytes or <%u> lines, oldest "
                    "lines are dropped.",
                    GetSrcNo2(), (unsigned)kMaxQueuedBytes, (unsigned)kMaxQueuedLines);
    return true;
}

// Under the send-list mutex: once the list has drained, the drops of the
// episode are logged with their count.
void CQuorVelmarTCPSessionTask::EndDropEpisodeLocked()
{
    if (m_u32Dropped == 0 || !m_SendList.empty())
        return;
    LightLogExt(40000, 0, kSrc, __LINE__, "######TCPSession<%d>: <%u> lines dropped while the client did not read.",
                GetSrcNo2(), m_u32Dropped);
    m_u32Dropped = 0;
}

bool CQuorVelmarTCPSessionTask::HasQueuedOutput()
{
    OSMutexLocker locker(&m_SendListMutex);
    return !m_SendList.empty();
}

uint32_t CQuorVelmarTCPSessionTask::GetSendListLength()
{
    OSMutexLocker locker(&m_SendListMutex);
    return (uint32_t)m_SendList.size();
}

uint32_t CQuorVelmarTCPSessionTask::GetQueuedBytes()
{
    OSMutexLocker locker(&m_SendListMutex);
    return m_u32QueuedBytes;
}

void CQuorVelmarTCPSessionTask::ClearSendList()
{
    OSMutexLocker locker(&m_SendListMutex);
    m_SendList.clear();
    m_u32QueuedBytes = 0;
    m_u32Dropped = 0;
    m_bHeadInFlight = false;
}

// ---- Sending ---------------------------------------------------------------------------------

// Copies the unsent part of the head (which then stays in place) into text.
bool CQuorVelmarTCPSessionTask::TakeHeadForSending(char* text, uint32_t* length, uint8_t* mode, bool* fresh)
{
    OSMutexLocker locker(&m_SendListMutex);
    if (m_SendList.empty())
        return false;
    const SendRecord& head = m_SendList.front();
    *length = (uint32_t)head.text.size() - head.u32Sent;
    memcpy(text, head.text.data() + head.u32Sent, *length);
    text[*length] = '\0';
    *mode = head.u8Mode;
    *fresh = head.u32Sent == 0;
    m_bHeadInFlight = true;
    return true;
}

// Copies a mode-0 head into every other session's list, then keeps it as
// this client's own line.
void CQuorVelmarTCPSessionTask::FanOutHead(const char* text)
{
    CQuorTCPServerSocket* server = m_pServer.load();
    if (server != nullptr)
        server->FanOutTcpMsg(text, this);
    OSMutexLocker locker(&m_SendListMutex);
    if (!m_SendList.empty())  // the head stays while in flight
        m_SendList.front().u8Mode = QUOR_STRING_MODE_ONE_CLIENT;
}

// sent more bytes of the head went out (dropRest: the rest is given up).
// True when more lines wait behind a finished head.
bool CQuorVelmarTCPSessionTask::FinishHeadPart(uint32_t sent, bool dropRest)
{
    OSMutexLocker locker(&m_SendListMutex);
    m_bHeadInFlight = false;
    if (m_SendList.empty())
        return false;  // cleared meanwhile
    SendRecord& head = m_SendList.front();
    uint32_t left = (uint32_t)head.text.size() - head.u32Sent;
    if (dropRest)
        sent = left;
    head.u32Sent += sent;
    m_u32QueuedBytes -= sent;
    if (sent < left)
        return false;
    m_SendList.pop_front();
    EndDropEpisodeLocked();
    return !m_SendList.empty();
}

// One batch: the lines queued when it began, as far as the socket takes
// them. When lines are left (queued meanwhile, or the socket is full) the
// next batch follows kSendPauseMs after; a batch that emptied the list ends
// the run, and the next line (the answer to the client's next command) is the
// first of a new one and goes at once.
CQuorVelmarTCPSessionTask::DrainResult CQuorVelmarTCPSessionTask::SendBatch()
{
    DrainResult result = kDrainEmpty;
    for (uint32_t left = GetSendListLength(); left > 0; --left) {
        result = SendOneRecord();
        if (result != kDrainMore)
            break;
    }
    bool linesLeft = result != kDrainEmpty || HasQueuedOutput();
    m_s64NextSendMs = linesLeft ? OS::Milliseconds() + kSendPauseMs : 0;
    return result;
}

CQuorVelmarTCPSessionTask::DrainResult CQuorVelmarTCPSessionTask::SendOneRecord()
{
    char text[kMaxLineBytes + 1];
    uint32_t length = 0;
    uint8_t mode = 0;
    bool fresh = false;
    if (!TakeHeadForSending(text, &length, &mode, &fresh))
        return kDrainEmpty;
    if (mode == QUOR_STRING_MODE_ALL_CLIENTS) {
        LightLogExt(10000, 0, kSrc, __LINE__, "Send to All Client TcpMsg is <%s> .", text);
        FanOutHead(text);
    } else if (mode == QUOR_STRING_MODE_ONE_CLIENT) {
        if (fresh)
            LightLogExt(10000, 0, kSrc, __LINE__, "Send to One Client TcpMsg is <%s> .", text);
    } else {
        return FinishHeadPart(0, true) ? kDrainMore : kDrainEmpty;  // sends nothing
    }
    uint32_t sent = 0;
    int err = SendTcpMsg(text, length, &sent);
    if (err == EAGAIN) {
        FinishHeadPart(0, false);
        return kDrainBlocked;
    }
    bool more = FinishHeadPart(sent, err != 0);  // a failed line is lost for this client
    if (err == 0 && sent < length) {
        LightLogExt(10000, 0, kSrc, __LINE__, "TCPSession<%d>: sent <%u> of <%u> bytes, the rest waits.", GetSrcNo2(),
                    sent, length);
        return kDrainBlocked;
    }
    return more ? kDrainMore : kDrainEmpty;
}

int CQuorVelmarTCPSessionTask::SendTcpMsg(const char* text, uint32_t length, uint32_t* sent)
{
    *sent = 0;
    CSessionSocket* socket = m_pTCPSocket.load();
    if (text == nullptr || socket == nullptr)
        return ENOTCONN;
    int err = socket->Send(text, length, sent);
    if (err != 0 && err != EAGAIN)
        LightLogExt(40000, 0, kSrc, __LINE__, "TCPSession<%d>: Send TCP data error! Error code is <%d>", GetSrcNo2(),
                    err);
    return err;
}
