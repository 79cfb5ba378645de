// velmard: the endpoint's main daemon.
//
// Start-up: the steps every daemon shares (CQuorDaemonStartup: logger
// callbacks, the single-instance lock, the log, the preferences, options,
// signals, daemonising), then the event threads and thread pools, the
// long-lived tasks in a fixed order, then an idle loop until the stop signal.
// The process then ends with _exit(0): the tasks keep running until that
// moment, so no global may be destroyed under them.
#include <cstdint>

#include "LightLog.h"
#include "OS.h"
#include "OSThread.h"
#include "QuorSecTimeoutTask.h"
#include "QuorDaemonStartup.h"
#include "QuorSocket.h"
#include "QuorUart.h"
#include "QuorUpgradeTRM40Task.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarDhcpTask.h"
#include "QuorVelmarMGTask.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarTCPSrvCreate.h"
#include "QuorVelmarTaskChain.h"
#include "QuorVelmarUartTask.h"
#include "QuorVelmarUartTwoTask.h"
#include "QuorVelmarUdpMulSocketTask.h"
#include "QuorVelmarUdpSearchTask.h"
#include "VELMARGPIOTask.h"
#include "SocketUtils.h"

// The task pointers live with their tasks (g_pVelmarManageTask in
// QuorVelmarManageTask.cpp, and so on), where the tests can reach them too.

