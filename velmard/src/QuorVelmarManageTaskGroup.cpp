// Group coordination: the management task's side of the group messages.
//
// A received message arrives here translated into its record, with the
// address of the peer that sent it. Requests are applied and answered to that
// peer, at its unicast port (the group task's answer path); answers are
// logged, and search answers are kept in g_DevSearchQueryInfoList for the web
// interface. Group actions started elsewhere in the daemon (TCP commands, web
// actions) are broadcast to the group through DoBroadCastMsgReq.
//
// There is no election, timer or retransmission: a notice is sent once and
// each peer answers once. Group traffic is not authenticated; any host on the
// network can change the web password, the sub-group and the sequence maximum
// of every endpoint. Peers of the product rely on this.
//
// Lists inside records are walked over at most 50 entries whatever their
// count says, and every text is copied bounded to its array.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "LightLog.h"
#include "MemoryPool.h"
#include "QuorSocket.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarDevSearchList.h"
#include "QuorVelmarFunction.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarMetrics.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarWebSession.h"
#include "QuorVelmarUdpMulSocketTask.h"
#include "serverproperty.h"

namespace {

const char kSrc[] = "src/QuorVelmarManageTaskGroup";

typedef CQuorVelmarManageTask Task;

std::atomic<Task::GroupBroadcastFn> s_pfnGroupBroadcast{nullptr};

// ---- Helpers -------------------------------------------------------------------------

// Annexes of a list-carrying record that are looked at: at most its array.
uint32_t AnnexCount(uint8_t count)
{
    const uint32_t most = QUOR_MSG_MAX_ANNEX;
    return count < most ? count : most;
}

// Characters of a record text (its array keeps a terminator).
int TextLength(const char (&text)[QUOR_MSG_TEXT_SIZE])
{
    return (int)strnlen(text, QUOR_MSG_TEXT_SIZE - 1);
}

template <size_t N>
void CopyText(char (&to)[N], const char* from)
{
    size_t length = strnlen(from, N - 1);
    memcpy(to, from, length);
    memset(to + length, 0, N - length);
}

// A cleared record from its pool for the life of the object.
template <class R>
class PooledRecord {
public:
    PooledRecord(uint32_t commandId, const char* typeName)
        : m_u32CommandId(commandId), m_pRecord(static_cast<R*>(GetMemPoolReqAndRspMsg(commandId)))
    {
        if (m_pRecord != nullptr)
            memset(m_pRecord, 0, sizeof(R));
        else
            LightLogExt(40000, 0, kSrc, __LINE__, "###### GetNew %s memory fail! When answer a group message.",
                        typeName);
    }
    ~PooledRecord()
    {
        if (m_pRecord != nullptr)
            FreeMemPoolReqAndRspMsg(m_u32CommandId, m_pRecord);
    }
    PooledRecord(const PooledRecord&) = delete;
    PooledRecord& operator=(const PooledRecord&) = delete;

