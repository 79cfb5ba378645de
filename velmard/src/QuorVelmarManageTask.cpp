// The management task: see QuorVelmarManageTask.h.
#include "QuorVelmarManageTask.h"

#include <cstring>
#include <new>

#include "LightLog.h"
#include "MemoryPool.h"
#include "QuorVelmarCommLayer.h"

CQuorVelmarManageTask* g_pVelmarManageTask = nullptr;

namespace {

const char kSrc[] = "QuorVelmarManageTask.cpp";

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

}  // namespace

struct CQuorVelmarManageTask::StringNode {
    StringNode() : fElem(this) {}
    OSQueueElem fElem;
    T_QuorStringMsg fMsg;
};

CQuorVelmarManageTask::CQuorVelmarManageTask()
{
    SetTaskName("CQuorVelmarManageTask");
}

CQuorVelmarManageTask::~CQuorVelmarManageTask()
{
    while (T_QuorUdpPacket* packet = TakeUdpPacket())
        FreeUdpPacket(packet);
    T_QuorStringMsg message;
    while (TakeStringMsg(&message)) {
    }
}

int64_t CQuorVelmarManageTask::Run()
{
    uint32_t events = GetEvents();
    if (events & TASK_EVT_READ) {
        ProcessPrivateUdpMsg();
        ProcessStringMsg();
    }
    return 0;
}

// ---- String list -----------------------------------------------------------

int CQuorVelmarManageTask::AddStringPacketToProcessList(const T_QuorStringMsg& message)
{
    StringNode* node = new (std::nothrow) StringNode;
    if (node == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Fail to new string node, When AddStringPacketToProcessList().");
        return -1;
    }
    node->fMsg = message;
    // The text must stay a C string: at most 2047 bytes, NUL behind them.
    if (node->fMsg.u16Length >= QUOR_STRING_MSG_TEXT_SIZE)
        node->fMsg.u16Length = QUOR_STRING_MSG_TEXT_SIZE - 1;
    node->fMsg.cMsg[QUOR_STRING_MSG_TEXT_SIZE - 1] = '\0';

    OSMutexLocker locker(&m_StringListMutex);
    m_StringMsgList.EnQueue(&node->fElem);
    return 0;
}

bool CQuorVelmarManageTask::TakeStringMsg(T_QuorStringMsg* message)
{
    StringNode* node = nullptr;
    {
        OSMutexLocker locker(&m_StringListMutex);
        OSQueueElem* elem = m_StringMsgList.DeQueue();
        if (elem == nullptr)
            return false;
        node = static_cast<StringNode*>(elem->GetEnclosingObject());
    }
    *message = node->fMsg;
    delete node;
    return true;
}

void CQuorVelmarManageTask::ProcessStringMsg()
{
    T_QuorStringMsg message;
    while (TakeStringMsg(&message))
        DoStringMsgCommand(message);
}

void CQuorVelmarManageTask::DoStringMsgCommand(const T_QuorStringMsg& message)
{
    // The MCU response and TCP command dispatchers take the lines from here.
    switch (message.u8Scope) {
    case QUOR_STRING_SCOPE_SERIAL:
        LightLogExt(20000, 0, kSrc, __LINE__, "Do Uart Msg Command, Msg is <%s>.", message.cMsg);
        break;
    case QUOR_STRING_SCOPE_TCP:
        LightLogExt(20000, 0, kSrc, __LINE__, "Do Tcp Msg Command, Msg is <%s>, TaskSession is <%d>.",
                    message.cMsg, (int)message.s32SessionId);
        break;
    default:
        LightLogExt(40000, 0, kSrc, __LINE__, "######DoStringMsgCommand i_tMsg scop is <%u> Error.",
                    (unsigned)message.u8Scope);
        break;
    }
}

uint32_t CQuorVelmarManageTask::GetStringListLength()
{
    OSMutexLocker locker(&m_StringListMutex);
    return m_StringMsgList.GetLength();
}

// ---- UDP queue -------------------------------------------------------------

int CQuorVelmarManageTask::AddUdpPacketCopyQueue(const T_MODULE_MSG* message)
{
    if (message == nullptr || message->pMsg == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Find AddUdpPacketCopyQueue inParams be NULL!");
        return -2;
    }
    uint32_t length = message->u32MsgLen;
    if (length < QUOR_UDP_PACKET_MIN_LEN || length > QUOR_UDP_PACKET_MAX_LEN) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Find AddUdpPacketCopyQueue inParams length error!");
        return -2;
    }
    T_QuorUdpPacket* packet = NewPacketRecord();
    if (packet == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Fail to GetNew pMsg memory! When AddUdpPacketCopyQueue().");
        return -1;
    }
    int32_t classSize = 0;
    char* bytes = static_cast<char*>(GetMemPoolAllMsg((int32_t)length, &classSize));
    if (bytes == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### Fail to GetNew pMsg->pAllMsg memory, When AddUdpPacketCopyQueue().");
        FreePacketRecord(packet);
        return -1;
    }
    memset(bytes, 0, (size_t)classSize);
    memcpy(bytes, message->pMsg, length);
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
    while (T_QuorUdpPacket* packet = TakeUdpPacket()) {
        DoOneUdpPacket(*packet);
        FreeUdpPacket(packet);
    }
}

void CQuorVelmarManageTask::DoOneUdpPacket(const T_QuorUdpPacket& packet)
{
    uint32_t commandId = 0;
    void* record = nullptr;
    CQuorVelmarCommLayer::TranslateOnePackToStruct(packet.pAllMsg, packet.u32MsgLen, &commandId, &record);
    if (record == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Receive One InValid Packet.Length:<%u>; CommandID:<0x%X>.",
                    packet.u32MsgLen, commandId);
        return;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "@@@@@@ Receive One Packet.Length: <%u>; CommandID: <0x%X>.",
                packet.u32MsgLen, commandId);
    // The group coordination handlers take the record from here.
    FreeMemPoolReqAndRspMsg(commandId, record);
}

uint32_t CQuorVelmarManageTask::GetUdpQueueLength()
{
    OSMutexLocker locker(&m_UdpPacketQueueMutex);
    return m_UdpPacketQueue.GetLength();
}
