#include "QuorNdkManageTask.h"

#include <cstring>
#include <new>

#include "LightLog.h"
#include "MemoryPool.h"
#include "QuorNdkCommLayer.h"
#include "QuorNdkInstallState.h"
#include "QuorUdpIntake.h"

CQuorNdkManageTask* g_pVelmarNdkManageTask = nullptr;

namespace {
const char kSrc[] = "QuorNdk/src/QuorNdkManageTask";
const uint32_t kTimeoutSeconds = 1;
} // namespace

CQuorNdkManageTask::CQuorNdkManageTask()
{
    SetTaskName("CQuorNdkManageTask");
}

CQuorNdkManageTask::~CQuorNdkManageTask()
{
    delete m_pMgTaskTimeout.load();
    for (const T_Packet& packet : m_Packets)
        FreeMemPoolAllMsg((int32_t)packet.u32MsgLen, packet.pAllMsg);
}

int CQuorNdkManageTask::Initialize()
{
    if (QuorSecTimeoutTask<2>::Start(this, kTimeoutSeconds, m_pMgTaskTimeout))
        return 0;
    LightLogExt(40000, 1, kSrc, __LINE__, "######new m_pMgTaskTimeout failed! when CQuorNdkManageTask().");
    return -1;
}

int CQuorNdkManageTask::AddUdpPacketCopyQueue(const T_MODULE_MSG* message)
{
    if (!CQuorUdpIntake::FitsQueue(message, 1, kMaxPacketLen, kSrc))
        return -2;
    char* bytes = CQuorUdpIntake::CopyForQueue(message, kSrc);
    if (bytes == nullptr)
        return -1;
    uint32_t length = message->u32MsgLen;
    {
        OSMutexLocker locker(&m_PacketMutex);
        if (m_Packets.size() < kMaxQueuedPackets) {
            m_Packets.push_back(T_Packet{bytes, length, message->u32RemoteAddr});
            return 0;
        }
    }
    LightLogExt(40000, 0, kSrc, __LINE__, "###### %u packets wait already, one of <%u> bytes is dropped.",
                (unsigned)kMaxQueuedPackets, length);
    FreeMemPoolAllMsg((int32_t)length, bytes);
    return -1;
}

int64_t CQuorNdkManageTask::Run()
{
    uint32_t events = GetEvents();
    if (events & TASK_EVT_TIMEOUT) {
        if (QuorSecTimeoutTask<2>* timeout = m_pMgTaskTimeout.load())
            timeout->RefreshTimeout();
    }
    if (!(events & TASK_EVT_READ))
        return 0;
    for (;;) {
        T_Packet packet;
        {
            OSMutexLocker locker(&m_PacketMutex);
            if (m_Packets.empty())
                break;
            packet = m_Packets.front();
            m_Packets.pop_front();
        }
        DoOnePacket(packet);
        FreeMemPoolAllMsg((int32_t)packet.u32MsgLen, packet.pAllMsg);
    }
    return 0;
}

void CQuorNdkManageTask::DoOnePacket(const T_Packet& packet)
{
    uint32_t commandId = 0;
    void* record = nullptr;
    if (CQuorNdkCommLayer::TranslateOnePackToStruct(packet.pAllMsg, packet.u32MsgLen, &commandId, &record) != 0) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### Receive One InValid Packet.Length:<%u>; CommandID:<0x%X>.",
                    packet.u32MsgLen, commandId);
        return;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "@@@@@@ Receive One Packet.Length: <%u>; CommandID: <0x%X>.",
                packet.u32MsgLen, commandId);
    DoOneUdpCommand(commandId, record, packet.u32RemoteAddr);
}

int CQuorNdkManageTask::DoOneUdpCommand(uint32_t commandId, void* record, uint32_t remoteAddr)
{
    if (record == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Find CQuorNdkManageTask::DoOneUdpCommand inParams be NULL!");
        return -2;
    }
    int result = 0;
    if (commandId == QUOR_MSG_VERSION_UPGRADE_REQ)
        result = ProcessVersionUpgradeReq(*static_cast<const T_QuorVersionUpgradeReq*>(record), remoteAddr);
    CQuorNdkCommLayer::FreeVersionUpgradeReq(record);
    return result;
}

int CQuorNdkManageTask::ProcessVersionUpgradeReq(const T_QuorVersionUpgradeReq& request, uint32_t remoteAddr)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessVersionUpgradeReq Fun,DevAddr is <%s>, DevPort is <%u>, ReqCode is <%u>,ResultCode "
                "is <%u>, VersionSN is <%s>,VersionName is <%s>, VersionFile is <%s>.",
                request.cDevAddr, request.u32DevPort, request.u32ReqCode, request.u32ReqResult, request.cVersionSN,
                request.cVersionName, request.cVersionFile);
    if (!IsAcceptable(request, remoteAddr))
        return -2;
    if (!g_InstallGate.Enter()) {
        LightLogExt(30000, 1, kSrc, __LINE__, "The agent is stopping; the upgrade request is dropped.");
        return -2;
    }
    std::unique_ptr<T_QuorVersionUpgradeRsp> answer(new (std::nothrow) T_QuorVersionUpgradeRsp);
    if (answer) {
        memset(answer.get(), 0, sizeof(*answer));
        answer->tHeader = QuorAnswerMsgHeader(request.tHeader, QUOR_MSG_VERSION_UPGRADE_RSP);
        memcpy(answer->cDevAddr, request.cDevAddr, sizeof(answer->cDevAddr));
        answer->u32DevPort = request.u32DevPort;
        answer->u32RspCode = request.u32ReqCode;
        answer->u32RspResult = 0;
        memcpy(answer->cRspData, request.cVersionName, sizeof(answer->cRspData));
        SendVersionUpgradeRsp(*answer);
    }
    int result = DoARMVersionUpgrade(request);
    g_InstallGate.Leave();
    if (result != 0) {
        LightLogExt(40000, 1, kSrc, __LINE__, "######DoARMVersionUpgrade Fail!");
        return -2;
    }
    return 0;
}

int CQuorNdkManageTask::SendVersionUpgradeRsp(const T_QuorVersionUpgradeRsp& answer)
{
    uint32_t length = 0;
    char* bytes = CQuorNdkCommLayer::TranslateOneStructToPack(QUOR_MSG_VERSION_UPGRADE_RSP, &answer, &length);
    if (bytes == nullptr)
        return -1;
    int result = CQuorNdkCommLayer::SendUdpBuf(length, bytes);
    LightLogExt(20000, 1, kSrc, __LINE__,
                "In SendVersionUpgradeRsp Fun, SendUdpBuf!u32Len is <%u>, eRet is <%d>, pChar is <DevAddr is: "
                "%s,DevPort is: %u,ReqCode is: %d,RspResult is %u.RspData is %s.>.",
                length, result, answer.cDevAddr, answer.u32DevPort, (int)answer.u32RspCode, answer.u32RspResult,
                answer.cRspData);
    FreeMemPoolAllMsg((int32_t)length, bytes);
    return result;
}
