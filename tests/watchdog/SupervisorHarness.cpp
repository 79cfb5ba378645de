#include "SupervisorHarness.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "TestFiles.h"
#include "TestPaths.h"

namespace {

constexpr int kPollMs = 10;

void SleepMs(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// Fields of /proc/<pid>/stat after the command name: state, parent, ...
bool ReadStat(pid_t pid, char* state, pid_t* parent)
{
    const std::string text = SupervisorHarness::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    char st = 0;
    int ppid = 0;
    if (sscanf(text.c_str() + close + 1, " %c %d", &st, &ppid) != 2)
        return false;
    *state = st;
    *parent = ppid;
    return true;
}

std::vector<pid_t> ChildrenOfSelf()
{
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return children;
    const pid_t self = getpid();
    while (struct dirent* entry = readdir(proc)) {
        if (!isdigit(static_cast<unsigned char>(entry->d_name[0])))
            continue;
        const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        if (SupervisorHarness::ParentOf(pid) == self)
            children.push_back(pid);
    }
    closedir(proc);
    return children;
}

bool IsTimestamp(const std::string& text, size_t at)
{
    static const char kShape[] = "dddd-dd-dd dd:dd:dd ";
    const size_t len = sizeof kShape - 1;
    if (text.size() - at < len)
        return false;
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[at + i]);
        if (kShape[i] == 'd' ? !isdigit(c) : c != static_cast<unsigned char>(kShape[i]))
            return false;
    }
    return true;
}

} // namespace

SupervisorHarness::SupervisorHarness()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    m_root = test_files::MakeTempDir("velmarcmd-test");
    if (m_root.empty())
        return;
    if (mkdir(StateDir().c_str(), 0755) != 0)
        m_root.clear();
}

SupervisorHarness::~SupervisorHarness()
{
    EndLeftovers();
    if (!m_root.empty())
        test_files::RemoveTree(m_root);
}

// Ends, by id, every process that is still a child of this one (the
// supervisor first, so that what it watched comes to us too), and waits for it.
void SupervisorHarness::EndLeftovers()
{
    for (int round = 0; round < 50; ++round) {
        const std::vector<pid_t> children = ChildrenOfSelf();
        if (children.empty())
            break;
        for (pid_t pid : children)
            kill(pid, SIGKILL);
        for (pid_t pid : children)
            waitpid(pid, nullptr, 0);
    }
}

std::string SupervisorHarness::ChildCommand(const std::string& actions) const
{
    return board_test::SourcePath("tests/watchdog/watch_child.sh") + " " + StateDir() + " " + actions;
}

pid_t SupervisorHarness::Spawn(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const std::string out = StdoutFile();
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0 || dup2(fd, STDERR_FILENO) < 0)
        _exit(126);
    const struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    setenv("VELMAR_ROOT", m_root.c_str(), 1);
    execv(args[0], args.data());
    _exit(127);
}

pid_t SupervisorHarness::Launch(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{board_test::ProgramPath("velmarcmd")};
    argv.insert(argv.end(), args.begin(), args.end());
    return Spawn(argv);
}

pid_t SupervisorHarness::LaunchFromShell(const std::string& command)
{
    return Spawn({"/bin/sh", "-c", "\"$0\" \"$1\"; echo \"status=$?\"", board_test::ProgramPath("velmarcmd"), command});
}

bool SupervisorHarness::WaitExit(pid_t pid, int timeoutMs, int* status)
{
    for (int waited = 0; waited <= timeoutMs; waited += kPollMs) {
        const pid_t got = waitpid(pid, status, WNOHANG);
        if (got == pid)
            return true;
        if (got < 0 && errno != EINTR)
            return false;
        SleepMs(kPollMs);
    }
    return false;
}

pid_t SupervisorHarness::OnlyChild()
{
    const std::vector<pid_t> children = ChildrenOfSelf();
    return children.size() == 1 ? children[0] : 0;
}

pid_t SupervisorHarness::ParentOf(pid_t pid)
{
    char state = 0;
    pid_t parent = 0;
    return ReadStat(pid, &state, &parent) ? parent : 0;
}

bool SupervisorHarness::IsZombie(pid_t pid)
{
    char state = 0;
    pid_t parent = 0;
    return ReadStat(pid, &state, &parent) && state == 'Z';
}

std::vector<WatchedRun> SupervisorHarness::Runs() const
{
    std::vector<WatchedRun> runs;
    std::istringstream lines(RunsText());
    std::string kind;
    while (lines >> kind) {
        if (kind == "start") {
            WatchedRun r;
            lines >> r.run >> r.pid >> r.parent >> r.startNs;
            runs.push_back(r);
        } else if (kind == "end") {
            int run = 0;
            long long ns = 0;
            lines >> run >> ns;
            if (!runs.empty() && runs.back().run == run)
                runs.back().endNs = ns;
        } else {
            std::string rest; // "survived ..." or "bad action ...": see RunsText()
            std::getline(lines, rest);
        }
    }
    return runs;
}

bool SupervisorHarness::WaitForRuns(size_t count, int timeoutMs) const
{
    for (int waited = 0; waited <= timeoutMs; waited += kPollMs) {
        if (Runs().size() >= count)
            return true;
        SleepMs(kPollMs);
    }
    return false;
}

std::string SupervisorHarness::RunsText() const
{
    return ReadFile(StateDir() + "/runs");
}

std::string SupervisorHarness::Args(int run) const
{
    return ReadFile(StateDir() + "/args." + std::to_string(run));
}

std::string SupervisorHarness::ReadFile(const std::string& path)
{
    return test_files::ReadText(path);
}

void SupervisorHarness::WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool SupervisorHarness::Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

long long SupervisorHarness::RealtimeNs()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::string SupervisorHarness::StripTimestamps(const std::string& text, int* entries)
{
    std::string out;
    int found = 0;
    size_t at = 0;
    while (at < text.size()) {
        if (IsTimestamp(text, at)) {
            at += 20;
            ++found;
        }
        const size_t eol = text.find('\n', at);
        const size_t end = eol == std::string::npos ? text.size() : eol + 1;
        out.append(text, at, end - at);
        at = end;
    }
    *entries = found;
    return out;
}
