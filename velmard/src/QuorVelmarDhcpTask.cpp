#include "QuorVelmarDhcpTask.h"

#include <strings.h>

#include <cstring>
#include <new>

#include "LightLog.h"
#include "QuorVelmarModulInfoList.h"
#include "QuorVelmarPref.h"
#include "serverproperty.h"

CQuorVelmarDhcpTask* g_VelmarDhcp = nullptr;

namespace {

const char kSrc[] = "src/QuorVelmarDhcpTask";
const size_t kIpModSize = 64;

bool IsDhcpMode()
{
    char mode[kIpModSize] = "";
    CServerProperty::GetInstance()->GetIpMod(mode, sizeof(mode));
    return strcasecmp(mode, "dhcp") == 0;
}

}  // namespace

CQuorVelmarDhcpTask::CQuorVelmarDhcpTask() : m_pfnReadNetInfo(ReadNetWorkInfo)
{
    SetTaskName("CQuorVelmarDhcpTask");
}

CQuorVelmarDhcpTask::~CQuorVelmarDhcpTask()
{
    delete m_pMgTaskTimeout;
}

int64_t CQuorVelmarDhcpTask::PeriodMilSec()
{
    uint32_t seconds = CQuorVelmarPref::s_u32Quor_Velmar_DHCPCheckTime;
    return (int64_t)(seconds < 1 ? 1 : seconds) * 1000;
}

void CQuorVelmarDhcpTask::SetNetInfoReader(NetInfoReader reader)
{
    m_pfnReadNetInfo = reader != nullptr ? reader : ReadNetWorkInfo;
}

int CQuorVelmarDhcpTask::Initialize()
{
    m_pMgTaskTimeout = new (std::nothrow) QuorSecTimeoutTask<11>(this, 0);
    if (m_pMgTaskTimeout == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Put in for memory for DHCP check timer failed!");
        return -1;
    }
    m_pMgTaskTimeout->SetTimeOutMilSec(PeriodMilSec());
    Signal(TASK_EVT_TIMEOUT);
    LightLogExt(20000, 0, kSrc, __LINE__, "CQuorVelmarDhcpTask::Initialize OK!");
    return 0;
}

int64_t CQuorVelmarDhcpTask::Run()
{
    if ((GetEvents() & TASK_EVT_TIMEOUT) != 0)
        CheckOnce();
    return 0;
}

void CQuorVelmarDhcpTask::CheckOnce()
{
    if (m_pMgTaskTimeout != nullptr)
        m_pMgTaskTimeout->RefreshTimeout();
    if (!IsDhcpMode()) {
        LightLogExt(10000, 0, kSrc, __LINE__, "in static ip mod");
        return;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "udhcpc -q");
    pox_system("udhcpc -q");
    UpdateNetwork();
}

void CQuorVelmarDhcpTask::UpdateNetwork()
{
    T_DevInfoFromLocalAboutEth eth;
    memset(&eth, 0, sizeof(eth));
    if (m_pfnReadNetInfo(&eth, 1) < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######The interface list cannot be read, address check skipped.");
        return;
    }
    char recorded[QUOR_MODUL_FIELD_SIZE];
    if (!g_ModulInfolist.GetOwnField(&T_QuorModulInfo::Ip, recorded)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######No own module record, address check skipped (interface <%s>).",
                    eth.cIpAddr);
        return;
    }
    if (strcasecmp(recorded, eth.cIpAddr) == 0) {
        LightLogExt(10000, 0, kSrc, __LINE__, "do nothing\n%s\n%s", recorded, eth.cIpAddr);
        return;
    }
    LightLogExt(20000, 1, kSrc, __LINE__, "reboot\n%s\n%s", recorded, eth.cIpAddr);
    pox_system("reboot");
}
