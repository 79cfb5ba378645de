// The management task: queues, the pass of Run, timeouts, the deferred
// network reconfiguration and the send operations. The start flow is in
// QuorVelmarManageTaskStartFlow.cpp, the MCU answers in
// QuorVelmarManageTaskMcuRsp.cpp, the TCP command set in
// QuorVelmarManageTaskTcpCmd.cpp, the display RS-232 control in
// QuorVelmarManageTaskRs232.cpp and the group messages in
// QuorVelmarManageTaskGroup.cpp.
#include "QuorVelmarManageTask.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "LightLog.h"
#include "MemoryPool.h"
#include "OSThread.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarFunction.h"
#include "QuorVelmarMetrics.h"
#include "QuorUdpIntake.h"
#include "QuorVelmarTCPSrvCreate.h"
#include "QuorVelmarUartTask.h"
#include "QuorVelmarUartTwoTask.h"

CQuorVelmarManageTask* g_pVelmarManageTask = nullptr;

std::atomic<bool> g_b8RebootFlag{false};
std::atomic<bool> g_b8DoConfigip{false};
std::atomic<bool> g_b8LearnEDIDOK{false};
OSMutex g_mtLedFlicker;
std::atomic<uint8_t> g_LedFilckerStatus{0};

namespace {

const char kSrc[] = "src/QuorVelmarManageTask";

// Timeout period of the task.
const uint32_t kTimeoutSeconds = 1;
// The reboot follows on the tick after this many.
const uint16_t kRebootTicks = 4;
// Packets and lines handled per source in one pass of Run.
const uint32_t kBatchSize = 64;

std::atomic<CQuorVelmarManageTask::TcpSendFn> s_pfnTcpSend{nullptr};
std::atomic<CQuorVelmarManageTask::PauseFn> s_pfnPause{nullptr};

// The packet record takes a small-message block where it fits (32-bit board),
// else a block of the smallest general class (64-bit hosts: the pointer makes
// it larger than the small-message block).
bool PacketFitsSmallBlock()
{
    return sizeof(T_QuorUdpPacket) <= (size_t)g_MPVelmarMsg.GetBlockSize();
}

T_QuorUdpPacket* NewPacketRecord()
{
    void* block = PacketFitsSmallBlock() ? GetMemPoolVelmarMsg()
                                         : GetMemPoolAllMsg((int32_t)sizeof(T_QuorUdpPacket), nullptr);
    return static_cast<T_QuorUdpPacket*>(block);
}

void FreePacketRecord(T_QuorUdpPacket* packet)
{
    if (PacketFitsSmallBlock())
        FreeMemPoolVelmarMsg(packet);
    else
        FreeMemPoolAllMsg((int32_t)sizeof(T_QuorUdpPacket), packet);
}

// Runs one command of the configip sequence ("Do <what>pox_system <command>
// OK." on success): true on success.
bool RunConfigipStep(const char* command, const char* what)
{
    char buffer[512];
    snprintf(buffer, sizeof(buffer), "%s", command);
    int status = pox_system(buffer);
    if (status != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######pox_system <%s> Error and s32Rst is <%d>.", buffer, status);
        return false;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "Do %spox_system <%s> OK.", what, buffer);
    return true;
}

}  // namespace

// A queued line holds only its own bytes: a short line costs a short node.
struct CQuorVelmarManageTask::StringNode {
    StringNode(const T_QuorStringMsg& message, uint64_t arrival)
        : u64Arrival(arrival),
          u8Scope(message.u8Scope),
          s32SessionId(message.s32SessionId),
          // A "SET EDID_W" read holds binary bytes, NULs too: the length counts.
          text(message.cMsg, std::min<size_t>(message.u16Length, QUOR_STRING_MSG_TEXT_SIZE - 1)),
          bMcuBound(message.u8Scope == QUOR_STRING_SCOPE_TCP && IsMcuBoundTcpLine(message))
    {
    }
    bool IsSerial() const { return u8Scope == QUOR_STRING_SCOPE_SERIAL; }
    bool IsTcp() const { return u8Scope == QUOR_STRING_SCOPE_TCP; }

