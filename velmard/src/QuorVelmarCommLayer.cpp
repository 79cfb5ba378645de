// The communication layer: see QuorVelmarCommLayer.h.
#include "QuorVelmarCommLayer.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstring>

#include "LightLog.h"
#include "MemoryPool.h"
#include "MyAssert.h"
#include "QuorVelmarFunction.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarMetrics.h"
#include "QuorVelmarMsgParser.h"
#include "QuorVelmarPref.h"
#include "QuorMsgCodec.h"
#include "QuorUdpIntake.h"
#include "QuorVelmarUdpSocketTask.h"
#include "QuorWireReader.h"
#include "QuorWireWriter.h"

CQuorVelmarMsgParser* CQuorVelmarCommLayer::s_pVelmarMsgParser = nullptr;
CQuorVelmarUdpSocketTask* CQuorVelmarCommLayer::s_pVelmarUdpSocketTask = nullptr;
OSMutex CQuorVelmarCommLayer::s_UdpVelmarMutex;
OSMutex CQuorVelmarCommLayer::s_VelmarStringListMutex;

namespace {

const char kSrc[] = "QuorVelmarCommLayer.cpp";

const T_QuorUdpIntakeNames kIntakeNames = {
    kSrc, 0, "CQuorVelmarCommLayer", "Velmar Module", "s_pVelmarMsgParser", "s_pVelmarUdpSocketTask",
    "###### Find WiredNetworkModule haven't been initialized while do "
    "ProcessPack!g_pVelmarManageTask is NULL.",
};

// ---- Reading -----------------------------------------------------------------

// u16 type and a u16 value (0x1603, 0x1605).
int ParseTypeAndWord(const char* bytes, uint32_t length, uint16_t* type, uint16_t* word, const char* error)
{
    QuorWireReader reader = QuorMsgBodyReader(bytes, length);
    uint16_t t, w;
    if (!reader.U16(&t) || !reader.U16(&w)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "%s", error);
        return -2;
    }
    *type = t;
    *word = w;
    return 0;
}

// u8 result, u16 type and a u16 value (0x2603, 0x2605).
int ParseResultTypeAndWord(const char* bytes, uint32_t length, uint8_t* result, uint16_t* type, uint16_t* word,
                           const char* error)
{
    QuorWireReader reader = QuorMsgBodyReader(bytes, length);
    uint8_t r;
    uint16_t t, w;
    if (!reader.U8(&r) || !reader.U16(&t) || !reader.U16(&w)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "%s", error);
        return -2;
    }
    *result = r;
    *type = t;
    *word = w;
    return 0;
}

// What an annex loop does after one annex.
enum AnnexStep { ANNEX_NEXT, ANNEX_STOP, ANNEX_FAIL };

bool AnnexCountFits(uint8_t count, const char* parser)
{
    if (count <= QUOR_MSG_MAX_ANNEX)
        return true;
    LightLogExt(40000, 0, kSrc, __LINE__, "######In %s, annex count <%u> is more than %u, Error.", parser,
                (unsigned)count, (unsigned)QUOR_MSG_MAX_ANNEX);
    return false;
}

AnnexStep AnnexPastEnd(const char* parser, uint32_t index)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "######In %s,  AnnexCode <%u> runs past the message end, Error.", parser,
                index);
    return ANNEX_FAIL;
}

// Reads the text of one annex into its 512-byte field. A length word below 4
// stops the loop (the message keeps the annexes before it); a text of 512
// bytes or more, or one running past the end, fails the message.
AnnexStep ReadAnnexText(QuorWireReader& reader, const char* parser, uint32_t index, char* field,
                        uint32_t* textLen)
{
    uint32_t n = 0;
    switch (reader.Text(field, QUOR_MSG_TEXT_SIZE, &n)) {
    case QuorWireReader::TEXT_OK:
        break;
    case QuorWireReader::TEXT_PAST_END:
        return AnnexPastEnd(parser, index);
    case QuorWireReader::TEXT_BAD_WORD:
        LightLogExt(40000, 0, kSrc, __LINE__, "######In %s,  AnnexCode <%d> cInfoCodeLen is <%d> is Error.", parser,
                    (int)index, (int)n);
        *textLen = n;
        return ANNEX_STOP;
    case QuorWireReader::TEXT_TOO_LONG:
        LightLogExt(40000, 0, kSrc, __LINE__, "######In %s,  AnnexCode <%d> cInfoCodeLen is <%d> is Error.", parser,
                    (int)index, (int)n);
        return ANNEX_FAIL;
    }
    *textLen = n;
    return ANNEX_NEXT;
}

