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
        printf("%s SetCallBack failed, error code<%d>\n", module, result);
        fflush(stdout);
    }
    return result;
}

bool QuorTakeInstanceLock(const char* lockFile)
{
    char path[BoardPath::kMaxRoot + 256];
    return BoardPath::Resolve(lockFile, path, sizeof(path)) == 0 && OS::LockSemFile(path) != 0;
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