    R* Get() const { return m_pRecord; }

private:
    uint32_t m_u32CommandId;
    R* m_pRecord;
};

// ---- Sending -------------------------------------------------------------------------

enum class GroupPath { kWholeGroup, kPeer, kUpgradeAgent };

int SendBytes(uint32_t commandId, GroupPath path, const char* bytes, uint32_t length, uint32_t peerAddr)
{
    CQuorVelmarUdpMulSocketTask* group = g_VelmarUdpMulCast;
    if (group == nullptr) {
        LightLogExt(30000, 0, kSrc, __LINE__, "Group message <0x%X> not sent: no group sender.", commandId);
        return -3;
    }
    switch (path) {
    case GroupPath::kWholeGroup:
        return group->SendBroadCastUdpMsg(bytes, length);
    case GroupPath::kPeer:
        return group->SendRespondUdpMsg(bytes, length, peerAddr);
    case GroupPath::kUpgradeAgent:
        return group->SendNDKUdpMsg(bytes, length);
    }
    return -2;
}

struct T_SendSpec {
    const char* sender;  // the sender's name, for the log
    uint32_t commandId;
    GroupPath path;
    bool dump;           // hex dump of the bytes before the send
};

// Packs the record, sends it by the path and logs the outcome.
int SendRecord(const T_SendSpec& sendSpec, const void* record, uint32_t peerAddr = 0)
{
    uint32_t length = 0;
    char* bytes = CQuorVelmarCommLayer::TranslateOneStructToPack(sendSpec.commandId, record, &length);
    if (bytes == nullptr) {
        CQuorVelmarMetrics::Add(CQuorVelmarMetrics::kGroupOutFailed);
        LightLogExt(40000, 0, kSrc, __LINE__, "######%s Msg is <NULL> Error!", sendSpec.sender);
        return -2;
    }
    if (sendSpec.dump)
        print_mem(20000, bytes, length);
    int result = SendBytes(sendSpec.commandId, sendSpec.path, bytes, length, peerAddr);
    if (result == 0)
        CQuorVelmarMetrics::CountGroupOut(sendSpec.commandId);
    else
        CQuorVelmarMetrics::Add(CQuorVelmarMetrics::kGroupOutFailed);
    char text[QUOR_LOG_PACK_TEXT_SIZE];
    GetLogCharForPack(sendSpec.commandId, record, text, sizeof(text));
    LightLogExt(20000, 0, kSrc, __LINE__, "%s MsgLen is <%u>, %s Send result is <%d>.", sendSpec.sender, length, text,
                result);
    FreeMemPoolAllMsg((int32_t)length, bytes);
    return result;
}

// How each record this task sends goes out; the sender names the send in the log.
const T_SendSpec kSendSpecs[] = {
    {"SendBraodCastDeviceSearchQueryReq", QUOR_MSG_DEVICE_SEARCH_QUERY_REQ, GroupPath::kWholeGroup, false},
    {"SendBraodCastDeviceMaxSeqNumNotifyReq", QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ, GroupPath::kWholeGroup, false},
    {"SendBraodCastUserInfoChangeNotifyReq", QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ, GroupPath::kWholeGroup, true},
    {"SendBraodCastDeviceGroupSignNotifyReq", QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, GroupPath::kWholeGroup, false},
    {"SendDeviceSearchQueryRsp", QUOR_MSG_DEVICE_SEARCH_QUERY_RSP, GroupPath::kPeer, false},
    {"SendDeviceMaxSeqNumNotifyRsp", QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP, GroupPath::kPeer, false},
    {"SendUserInfoChangeNotifyRsp", QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP, GroupPath::kPeer, false},
    {"SendDeviceGroupSignNotifyRsp", QUOR_MSG_GROUP_SIGN_NOTIFY_RSP, GroupPath::kPeer, false},
    {"SendVersionUpgradeReq", QUOR_MSG_VERSION_UPGRADE_REQ, GroupPath::kUpgradeAgent, false},
};

// ---- Applying notices ---------------------------------------------------------------------

// Stores the group's maximum sequence number: preferences (then "sync"), the
// daemon's copy and the own record. False when the preferences refuse it.
bool StoreMaxSeqNum(uint16_t maxSeqNum)
{
    char text[8];
    snprintf(text, sizeof(text), "%u", (unsigned)maxSeqNum);
    if (CQuorVelmarPref::SetPWRSavePrefVal("sequenceMaxnumber", "char", text) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######sequenceMaxnumber <%s> cannot be stored.", text);
        return false;
    }
    CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_SequenceMaxNum, text);
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::SqncMaxNum, text);
    LightLogExt(10000, 0, kSrc, __LINE__, "g_ModulInfolist SqncMaxNum is <%s>", text);
    return true;
}

// Takes the web password into the property file and runs "sync". False
// (logged) when the property file refuses it or "sync" fails.
bool ChangeWebPassword(const char (&content)[QUOR_MSG_TEXT_SIZE])
{
    std::string password(content, strnlen(content, QUOR_MSG_TEXT_SIZE - 1));
    if (CServerProperty::GetInstance()->ChangePasswd(password) != 1) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######ChangePasswd Error, the web password is kept.");
        return false;
    }
    CQuorVelmarWebLogin::AfterPasswordChange(nullptr);
    const char command[] = "sync";
    if (!RunLoggedCommand(kSrc, command))
        return false;
    LightLogExt(20000, 0, kSrc, __LINE__, "pox_system <%s> OK.", command);
    return true;
}