// Runs an annex loop: step(i) reads annex i. Returns 0 unless an annex fails.
template <class Step>
int ReadAnnexes(uint8_t count, Step step)
{
    for (uint32_t i = 0; i < count; ++i) {
        AnnexStep result = step(i);
        if (result == ANNEX_FAIL)
            return -2;
        if (result == ANNEX_STOP)
            break;
    }
    return 0;
}

// ---- Writing -------------------------------------------------------------------

using PackBlock = QuorMsgPackBlock;

// u16 type and u16 value (0x1603, 0x1605): 28 bytes.
char* PackTypeAndWord(const char* packer, const T_QuorMsgHeader& header, uint16_t type, uint16_t word,
                      uint32_t* length)
{
    PackBlock pack(packer, 28, header);
    if (!pack.Ok())
        return nullptr;
    pack.W().U16(type);
    pack.W().U16(word);
    return pack.Finish(length);
}

// u8 result, u16 type and u16 value (0x2603, 0x2605): 29 bytes.
char* PackResultTypeAndWord(const char* packer, const T_QuorMsgHeader& header, uint8_t result, uint16_t type,
                            uint16_t word, uint32_t* length)
{
    PackBlock pack(packer, 29, header);
    if (!pack.Ok())
        return nullptr;
    pack.W().U8(result);
    pack.W().U16(type);
    pack.W().U16(word);
    return pack.Finish(length);
}

// Sums the wire size of count annexes of one record: fixed bytes per annex
// plus each annex's text length; false when count or a text is refused.
template <class Annex>
bool AnnexTextLengths(const Annex* annexes, uint8_t count, uint32_t perAnnex, uint32_t* total)
{
    if (count > QUOR_MSG_MAX_ANNEX)
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t n;
        if (!QuorRecordTextLen(annexes[i].cUserInfoContent, &n))
            return false;
        *total += perAnnex + n;
    }
    return true;
}

// ---- Dispatch tables ------------------------------------------------------------

template <class R, int (*Parse)(const char*, uint32_t, R*)>
int ParseAs(const char* bytes, uint32_t length, void* record)
{
    return Parse(bytes, length, static_cast<R*>(record));
}

template <class R, char* (*Pack)(const R*, uint32_t*)>
char* PackAs(const void* record, uint32_t* length)
{
    return Pack(static_cast<const R*>(record), length);
}

struct MsgKind {
    uint32_t id;
    const char* recordName;
    size_t recordSize;
    int (*parse)(const char*, uint32_t, void*);   // null: not received here
    char* (*pack)(const void*, uint32_t*);        // null: not sent from here
};

using CL = CQuorVelmarCommLayer;

