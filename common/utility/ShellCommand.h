// The command runner of both daemons: runs a shell command text with /bin/sh
// and returns its status, or starts it and hands back its output.
//
// On the board (no board root) a command runs as it is. With a board root
// (BoardPath, VELMAR_ROOT) the runner
// - resolves every absolute path in the text under the board root,
// - puts the root's program directories first in PATH
//   ($VELMAR_ROOT/usr/sbin:$VELMAR_ROOT/usr/bin:$VELMAR_ROOT/sbin:$VELMAR_ROOT/bin),
//   followed by a directory of stand-ins that refuse the machine's own
//   machine-changing programs when a child script calls them by name,
// - refuses, with a logged error and the status kNotRun, any command whose
//   machine-changing programs do not resolve inside the board root
//   (ShellCommandGuard).
//
// The child starts with default signal dispositions and an empty signal mask
// and inherits no descriptor but 0 to 2 (every descriptor of this code base is
// close-on-exec). While a command runs, SIGCHLD must not be ignored, or the
// kernel would reap the child before its status is read; the runner turns an
// ignored SIGCHLD back to its default and leaves it there, so that commands
// running at the same time on other threads keep their status too.
//
// One object runs one command at a time; objects are cheap, make one per use.
#ifndef QUOR_SHELLCOMMAND_H
#define QUOR_SHELLCOMMAND_H

#include <cstddef>
#include <cstdio>
#include <sys/types.h>

#include "BoardPath.h"

class ShellCommand {
public:
    // Status of a command that was refused or could not be started (as
    // system() reports a child that could not be created).
    static constexpr int kNotRun = -1;
    // Longest command text once resolved under the board root.
    static constexpr size_t kMaxCommand = 8192;

    // Runs under the process's board root (VELMAR_ROOT).
    ShellCommand();
    // Runs under the given board root (absolute, no trailing slash; null or ""
    // for none). For tests and tools that work on several roots.
    explicit ShellCommand(const char* root);
    // Closes an output stream still open and waits for its command.
    ~ShellCommand();
    ShellCommand(const ShellCommand&) = delete;
    ShellCommand& operator=(const ShellCommand&) = delete;

    // Runs the command and waits for it. Returns the wait status as system()
    // does (0 for success, exit code N as N << 8), or kNotRun.
    int Run(const char* command);

    // Runs a program with an argument vector, no shell between: nothing in
    // the arguments is ever interpreted. argv[0] is an absolute board path
    // (resolved under the board root) or a name searched in the board's PATH;
    // workDir (null: keep) is a board path the program starts in. Same
    // environment, signals and result as Run.
    int RunProgram(const char* const* argv, const char* workDir);
    // Starts the command with its standard output connected to Stream().
    // Returns 0, or -2 when it was refused, could not be started, or a stream
    // is already open.
    int OpenRead(const char* command);
    // The command's output while open, else null.
    FILE* Stream() const { return m_pStream; }
    // Closes the stream and waits for the command: its wait status, or kNotRun
    // when no stream was open.
    int CloseRead();

    // The program directories and the stand-in directory of a board root, in
    // PATH order, as one PATH text followed by ":" and hostPath (null: the
    // default "/usr/sbin:/usr/bin:/sbin:/bin"). Returns 0 or -2 (does not fit).
    static int BoardPathVariable(const char* root, const char* hostPath, char* out, size_t cap);
    // Directory of the stand-ins, relative to the board root.
    static const char* GuardDir() { return "var/run/board-guard"; }

private:
    int Start(const char* command, int outputFd, pid_t* pid);
    int Prepare(const char* command, char* resolved, size_t cap);
    static int Wait(pid_t pid);

    char m_cRoot[BoardPath::kMaxRoot + 1];
    bool m_b8RootUsable;
    FILE* m_pStream;
    pid_t m_ReaderPid;
};

#endif
