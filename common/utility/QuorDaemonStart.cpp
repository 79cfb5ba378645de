// Shared start-up steps: see QuorDaemonStart.h.
#include "QuorDaemonStart.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "BoardPath.h"
#include "LightLog.h"
#include "OS.h"

namespace {

const char kLogDir[] = "/var/Velmar";

void SetDisposition(int sig, void (*handler)(int))
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);  // SIGKILL and SIGSTOP are refused by the system
}

} // namespace

void QuorKeepStandardDescriptorsOpen()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) < 0)
            return;
    }
}

int QuorInstallLogCallbacks(const char* module)
{
    T_LightLogCallBack callbacks = LightLogStdioCallBack();
    int result = LightLogSetCallBack(&callbacks);
    if (result != 0) {
        printf("%sCours SetCallBack failed, error code<%d>\n", module, result);
        fflush(stdout);
    }
    return result;
}

int QuorTakeInstanceLock(const char* lockFile)
{
    char path[BoardPath::kMaxRoot + 256];
    if (BoardPath::Resolve(lockFile, path, sizeof(path)) != 0)
        return ENAMETOOLONG;
    errno = 0;
    if (OS::LockSemFile(path) != 0)
        return 0;
    return errno != 0 ? errno : EWOULDBLOCK;
}

void QuorReportInstanceLock(const char* module, const char* lockFile, int cause)
{
    if (cause == EWOULDBLOCK)
        printf("%sCours Module has already started, exit!\n", module);
    else
        printf("%sCours lock file <%s> cannot be used: %s, exit!\n", module, lockFile, strerror(cause));
}

int QuorSetUpDaemonLog(const char* name, const char* module)
{
    char dir[BoardPath::kMaxRoot + sizeof(kLogDir)];
    char prefix[sizeof(dir) + 64];
    int result = LLOG_ERR_PREFIX;
    if (BoardPath::Resolve(kLogDir, dir) == 0 &&
        snprintf(prefix, sizeof(prefix), "%s/%s", dir, name) < static_cast<int>(sizeof(prefix)))
        result = LightLogSetup(prefix, 5000, 10, LLOG_LEVEL_DEBUG);
    if (result != 0) {
        printf("%s LightLogSetup failed, error code<%d>\n", module, result);
        fflush(stdout);
        return result;
    }
    LightLogInstallAssertSink();
    // A flood must not turn the ring over: each place of the daemon writes a
    // burst, then counts (LightLog.h).
    LightLogSetRateLimit(LLOG_RATE_BURST, LLOG_RATE_WINDOW_MS);
    return 0;
}

void QuorSetUpDaemonSignals(void (*stopHandler)(int))
{
    for (int sig = 1; sig <= 31; ++sig) {
        if (sig != SIGINT && sig != SIGCHLD)
            SetDisposition(sig, SIG_IGN);
    }
    SetDisposition(SIGUSR1, stopHandler);
}