// The word of "SET SUBGROUP self <word>" for a group sign command; null for
// a command that is neither join nor leave.
const char* SubgroupWord(uint16_t signCmd)
{
    switch (signCmd) {
    case QUOR_GROUP_SIGN_JOIN:
        return "on";
    case QUOR_GROUP_SIGN_LEAVE:
        return "off";
    default:
        return nullptr;
    }
}

// ---- Dispatch tables ------------------------------------------------------------------------

typedef int (*UdpHandler)(Task& task, const void* record, uint32_t peerAddr);

template <class R, int (Task::*Handler)(const R&, uint32_t)>
int CallHandler(Task& task, const void* record, uint32_t peerAddr)
{
    return (task.*Handler)(*static_cast<const R*>(record), peerAddr);
}

struct T_UdpHandlerEntry {
    uint32_t commandId;
    UdpHandler handler;
};

const T_UdpHandlerEntry kUdpHandlers[] = {
    {QUOR_MSG_DEVICE_SEARCH_QUERY_REQ, CallHandler<T_QuorDeviceSearchQueryReq, &Task::ProcessDeviceSearchQueryReq>},
    {QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ,
     CallHandler<T_QuorDeviceMaxSeqNumNotifyReq, &Task::ProcessDeviceMaxSeqNumNotifyReq>},
    {QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ,
     CallHandler<T_QuorUserInfoChangeNotifyReq, &Task::ProcessUserInfoChangeNotifyReq>},
    {QUOR_MSG_GROUP_SIGN_NOTIFY_REQ,
     CallHandler<T_QuorDeviceGroupSignNotifyReq, &Task::ProcessDeviceGroupSignNotifyReq>},
    {QUOR_MSG_DEVICE_SEARCH_QUERY_RSP, CallHandler<T_QuorDeviceSearchQueryRsp, &Task::ProcessDeviceSearchQueryRsp>},
    {QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP,
     CallHandler<T_QuorDeviceMaxSeqNumNotifyRsp, &Task::ProcessDeviceMaxSeqNumNotifyRsp>},
    {QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP,
     CallHandler<T_QuorUserInfoChangeNotifyRsp, &Task::ProcessUserInfoChangeNotifyRsp>},
    {QUOR_MSG_GROUP_SIGN_NOTIFY_RSP,
     CallHandler<T_QuorDeviceGroupSignNotifyRsp, &Task::ProcessDeviceGroupSignNotifyRsp>},
    {QUOR_MSG_VERSION_UPGRADE_RSP, CallHandler<T_QuorVersionUpgradeRsp, &Task::ProcessVersionUpgradeRsp>},
};

typedef int (*BroadcastStarter)(Task& task, const void* record);

template <class R, int (Task::*Starter)(const R&)>
int CallStarter(Task& task, const void* record)
{
    return (task.*Starter)(*static_cast<const R*>(record));
}

struct T_BroadcastEntry {
    uint32_t commandId;
    BroadcastStarter starter;
};

const T_BroadcastEntry kBroadcastStarters[] = {
    {QUOR_MSG_DEVICE_SEARCH_QUERY_REQ,
     CallStarter<T_QuorDeviceSearchQueryReq, &Task::ProcessBraodCastDeviceSearchQueryReq>},
    {QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ,
     CallStarter<T_QuorDeviceMaxSeqNumNotifyReq, &Task::ProcessBraodCastDeviceMaxSeqNumNotifyReq>},
    {QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ,
     CallStarter<T_QuorUserInfoChangeNotifyReq, &Task::ProcessBraodCastUserInfoChangeNotifyReq>},
    {QUOR_MSG_GROUP_SIGN_NOTIFY_REQ,
     CallStarter<T_QuorDeviceGroupSignNotifyReq, &Task::ProcessBraodCastDeviceGroupSignNotifyReq>},
};

}  // namespace

// ---- Entries ------------------------------------------------------------------------------------