const MsgKind kMsgKinds[] = {
    {QUOR_MSG_DEVICE_SEARCH_QUERY_REQ, "T_QuorDeviceSearchQueryReq", sizeof(T_QuorDeviceSearchQueryReq),
     ParseAs<T_QuorDeviceSearchQueryReq, CL::ParseDeviceSearchQueryReq>,
     PackAs<T_QuorDeviceSearchQueryReq, CL::PackDeviceSearchQueryReq>},
    {QUOR_MSG_DEVICE_SEARCH_QUERY_RSP, "T_QuorDeviceSearchQueryRsp", sizeof(T_QuorDeviceSearchQueryRsp),
     ParseAs<T_QuorDeviceSearchQueryRsp, CL::ParseDeviceSearchQueryRsp>,
     PackAs<T_QuorDeviceSearchQueryRsp, CL::PackDeviceSearchQueryRsp>},
    {QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ, "T_QuorDeviceMaxSeqNumNotifyReq", sizeof(T_QuorDeviceMaxSeqNumNotifyReq),
     ParseAs<T_QuorDeviceMaxSeqNumNotifyReq, CL::ParseDeviceMaxSeqNumNotifyReq>,
     PackAs<T_QuorDeviceMaxSeqNumNotifyReq, CL::PackDeviceMaxSeqNumNotifyReq>},
    {QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP, "T_QuorDeviceMaxSeqNumNotifyRsp", sizeof(T_QuorDeviceMaxSeqNumNotifyRsp),
     ParseAs<T_QuorDeviceMaxSeqNumNotifyRsp, CL::ParseDeviceMaxSeqNumNotifyRsp>,
     PackAs<T_QuorDeviceMaxSeqNumNotifyRsp, CL::PackDeviceMaxSeqNumNotifyRsp>},
    {QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ, "T_QuorUserInfoChangeNotifyReq", sizeof(T_QuorUserInfoChangeNotifyReq),
     ParseAs<T_QuorUserInfoChangeNotifyReq, CL::ParseUserInfoChangeNotifyReq>,
     PackAs<T_QuorUserInfoChangeNotifyReq, CL::PackUserInfoChangeNotifyReq>},
    {QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP, "T_QuorUserInfoChangeNotifyRsp", sizeof(T_QuorUserInfoChangeNotifyRsp),
     ParseAs<T_QuorUserInfoChangeNotifyRsp, CL::ParseUserInfoChangeNotifyRsp>,
     PackAs<T_QuorUserInfoChangeNotifyRsp, CL::PackUserInfoChangeNotifyRsp>},
    {QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, "T_QuorDeviceGroupSignNotifyReq", sizeof(T_QuorDeviceGroupSignNotifyReq),
     ParseAs<T_QuorDeviceGroupSignNotifyReq, CL::ParseDeviceGroupSignNotifyReq>,
     PackAs<T_QuorDeviceGroupSignNotifyReq, CL::PackDeviceGroupSignNotifyReq>},
    {QUOR_MSG_GROUP_SIGN_NOTIFY_RSP, "T_QuorDeviceGroupSignNotifyRsp", sizeof(T_QuorDeviceGroupSignNotifyRsp),
     ParseAs<T_QuorDeviceGroupSignNotifyRsp, CL::ParseDeviceGroupSignNotifyRsp>,
     PackAs<T_QuorDeviceGroupSignNotifyRsp, CL::PackDeviceGroupSignNotifyRsp>},
    {QUOR_MSG_VERSION_UPGRADE_REQ, "T_QuorVersionUpgradeReq", sizeof(T_QuorVersionUpgradeReq), nullptr,
     PackAs<T_QuorVersionUpgradeReq, CL::PackVersionUpgradeReq>},
    {QUOR_MSG_VERSION_UPGRADE_RSP, "T_QuorVersionUpgradeRsp", sizeof(T_QuorVersionUpgradeRsp),
     ParseAs<T_QuorVersionUpgradeRsp, CL::ParseVersionUpgradeRsp>, nullptr},
};

const MsgKind* FindMsgKind(uint32_t id)
{
    for (const MsgKind& kind : kMsgKinds)
        if (kind.id == id)
            return &kind;
    return nullptr;
}

}  // namespace

// ---- Start-up and sending ---------------------------------------------------------

int CQuorVelmarCommLayer::Initialize()
{
    return CQuorUdpIntake::Start(s_pVelmarMsgParser, s_pVelmarUdpSocketTask,
                                 CQuorVelmarPref::s_u32Quor_Velmar_UdpInterAddr,
                                 CQuorVelmarPref::s_u16Quor_Velmar_UdpInterPort, kIntakeNames);
}

int CQuorVelmarCommLayer::SendUdpBufToRemote(uint32_t len, const char* bytes)
{
    uint32_t remoteAddr = 0;
    uint16_t remotePort = 0;
    CQuorVelmarUdpSocketTask::GetUdpRemote(&remoteAddr, &remotePort);
    return SendUdpBufToRemote(len, bytes, remoteAddr, remotePort);
}

