// The start flow of the management task: the module's identity pushed to the
// MCU, then the chain of queries whose answers fill the module information
// record (the answers move the chain on, QuorVelmarManageTaskMcuRsp.cpp), and
// the resends on the timeout ticks.
#include <cstdio>
#include <cstring>

#include "BoardPath.h"
#include "LightLog.h"
#include "QuorVelmarFunction.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarPref.h"
#include "serverproperty.h"

namespace {

const char kSrc[] = "src/QuorVelmarManageTask";

const char kPropertyFile[] = "/var/tmpfs/SavePowerOff.conf";

// Pauses behind each identity line and behind the first query.
const uint32_t kIdentityPauseMs = 500;
const uint32_t kFirstQueryPauseMs = 200;

// Ticks without an answer after which a flow waiting in states 6 to 16 is
// given up (an MCU that does not know a query would otherwise keep every
// later answer of the chain from the TCP clients).
const uint16_t kMaxIdleTicks = 60;

// The queries of the states that are resent on the ticks.
const char* const kResentQueries[QUOR_FLOW_LAST_RESENT + 1] = {
    nullptr, "GET ORDER\r\n", "GET SUBGROUP\r\n", "GET RING_MARKER\r\n", "GET SHOWME\r\n", "GET MP all\r\n"};

// What the start flow learns about the module before it starts.
struct T_StartIdentity {
    char cGateway[QUOR_MODUL_FIELD_SIZE];
    char cAlias[QUOR_MODUL_NAME_SIZE];
    char cIpMod[QUOR_MODUL_FIELD_SIZE];
    char cIp[QUOR_IP_TEXT_SIZE];
    char cNetmask[QUOR_IP_TEXT_SIZE];
    char cMac[QUOR_MAC_HEX_TEXT_SIZE];
};

void CollectIdentity(T_StartIdentity* id)
{
    memset(id, 0, sizeof(*id));
    GetGateWay(id->cGateway);
    CServerProperty* property = CServerProperty::GetInstance();
    property->GetDevAlias(id->cAlias, sizeof(id->cAlias));
    property->GetIpMod(id->cIpMod, sizeof(id->cIpMod));
    T_DevInfoFromLocalAboutEth eth;
    memset(&eth, 0, sizeof(eth));
    if (GetNetWorkInfo(&eth, 1) > 0) {
        QuorCopyField(id->cIp, eth.cIpAddr);
        QuorCopyField(id->cNetmask, eth.cNetMask);
    }
    GetLocalMacAddr(id->cMac);
    CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_MacAddr, id->cMac);
    LightLogExt(20000, 0, kSrc, __LINE__, "Mac is <%s>.", id->cMac);
}

T_QuorModulInfo BuildOwnRecord(const T_StartIdentity& id)
{
    T_QuorModulInfo record;
    QuorCopyField(record.cModulName, QUOR_MODUL_NAME);
    QuorCopyField(record.cAlias, id.cAlias);
    char sequenceMax[QUOR_MODUL_FIELD_SIZE];
    CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_SequenceMaxNum, sequenceMax);
    QuorCopyField(record.SqncMaxNum, sequenceMax);
    QuorCopyField(record.IpMod, id.cIpMod);
    QuorCopyField(record.Ip, id.cIp);
    QuorCopyField(record.Netmask, id.cNetmask);
    QuorCopyField(record.Gateway, id.cGateway);
    QuorCopyField(record.cDevType, "TX");
    return record;
}

void LogOwnRecord(const T_QuorModulInfo& r)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "This Modul Info: Modul Name is <%s>, Alias is <%s>, SqncMaxNum is <%s>, Ip is <%s>, IpMod is <%s>, "
                "Netmask is <%s>, Gatewayis <%s>.",
                r.cModulName, r.cAlias, r.SqncMaxNum, r.Ip, r.IpMod, r.Netmask, r.Gateway);
}

// The last two bytes of the MAC address as "XX:XX" (empty pieces when the
// address is unknown).
void MacTail(const char* mac, char (&tail)[6])
{
    const char* digits = strlen(mac) >= 12 ? mac + 8 : "";
    snprintf(tail, sizeof(tail), "%.2s:%.2s", digits, digits[0] != '\0' ? digits + 2 : "");
}

}  // namespace

// ---- The flow ---------------------------------------------------------------------