int CQuorVelmarManageTask::DoOneUdpCommand(uint32_t commandId, void* record, uint32_t peerAddr)
{
    if (record == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Find CQuorVelmarManageTask::DoOneUdpCommand inParams be NULL!");
        return -2;
    }
    for (const T_UdpHandlerEntry& entry : kUdpHandlers) {
        if (entry.commandId == commandId) {
            entry.handler(*this, record, peerAddr);
            break;
        }
    }
    FreeMemPoolReqAndRspMsg(commandId, record);
    return 0;
}

int CQuorVelmarManageTask::DoBroadCastMsgReq(uint32_t commandId, void* record)
{
    if (record == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Find CQuorVelmarManageTask::DoBroadCastMsgReq inParams be NULL!");
        return -2;
    }
    GroupBroadcastFn broadcaster = s_pfnGroupBroadcast.load();
    if (broadcaster != nullptr)
        return broadcaster(commandId, record);
    for (const T_BroadcastEntry& entry : kBroadcastStarters) {
        if (entry.commandId == commandId)
            return entry.starter(*this, record);
    }
    return 0;
}

void CQuorVelmarManageTask::SetGroupBroadcaster(GroupBroadcastFn broadcaster)
{
    s_pfnGroupBroadcast.store(broadcaster);
}

// ---- Received requests ------------------------------------------------------------------------

void CQuorVelmarManageTask::AddModulInfoToStruct(T_QuorDeviceSearchQueryRsp* answer)
{
    T_QuorModulInfo own;
    bool haveOwn = g_ModulInfolist.CopyOwn(&own);
    // In InfoID order 1 to 8.
    const char* const texts[] = {own.cAlias,  own.Ip,      own.SequenceNumber, own.cLoopLink,
                                 own.Group,   own.cShowMe, own.cViSelect,      own.cDevType};
    const uint32_t count = sizeof(texts) / sizeof(texts[0]);
    answer->u8DeviceInfoTotal = (uint8_t)count;
    for (uint32_t i = 0; i < count; ++i) {
        T_QuorDeviceInfoAnnex& annex = answer->tAnnexCode[i];
        annex.u16InfoID = (uint16_t)(i + 1);
        CopyText(annex.cInfoCode, haveOwn ? texts[i] : "");
        annex.u32cInfoCodeLen = (uint32_t)TextLength(annex.cInfoCode);
    }
}

int CQuorVelmarManageTask::ProcessDeviceSearchQueryReq(const T_QuorDeviceSearchQueryReq& query, uint32_t peerAddr)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessDeviceSearchQueryReq Fun, u16DeviceType is <0x%x>, DeviceFunction is <%d>.",
                (unsigned)query.u16DeviceType, (int)query.u32DeviceFunction);
    PooledRecord<T_QuorDeviceSearchQueryRsp> answer(QUOR_MSG_DEVICE_SEARCH_QUERY_RSP, "T_QuorDeviceSearchQueryRsp");
    if (answer.Get() == nullptr)
        return -1;
    answer.Get()->tHeader = QuorAnswerMsgHeader(query.tHeader, QUOR_MSG_DEVICE_SEARCH_QUERY_RSP);
    answer.Get()->u16DeviceType = 1;
    answer.Get()->u32DeviceFunction = 0;
    AddModulInfoToStruct(answer.Get());
    return SendGroupRecord(QUOR_MSG_DEVICE_SEARCH_QUERY_RSP, answer.Get(), peerAddr);
}

int CQuorVelmarManageTask::ProcessDeviceMaxSeqNumNotifyReq(const T_QuorDeviceMaxSeqNumNotifyReq& notice,
                                                           uint32_t peerAddr)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessDeviceMaxSeqNumNotifyReq Fun, DeviceType is <0x%x>, DeviceMaxSeqNum is <%d>.",
                (unsigned)notice.u16DeviceType, (int)notice.u16DeviceMaxSeqNum);
    if (!StoreMaxSeqNum(notice.u16DeviceMaxSeqNum))
        return -2;
    T_QuorDeviceMaxSeqNumNotifyRsp answer;
    memset(&answer, 0, sizeof(answer));
    answer.tHeader = QuorAnswerMsgHeader(notice.tHeader, QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP);
    answer.u8ResultCode = 0;
    answer.u16DeviceType = notice.u16DeviceType;
    answer.u16DeviceMaxSeqNum = notice.u16DeviceMaxSeqNum;
    return SendGroupRecord(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP, &answer, peerAddr);
}

