// A daemon's start-up and stop: see QuorDaemonStartup.h.
#include "QuorDaemonStartup.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "LightLog.h"
#include "OS.h"
#include "OSFun.h"
#include "OSThread.h"
#include "QuorDaemonStart.h"

const char* CQuorDaemonStartup::s_pProgramName = nullptr;
volatile sig_atomic_t CQuorDaemonStartup::s_b16Stop = 0;

bool CQuorDaemonStartup::Start(const T_QuorDaemonIdentity& identity, int argc, char** argv, int* status)
{
    QuorKeepStandardDescriptorsOpen();
    s_pProgramName = argv[0];
    if (!SetUpLogAndLock(identity)) {
        fflush(stdout);
        *status = -1;
        return false;
    }
    LoadPreferences(identity);
    bool daemon = true;
    *status = ParseOptions(identity, argc, argv, &daemon);
    if (*status >= 0) {
        fflush(stdout);
        return false;
    }
    QuorSetUpDaemonSignals(OnStopSignal);
    StartProcess(identity, daemon);
    LightLogExt(20000, 1, identity.src, __LINE__, "%s Module Start Initlize.", identity.module);
    return true;
}

void CQuorDaemonStartup::WaitForStop()
{
    while (s_b16Stop == 0) {
        OS::UpdateMilSecLowPrecision();
        OSThread::Sleep(1000);
    }
}

void CQuorDaemonStartup::ExitStopped(const T_QuorDaemonIdentity& identity)
{
    if (identity.reportHeldBack)
        LightLogReportHeldBack(true);
    LightLogExt(20000, 1, identity.src, __LINE__, "Stopping %s Module success.", identity.module);
    if (identity.printStopped)
        printf("Stopping %s Module success......\n", identity.module);
    LightLogFlush();
    fflush(stdout);
    _exit(0);
}

// Only a lock held by another instance means "already started"; a lock file
// that cannot be opened (missing directory, read-only file system) is
// reported with its cause. The exit status is the same.
bool CQuorDaemonStartup::SetUpLogAndLock(const T_QuorDaemonIdentity& identity)
{
    if (QuorInstallLogCallbacks(identity.module) != 0)
        return false;
    int cause = QuorTakeInstanceLock(identity.lockFile);
    if (cause != 0) {
        QuorReportInstanceLock(identity.module, identity.lockFile, cause);
        ExitWith(identity.exitRunning);
    }
    return QuorSetUpDaemonLog(identity.logName, identity.module) == 0;
}

void CQuorDaemonStartup::LoadPreferences(const T_QuorDaemonIdentity& identity)
{
    if (identity.readPrefs() < 0) {
        printf("Fatal to load config file of system, halt.\n");
        LightLogExt(50000, 1, identity.src, __LINE__, "###### Fatal to load config file of system, halt.");
        ExitWith(identity.exitPrefs);
    }
    LightLogSetLevel(static_cast<uint32_t>(*identity.logLevel));
}

// -1 to go on (with *daemon set), else the status main returns.
int CQuorDaemonStartup::ParseOptions(const T_QuorDaemonIdentity& identity, int argc, char** argv, bool* daemon)
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
        case 'v':
            PrintBanner(identity);
            PrintUsage();
            if (option == 'v')
                return 0;
            break;
        default:
            if (identity.bannerOnBadOption)
                PrintBanner(identity);
            PrintUsage();
            ExitWith(identity.exitUsage);
        }
    }
    return -1;
}

void CQuorDaemonStartup::PrintBanner(const T_QuorDaemonIdentity& identity)
{
    printf("%s Module  /%s Built on: %s, %s\n", identity.module, identity.version, identity.bannerDate,
           identity.bannerTime);
}

void CQuorDaemonStartup::PrintUsage()
{
    printf("usage: %s [-v] [-d] [-h]\n", s_pProgramName);
    printf("\t   -v: Display version\n");
    printf("\t   -d: More debug information\n");
    printf("\t   -h: Display help\n");
    fflush(stdout);
}

void CQuorDaemonStartup::StartProcess(const T_QuorDaemonIdentity& identity, bool daemon)
{
    if (daemon) {
        if (COSFun::Daemonize(identity.processName, OnStopSignal) < 0) {
            LightLogExt(50000, 1, identity.src, __LINE__, "###### Fatal to start %s Module.", identity.module);
            printf("Fatal to start %sCours Module.\n", identity.module);
            ExitWith(identity.exitDaemon);
        }
        return;
    }
    LightLogExt(20000, 0, identity.src, __LINE__, "Start %sCours Module success, Current Version:%s, Build Date:%s",
                identity.module, identity.version, identity.buildDate);
    printf("Start %sCours Module success. Current Version:%s, Build Date:%s\n", identity.module, identity.version,
           identity.buildDate);
    fflush(stdout);
}

void CQuorDaemonStartup::ExitWith(int status)
{
    fflush(stdout);
    LightLogExit();
    exit(status);
}

void CQuorDaemonStartup::OnStopSignal(int)
{
    s_b16Stop = 1;
}