int CQuorVelmarManageTask::DoVelmarStartFlow()
{
    char propertyPath[BoardPath::kMaxRoot + sizeof(kPropertyFile)];
    if (BoardPath::Resolve(kPropertyFile, propertyPath) == 0)
        CServerProperty::GetInstance()->Init(propertyPath);
    T_StartIdentity id;
    CollectIdentity(&id);
    T_QuorModulInfo record = BuildOwnRecord(id);
    g_ModulInfolist.Append(record);
    LogOwnRecord(record);

    {
        OSMutexLocker locker(&m_StartFlowMutex);
        m_b8StartFlow = true;
    }
    char tail[6];
    MacTail(id.cMac, tail);
    char line[512];
    const char* const identity[][2] = {
        {"SET SDXBIP", id.cIp}, {"set sdxmask", id.cNetmask}, {"set sdxgateway", id.cGateway}, {"set sdxmacaddr", tail}};
    for (const auto& item : identity) {
        snprintf(line, sizeof(line), "%s %s%s", item[0], item[1], "\r\n");
        SendUartBuf((uint32_t)strlen(line), line);
        Pause(kIdentityPauseMs);
    }

    {
        OSMutexLocker locker(&m_StartFlowMutex);
        m_u8MsgCurStatus = QUOR_FLOW_WAIT_ORDER;
        m_u8RetryCount = 0;
        m_u16IdleTicks = 0;
    }
    SendStartFlowQuery(kResentQueries[QUOR_FLOW_WAIT_ORDER]);
    Pause(kFirstQueryPauseMs);
    return 0;
}

void CQuorVelmarManageTask::SendStartFlowQuery(const char* query)
{
    SendUartBuf((uint32_t)strlen(query), query);
}

// ---- Ticks ----------------------------------------------------------------------------

int CQuorVelmarManageTask::ProcessStartFlowReSend()
{
    enum { kNone, kResend, kWait, kGiveUp, kBadState } action = kNone;
    uint8_t state;
    {
        OSMutexLocker locker(&m_StartFlowMutex);
        if (!m_b8StartFlow)
            return 0;
        state = m_u8MsgCurStatus;
        if (state >= QUOR_FLOW_WAIT_ORDER && state <= QUOR_FLOW_LAST_RESENT) {
            action = kResend;
            if (++m_u8RetryCount >= CQuorVelmarPref::s_u16Quor_Velmar_MsgReTransmissionNum)
                m_b8StartFlow = false;
        } else if (state > QUOR_FLOW_LAST_RESENT && state <= QUOR_FLOW_LAST_WAIT &&
                   state != QUOR_FLOW_UNUSED_STATE) {
            action = ++m_u16IdleTicks >= kMaxIdleTicks ? kGiveUp : kWait;
            if (action == kGiveUp)
                m_b8StartFlow = false;
        } else {
            action = kBadState;
            m_b8StartFlow = false;
            m_u8MsgCurStatus = QUOR_FLOW_COMPLETE;
        }
    }
    switch (action) {
    case kResend:
        SendStartFlowQuery(kResentQueries[state]);
        break;
    case kWait:
        LightLogExt(20000, 0, kSrc, __LINE__, "Do nothing");
        break;
    case kGiveUp:
        LightLogExt(40000, 0, kSrc, __LINE__, "######Start flow got no answer in state <%d> for <%d> ticks, given up!",
                    (int)state, (int)kMaxIdleTicks);
        break;
    default:
        LightLogExt(40000, 0, kSrc, __LINE__, "######MsgRetransmissionStatus MsgCurStatus is <%d> Error!", (int)state);
        break;
    }
    return 0;
}

// ---- Answers -------------------------------------------------------------------------

bool CQuorVelmarManageTask::AdvanceStartFlow(uint8_t nextState, const char* query)
{
    {
        OSMutexLocker locker(&m_StartFlowMutex);
        if (!m_b8StartFlow)
            return false;
        m_u8MsgCurStatus = nextState;
        m_u8RetryCount = 0;
        m_u16IdleTicks = 0;
    }
    if (query != nullptr)
        SendStartFlowQuery(query);
    return true;
}

bool CQuorVelmarManageTask::FinishStartFlow()
{
    {
        OSMutexLocker locker(&m_StartFlowMutex);
        if (!m_b8StartFlow)
            return false;
        ++m_u8MsgCurStatus;
        m_u8RetryCount = 0;
        m_b8StartFlow = false;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "start flow complete");
    return true;
}

bool CQuorVelmarManageTask::IsStartFlowRunning()
{
    OSMutexLocker locker(&m_StartFlowMutex);
    return m_b8StartFlow;
}

uint8_t CQuorVelmarManageTask::GetMsgCurStatus()
{
    OSMutexLocker locker(&m_StartFlowMutex);
    return m_u8MsgCurStatus;
}

uint8_t CQuorVelmarManageTask::GetStartFlowRetryCount()
{
    OSMutexLocker locker(&m_StartFlowMutex);
    return m_u8RetryCount;
}