int CQuorVelmarCommLayer::SendUdpBufToRemote(uint32_t len, const char* bytes, uint32_t remoteAddr,
                                             uint16_t remotePort)
{
    if (bytes == nullptr || len == 0 || len > QUOR_INTER_MSG_BUF_LEN) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### SendUdpBufToRemote() Msg <%s> of <%u> bytes Error.",
                    bytes != nullptr ? "" : "(null)", len);
        return -2;
    }
    CQuorVelmarUdpSocketTask* task = s_pVelmarUdpSocketTask;
    if (task == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### SendUdpBufToRemote() s_pVelmarUdpSocketTask is NULL.");
        return -3;
    }
    print_mem(20000, bytes, len);
    char text[INET_ADDRSTRLEN];
    QuorAddrToText(remoteAddr, text, sizeof(text));
    int err = remotePort != 0 ? task->SendToPeer(remoteAddr, remotePort, bytes, len) : EDESTADDRREQ;
    if (err != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### SendUdpBufToRemote() RemoteAddr is <%s>,RemotePort is <%d> Error<%d>.", text,
                    (int)remotePort, err);
        return -4;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "SendUdpBufToRemote() RemoteAddr is <%d><%s>,RemotePort is <%d> OK!",
                (int)htonl(remoteAddr), text, (int)remotePort);
    return 0;
}

// ---- Received messages ------------------------------------------------------------

int CQuorVelmarCommLayer::Msg_UdpRecved(const char* bytes, uint32_t received, uint32_t remoteAddr,
                                        uint16_t remotePort)
{
    return CQuorUdpIntake::Receive(bytes, received, remoteAddr, remotePort, s_UdpVelmarMutex, ProcessUdpPack);
}

int CQuorVelmarCommLayer::ProcessUdpPack(T_MODULE_MSG* message)
{
    return CQuorUdpIntake::Queue(message, g_pVelmarManageTask, kIntakeNames);
}

namespace {

// Set while the unicast socket task waits for room in the UDP queue.
std::atomic<bool> s_bUdpReaderWaiting{false};

bool UdpQueueHasRoom()
{
    CQuorVelmarManageTask* task = g_pVelmarManageTask;
    return task == nullptr || task->GetUdpQueueLength() < CQuorVelmarManageTask::kUdpQueueMark;
}

}  // namespace

bool CQuorVelmarCommLayer::UdpIntakeOpen()
{
    if (UdpQueueHasRoom())
        return true;
    s_bUdpReaderWaiting.store(true);
    // The queue may have drained between the look and the mark: look again,
    // so that a wake-up is never missed.
    if (!UdpQueueHasRoom())
        return false;
    s_bUdpReaderWaiting.store(false);
    return true;
}

void CQuorVelmarCommLayer::UdpIntakeDrained()
{
    if (!s_bUdpReaderWaiting.load() || !UdpQueueHasRoom())
        return;
    CQuorVelmarUdpSocketTask* task = s_pVelmarUdpSocketTask;
    if (s_bUdpReaderWaiting.exchange(false) && task != nullptr)
        task->Signal(TASK_EVT_READ);
}

int CQuorVelmarCommLayer::Msg_StringRecved(const T_QuorStringMsg& message)
{
    if (message.u8Scope == QUOR_STRING_SCOPE_TCP)
        CQuorVelmarMetrics::Add(CQuorVelmarMetrics::kTcpLinesIn);
    OSMutexLocker locker(&s_VelmarStringListMutex);
    return ProcessStringPack(message);
}

int CQuorVelmarCommLayer::ProcessStringPack(const T_QuorStringMsg& message)
{
    CQuorVelmarManageTask* task = g_pVelmarManageTask;
    if (task == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### Find CQuorVelmarMain haven't been initialized while do "
                    "ProcessStringPack!g_pVelmarManageTask is NULL.");
        return -3;
    }
    int result = task->AddStringPacketToProcessList(message);
    if (result != 0)
        return result;
    task->Signal(TASK_EVT_READ);
    return 0;
}

// ---- Translation ----------------------------------------------------------------------