namespace {

const char kSrc[] = "src/QuorVelmarMain";

// The start-up's texts and values (CQuorDaemonStartup).
const T_QuorDaemonIdentity kIdentity = {
    kSrc, "Quor Velmar", "Quor_Velmar_Module",
    "QuorVelmar", "/Velmar/etc/QuorVelmar/SemLock.sys",     // log name, lock file
    "MPL-ARM-V3.11", "2018.11.12", "May  9 2017", "14:19:24",  // version, build date, banner date and time
    CQuorVelmarPref::ReadPref, &CQuorVelmarPref::s_s32Quor_Velmar_LogLevel_Out,
    197, 198, 1, -1,  // exit: preferences, already running, daemonising, usage
    false,            // an unknown option prints the usage alone
    false,            // the stop is only logged,
    true,             // with the lines the rate limit held back
};

const uint32_t kThreadStackBytes = 0x200000;

// Link i of step 13: the communication layer reports failure by a negative
// result.
int StartCommLayer()
{
    return CQuorVelmarCommLayer::Initialize() < 0 ? QUOR_LINK_INIT_FAILED : QUOR_LINK_OK;
}

// ---- Step 13: the long-lived tasks, in this order ------------------------------
//
// A task that is not built yet keeps its slot here, commented out, with its
// link kind and messages; its global is defined with the task.
const T_QuorTaskLink kTaskChain[] = {
    // a: GPIO task (pool 5), hard:
    {T_QuorTaskLink::kHard, QuorStartTaskLink<CVELMARGPIOTask, &g_pVelmarGPIOTask>,
     "###### New CVELMARGPIOTask memory fail! When QuorVelmar_Initlize().",
     "###### g_pVelmarGPIOTask Initialize fail! When QuorVelmar_Initlize().", nullptr, 0},
    // b: MCU serial task (pool 3), hard:
    {T_QuorTaskLink::kHard, QuorStartTaskLink<CQuorVelmarUartTask, &g_pVelmarUartTask>,
     "###### New CQuorVelmarUartTask memory fail! When QuorVelmar_Initlize().",
     "###### g_pVelmarUartTask Initialize fail! When QuorVelmar_Initlize().", nullptr, 0},
    // c: auxiliary serial task (pool 4), hard:
    {T_QuorTaskLink::kHard, QuorStartTaskLink<CQuorVelmarUartTwoTask, &g_pVelmarUartTwoTask>,
     "###### New CQuorVelmarUartTwoTask memory fail! When QuorVelmar_Initlize().",
     "###### g_pVelmarUartTwoTask Initialize fail! When QuorVelmar_Initlize().", nullptr, 0},
    // d: UDP multicast task (pool 8), soft:
    {T_QuorTaskLink::kSoft, QuorStartTaskLink<CQuorVelmarUdpMulSocketTask, &g_VelmarUdpMulCast>,
     "######Put in for memory for g_VelmarUdpMulCast failed",
     "######g_VelmarUdpMulCast Initialize failed, exit!", "g_VelmarUdpMulCast Initialize Successful!", 0},
    // e: DHCP watch task (pool 11), soft:
    {T_QuorTaskLink::kSoft, QuorStartTaskLink<CQuorVelmarDhcpTask, &g_VelmarDhcp>,
     "######Put in for memory for g_VelmarDhcp failed",
     "######g_VelmarDhcp Initialize failed, exit!", "g_VelmarDhcp Initialize Successful!", 0},
    // f: MCU upgrade task (pool 9), soft:
    {T_QuorTaskLink::kSoft, QuorStartTaskLink<CQuorUpgradeTRM40Task, &g_UpgradeTRM40Task>,
     "######Put in for memory for g_UpgradeTRM40Task failed",
     "######g_UpgradeTRM40Task Initialize failed, exit!", "g_UpgradeTRM40Task Initialize Successful!", 0},
    // g: configuration-tool search task (pool 10), soft:
    {T_QuorTaskLink::kSoft, QuorStartTaskLink<CQuorVelmarUdpSearchTask, &g_VelmarUdpSearchTask>,
     "######Put in for memory for g_VelmarUdpSearchTask failed",
     "######g_VelmarUdpSearchTask Initialize failed, exit!", "g_VelmarUdpSearchTask Initialize Successful!", 0},
    // h: management task (pool 2), hard:
    {T_QuorTaskLink::kHard, QuorStartTaskLink<CQuorVelmarManageTask, &g_pVelmarManageTask>,
     "###### New CQuorVelmarManageTask memory fail! When QuorVelmar_Initlize().",
     "###### QuorVelmarManageTask Initialize fail! When QuorVelmar_Initlize().", nullptr, 0},
    // i: communication layer and its UDP socket task (pool 1), hard; a negative
    //    result of CQuorVelmarCommLayer::Initialize() is the failure:
    {T_QuorTaskLink::kHard, StartCommLayer, nullptr, "###### Fail to initiallize CQuorVelmarCommLayer.",
     nullptr, 0},
    // j: TCP command server (pool 7), soft:
    {T_QuorTaskLink::kSoft, QuorStartTaskLink<CQuorVelmarTcpSrvCreate, &g_pVelmarTcpSrv>,
     "######Put in for memory for g_pMgrDisper failed",
     "######g_pMgrDisper Initialize failed, exit!", "g_pMgrDisper Initialize Successful!", 0},
    // k: the web task starts at least 3 seconds after the TCP server.
    {T_QuorTaskLink::kPause, nullptr, nullptr, nullptr, nullptr, 3},
    // l: web task (pool 6), last:
    {T_QuorTaskLink::kLast, QuorStartTaskLink<CQuorVelmarMGTask, &g_pVelmarMGTask>,
     "###### New CQuorVelmarMGTask memory fail! When QuorVelmar_Initlize().",
     "###### g_pVelmarMGTask Initialize fail! When QuorVelmar_Initlize().", nullptr, 0},
};

// ---- Steps 11 and 12 ----------------------------------------------------------------

void InitializeUtilities()
{
    SocketUtils::Initialize(0);
    OS::Initialize();
    OSThread::Initialize(kThreadStackBytes);
}

template <int N>
void StartPool(uint32_t threads)
{
    QuorTaskThreadPool<N>::AddThreads(threads, 0);
}

template <int N>
void StartPoolWithTimeouts(uint32_t threads)
{
    StartPool<N>(threads);
    QuorSecTimeoutTask<N>::Initialize();
}

// Event threads (one per pool that watches descriptors; the pool's sockets
// share it) are created with their select state reset, then started.
void StartPools()
{
    QuorSocket<1>::InitializeEventThread();
    QuorSocket<1>::StartEventThread();
    QuorSocket<7>::InitializeEventThread();
    StartPool<7>(4);
    QuorSocket<7>::StartEventThread();
    QuorUart<3>::InitializeEventThread();
    QuorUart<3>::StartEventThread();
    StartPool<1>(CQuorVelmarPref::s_u16Quor_Velmar_RecvUdpThreadNum);
    StartPool<8>(1);
    StartPoolWithTimeouts<11>(1);
    StartPoolWithTimeouts<2>(CQuorVelmarPref::s_u16Quor_Velmar_ManageTaskThreadNum);
    StartPool<3>(1);
    StartPool<4>(1);
    StartPoolWithTimeouts<5>(1);
    StartPool<6>(1);
    StartPoolWithTimeouts<9>(1);
    StartPool<10>(1);
}

} // namespace

int main(int argc, char** argv)
{
    int status = 0;
    if (!CQuorDaemonStartup::Start(kIdentity, argc, argv, &status))
        return status;
    InitializeUtilities();
    StartPools();
    CQuorVelmarTaskChain::Run(kTaskChain, sizeof(kTaskChain) / sizeof(kTaskChain[0]));
    CQuorDaemonStartup::WaitForStop();
    CQuorDaemonStartup::ExitStopped(kIdentity);
}
