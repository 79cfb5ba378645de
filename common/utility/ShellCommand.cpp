// The command runner: see ShellCommand.h.
#include "ShellCommand.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "LightLog.h"
#include "ShellCommandGuard.h"

extern char** environ;

namespace {

const char kSource[] = "utility/ShellCommand";
const char kShell[] = "/bin/sh";
const char kDefaultHostPath[] = "/usr/sbin:/usr/bin:/sbin:/bin";
constexpr size_t kMaxPathVariable = 16384;

// What a stand-in does when a child script calls a machine-changing program
// by name: refuse, say so, and leave a line for whoever reads the board's logs.
const char kGuardStub[] =
    "#!/bin/sh\n"
    "# Stands in for a program of this machine that would change the machine.\n"
    "# Commands of the simulated board never reach the machine's own program.\n"
    "name=${0##*/}\n"
    "echo \"board-guard: refused to run this machine's $name $*\" >&2\n"
    "if [ -n \"${VELMAR_ROOT:-}\" ] && [ -d \"$VELMAR_ROOT/var/log\" ]; then\n"
    "    printf '%s\\n' \"$name $*\" >> \"$VELMAR_ROOT/var/log/board-refused.log\"\n"
    "fi\n"
    "exit 126\n";

bool Format(char* out, size_t cap, const char* a, const char* b)
{
    int n = snprintf(out, cap, "%s/%s", a, b);
    return n >= 0 && static_cast<size_t>(n) < cap;
}

bool MakeDir(const char* path)
{
    return mkdir(path, 0755) == 0 || errno == EEXIST;
}

bool WriteStub(const char* dir, const char* name)
{
    char path[PATH_MAX];
    if (!Format(path, sizeof(path), dir, name))
        return false;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    if (fd < 0)
        return false;
    size_t len = sizeof(kGuardStub) - 1;
    bool ok = write(fd, kGuardStub, len) == static_cast<ssize_t>(len);
    return close(fd) == 0 && ok;
}

void RemoveStubs(const char* dir)
{
    for (const char* const* name = ShellCommandGuard::GuardedNames(); *name != nullptr; ++name) {
        char path[PATH_MAX];
        if (Format(path, sizeof(path), dir, *name))
            unlink(path);
    }
    rmdir(dir);
}

// Lays out the stand-ins in a private directory and moves it into place, so
// that processes sharing a board root never see a half-written directory.
bool LayOutGuardDir(const char* root, const char* dir)
{
    char var[PATH_MAX], run[PATH_MAX], temp[PATH_MAX];
    if (!Format(var, sizeof(var), root, "var") || !Format(run, sizeof(run), root, "var/run") ||
        !Format(temp, sizeof(temp), run, ".board-guard-XXXXXX"))
        return false;
    if (!MakeDir(var) || !MakeDir(run) || mkdtemp(temp) == nullptr)
        return false;
    bool ok = chmod(temp, 0755) == 0;
    for (const char* const* name = ShellCommandGuard::GuardedNames(); ok && *name != nullptr; ++name)
        ok = WriteStub(temp, *name);
    if (ok && rename(temp, dir) == 0)
        return true;
    RemoveStubs(temp);
    struct stat st;
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode);   // another process was first
}

void EnsureGuardDir(const char* root)
{
    char dir[PATH_MAX];
    if (!Format(dir, sizeof(dir), root, ShellCommand::GuardDir()))
        return;
    struct stat st;
    if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode))
        return;
    if (!LayOutGuardDir(root, dir))
        LightLogExt(LLOG_LEVEL_WARNING, 0, kSource, __LINE__,
                    "######Could not lay out <%s>; scripts that call the machine's programs by name are not "
                    "stopped",
                    dir);
}

// An ignored SIGCHLD (or SA_NOCLDWAIT) makes the kernel reap children itself,
// and the command's status is lost. Restore the default for good: putting the
// old disposition back would break commands still running on other threads.
void KeepChildStatus()
{
    struct sigaction current;
    if (sigaction(SIGCHLD, nullptr, &current) != 0)
        return;
    bool ignored = !(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN;
    if (!ignored && !(current.sa_flags & SA_NOCLDWAIT))
        return;
    struct sigaction dfl;
    memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGCHLD, &dfl, nullptr);
}