int CQuorVelmarCommLayer::TranslateOnePackToStruct(const char* bytes, uint32_t length, uint32_t* commandId,
                                                   void** record)
{
    uint32_t unusedId;
    void* unusedRecord;
    if (commandId == nullptr)
        commandId = &unusedId;
    if (record == nullptr)
        record = &unusedRecord;
    *commandId = 0;
    *record = nullptr;

    T_QuorMsgHeader header;
    if (bytes == nullptr || !QuorReadMsgHeader(bytes, length, &header)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Message of <%u> bytes is shorter than its header.",
                    bytes != nullptr ? length : 0u);
        return -2;
    }
    *commandId = header.u32CommandID;
    const MsgKind* kind = FindMsgKind(header.u32CommandID);
    if (kind == nullptr || kind->parse == nullptr)
        return -2;

    void* fresh = GetMemPoolReqAndRspMsg(kind->id);
    if (fresh == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### GetNew %s memory fail! When transform message to struct.",
                    kind->recordName);
        return -1;
    }
    memset(fresh, 0, kind->recordSize);
    memcpy(fresh, &header, sizeof(header));
    if (kind->parse(bytes, length, fresh) != 0) {
        FreeMemPoolReqAndRspMsg(kind->id, fresh);
        return -2;
    }
    *record = fresh;
    return 0;
}

char* CQuorVelmarCommLayer::TranslateOneStructToPack(uint32_t commandId, const void* record, uint32_t* length)
{
    const MsgKind* kind = FindMsgKind(commandId);
    if (record == nullptr || length == nullptr || kind == nullptr || kind->pack == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### TranslateOneStructToPack CommandID <0x%X> or record refused.",
                    commandId);
        return nullptr;
    }
    return kind->pack(record, length);
}

// ---- Packers ----------------------------------------------------------------------------

char* CQuorVelmarCommLayer::PackDeviceSearchQueryReq(const T_QuorDeviceSearchQueryReq* record, uint32_t* length)
{
    if (record == nullptr || length == nullptr)
        return nullptr;
    PackBlock pack("PackDeviceSearchQueryReq", 30, record->tHeader);
    if (!pack.Ok())
        return nullptr;
    pack.W().U16(record->u16DeviceType);
    pack.W().U32(record->u32DeviceFunction);
    return pack.Finish(length);
}

char* CQuorVelmarCommLayer::PackDeviceSearchQueryRsp(const T_QuorDeviceSearchQueryRsp* record, uint32_t* length)
{
    static const char kPacker[] = "PackDeviceSearchQueryRsp";
    if (record == nullptr || length == nullptr)
        return nullptr;
    uint8_t count = record->u8DeviceInfoTotal;
    if (count > QUOR_MSG_MAX_ANNEX)
        return QuorRefusePack(kPacker, "more than 50 annexes");
    uint32_t total = 31;
    for (uint32_t i = 0; i < count; ++i) {
        if (record->tAnnexCode[i].u32cInfoCodeLen >= QUOR_MSG_TEXT_SIZE)
            return QuorRefusePack(kPacker, "an annex text of 512 bytes or more");
        total += 6 + record->tAnnexCode[i].u32cInfoCodeLen;
    }
    PackBlock pack(kPacker, total, record->tHeader);
    if (!pack.Ok())
        return nullptr;
    pack.W().U16(record->u16DeviceType);
    pack.W().U32(record->u32DeviceFunction);
    pack.W().U8(count);
    for (uint32_t i = 0; i < count; ++i) {
        const T_QuorDeviceInfoAnnex& annex = record->tAnnexCode[i];
        // Exactly u32cInfoCodeLen bytes, zero-filled past a shorter text.
        uint32_t textLen = (uint32_t)strnlen(annex.cInfoCode, annex.u32cInfoCodeLen);
        pack.W().U16(annex.u16InfoID);
        pack.W().U32(annex.u32cInfoCodeLen + 4);
        pack.W().Bytes(annex.cInfoCode, textLen);
        pack.W().Bytes(nullptr, annex.u32cInfoCodeLen - textLen);
    }
    return pack.Finish(length);
}

char* CQuorVelmarCommLayer::PackDeviceMaxSeqNumNotifyReq(const T_QuorDeviceMaxSeqNumNotifyReq* record,
                                                         uint32_t* length)
{
    if (record == nullptr || length == nullptr)
        return nullptr;
    return PackTypeAndWord("PackDeviceMaxSeqNumNotifyReq", record->tHeader, record->u16DeviceType,
                           record->u16DeviceMaxSeqNum, length);
}