    uint64_t u64Arrival;   // order of arrival over all sources
    uint8_t u8Scope;
    int32_t s32SessionId;
    std::string text;
    bool bMcuBound;        // a TCP line that may write to the MCU
};

CQuorVelmarManageTask::CQuorVelmarManageTask()
{
    SetTaskName("CQuorVelmarManageTask");
}

CQuorVelmarManageTask::~CQuorVelmarManageTask()
{
    delete m_pMgTaskTimeout.load();
    if (m_pTCPSessionTask != nullptr)
        FreeObjOfVelmarTCPSession(m_pTCPSessionTask);
    while (T_QuorUdpPacket* packet = TakeUdpPacket())
        FreeUdpPacket(packet);
    T_QuorStringMsg message;
    while (TakeStringMsg(&message)) {
    }
}

int CQuorVelmarManageTask::Initialize()
{
    m_pTCPSessionTask = GetObjOfVelmarTCPSession();
    if (m_pTCPSessionTask == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Get m_pTCPSessionTask Memory Fail.");
        return -1;
    }
    Rs232EndFlgMapping();
    Signal(TASK_EVT_START);
    DoVelmarStartFlow();
    // Armed at once: due in one second.
    if (QuorSecTimeoutTask<2>::Start(this, kTimeoutSeconds, m_pMgTaskTimeout))
        return 0;
    LightLogExt(40000, 0, kSrc, __LINE__, "######new m_pMgTaskTimeout failed! when CQuorVelmarManageTask().");
    return -1;
}

int64_t CQuorVelmarManageTask::Run()
{
    uint32_t events = GetEvents();
    // A bounded batch of each source per pass: packets, lines and ticks
    // take turns; what is left waits for the next pass.
    if (events & TASK_EVT_READ) {
        bool more = ProcessUdpBatch(kBatchSize);
        more = ProcessStringBatch(kBatchSize) || more;
        if (more)
            Signal(TASK_EVT_READ);
    }
    if (events & TASK_EVT_TIMEOUT)
        HandleTimeout();
    DoConfigipIfRequested();
    return 0;
}

// ---- Timeouts and deferred actions ---------------------------------------------

void CQuorVelmarManageTask::HandleTimeout()
{
    if (QuorSecTimeoutTask<2>* timeout = m_pMgTaskTimeout.load())
        timeout->RefreshTimeout();
    if (IsStartFlowRunning())
        ProcessStartFlowReSend();
    CountRebootTick();
    LightLogReportHeldBack(false);
    // Lines reach the log file within a tick, also when little is logged.
    LightLogFlush();
}

void CQuorVelmarManageTask::CountRebootTick()
{
    if (!g_b8RebootFlag.load())
        return;
    if (++m_u16RebootTicks > kRebootTicks) {
        m_u16RebootTicks = 0;
        RebootSystem();
    }
}

void CQuorVelmarManageTask::DoConfigipIfRequested()
{
    if (!g_b8DoConfigip.exchange(false))
        return;
    Pause(50);
    if (RunConfigipStep("configip", "configip ") && RunConfigipStep("sync", ""))
        RunConfigipStep("reboot", "reboot ");
}

// ---- String list -----------------------------------------------------------

int CQuorVelmarManageTask::AddStringPacketToProcessList(const T_QuorStringMsg& message)
{
    StringNode* node = new (std::nothrow) StringNode(message, 0);
    if (node == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Fail to new string node, When AddStringPacketToProcessList().");
        return -1;
    }
    std::vector<StringNode*> dropped;
    {
        OSMutexLocker locker(&m_StringListMutex);
        node->u64Arrival = m_u64Arrivals++;
        if (node->IsTcp()) {
            std::deque<StringNode*>& own = m_TcpLinesBySession[node->s32SessionId];
            if (own.empty())
                m_TcpTurns.push_back(node->s32SessionId);
            own.push_back(node);
            ++m_u32TcpLines;
        } else {
            if (node->IsSerial())
                MakeRoomForSerialLine((uint32_t)node->text.size(), &dropped);
            m_OtherLines.push_back(node);
            if (node->IsSerial()) {
                ++m_u32SerialLines;
                m_u32SerialBytes += (uint32_t)node->text.size();
            }
        }
    }
    for (StringNode* old : dropped)
        delete old;
    return 0;
}