int CQuorVelmarManageTask::ProcessDeviceGroupSignNotifyReq(const T_QuorDeviceGroupSignNotifyReq& notice,
                                                           uint32_t peerAddr)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessDeviceGroupSignNotifyReq Fun, DeviceType is <0x%x>, DeviceGroupSignCmd is <0x%x>.",
                (unsigned)notice.u16DeviceType, (unsigned)notice.u16DeviceGroupSignCmd);
    T_QuorDeviceGroupSignNotifyRsp answer;
    memset(&answer, 0, sizeof(answer));
    answer.tHeader = QuorAnswerMsgHeader(notice.tHeader, QUOR_MSG_GROUP_SIGN_NOTIFY_RSP);
    answer.u8ResultCode = 0;
    answer.u16DeviceType = notice.u16DeviceType;
    answer.u16DeviceGroupSignCmd = notice.u16DeviceGroupSignCmd;
    int result = SendGroupRecord(QUOR_MSG_GROUP_SIGN_NOTIFY_RSP, &answer, peerAddr);

    const char* word = SubgroupWord(notice.u16DeviceGroupSignCmd);
    if (word == nullptr) {
        LightLogExt(30000, 0, kSrc, __LINE__, "DeviceGroupSignCmd <0x%x> is neither join nor leave: the MCU is not told.",
                    (unsigned)notice.u16DeviceGroupSignCmd);
        return result;
    }
    char line[64];
    snprintf(line, sizeof(line), "%s %s %s%s", "SET SUBGROUP", "self", word, "\r\n");
    SendUartBuf((uint32_t)strnlen(line, sizeof(line)), line);
    return result;
}

int CQuorVelmarManageTask::ProcessUserInfoChangeNotifyReq(const T_QuorUserInfoChangeNotifyReq& notice,
                                                          uint32_t peerAddr)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessUserInfoChangeNotifyReq Fun, u16DeviceType is <0x%x>, UserInfoTotal is <%d>.",
                (unsigned)notice.u16DeviceType, (int)notice.u8UserInfoTotal);
    const uint32_t count = AnnexCount(notice.u8UserInfoTotal);
    const T_QuorUserInfoAnnex* password = nullptr;  // the last one counts
    for (uint32_t i = 0; i < count; ++i) {
        const T_QuorUserInfoAnnex& annex = notice.tAnnexCode[i];
        LightLogExt(20000, 0, kSrc, __LINE__,
                    "@@@@@@In ProcessUserInfoChangeNotifyReq Fun, AnnexCode[%u] UserInfoType is <0x%x>, "
                    "UserInfoContent is <%.*s>.",
                    i, (unsigned)annex.u16UserInfoType, TextLength(annex.cUserInfoContent), annex.cUserInfoContent);
        if (annex.u16UserInfoType == QUOR_USER_INFO_WEB_PASSWORD)
            password = &annex;
    }
    // One property write and one "sync" however many annexes carry it.
    if (password != nullptr && !ChangeWebPassword(password->cUserInfoContent))
        return -2;
    PooledRecord<T_QuorUserInfoChangeNotifyRsp> answer(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP,
                                                       "T_QuorUserInfoChangeNotifyRsp");
    if (answer.Get() == nullptr)
        return -1;
    T_QuorUserInfoChangeNotifyRsp& rsp = *answer.Get();
    rsp.tHeader = QuorAnswerMsgHeader(notice.tHeader, QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP);
    rsp.u8ResultCode = 0;
    rsp.u16DeviceType = notice.u16DeviceType;
    rsp.u8UserInfoTotal = (uint8_t)count;
    for (uint32_t i = 0; i < count; ++i) {
        rsp.tAnnexCode[i].u8ResultCode = 0;
        rsp.tAnnexCode[i].u16UserInfoType = notice.tAnnexCode[i].u16UserInfoType;
        CopyText(rsp.tAnnexCode[i].cUserInfoContent, notice.tAnnexCode[i].cUserInfoContent);
    }
    return SendGroupRecord(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP, &rsp, peerAddr);
}

