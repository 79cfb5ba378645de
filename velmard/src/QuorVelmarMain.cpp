// velmard: the endpoint's main daemon.
//
// Start-up: logger callbacks, the single-instance lock (before the log is
// set up, so that a second instance never touches the running one's log
// files), the log, the preferences, options, signals, daemonising, the event
// threads and thread pools, the long-lived tasks in a fixed order, then an
// idle loop until the stop signal (SIGHUP when daemonised, SIGUSR1 in the
// foreground). The process then ends with _exit(0): the tasks keep running
// until that moment, so no global may be destroyed under them.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "LightLog.h"
#include "OS.h"
#include "OSFun.h"
#include "OSThread.h"
#include "QuorSecTimeoutTask.h"
#include "QuorDaemonStart.h"
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

// argv[0], for the usage line.
const char* g_pProgramName = nullptr;
// Set to 1 by the stop signal's handler; main polls it once a second.
volatile sig_atomic_t g_b16Stop = 0;

// The task pointers live with their tasks (g_pVelmarManageTask in
// QuorVelmarManageTask.cpp, and so on), where the tests can reach them too.

namespace {

const char kSrc[] = "src/QuorVelmarMain";

const char kVersion[] = "MPL-ARM-V3.11";
const char kBuildDate[] = "2018.11.12";
const char kBannerDate[] = "May  9 2017";
const char kBannerTime[] = "14:19:24";

const char kLogName[] = "QuorVelmar";
const char kLockFile[] = "/Velmar/etc/QuorVelmar/SemLock.sys";

const uint32_t kThreadStackBytes = 0x200000;

enum { kExitPrefs = 197, kExitRunning = 198, kExitDaemon = 1, kExitUsage = -1 };

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

// ---- Output ---------------------------------------------------------------------

void PrintBanner()
{
    printf("Quor Velmar Module  /%s Built on: %s, %s\n", kVersion, kBannerDate, kBannerTime);
}

void PrintUsage()
{
    printf("usage: %s [-v] [-d] [-h]\n", g_pProgramName);
    printf("\t   -v: Display version\n");
    printf("\t   -d: More debug information\n");
    printf("\t   -h: Display help\n");
    fflush(stdout);
}

[[noreturn]] void ExitWith(int status)
{
    fflush(stdout);
    LightLogExit();
    exit(status);
}

// ---- Steps 1 to 9 -------------------------------------------------------------------

// Only a lock held by another instance means "already started"; a lock file
// that cannot be opened (missing directory, read-only file system) is
// reported with its cause. The exit status is the same.
void TakeInstanceLock()
{
    int cause = QuorTakeInstanceLock(kLockFile);
    if (cause == 0)
        return;
    QuorReportInstanceLock("Quor Velmar", kLockFile, cause);
    ExitWith(kExitRunning);
}

void LoadPreferences()
{
    if (CQuorVelmarPref::ReadPref() < 0) {
        printf("Fatal to load config file of system, halt.\n");
        LightLogExt(50000, 1, kSrc, __LINE__, "###### Fatal to load config file of system, halt.");
        ExitWith(kExitPrefs);
    }
    LightLogSetLevel(static_cast<uint32_t>(CQuorVelmarPref::s_s32Quor_Velmar_LogLevel_Out));
}

// Returns -1 to go on (with *daemon set), else the status main returns.
int ParseOptions(int argc, char** argv, bool* daemon)
{
    *daemon = true;
    opterr = 0;
    int option;
    while ((option = getopt(argc, argv, "vhdD")) != -1) {
        switch (option) {
        case 'd':
        case 'D':
            *daemon = false;
            break;
        case 'h':
            PrintBanner();
            PrintUsage();
            break;
        case 'v':
            PrintBanner();
            PrintUsage();
            return 0;
        default:
            PrintUsage();
            ExitWith(kExitUsage);
        }
    }
    return -1;
}

void sig_hangup_hdl(int)
{
    g_b16Stop = 1;
}

void StartProcess(bool daemon)
{
    if (daemon) {
        if (COSFun::Daemonize("Quor_Velmar_Module", sig_hangup_hdl) < 0) {
            LightLogExt(50000, 1, kSrc, __LINE__, "###### Fatal to start Quor Velmar Module.");
            printf("Fatal to start Quor VelmarCours Module.\n");
            ExitWith(kExitDaemon);
        }
        return;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "Start Quor VelmarCours Module success, Current Version:%s, Build Date:%s",
                kVersion, kBuildDate);
    printf("Start Quor VelmarCours Module success. Current Version:%s, Build Date:%s\n", kVersion, kBuildDate);
    fflush(stdout);
}

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

// ---- Steps 14 and 15 ----------------------------------------------------------------

[[noreturn]] void IdleUntilStopped()
{
    while (g_b16Stop == 0) {
        OS::UpdateMilSecLowPrecision();
        OSThread::Sleep(1000);
    }
    LightLogReportHeldBack(true);
    LightLogExt(20000, 1, kSrc, __LINE__, "Stopping Quor Velmar Module success.");
    LightLogFlush();
    fflush(stdout);
    _exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    QuorKeepStandardDescriptorsOpen();
    g_pProgramName = argv[0];
    if (QuorInstallLogCallbacks("Quor VelmarCours") != 0)
        return -1;
    TakeInstanceLock();
    if (QuorSetUpDaemonLog(kLogName, "Quor Velmar") != 0)
        return -1;
    LoadPreferences();

    bool daemon = true;
    int status = ParseOptions(argc, argv, &daemon);
    if (status >= 0) {
        fflush(stdout);
        return status;
    }
    QuorSetUpDaemonSignals(sig_hangup_hdl);
    StartProcess(daemon);

    LightLogExt(20000, 1, kSrc, __LINE__, "Quor Velmar Module Start Initlize.");
    InitializeUtilities();
    StartPools();
    CQuorVelmarTaskChain::Run(kTaskChain, sizeof(kTaskChain) / sizeof(kTaskChain[0]));
    IdleUntilStopped();
}
