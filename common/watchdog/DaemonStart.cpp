#include "DaemonStart.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// Signals the supervisor ignores (SIGHUP is 1; SIGKILL and SIGSTOP cannot be
// ignored and 32 is the C library's own, so those attempts simply fail).
constexpr int kFirstIgnoredSignal = 1;
constexpr int kLastIgnoredSignal = 32;
// Signals a watched program starts with at their defaults.
constexpr int kLastStandardSignal = 31;

void SetDisposition(int sig, void (*handler)(int), bool blockAllWhileRunning, bool report)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    if (blockAllWhileRunning)
        sigfillset(&action.sa_mask);
    else
        sigemptyset(&action.sa_mask);
    if (sigaction(sig, &action, nullptr) != 0 && report)
        perror("sigaction");
}

} // namespace

void plexit(int sig)
{
    (void)sig;
    static const char kText[] = "omnelcmd:Normal exit!";
    if (write(STDOUT_FILENO, kText, sizeof kText - 1) < 0) {
        // Nothing left to tell anyone: we are leaving anyway.
    }
    _exit(0);
}

void daemon_start()
{
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        exit(1);
    }
    if (pid > 0)
        exit(1);

    for (int sig = kFirstIgnoredSignal; sig <= kLastIgnoredSignal; ++sig)
        SetDisposition(sig, SIG_IGN, false, false);
    SetDisposition(SIGUSR1, plexit, false, true);
    setsid();
    SetDisposition(SIGCHLD, SIG_DFL, true, true);
}

void RestoreDefaultSignals()
{
    for (int sig = 1; sig <= kLastStandardSignal; ++sig)
        SetDisposition(sig, SIG_DFL, false, false);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}