// Under the list mutex: drops the oldest serial lines until one of length
// bytes fits both bounds.
void CQuorVelmarManageTask::MakeRoomForSerialLine(uint32_t bytes, std::vector<StringNode*>* dropped)
{
    while (m_u32SerialLines >= kMaxSerialLines ||
           (m_u32SerialLines > 0 && m_u32SerialBytes + bytes > kMaxSerialBytes)) {
        StringNode* oldest = UnlinkOldestSerialLine();
        if (oldest == nullptr)
            return;
        dropped->push_back(oldest);
    }
}

// Under the list mutex: takes the oldest serial line out of the list; the
// first drop of an episode is logged, the count when it ends.
CQuorVelmarManageTask::StringNode* CQuorVelmarManageTask::UnlinkOldestSerialLine()
{
    for (std::deque<StringNode*>::iterator it = m_OtherLines.begin(); it != m_OtherLines.end(); ++it) {
        StringNode* node = *it;
        if (!node->IsSerial())
            continue;
        m_OtherLines.erase(it);
        CountSerialTaken(*node);
        CQuorVelmarMetrics::Add(CQuorVelmarMetrics::kSerialLinesDropped);
        if (m_u32SerialDropped++ == 0)
            LightLogExt(40000, 0, kSrc, __LINE__,
                        "######Serial lines waiting exceed <%u> lines or <%u> bytes, the oldest are dropped until "
                        "the list drains.",
                        (unsigned)kMaxSerialLines, (unsigned)kMaxSerialBytes);
        return node;
    }
    return nullptr;
}

// Under the list mutex: one serial line fewer waits; a drop episode ends
// once half of both bounds is free again.
void CQuorVelmarManageTask::CountSerialTaken(const StringNode& node)
{
    if (!node.IsSerial())
        return;
    --m_u32SerialLines;
    m_u32SerialBytes -= (uint32_t)node.text.size();
    if (m_u32SerialDropped != 0 && m_u32SerialLines <= kMaxSerialLines / 2 &&
        m_u32SerialBytes <= kMaxSerialBytes / 2) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Serial lines dropped while the list was full: <%u>.",
                    m_u32SerialDropped);
        m_u32SerialDropped = 0;
    }
}

// Under the list mutex: takes the head line of a session; the session leaves
// the turns when it has no line left, else goes to the back of them.
CQuorVelmarManageTask::StringNode* CQuorVelmarManageTask::UnlinkSessionHead(int32_t session)
{
    std::map<int32_t, std::deque<StringNode*>>::iterator own = m_TcpLinesBySession.find(session);
    if (own == m_TcpLinesBySession.end() || own->second.empty())
        return nullptr;
    StringNode* node = own->second.front();
    own->second.pop_front();
    --m_u32TcpLines;
    m_TcpTurns.erase(std::find(m_TcpTurns.begin(), m_TcpTurns.end(), session));
    if (own->second.empty())
        m_TcpLinesBySession.erase(own);
    else
        m_TcpTurns.push_back(session);
    return node;
}

// Under the list mutex: the line that arrived first over all sources.
CQuorVelmarManageTask::StringNode* CQuorVelmarManageTask::UnlinkOldest()
{
    StringNode* oldest = m_OtherLines.empty() ? nullptr : m_OtherLines.front();
    for (const auto& own : m_TcpLinesBySession) {
        if (oldest == nullptr || own.second.front()->u64Arrival < oldest->u64Arrival)
            oldest = own.second.front();
    }
    if (oldest == nullptr)
        return nullptr;
    if (oldest->IsTcp())
        return UnlinkSessionHead(oldest->s32SessionId);
    m_OtherLines.pop_front();
    CountSerialTaken(*oldest);
    return oldest;
}

