// Detaching the supervisor from the shell that started it.
#ifndef VELMARCMD_DAEMONSTART_H
#define VELMARCMD_DAEMONSTART_H

// Forks; the calling process exits with status 1 at once and the child goes
// on as the supervisor: it ignores SIGHUP and signals 2 to 32, ends on SIGUSR1
// (plexit), leaves the controlling terminal and takes SIGCHLD back to its
// default so that it can wait for its children.
void daemon_start();

// SIGUSR1 handler: prints "omnelcmd:Normal exit!" and exits with status 0.
// The watched program keeps running.
void plexit(int sig);

// For a freshly forked child about to exec: every catchable signal back to
// its default handling, none blocked.
void RestoreDefaultSignals();

#endif