bool StartsWith(const char* text, const char* prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// The child's environment: the process's own, with PATH and VELMAR_ROOT set
// for the board root when there is one.
class ChildEnvironment {
public:
    bool Build(const char* root)
    {
        m_Entries.clear();
        bool hasRoot = root[0] != '\0';
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            if (!hasRoot || (!StartsWith(*entry, "PATH=") && !StartsWith(*entry, "VELMAR_ROOT=")))
                m_Entries.push_back(*entry);
        }
        if (hasRoot) {
            int n = snprintf(m_cRoot, sizeof(m_cRoot), "VELMAR_ROOT=%s", root);
            if (n < 0 || static_cast<size_t>(n) >= sizeof(m_cRoot))
                return false;
            memcpy(m_cPath, "PATH=", 5);
            if (ShellCommand::BoardPathVariable(root, getenv("PATH"), m_cPath + 5, sizeof(m_cPath) - 5) != 0)
                return false;
            m_Entries.push_back(m_cRoot);
            m_Entries.push_back(m_cPath);
        }
        m_Entries.push_back(nullptr);
        return true;
    }
    char** Entries() { return m_Entries.data(); }
    // The PATH the child gets (without "PATH=").
    const char* Path() const { return m_cPath[0] != '\0' ? m_cPath + 5 : getenv("PATH"); }

private:
    std::vector<char*> m_Entries;
    char m_cRoot[BoardPath::kMaxRoot + 16];
    char m_cPath[kMaxPathVariable] = "";
};

// The first executable file named name in the directories of path, into out.
bool FindInPath(const char* name, const char* path, char* out, size_t cap)
{
    const char* dirs = path != nullptr && path[0] != '\0' ? path : kDefaultHostPath;
    while (*dirs != '\0') {
        const char* end = strchrnul(dirs, ':');
        int n = snprintf(out, cap, "%.*s/%s", static_cast<int>(end - dirs), dirs, name);
        struct stat st;
        if (n > 0 && static_cast<size_t>(n) < cap && stat(out, &st) == 0 && S_ISREG(st.st_mode) &&
            access(out, X_OK) == 0)
            return true;
        dirs = *end == ':' ? end + 1 : end;
    }
    return false;
}

// True for a command text that is one word the shell would take as it is: a
// program name or path, nothing to expand, quote, split or redirect.
bool IsPlainWord(const char* text)
{
    size_t length = strlen(text);
    return length > 0 && strspn(text, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._/+-") == length &&
           text[0] != '-';
}

// The program a one-word command names, into out: the path itself, or the
// first match in path. False for any other text and for a word path does not
// hold, which the shell then runs (or reports missing) itself.
bool PlainProgram(const char* command, const char* path, char* out, size_t cap)
{
    if (!IsPlainWord(command))
        return false;
    if (strchr(command, '/') == nullptr)
        return FindInPath(command, path, out, cap);
    size_t length = strlen(command);
    if (length >= cap || access(command, X_OK) != 0)
        return false;
    memcpy(out, command, length + 1);
    return true;
}

// Spawn attributes: default dispositions for every signal (the daemons ignore
// most of them, and ignored dispositions would pass to the child) and an empty mask.
class SpawnAttributes {
public:
    SpawnAttributes() : m_b8Ok(posix_spawnattr_init(&m_Attr) == 0)
    {
        sigset_t all, none;
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        sigemptyset(&none);
        m_b8Ok = m_b8Ok && posix_spawnattr_setsigdefault(&m_Attr, &all) == 0 &&
                 posix_spawnattr_setsigmask(&m_Attr, &none) == 0 &&
                 posix_spawnattr_setflags(&m_Attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&m_Attr); }
    bool Ok() const { return m_b8Ok; }
    const posix_spawnattr_t* Get() const { return &m_Attr; }

private:
    posix_spawnattr_t m_Attr;
    bool m_b8Ok;
};

class SpawnActions {
public:
    explicit SpawnActions(int outputFd) : m_b8Ok(posix_spawn_file_actions_init(&m_Actions) == 0)
    {
        if (m_b8Ok && outputFd >= 0)
            m_b8Ok = posix_spawn_file_actions_adddup2(&m_Actions, outputFd, STDOUT_FILENO) == 0;
    }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&m_Actions); }
    void ChangeDir(const char* dir)
    {
        m_b8Ok = m_b8Ok && posix_spawn_file_actions_addchdir_np(&m_Actions, dir) == 0;
    }
    bool Ok() const { return m_b8Ok; }
    const posix_spawn_file_actions_t* Get() const { return &m_Actions; }