// Under the list mutex: the next line in turn. Lines of the serial lines
// and of the TCP sessions are taken by age; the sessions take turns, one
// line each, so a quiet client waits for at most one line of each busy one.
// While the MCU line's queue is full (mcuBusy), a session whose next line
// is bound for the MCU is passed over and keeps its line.
CQuorVelmarManageTask::StringNode* CQuorVelmarManageTask::UnlinkNextInTurn(bool mcuBusy)
{
    StringNode* session = nullptr;
    for (int32_t id : m_TcpTurns) {
        StringNode* head = m_TcpLinesBySession[id].front();
        if (!mcuBusy || !head->bMcuBound) {
            session = head;
            break;
        }
    }
    StringNode* other = m_OtherLines.empty() ? nullptr : m_OtherLines.front();
    if (session != nullptr && (other == nullptr || session->u64Arrival < other->u64Arrival))
        return UnlinkSessionHead(session->s32SessionId);
    if (other == nullptr)
        return nullptr;
    m_OtherLines.pop_front();
    CountSerialTaken(*other);
    return other;
}

void CQuorVelmarManageTask::CopyOut(StringNode* node, T_QuorStringMsg* message)
{
    memset(message, 0, sizeof(*message));
    message->u8Scope = node->u8Scope;
    message->s32SessionId = node->s32SessionId;
    message->u16Length = (uint16_t)node->text.size();
    memcpy(message->cMsg, node->text.data(), node->text.size());
    delete node;
}

bool CQuorVelmarManageTask::TakeStringMsg(T_QuorStringMsg* message)
{
    StringNode* node;
    {
        OSMutexLocker locker(&m_StringListMutex);
        node = UnlinkOldest();
    }
    if (node == nullptr)
        return false;
    CopyOut(node, message);
    return true;
}

bool CQuorVelmarManageTask::TakeStringMsgInTurn(T_QuorStringMsg* message)
{
    bool mcuBusy = IsMcuLineBusy();
    StringNode* node;
    {
        OSMutexLocker locker(&m_StringListMutex);
        node = UnlinkNextInTurn(mcuBusy);
    }
    if (node == nullptr)
        return false;
    CopyOut(node, message);
    return true;
}

bool CQuorVelmarManageTask::IsMcuLineBusy()
{
    CQuorVelmarUartTask* line = g_pVelmarUartTask;
    return line != nullptr && line->Writer().GetQueuedLines() >= kMcuLinesHighMark;
}

int CQuorVelmarManageTask::ProcessStringMsg()
{
    while (ProcessStringBatch(UINT32_MAX)) {
    }
    return 0;
}

bool CQuorVelmarManageTask::ProcessStringBatch(uint32_t limit)
{
    uint32_t count = std::min(GetStringListLength(), limit);
    T_QuorStringMsg message;
    for (uint32_t i = 0; i < count && TakeStringMsgInTurn(&message); ++i)
        DoStringMsgCommand(message);
    if (GetStringListLength() == 0)
        return false;
    if (!IsMcuLineBusy())
        return true;
    // Lines wait for the MCU line: the line's writer wakes the task once its
    // queue has room (at once when it already has).
    CQuorVelmarUartTask* line = g_pVelmarUartTask;
    return line == nullptr || line->Writer().NotifyWhenBelow(kMcuLinesHighMark) || HasLineInTurn();
}

bool CQuorVelmarManageTask::HasLineInTurn()
{
    OSMutexLocker locker(&m_StringListMutex);
    if (!m_OtherLines.empty())
        return true;
    for (int32_t id : m_TcpTurns) {
        if (!m_TcpLinesBySession[id].front()->bMcuBound)
            return true;
    }
    return false;
}