char* CQuorVelmarCommLayer::PackDeviceMaxSeqNumNotifyRsp(const T_QuorDeviceMaxSeqNumNotifyRsp* record,
                                                         uint32_t* length)
{
    if (record == nullptr || length == nullptr)
        return nullptr;
    return PackResultTypeAndWord("PackDeviceMaxSeqNumNotifyRsp", record->tHeader, record->u8ResultCode,
                                 record->u16DeviceType, record->u16DeviceMaxSeqNum, length);
}

char* CQuorVelmarCommLayer::PackDeviceGroupSignNotifyReq(const T_QuorDeviceGroupSignNotifyReq* record,
                                                         uint32_t* length)
{
    if (record == nullptr || length == nullptr)
        return nullptr;
    return PackTypeAndWord("PackDeviceGroupSignNotifyReq", record->tHeader, record->u16DeviceType,
                           record->u16DeviceGroupSignCmd, length);
}

char* CQuorVelmarCommLayer::PackDeviceGroupSignNotifyRsp(const T_QuorDeviceGroupSignNotifyRsp* record,
                                                         uint32_t* length)
{
    if (record == nullptr || length == nullptr)
        return nullptr;
    return PackResultTypeAndWord("PackDeviceGroupSignNotifyRsp", record->tHeader, record->u8ResultCode,
                                 record->u16DeviceType, record->u16DeviceGroupSignCmd, length);
}

char* CQuorVelmarCommLayer::PackUserInfoChangeNotifyReq(const T_QuorUserInfoChangeNotifyReq* record,
                                                        uint32_t* length)
{
    static const char kPacker[] = "PackUserInfoChangeNotifyReq";
    if (record == nullptr || length == nullptr)
        return nullptr;
    uint8_t count = record->u8UserInfoTotal;
    uint32_t total = 27;
    if (!AnnexTextLengths(record->tAnnexCode, count, 6, &total))
        return QuorRefusePack(kPacker, "more than 50 annexes or an annex text of 512 bytes or more");
    PackBlock pack(kPacker, total, record->tHeader);
    if (!pack.Ok())
        return nullptr;
    pack.W().U16(record->u16DeviceType);
    pack.W().U8(count);
    for (uint32_t i = 0; i < count; ++i) {
        const T_QuorUserInfoAnnex& annex = record->tAnnexCode[i];
        pack.W().U16(annex.u16UserInfoType);
        pack.W().Text(annex.cUserInfoContent, (uint32_t)strlen(annex.cUserInfoContent));
    }
    return pack.Finish(length);
}

char* CQuorVelmarCommLayer::PackUserInfoChangeNotifyRsp(const T_QuorUserInfoChangeNotifyRsp* record,
                                                        uint32_t* length)
{
    static const char kPacker[] = "PackUserInfoChangeNotifyRsp";
    if (record == nullptr || length == nullptr)
        return nullptr;
    uint8_t count = record->u8UserInfoTotal;
    uint32_t total = 28;
    if (!AnnexTextLengths(record->tAnnexCode, count, 7, &total))
        return QuorRefusePack(kPacker, "more than 50 annexes or an annex text of 512 bytes or more");
    PackBlock pack(kPacker, total, record->tHeader);
    if (!pack.Ok())
        return nullptr;
    pack.W().U8(record->u8ResultCode);
    pack.W().U16(record->u16DeviceType);
    pack.W().U8(count);
    for (uint32_t i = 0; i < count; ++i) {
        const T_QuorUserInfoRspAnnex& annex = record->tAnnexCode[i];
        pack.W().U8(annex.u8ResultCode);
        pack.W().U16(annex.u16UserInfoType);
        pack.W().Text(annex.cUserInfoContent, (uint32_t)strlen(annex.cUserInfoContent));
    }
    return pack.Finish(length);
}

char* CQuorVelmarCommLayer::PackVersionUpgradeReq(const T_QuorVersionUpgradeReq* record, uint32_t* length)
{
    if (record == nullptr || length == nullptr)
        return nullptr;
    return QuorPackUpgradeMsg("PackVersionUpgradeReq", record->tHeader, record->cDevAddr,
                              {record->u32DevPort, record->u32ReqCode, record->u32ReqResult},
                              {record->cVersionSN, record->cVersionName, record->cVersionFile}, length);
}

