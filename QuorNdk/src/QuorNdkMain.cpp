// QuorNdk: the upgrade agent. Starts like velmard (logger callbacks, the
// single-instance lock, the log, the preferences, options, signals,
// daemonising), then pools 1 and 2, the management task and the
// communication layer, and idles until the stop signal (SIGHUP when
// daemonised, SIGUSR1 in the foreground). An installation the last run left
// unfinished is cleaned up first; one that runs when the stop signal comes
// ends before the agent does.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

#include "LightLog.h"
#include "OS.h"
#include "OSFun.h"
#include "OSThread.h"
#include "QuorNdkCommLayer.h"
#include "QuorNdkInstallState.h"
#include "QuorNdkManageTask.h"
#include "QuorNdkPref.h"
#include "QuorDaemonStart.h"
#include "QuorSecTimeoutTask.h"
#include "QuorSocket.h"
#include "SocketUtils.h"

const char* g_pProgramName = nullptr;
volatile sig_atomic_t g_b16Stop = 0;

namespace {

const char kSrc[] = "QuorNdk/src/QuorNdkMain";
const char kVersion[] = "MPL-ARM-V3.11";
const char kBuildDate[] = "2018.11.12";
const char kLogName[] = "QuorNdk";
const char kLockFile[] = "/Velmar/etc/QuorNdk/SemLock.sys";

enum { kExitPrefs = 197, kExitRunning = 198, kExitDaemon = 1, kExitUsage = -1 };

void PrintBannerAndUsage()
{
    printf("Quor VelmarNdk Module  /%s Built on: %s, %s\n", kVersion, "May  9 2017", "14:19:38");
    printf("usage: %s [-v] [-d] [-h]\n\t   -v: Display version\n\t   -d: More debug information\n"
           "\t   -h: Display help\n",
           g_pProgramName);
    fflush(stdout);
}

[[noreturn]] void ExitWith(int status)
{
    fflush(stdout);
    LightLogExit();
    exit(status);
}

int SetUpLogAndLock()
{
    if (QuorInstallLogCallbacks("Quor VelmarNdkCours") != 0)
        return -1;
    int cause = QuorTakeInstanceLock(kLockFile);
    if (cause != 0) {
        QuorReportInstanceLock("Quor VelmarNdk", kLockFile, cause);
        ExitWith(kExitRunning);
    }
    return QuorSetUpDaemonLog(kLogName, "Quor VelmarNdk");
}

void LoadPreferences()
{
    if (CQuorNdkPref::ReadPref() < 0) {
        printf("Fatal to load config file of system, halt.\n");
        LightLogExt(50000, 1, kSrc, __LINE__, "###### Fatal to load config file of system, halt.");
        ExitWith(kExitPrefs);
    }
    LightLogSetLevel(static_cast<uint32_t>(CQuorNdkPref::s_s32VelmarNdk_LogLevel_Out));
}

// -1 to go on (with *daemon set), else the status main returns.
int ParseOptions(int argc, char** argv, bool* daemon)
{
    *daemon = true;
    opterr = 0;
    int option;
    while ((option = getopt(argc, argv, "vhdD")) != -1) {
        if (option == 'd' || option == 'D') {
            *daemon = false;
        } else if (option == 'h' || option == 'v') {
            PrintBannerAndUsage();
            if (option == 'v')
                return 0;
        } else {
            PrintBannerAndUsage();
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
        if (COSFun::Daemonize("Quor_VelmarNdk_Module", sig_hangup_hdl) < 0) {
            LightLogExt(50000, 1, kSrc, __LINE__, "###### Fatal to start Quor VelmarNdk Module.");
            printf("Fatal to start Quor VelmarNdkCours Module.\n");
            ExitWith(kExitDaemon);
        }
        return;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "Start Quor VelmarNdkCours Module success, Current Version:%s, Build Date:%s",
                kVersion, kBuildDate);
    printf("Start Quor VelmarNdkCours Module success. Current Version:%s, Build Date:%s\n", kVersion, kBuildDate);
    fflush(stdout);
}

void StartPoolsAndTasks()
{
    SocketUtils::Initialize(0);
    OS::Initialize();
    OSThread::Initialize(0x200000);
    QuorSocket<1>::InitializeEventThread();
    QuorSocket<1>::StartEventThread();
    QuorTaskThreadPool<1>::AddThreads(CQuorNdkPref::s_u16VelmarNdk_RecvUdpThreadNum, 0);
    QuorTaskThreadPool<2>::AddThreads(CQuorNdkPref::s_u16VelmarNdk_ManageTaskThreadNum, 0);
    QuorSecTimeoutTask<2>::Initialize();

    CQuorNdkManageTask* task = new (std::nothrow) CQuorNdkManageTask;
    if (task == nullptr) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### New CQuorNdkManageTask memory fail! When QuorNdk_Initlize().");
        return;
    }
    g_pVelmarNdkManageTask = task;
    if (task->Initialize() != 0) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### QuorNdkManageTask Initialize fail! When QuorNdk_Initlize().");
        return;
    }
    if (CQuorNdkCommLayer::Initialize() < 0)
        LightLogExt(40000, 1, kSrc, __LINE__, "###### Fail to initiallize CQuorNdkCommLayer.");
}

} // namespace

int main(int argc, char** argv)
{
    QuorKeepStandardDescriptorsOpen();
    g_pProgramName = argv[0];
    if (SetUpLogAndLock() != 0) {
        fflush(stdout);
        return -1;
    }
    LoadPreferences();
    bool daemon = true;
    int status = ParseOptions(argc, argv, &daemon);
    if (status >= 0)
        return status;
    QuorSetUpDaemonSignals(sig_hangup_hdl);
    StartProcess(daemon);
    LightLogExt(20000, 1, kSrc, __LINE__, "Quor VelmarNdk Module Start Initlize.");
    CQuorNdkManageTask::RecoverInterruptedInstall();
    StartPoolsAndTasks();
    while (g_b16Stop == 0) {
        OS::UpdateMilSecLowPrecision();
        OSThread::Sleep(1000);
    }
    // An installation under way ends first: velmard must run again.
    if (g_InstallGate.Busy())
        LightLogExt(30000, 1, kSrc, __LINE__, "Stop requested during an upgrade; the agent stops once it has ended.");
    g_InstallGate.CloseAndWait();
    LightLogExt(20000, 1, kSrc, __LINE__, "Stopping Quor VelmarNdk Module success.");
    printf("Stopping Quor VelmarNdk Module success......\n");
    LightLogFlush();
    fflush(stdout);
    _exit(0);
}
