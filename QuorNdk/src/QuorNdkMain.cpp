// QuorNdk: the upgrade agent. Starts like velmard (CQuorDaemonStartup: logger
// callbacks, the single-instance lock, the log, the preferences, options,
// signals, daemonising), then pools 1 and 2, the management task and the
// communication layer, and idles until the stop signal (SIGHUP when
// daemonised, SIGUSR1 in the foreground). An installation the last run left
// unfinished is cleaned up first; one that runs when the stop signal comes
// ends before the agent does.
#include <new>

#include "LightLog.h"
#include "OS.h"
#include "OSThread.h"
#include "QuorNdkCommLayer.h"
#include "QuorNdkInstallState.h"
#include "QuorNdkManageTask.h"
#include "QuorNdkPref.h"
#include "QuorDaemonStartup.h"
#include "QuorSecTimeoutTask.h"
#include "QuorSocket.h"
#include "SocketUtils.h"

namespace {

const char kSrc[] = "QuorNdk/src/QuorNdkMain";

// The start-up's texts and values (CQuorDaemonStartup).
const T_QuorDaemonIdentity kIdentity = {
    kSrc, "Quor VelmarNdk", "Quor_VelmarNdk_Module",
    "QuorNdk", "/Velmar/etc/QuorNdk/SemLock.sys",             // log name, lock file
    "MPL-ARM-V3.11", "2018.11.12", "May  9 2017", "14:19:38",  // version, build date, banner date and time
    CQuorNdkPref::ReadPref, &CQuorNdkPref::s_s32VelmarNdk_LogLevel_Out,
    197, 198, 1, -1,  // exit: preferences, already running, daemonising, usage
    true,             // an unknown option prints the banner and the usage
    true,             // the stop is logged and printed
    false,            // without the lines the rate limit held back
};

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
    int status = 0;
    if (!CQuorDaemonStartup::Start(kIdentity, argc, argv, &status))
        return status;
    CQuorNdkManageTask::RecoverInterruptedInstall();
    StartPoolsAndTasks();
    CQuorDaemonStartup::WaitForStop();
    // An installation under way ends first: velmard must run again.
    if (g_InstallGate.Busy())
        LightLogExt(30000, 1, kSrc, __LINE__, "Stop requested during an upgrade; the agent stops once it has ended.");
    g_InstallGate.CloseAndWait();
    CQuorDaemonStartup::ExitStopped(kIdentity);
}