// ---- Received answers --------------------------------------------------------------------------

int CQuorVelmarManageTask::ProcessDeviceSearchQueryRsp(const T_QuorDeviceSearchQueryRsp& answer, uint32_t peerAddr)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessDeviceSearchQueryRsp Fun, u16DeviceType is <0x%x>, DeviceFunction is <%d>, "
                "DeviceInfoTotal is <%u>.",
                (unsigned)answer.u16DeviceType, (int)answer.u32DeviceFunction, (unsigned)answer.u8DeviceInfoTotal);
    const uint32_t count = AnnexCount(answer.u8DeviceInfoTotal);
    for (uint32_t i = 0; i < count; ++i) {
        const T_QuorDeviceInfoAnnex& annex = answer.tAnnexCode[i];
        if (annex.u32cInfoCodeLen >= QUOR_MSG_TEXT_SIZE) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######cInfoCodeLen is <%u> Error.", annex.u32cInfoCodeLen);
            return -2;
        }
        LightLogExt(20000, 0, kSrc, __LINE__,
                    "@@@@@@In ProcessDeviceSearchQueryRsp Fun, DeviceInfo AnnexCode[%u] u16InfoID is <%u>, "
                    "u32cInfoCodeLen is <%u>, cInfoCode is <%.*s>.",
                    i, (unsigned)annex.u16InfoID, annex.u32cInfoCodeLen, TextLength(annex.cInfoCode),
                    annex.cInfoCode);
    }
    int result = g_DevSearchQueryInfoList.Append(answer);
    if (result != 0) {
        char peer[QUOR_IP_TEXT_SIZE];
        QuorAddrToText(peerAddr, peer, sizeof(peer));
        LightLogExt(40000, 0, kSrc, __LINE__,
                    result == -2 ? "######g_DevSearchQueryInfoList is full, search answer from <%s> dropped."
                                 : "######No memory for g_DevSearchQueryInfoList, search answer from <%s> dropped.",
                    peer);
        return -2;
    }
    CQuorVelmarMetrics::MarkSearchAnswer();
    return 0;
}

int CQuorVelmarManageTask::ProcessDeviceMaxSeqNumNotifyRsp(const T_QuorDeviceMaxSeqNumNotifyRsp& answer, uint32_t)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessDeviceMaxSeqNumNotifyRsp Fun, ResultCode is <%d>, DeviceType is <0x%x>, "
                "DeviceMaxSeqNum is <%d>.",
                (int)answer.u8ResultCode, (unsigned)answer.u16DeviceType, (int)answer.u16DeviceMaxSeqNum);
    return 0;
}

int CQuorVelmarManageTask::ProcessUserInfoChangeNotifyRsp(const T_QuorUserInfoChangeNotifyRsp& answer, uint32_t)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessUserInfoChangeNotifyRsp Fun, ResultCode is <%d>, DeviceType is <0x%x>, "
                "UserInfoTotal is <%u>.",
                (int)answer.u8ResultCode, (unsigned)answer.u16DeviceType, (unsigned)answer.u8UserInfoTotal);
    const uint32_t count = AnnexCount(answer.u8UserInfoTotal);
    for (uint32_t i = 0; i < count; ++i) {
        const T_QuorUserInfoRspAnnex& annex = answer.tAnnexCode[i];
        LightLogExt(20000, 0, kSrc, __LINE__,
                    "@@@@@@In ProcessUserInfoChangeNotifyRsp Fun, AnnexCode[%u], ResultCode is <%d>, UserInfoType is "
                    "<0x%x>, UserInfoContent is <%.*s>.",
                    i, (int)annex.u8ResultCode, (unsigned)annex.u16UserInfoType, TextLength(annex.cUserInfoContent),
                    annex.cUserInfoContent);
    }
    return 0;
}

int CQuorVelmarManageTask::ProcessDeviceGroupSignNotifyRsp(const T_QuorDeviceGroupSignNotifyRsp& answer, uint32_t)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessDeviceGroupSignNotifyRsp Fun, ResultCode is <%d>, DeviceType is <0x%x>, "
                "DeviceGroupSignCmd is <0x%x>.",
                (int)answer.u8ResultCode, (unsigned)answer.u16DeviceType, (unsigned)answer.u16DeviceGroupSignCmd);
    return 0;
}