// ---- Parsers ------------------------------------------------------------------------------

int CQuorVelmarCommLayer::ParseDeviceSearchQueryReq(const char* bytes, uint32_t length,
                                                    T_QuorDeviceSearchQueryReq* record)
{
    QuorWireReader reader = QuorMsgBodyReader(bytes, length);
    uint16_t type;
    uint32_t function;
    if (record == nullptr || !reader.U16(&type) || !reader.U32(&function)) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### Get DeviceType/DeviceFunction error! When ParseDeviceSearchQueryReq().");
        return -2;
    }
    if (type == QUOR_DEVICE_TYPE_RECEIVER) {
        LightLogExt(10000, 0, kSrc, __LINE__, "ParseDeviceSearchQueryReq is Search Receiver Not Process.");
        return -2;
    }
    record->u16DeviceType = type;
    record->u32DeviceFunction = function;
    return 0;
}

int CQuorVelmarCommLayer::ParseDeviceSearchQueryRsp(const char* bytes, uint32_t length,
                                                    T_QuorDeviceSearchQueryRsp* record)
{
    static const char kParser[] = "ParseDeviceSearchQueryRsp";
    QuorWireReader reader = QuorMsgBodyReader(bytes, length);
    if (record == nullptr || !reader.U16(&record->u16DeviceType) || !reader.U32(&record->u32DeviceFunction) ||
        !reader.U8(&record->u8DeviceInfoTotal)) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### Get DeviceType/DeviceFunction error! When ParseDeviceSearchQueryRsp().");
        return -2;
    }
    if (!AnnexCountFits(record->u8DeviceInfoTotal, kParser))
        return -2;
    return ReadAnnexes(record->u8DeviceInfoTotal, [&](uint32_t i) {
        T_QuorDeviceInfoAnnex& annex = record->tAnnexCode[i];
        if (!reader.U16(&annex.u16InfoID))
            return AnnexPastEnd(kParser, i);
        // A bad length word stays in the annex, so the answer is discarded later.
        return ReadAnnexText(reader, kParser, i, annex.cInfoCode, &annex.u32cInfoCodeLen);
    });
}

int CQuorVelmarCommLayer::ParseDeviceMaxSeqNumNotifyReq(const char* bytes, uint32_t length,
                                                        T_QuorDeviceMaxSeqNumNotifyReq* record)
{
    static const char kError[] = "###### Get DeviceType/DeviceMaxSeqNum error! When ParseDeviceMaxSeqNumNotifyReq().";
    if (record == nullptr)
        return -2;
    return ParseTypeAndWord(bytes, length, &record->u16DeviceType, &record->u16DeviceMaxSeqNum, kError);
}

int CQuorVelmarCommLayer::ParseDeviceMaxSeqNumNotifyRsp(const char* bytes, uint32_t length,
                                                        T_QuorDeviceMaxSeqNumNotifyRsp* record)
{
    static const char kError[] =
        "###### Get ResultCode/DeviceType/DeviceMaxSeqNum error! When ParseDeviceMaxSeqNumNotifyRsp().";
    if (record == nullptr)
        return -2;
    return ParseResultTypeAndWord(bytes, length, &record->u8ResultCode, &record->u16DeviceType,
                                  &record->u16DeviceMaxSeqNum, kError);
}

int CQuorVelmarCommLayer::ParseDeviceGroupSignNotifyReq(const char* bytes, uint32_t length,
                                                        T_QuorDeviceGroupSignNotifyReq* record)
{
    static const char kError[] =
        "###### Get DeviceType/DeviceGroupSignCmd error! When ParseDeviceGroupSignNotifyReq().";
    if (record == nullptr)
        return -2;
    return ParseTypeAndWord(bytes, length, &record->u16DeviceType, &record->u16DeviceGroupSignCmd, kError);
}

int CQuorVelmarCommLayer::ParseDeviceGroupSignNotifyRsp(const char* bytes, uint32_t length,
                                                        T_QuorDeviceGroupSignNotifyRsp* record)
{
    static const char kError[] =
        "###### Get ResultCode/DeviceType/DeviceGroupSignCmd error! When ParseDeviceGroupSignNotifyRsp().";
    if (record == nullptr)
        return -2;
    return ParseResultTypeAndWord(bytes, length, &record->u8ResultCode, &record->u16DeviceType,
                                  &record->u16DeviceGroupSignCmd, kError);
}

