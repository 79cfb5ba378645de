#include "QuorNdkCommLayer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

#include "LightLog.h"
#include "MemoryPool.h"
#include "QuorMsgCodec.h"
#include "QuorNdkManageTask.h"
#include "QuorNdkMsgParser.h"
#include "QuorNdkPref.h"
#include "QuorNdkUdpSocketTask.h"
#include "QuorSocket.h"
#include "QuorUdpIntake.h"

CQuorNdkMsgParser* CQuorNdkCommLayer::s_pVelmarNdkMsgParser = nullptr;
CQuorNdkUdpSocketTask* CQuorNdkCommLayer::s_pVelmarNdkUdpSocketTask = nullptr;
OSMutex CQuorNdkCommLayer::s_UdpVelmarNdkMutex;

// Records of 0x1801: a request is handled before the next is translated, so
// a few are plenty.
CMemoryPoolBase g_MPVersionUpgradeReq(sizeof(T_QuorVersionUpgradeReq), 8);

namespace {

const char kSrc[] = "QuorNdk/src/QuorNdkCommLayer";
const uint32_t kLoopback = 0x7F000001;  // 127.0.0.1, host order

const T_QuorUdpIntakeNames kIntakeNames = {
    kSrc, 1, "CQuorNdkCommLayer", "VelmarNdk Module", "s_pVelmarNdkMsgParser", "s_pVelmarNdkUdpSocketTask",
    nullptr,  // no management task: the datagram is dropped silently
};

} // namespace

int CQuorNdkCommLayer::Initialize()
{
    return CQuorUdpIntake::Start(s_pVelmarNdkMsgParser, s_pVelmarNdkUdpSocketTask,
                                 CQuorNdkPref::s_u32VelmarNdk_UdpInterAddr, CQuorNdkPref::s_u16VelmarNdk_UdpInterPort,
                                 kIntakeNames);
}

int CQuorNdkCommLayer::SendUdpBuf(uint32_t len, const char* bytes)
{
    if (bytes == nullptr || len == 0)
        return -2;
    CQuorNdkUdpSocketTask* task = s_pVelmarNdkUdpSocketTask;
    if (task == nullptr)
        return -3;
    uint16_t port = CQuorNdkPref::s_u16Quor_Velmar_UdpInterPort;
    int err = task->SendToPeer(kLoopback, port, bytes, len);
    if (err != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### SendUdpBuf() RemotePort is <%d> Error<%d>.", (int)port, err);
        return -4;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "SendUdpBuf() RemoteAddr is <%d><%s>,RemotePort is <%d> OK!",
                (int)htonl(kLoopback), "127.0.0.1", (int)port);
    return 0;
}

int CQuorNdkCommLayer::Msg_UdpRecved(const char* bytes, uint32_t received, uint32_t remoteAddr, uint16_t remotePort)
{
    return CQuorUdpIntake::Receive(bytes, received, remoteAddr, remotePort, s_UdpVelmarNdkMutex, ProcessUdpPack);
}

int CQuorNdkCommLayer::ProcessUdpPack(T_MODULE_MSG* message)
{
    return CQuorUdpIntake::Queue(message, g_pVelmarNdkManageTask, kIntakeNames);
}

int CQuorNdkCommLayer::TranslateOnePackToStruct(const char* bytes, uint32_t length, uint32_t* commandId,
                                                void** record)
{
    *commandId = 0;
    *record = nullptr;
    T_QuorMsgHeader header;
    if (bytes == nullptr || !QuorReadMsgHeader(bytes, length, &header))
        return -2;
    *commandId = header.u32CommandID;
    if (header.u32CommandID != QUOR_MSG_VERSION_UPGRADE_REQ)
        return -2;
    T_QuorVersionUpgradeReq* fresh = static_cast<T_QuorVersionUpgradeReq*>(g_MPVersionUpgradeReq.GetNew());
    if (fresh == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### GetNew T_QuorVersionUpgradeReq memory fail! When transform message to struct.");
        return -1;
    }
    memset(fresh, 0, sizeof(*fresh));
    fresh->tHeader = header;
    if (ParseVersionUpgradeReq(bytes, length, fresh) != 0) {
        FreeVersionUpgradeReq(fresh);
        return -2;
    }
    *record = fresh;
    return 0;
}

void CQuorNdkCommLayer::FreeVersionUpgradeReq(void* record)
{
    if (record != nullptr)
        g_MPVersionUpgradeReq.Free(record);
}

char* CQuorNdkCommLayer::TranslateOneStructToPack(uint32_t commandId, const void* record, uint32_t* length)
{
    if (commandId != QUOR_MSG_VERSION_UPGRADE_RSP)
        return nullptr;
    return PackVersionUpgradeRsp(static_cast<const T_QuorVersionUpgradeRsp*>(record), length);
}

int CQuorNdkCommLayer::ParseVersionUpgradeReq(const char* bytes, uint32_t length, T_QuorVersionUpgradeReq* record)
{
    if (record == nullptr)
        return -2;
    QuorWireReader reader = QuorMsgBodyReader(bytes, length);
    uint32_t n = 0;
    QuorWireReader::TextResult text = reader.Text(record->cDevAddr, QUOR_MSG_TEXT_SIZE, &n);
    if (text == QuorWireReader::TEXT_PAST_END && reader.Position() <= QUOR_MSG_HEADER_LEN) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Get DeviceAddr error! When ParseVersionUpgradeReq().");
        return -2;
    }
    if (text != QuorWireReader::TEXT_OK) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Find DeviceAddr<%d> error! When ParseVersionUpgradeReq().",
                    (int)n);
        return -2;
    }
    if (!reader.U32(&record->u32DevPort) || !reader.U32(&record->u32ReqCode) ||
        !reader.U32(&record->u32ReqResult)) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### Get DevicePort/u32ReqCode/u32ResultCode error! When ParseVersionUpgradeReq().");
        return -2;
    }
    struct {
        char* field;
        const char* error;
    } const texts[] = {
        {record->cVersionSN, "###### Find cVersionSN<%d> error! When ParseVersionUpgradeReq()."},
        {record->cVersionName, "###### Find cVersionName<%d> error! When ParseVersionUpgradeReq()."},
        {record->cVersionFile, "###### Find cVersionFile<%d> error! When ParseVersionUpgradeReq()."},
    };
    for (const auto& t : texts) {
        n = 0;
        if (reader.Text(t.field, QUOR_MSG_TEXT_SIZE, &n) != QuorWireReader::TEXT_OK) {
            LightLogExt(40000, 0, kSrc, __LINE__, t.error, (int)n);
            return -2;
        }
    }
    return 0;
}

char* CQuorNdkCommLayer::PackVersionUpgradeRsp(const T_QuorVersionUpgradeRsp* record, uint32_t* length)
{
    if (record == nullptr || length == nullptr)
        return nullptr;
    return QuorPackUpgradeMsg("PackVersionUpgradeRsp", record->tHeader, record->cDevAddr,
                              {record->u32DevPort, record->u32RspCode, record->u32RspResult}, {record->cRspData},
                              length);
}