bool CQuorVelmarManageTask::TcpLinesAbove(int32_t session, uint32_t ownMark, uint32_t allMark)
{
    OSMutexLocker locker(&m_StringListMutex);
    if (m_u32TcpLines > allMark)
        return true;
    std::map<int32_t, std::deque<StringNode*>>::const_iterator own = m_TcpLinesBySession.find(session);
    return own != m_TcpLinesBySession.end() && own->second.size() > ownMark;
}

int CQuorVelmarManageTask::DoStringMsgCommand(const T_QuorStringMsg& message)
{
    switch (message.u8Scope) {
    case QUOR_STRING_SCOPE_SERIAL:
        LightLogExt(20000, 0, kSrc, __LINE__, "Do Uart Msg Command, Msg is <%s>.", message.cMsg);
        ProcessUartMsg(message);
        return 0;
    case QUOR_STRING_SCOPE_TCP:
        LightLogExt(20000, 0, kSrc, __LINE__, "Do Tcp Msg Command, Msg is <%s>, TaskSession is <%d>.",
                    message.cMsg, (int)message.s32SessionId);
        ProcessTcpMsg(message);
        return 0;
    default:
        LightLogExt(40000, 0, kSrc, __LINE__, "######DoStringMsgCommand i_tMsg scop is <%u> Error.",
                    (unsigned)message.u8Scope);
        return -2;
    }
}

uint32_t CQuorVelmarManageTask::GetStringListLength()
{
    OSMutexLocker locker(&m_StringListMutex);
    return (uint32_t)m_OtherLines.size() + m_u32TcpLines;
}

// ---- UDP queue -------------------------------------------------------------

int CQuorVelmarManageTask::AddUdpPacketCopyQueue(const T_MODULE_MSG* message)
{
    if (!CQuorUdpIntake::FitsQueue(message, QUOR_UDP_PACKET_MIN_LEN, QUOR_UDP_PACKET_MAX_LEN, kSrc))
        return -2;
    T_QuorUdpPacket* packet = NewPacketRecord();
    if (packet == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Fail to GetNew pMsg memory! When AddUdpPacketCopyQueue().");
        return -1;
    }
    char* bytes = CQuorUdpIntake::CopyForQueue(message, kSrc);
    if (bytes == nullptr) {
        FreePacketRecord(packet);
        return -1;
    }
    uint32_t length = message->u32MsgLen;
    *packet = T_QuorUdpPacket{0, length, bytes, message->u32RemoteAddr, message->u16RemotePort};

    OSQueueElem* elem = GetVelmarMPQueueElem(packet);
    if (elem == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Fail to GetNew pElem memory, when AddUdpPacketCopyQueue().");
        FreeUdpPacket(packet);
        return -1;
    }
    OSMutexLocker locker(&m_UdpPacketQueueMutex);
    m_UdpPacketQueue.EnQueue(elem);
    return 0;
}

T_QuorUdpPacket* CQuorVelmarManageTask::TakeUdpPacket()
{
    OSQueueElem* elem;
    {
        OSMutexLocker locker(&m_UdpPacketQueueMutex);
        elem = m_UdpPacketQueue.DeQueue();
    }
    if (elem == nullptr)
        return nullptr;
    T_QuorUdpPacket* packet = static_cast<T_QuorUdpPacket*>(elem->GetEnclosingObject());
    FreeVelmarMPQueueElem(elem);
    return packet;
}

void CQuorVelmarManageTask::FreeUdpPacket(T_QuorUdpPacket* packet)
{
    if (packet == nullptr)
        return;
    if (packet->pAllMsg != nullptr)
        FreeMemPoolAllMsg((int32_t)packet->u32MsgLen, packet->pAllMsg);
    packet->pAllMsg = nullptr;
    FreePacketRecord(packet);
}

void CQuorVelmarManageTask::ProcessPrivateUdpMsg()
{
    while (ProcessUdpBatch(UINT32_MAX)) {
    }
}

