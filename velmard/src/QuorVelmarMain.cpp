// velmard: the endpoint's main daemon.
//
// Start-up: logger callbacks, the single-instance lock (before the log is
// set up, so that a second instance never touches the running one's log
// files), the log, the preferences, options, signals, daemonising, the event
// threads and thread pools, the long-lived tasks in a fixed order, then an
// idle loop until the stop signal (SIGHUP when daemonised, SIGUSR1 in the
// foreground). The process then ends with _exit(0): the tasks keep running
// until that moment, so no global may be destroyed under them.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "BoardPath.h"
#include "LightLog.h"
#include "OS.h"
#include "OSFun.h"
#include "OSThread.h"
#include "QuorSecTimeoutTask.h"
#include "QuorSocket.h"
#include "QuorUart.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarTCPSrvCreate.h"
#include "QuorVelmarTaskChain.h"
#include "QuorVelmarUartTask.h"
#include "QuorVelmarUartTwoTask.h"
#include "QuorVelmarUdpMulSocketTask.h"
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

const char kLogDir[] = "/var/Velmar";
const char kLogName[] = "QuorVelmar";
const char kLockFile[] = "/Velmar/etc/QuorVelmar/SemLock.sys";

const uint32_t kLogLinesPerFile = 5000;
const uint32_t kLogFiles = 10;
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
    // {T_QuorTaskLink::kHard, QuorStartTaskLink<CVELMARGPIOTask, &g_pVelmarGPIOTask>,
    //  "###### New CVELMARGPIOTask memory fail! When QuorVelmar_Initlize().",
    //  "###### g_pVelmarGPIOTask Initialize fail! When QuorVelmar_Initlize().", nullptr, 0},
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
    // {T_QuorTaskLink::kSoft, QuorStartTaskLink<CQuorVelmarDhcpTask, &g_VelmarDhcp>,
    //  "######Put in for memory for g_VelmarDhcp failed",
    //  "######g_VelmarDhcp Initialize failed, exit!", "g_VelmarDhcp Initialize Successful!", 0},
    // f: MCU upgrade task (pool 9), soft:
    // {T_QuorTaskLink::kSoft, QuorStartTaskLink<CQuorUpgradeTRM40Task, &g_UpgradeTRM40Task>,
    //  "######Put in for memory for g_UpgradeTRM40Task failed",
    //  "######g_UpgradeTRM40Task Initialize failed, exit!", "g_UpgradeTRM40Task Initialize Successful!", 0},
    // g: configuration-tool search task (pool 10), soft:
    // {T_QuorTaskLink::kSoft, QuorStartTaskLink<CQuorVelmarUdpSearchTask, &g_VelmarUdpSearchTask>,
    //  "######Put in for memory for g_VelmarUdpSearchTask failed",
    //  "######g_VelmarUdpSearchTask Initialize failed, exit!", "g_VelmarUdpSearchTask Initialize Successful!", 0},
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
    // {T_QuorTaskLink::kLast, QuorStartTaskLink<CQuorVelmarMGTask, &g_pVelmarMGTask>,
    //  "###### New CQuorVelmarMGTask memory fail! When QuorVelmar_Initlize().",
    //  "###### g_pVelmarMGTask Initialize fail! When QuorVelmar_Initlize().", nullptr, 0},
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

// A closed standard descriptor would be given to the next file opened (a
// serial line at descriptor 0 looks closed to its task): park /dev/null there.
// /dev/null is this machine's device, not a board file.
void KeepStandardDescriptorsOpen()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) < 0)
            return;
    }
}

int InstallLogCallbacks()
{
    T_LightLogCallBack callbacks = LightLogStdioCallBack();
    int result = LightLogSetCallBack(&callbacks);
    if (result != 0) {
        printf("Quor VelmarCours SetCallBack failed, error code<%d>\n", result);
        fflush(stdout);
    }
    return result;
}

// Only a lock held by another instance means "already started"; a lock file
// that cannot be opened (missing directory, read-only file system) is
// reported with its cause. The exit status is the same.
void TakeInstanceLock()
{
    char path[BoardPath::kMaxRoot + sizeof(kLockFile)];
    int err = ENAMETOOLONG;
    if (BoardPath::Resolve(kLockFile, path) == 0) {
        errno = 0;
        if (OS::LockSemFile(path) != 0)
            return;
        err = errno;
    }
    if (err == EWOULDBLOCK)
        printf("Quor VelmarCours Module has already started, exit!\n");
    else
        printf("Quor VelmarCours lock file <%s> cannot be used: %s, exit!\n", kLockFile, strerror(err));
    ExitWith(kExitRunning);
}

int SetUpLog()
{
    char dir[BoardPath::kMaxRoot + sizeof(kLogDir)];
    char prefix[sizeof(dir) + sizeof(kLogName) + 1];
    int result = LLOG_ERR_PREFIX;
    if (BoardPath::Resolve(kLogDir, dir) == 0 &&
        snprintf(prefix, sizeof(prefix), "%s/%s", dir, kLogName) < static_cast<int>(sizeof(prefix)))
        result = LightLogSetup(prefix, kLogLinesPerFile, kLogFiles, LLOG_LEVEL_DEBUG);
    if (result != 0) {
        printf("Quor Velmar LightLogSetup failed, error code<%d>\n", result);
        fflush(stdout);
        return result;
    }
    LightLogInstallAssertSink();
    return 0;
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

void SetDisposition(int sig, void (*handler)(int))
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);  // SIGKILL and SIGSTOP are refused by the system
}

void sig_hangup_hdl(int)
{
    g_b16Stop = 1;
}

// Every signal 1 to 31 is ignored but SIGINT (ends the process) and SIGCHLD
// (left at its default, so that shell commands running at the same time on
// several threads all get their own status); SIGUSR1 stops a foreground run.
void SetUpSignals()
{
    for (int sig = 1; sig <= 31; ++sig) {
        if (sig != SIGINT && sig != SIGCHLD)
            SetDisposition(sig, SIG_IGN);
    }
    SetDisposition(SIGUSR1, sig_hangup_hdl);
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
    LightLogExt(20000, 1, kSrc, __LINE__, "Stopping Quor Velmar Module success.");
    LightLogFlush();
    fflush(stdout);
    _exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    KeepStandardDescriptorsOpen();
    g_pProgramName = argv[0];
    if (InstallLogCallbacks() != 0)
        return -1;
    TakeInstanceLock();
    if (SetUpLog() != 0)
        return -1;
    LoadPreferences();

    bool daemon = true;
    int status = ParseOptions(argc, argv, &daemon);
    if (status >= 0) {
        fflush(stdout);
        return status;
    }
    SetUpSignals();
    StartProcess(daemon);

    LightLogExt(20000, 1, kSrc, __LINE__, "Quor Velmar Module Start Initlize.");
    InitializeUtilities();
    StartPools();
    CQuorVelmarTaskChain::Run(kTaskChain, sizeof(kTaskChain) / sizeof(kTaskChain[0]));
    IdleUntilStopped();
}
