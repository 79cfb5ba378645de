#include "WatchLoop.h"

#include "DaemonStart.h"
#include "SimpleLog.h"
#include "WatchMessages.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

long MonotonicMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec) * 1000L + now.tv_nsec / 1000000L;
}

[[noreturn]] void ExecWatchedProgram(const WatchTarget& target)
{
    const char* log = target.logFile.c_str();
    simpleonlylog(log, MSG_STARTING, target.command, static_cast<int>(getpid()));
    simpleonlylog(log, MSG_LOG_IN, log);
    rollfile(target.outFile.c_str());
    rollfile(target.errFile.c_str());
    setpgrp();
    RestoreDefaultSignals();
    execvp(target.command, target.argv);
    const int err = errno;
    simplelog(log, MSG_EXEC_ERROR, target.command, strerror(err), err);
    _exit(kExitExecFailed);
}

pid_t StartWatchedProgram(const WatchTarget& target)
{
    for (;;) {
        const pid_t pid = fork();
        if (pid == 0)
            ExecWatchedProgram(target);
        if (pid > 0)
            return pid;
        const int err = errno;
        simplelog(target.logFile.c_str(), MSG_FORK_ERROR, strerror(err), err);
        sleep(kForkRetrySec);
    }
}

// Waits until `pid` changes state; a failed wait is never taken for a status.
int WaitForChild(const WatchTarget& target, pid_t pid)
{
    for (;;) {
        int status = 0;
        const pid_t got = waitpid(pid, &status, 0);
        if (got == pid)
            return status;
        if (got < 0 && errno == EINTR)
            continue;
        const int err = errno;
        simplelog(target.logFile.c_str(), MSG_WAIT_ERROR, strerror(err), err);
        sleep(kWaitRetrySec);
    }
}

WatchAction ReportExitCode(const WatchTarget& target, int pid, int code)
{
    const char* log = target.logFile.c_str();
    const char* cmd = target.command;
    switch (code) {
    case 0:
        simplelog(log, MSG_SHUTDOWN_NORMAL, target.selfName, cmd, pid);
        return WatchAction::Shutdown;
    case kExitExecFailed:
        simplelog(log, MSG_EXEC_FAILED, cmd, log);
        return WatchAction::Shutdown;
    case kExitAlreadyRunning:
        simplelog(log, MSG_ALREADY_RUNNING, cmd, pid, cmd);
        return WatchAction::Shutdown;
    case kExitConfigError:
        simplelog(log, MSG_CONFIG_ERROR, cmd, pid, cmd);
        return WatchAction::Shutdown;
    case kExitShareMemoryError:
        simplelog(log, MSG_SHARE_MEMORY_ERROR, cmd, pid);
        return WatchAction::Shutdown;
    case kExitChannelConfigError:
        simplelog(log, MSG_CHANNEL_CONFIG_ERROR, cmd, pid);
        return WatchAction::Shutdown;
    default:
        simplelog(log, MSG_RESTART, cmd, pid);
        return WatchAction::Restart;
    }
}

void PauseIfQuickDeath(long startedMs)
{
    if (MonotonicMs() - startedMs < kQuickDeathMs)
        sleep(kQuickDeathPauseSec);
}

} // namespace

WatchAction ReportChildEnd(const WatchTarget& target, pid_t child, int status)
{
    const char* log = target.logFile.c_str();
    const int pid = static_cast<int>(child);
    if (WIFEXITED(status)) {
        simplelog(log, MSG_ENDED_NORMALLY, target.command, pid, WEXITSTATUS(status));
        return ReportExitCode(target, pid, WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        simplelog(log, MSG_ENDED_BY_SIGNAL, target.command, pid, sig);
        if (sig != SIGKILL)
            return WatchAction::Restart;
        simplelog(log, MSG_KILLED_MANUAL, target.selfName, target.command, pid);
        return WatchAction::Shutdown;
    }
    if (WIFSTOPPED(status))
        simplelog(log, MSG_STOPPED, target.command, pid, WSTOPSIG(status));
    return WatchAction::KeepWaiting;
}

int RunWatchLoop(const WatchTarget& target)
{
    for (;;) {
        const long startedMs = MonotonicMs();
        const pid_t pid = StartWatchedProgram(target);
        WatchAction action;
        do {
            action = ReportChildEnd(target, pid, WaitForChild(target, pid));
        } while (action == WatchAction::KeepWaiting);
        if (action == WatchAction::Shutdown)
            return 0;
        PauseIfQuickDeath(startedMs);
    }
}