bool CQuorVelmarManageTask::ProcessUdpBatch(uint32_t limit)
{
    uint32_t count = std::min(GetUdpQueueLength(), limit);
    for (uint32_t i = 0; i < count; ++i) {
        T_QuorUdpPacket* packet = TakeUdpPacket();
        if (packet == nullptr)
            break;
        CQuorVelmarCommLayer::UdpIntakeDrained();
        DoOneUdpPacket(*packet);
        FreeUdpPacket(packet);
    }
    return GetUdpQueueLength() != 0;
}

void CQuorVelmarManageTask::DoOneUdpPacket(const T_QuorUdpPacket& packet)
{
    uint32_t commandId = 0;
    void* record = nullptr;
    CQuorVelmarCommLayer::TranslateOnePackToStruct(packet.pAllMsg, packet.u32MsgLen, &commandId, &record);
    if (record == nullptr) {
        CQuorVelmarMetrics::Add(CQuorVelmarMetrics::kGroupInInvalid);
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Receive One InValid Packet.Length:<%u>; CommandID:<0x%X>.",
                    packet.u32MsgLen, commandId);
        return;
    }
    CQuorVelmarMetrics::CountGroupIn(commandId);
    LightLogExt(20000, 0, kSrc, __LINE__, "@@@@@@ Receive One Packet.Length: <%u>; CommandID: <0x%X>.",
                packet.u32MsgLen, commandId);
    DoOneUdpCommand(commandId, record, packet.u32RemoteAddr);
}

uint32_t CQuorVelmarManageTask::GetUdpQueueLength()
{
    OSMutexLocker locker(&m_UdpPacketQueueMutex);
    return m_UdpPacketQueue.GetLength();
}

// ---- Sending -----------------------------------------------------------------

int CQuorVelmarManageTask::SendUartBuf(uint32_t length, const char* text)
{
    if (text == nullptr)
        return -2;
    LightLogExt(20000, 0, kSrc, __LINE__, "SendUartBuf Msg is <%.*s>, Len is <%d>.", (int)length, text, (int)length);
    CQuorVelmarUartTask* line = g_pVelmarUartTask;
    if (length == 0)
        return 0;
    int result = line != nullptr ? line->QueueUartWrite(text, length) : -2;
    CQuorVelmarMetrics::Add(result > 0 ? CQuorVelmarMetrics::kMcuLinesOut : CQuorVelmarMetrics::kMcuWritesFailed);
    return result;
}

int CQuorVelmarManageTask::SendUart2Buf(uint32_t length, const char* text)
{
    if (text == nullptr)
        return -2;
    LightLogExt(20000, 0, kSrc, __LINE__, "SendUart2Buf Msg is <%.*s>, Len is <%d>.", (int)length, text,
                (int)length);
    CQuorVelmarUartTwoTask* line = g_pVelmarUartTwoTask;
    if (length == 0)
        return 0;
    return line != nullptr ? line->UartWrite(text, length) : -2;
}

int CQuorVelmarManageTask::SendTcpBuf(const char* text, uint8_t mode, int32_t session)
{
    if (text == nullptr)
        return -2;
    TcpSendFn sender = s_pfnTcpSend.load();
    if (sender == nullptr)
        sender = QuorVelmarTcpSrvSend;  // the TCP server: -2 until it listens
    return sender(text, mode, session);
}

void CQuorVelmarManageTask::SetTcpSender(TcpSendFn sender)
{
    s_pfnTcpSend.store(sender);
}

void CQuorVelmarManageTask::SetPauseFn(PauseFn pause)
{
    s_pfnPause.store(pause);
}

void CQuorVelmarManageTask::Pause(uint32_t milliseconds)
{
    PauseFn pause = s_pfnPause.load();
    if (pause != nullptr) {
        pause(milliseconds);
        return;
    }
    // A pause after an MCU line is a pause on the line, even when the line
    // goes out later than it was queued.
    CQuorVelmarUartTask* line = g_pVelmarUartTask;
    if (line != nullptr)
        line->Writer().HoldAfterOwnLine(milliseconds);
    OSThread::Sleep(milliseconds);
}