int CQuorVelmarManageTask::ProcessVersionUpgradeRsp(const T_QuorVersionUpgradeRsp& answer, uint32_t)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessVersionUpgradeRsp Fun, DeviceAddr is <%.*s>, DevicePort is <%u>, RspCode is <%u>, "
                "RspResult is <%u>, RspData is <%.*s>.",
                TextLength(answer.cDevAddr), answer.cDevAddr, answer.u32DevPort, answer.u32RspCode,
                answer.u32RspResult, TextLength(answer.cRspData), answer.cRspData);
    return 0;
}

// ---- Broadcast starters ---------------------------------------------------------------------

int CQuorVelmarManageTask::ProcessBraodCastDeviceSearchQueryReq(const T_QuorDeviceSearchQueryReq& query)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessBraodCastDeviceSearchQueryReq Fun, u16DeviceType is <0x%x>, DeviceFunction is <%d>.",
                (unsigned)query.u16DeviceType, (int)query.u32DeviceFunction);
    CQuorVelmarMetrics::MarkSearchSent();
    return SendGroupRecord(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ, &query);
}

int CQuorVelmarManageTask::ProcessBraodCastDeviceMaxSeqNumNotifyReq(const T_QuorDeviceMaxSeqNumNotifyReq& notice)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessBraodCastDeviceMaxSeqNumNotifyReq Fun, u16DeviceType is <0x%x>, u16DeviceMaxSeqNum "
                "is <%d>.",
                (unsigned)notice.u16DeviceType, (int)notice.u16DeviceMaxSeqNum);
    int result = SendGroupRecord(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ, &notice);
    const char order[] = "SET ORDER\r\n";
    SendUartBuf(sizeof(order) - 1, order);
    return result;
}

int CQuorVelmarManageTask::ProcessBraodCastUserInfoChangeNotifyReq(const T_QuorUserInfoChangeNotifyReq& notice)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessBraodCastUserInfoChangeNotifyReq Fun, DeviceType is <0x%x>, u8UserInfoTotal is <%d>.",
                (unsigned)notice.u16DeviceType, (int)notice.u8UserInfoTotal);
    const uint32_t count = AnnexCount(notice.u8UserInfoTotal);
    for (uint32_t i = 0; i < count; ++i) {
        const T_QuorUserInfoAnnex& annex = notice.tAnnexCode[i];
        LightLogExt(20000, 0, kSrc, __LINE__,
                    "@@@@@@In ProcessBraodCastUserInfoChangeNotifyReq Fun,AnnexCode[%d] is , UserInfoType is <0x%X>, "
                    "UserInfoContent is <%.*s>.",
                    (int)i, (unsigned)annex.u16UserInfoType, TextLength(annex.cUserInfoContent),
                    annex.cUserInfoContent);
    }
    return SendGroupRecord(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ, &notice);
}

int CQuorVelmarManageTask::ProcessBraodCastDeviceGroupSignNotifyReq(const T_QuorDeviceGroupSignNotifyReq& notice)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ProcessBraodCastDeviceGroupSignNotifyReq Fun, DeviceType is <0x%x>, DeviceGroupSignCmd is "
                "<0x%x>.",
                (unsigned)notice.u16DeviceType, (unsigned)notice.u16DeviceGroupSignCmd);
    return SendGroupRecord(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, &notice);
}

// ---- Senders ----------------------------------------------------------------------------------

int CQuorVelmarManageTask::SendGroupRecord(uint32_t commandId, const void* record, uint32_t peerAddr)
{
    for (const T_SendSpec& sendSpec : kSendSpecs) {
        if (sendSpec.commandId == commandId)
            return SendRecord(sendSpec, record, peerAddr);
    }
    return -2;
}

int CQuorVelmarManageTask::SendVersionUpgradeReq(const T_QuorVersionUpgradeReq& request)
{
    return SendGroupRecord(QUOR_MSG_VERSION_UPGRADE_REQ, &request);
}