private:
    posix_spawn_file_actions_t m_Actions;
    bool m_b8Ok;
};

} // namespace

ShellCommand::ShellCommand() : ShellCommand(BoardPath::Root())
{
    m_b8RootUsable = BoardPath::RootUsable();
}

ShellCommand::ShellCommand(const char* root) : m_b8RootUsable(true), m_pStream(nullptr), m_ReaderPid(-1)
{
    m_cRoot[0] = '\0';
    if (root != nullptr && root[0] != '\0') {
        int n = snprintf(m_cRoot, sizeof(m_cRoot), "%s", root);
        m_b8RootUsable = n > 0 && static_cast<size_t>(n) < sizeof(m_cRoot) && root[0] == '/';
    }
}

ShellCommand::~ShellCommand()
{
    if (m_pStream != nullptr)
        CloseRead();
}

int ShellCommand::Run(const char* command)
{
    pid_t pid;
    if (Start(command, -1, &pid) != 0)
        return kNotRun;
    return Wait(pid);
}

int ShellCommand::RunProgram(const char* const* argv, const char* workDir)
{
    if (argv == nullptr || argv[0] == nullptr || !m_b8RootUsable)
        return kNotRun;
    ChildEnvironment env;
    SpawnAttributes attributes;
    SpawnActions actions(-1);
    char program[PATH_MAX];
    char dir[PATH_MAX];
    bool found = env.Build(m_cRoot);
    if (found && workDir != nullptr) {
        found = BoardPath::ResolveUnder(m_cRoot, workDir, dir, sizeof(dir)) == 0;
        actions.ChangeDir(dir);
    }
    if (!found) {
    } else if (argv[0][0] == '/') {
        found = BoardPath::ResolveUnder(m_cRoot, argv[0], program, sizeof(program)) == 0;
    } else if (strchr(argv[0], '/') != nullptr) {
        // Relative to the working directory it starts in.
        int n = snprintf(program, sizeof(program), "%s/%s", workDir != nullptr ? dir : ".", argv[0]);
        found = n > 0 && static_cast<size_t>(n) < sizeof(program);
    } else {
        found = FindInPath(argv[0], env.Path(), program, sizeof(program));
    }
    if (!found || !attributes.Ok() || !actions.Ok()) {
        LightLogExt(LLOG_LEVEL_ERROR, 1, kSource, __LINE__, "######Could not prepare program <%s>", argv[0]);
        return kNotRun;
    }
    KeepChildStatus();
    pid_t pid;
    int error = posix_spawn(&pid, program, actions.Get(), attributes.Get(), const_cast<char* const*>(argv),
                            env.Entries());
    if (error != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 1, kSource, __LINE__, "######Could not start program <%s>, error %d", program,
                    error);
        return kNotRun;
    }
    return Wait(pid);
}

int ShellCommand::OpenRead(const char* command)
{
    if (m_pStream != nullptr)
        return -2;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__, "######Could not make a pipe for <%s>, errno %d",
                    command != nullptr ? command : "(null)", errno);
        return -2;
    }
    pid_t pid;
    int started = Start(command, fds[1], &pid);
    close(fds[1]);
    if (started != 0) {
        close(fds[0]);
        return -2;
    }
    m_pStream = fdopen(fds[0], "r");
    if (m_pStream == nullptr) {
        close(fds[0]);
        Wait(pid);
        return -2;
    }
    m_ReaderPid = pid;
    return 0;
}