int CQuorVelmarCommLayer::ParseUserInfoChangeNotifyReq(const char* bytes, uint32_t length,
                                                       T_QuorUserInfoChangeNotifyReq* record)
{
    static const char kParser[] = "ParseUserInfoChangeNotifyReq";
    QuorWireReader reader = QuorMsgBodyReader(bytes, length);
    if (record == nullptr || !reader.U16(&record->u16DeviceType) || !reader.U8(&record->u8UserInfoTotal)) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### Get DeviceType/UserInfoTotal error! When ParseUserInfoChangeNotifyReq().");
        return -2;
    }
    if (!AnnexCountFits(record->u8UserInfoTotal, kParser))
        return -2;
    return ReadAnnexes(record->u8UserInfoTotal, [&](uint32_t i) {
        T_QuorUserInfoAnnex& annex = record->tAnnexCode[i];
        uint32_t textLen = 0;
        if (!reader.U16(&annex.u16UserInfoType))
            return AnnexPastEnd(kParser, i);
        AnnexStep step = ReadAnnexText(reader, kParser, i, annex.cUserInfoContent, &textLen);
        if (step == ANNEX_STOP) {
            // The notice carries only the annexes read whole: the one with
            // the bad length word is not acted on.
            annex = T_QuorUserInfoAnnex();
            record->u8UserInfoTotal = (uint8_t)i;
        }
        return step;
    });
}

int CQuorVelmarCommLayer::ParseUserInfoChangeNotifyRsp(const char* bytes, uint32_t length,
                                                       T_QuorUserInfoChangeNotifyRsp* record)
{
    static const char kParser[] = "ParseUserInfoChangeNotifyRsp";
    QuorWireReader reader = QuorMsgBodyReader(bytes, length);
    if (record == nullptr || !reader.U8(&record->u8ResultCode) || !reader.U16(&record->u16DeviceType) ||
        !reader.U8(&record->u8UserInfoTotal)) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### Get ResultCode/DeviceType/UserInfoTotal error! When ParseUserInfoChangeNotifyRsp().");
        return -2;
    }
    if (!AnnexCountFits(record->u8UserInfoTotal, kParser))
        return -2;
    return ReadAnnexes(record->u8UserInfoTotal, [&](uint32_t i) {
        T_QuorUserInfoRspAnnex& annex = record->tAnnexCode[i];
        uint32_t textLen = 0;
        if (!reader.U8(&annex.u8ResultCode) || !reader.U16(&annex.u16UserInfoType))
            return AnnexPastEnd(kParser, i);
        return ReadAnnexText(reader, kParser, i, annex.cUserInfoContent, &textLen);
    });
}

int CQuorVelmarCommLayer::ParseVersionUpgradeRsp(const char* bytes, uint32_t length, T_QuorVersionUpgradeRsp* record)
{
    QuorWireReader reader = QuorMsgBodyReader(bytes, length);
    const char* fault = nullptr;
    if (record == nullptr)
        return -2;
    if (!QuorReadWholeText(reader, record->cDevAddr))
        fault = "DeviceAddr";
    else if (!reader.U32(&record->u32DevPort))
        fault = "DevicePort";
    else if (!reader.U32(&record->u32RspCode))
        fault = "RspCode";
    else if (!reader.U32(&record->u32RspResult))
        fault = "RspResult";
    else if (!QuorReadWholeText(reader, record->cRspData))
        fault = "cRspData";
    if (fault != nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "CQuorVelmarCommLayer::ParseVersionUpgradeRsp error, %s have question!",
                    fault);
        return -2;
    }
    LightLogExt(20000, 0, kSrc, __LINE__,
                "CQuorVelmarCommLayer::ParseVersionUpgradeRsp OK,DeviceAddr is <%s>, DevicePort is <%u>, RspCode is "
                "<%d>, RspResult is <%u>,cRspData is <%s>.",
                record->cDevAddr, record->u32DevPort, (int)record->u32RspCode, record->u32RspResult,
                record->cRspData);
    return 0;
}