int ShellCommand::CloseRead()
{
    if (m_pStream == nullptr)
        return kNotRun;
    fclose(m_pStream);
    m_pStream = nullptr;
    int status = Wait(m_ReaderPid);
    m_ReaderPid = -1;
    return status;
}

int ShellCommand::BoardPathVariable(const char* root, const char* hostPath, char* out, size_t cap)
{
    if (root == nullptr || out == nullptr || cap == 0)
        return -2;
    size_t len = 0;
    out[0] = '\0';
    const char* const* dirs = ShellCommandGuard::ProgramDirs();
    for (size_t i = 0; dirs[i] != nullptr; ++i) {
        int n = snprintf(out + len, cap - len, "%s/%s:", root, dirs[i]);
        if (n < 0 || static_cast<size_t>(n) >= cap - len)
            return -2;
        len += static_cast<size_t>(n);
    }
    const char* host = hostPath != nullptr && hostPath[0] != '\0' ? hostPath : kDefaultHostPath;
    int n = snprintf(out + len, cap - len, "%s/%s:%s", root, GuardDir(), host);
    return n >= 0 && static_cast<size_t>(n) < cap - len ? 0 : -2;
}

// Resolves the text under the board root and applies the safety rule.
// Returns 0 when the resolved text may run.
int ShellCommand::Prepare(const char* command, char* resolved, size_t cap)
{
    if (command == nullptr)
        return -2;
    if (!m_b8RootUsable) {
        LightLogExt(LLOG_LEVEL_ERROR, 1, kSource, __LINE__,
                    "######Refused shell command <%s>: the board root (VELMAR_ROOT) cannot be used", command);
        return -2;
    }
    if (BoardPath::ResolveCommandUnder(m_cRoot, command, resolved, cap) != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 1, kSource, __LINE__,
                    "######Refused shell command <%s>: it cannot be resolved under the board root <%s>", command,
                    m_cRoot);
        return -2;
    }
    if (m_cRoot[0] == '\0')
        return 0;
    char reason[512];
    if (ShellCommandGuard(m_cRoot).Check(resolved, reason, sizeof(reason)) != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 1, kSource, __LINE__, "######Refused shell command <%s>: %s", resolved, reason);
        return -2;
    }
    EnsureGuardDir(m_cRoot);
    return 0;
}

int ShellCommand::Start(const char* command, int outputFd, pid_t* pid)
{
    char resolved[kMaxCommand];
    if (Prepare(command, resolved, sizeof(resolved)) != 0)
        return -2;
    ChildEnvironment env;
    SpawnAttributes attributes;
    SpawnActions actions(outputFd);
    if (!env.Build(m_cRoot) || !attributes.Ok() || !actions.Ok()) {
        LightLogExt(LLOG_LEVEL_ERROR, 1, kSource, __LINE__, "######Could not prepare shell command <%s>", resolved);
        return -2;
    }
    KeepChildStatus();
    // A command of one plain word ("sync") is started as that program, without
    // a shell in between: the same program from the same PATH, one process
    // creation instead of two (every group notice that stores a preference
    // runs "sync"). Anything else goes to the shell, which also runs builtins
    // and reports a missing program as it always did.
    char program[PATH_MAX];
    char* word[] = {resolved, nullptr};
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), resolved, nullptr};
    int error = -1;
    if (PlainProgram(resolved, env.Path(), program, sizeof(program)))
        error = posix_spawn(pid, program, actions.Get(), attributes.Get(), word, env.Entries());
    if (error != 0)  // not one program, or one the kernel cannot start (a script without "#!")
        error = posix_spawn(pid, kShell, actions.Get(), attributes.Get(), argv, env.Entries());
    if (error != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 1, kSource, __LINE__, "######Could not start shell command <%s>, error %d",
                    resolved, error);
        return -2;
    }
    return 0;
}

int ShellCommand::Wait(pid_t pid)
{
    int status = 0;
    pid_t done;
    do {
        done = waitpid(pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    return done == pid ? status : kNotRun;
}
