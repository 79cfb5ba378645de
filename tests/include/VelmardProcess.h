// velmard as a child process of a test: "velmard -d" (or other arguments) on a
// temporary board root (VELMAR_ROOT), in the test's own network namespace,
// inside another one or in a fresh one with loopback only, its standard output
// and error in a file next to the board root. Killed by its id when the object
// goes, if still running (and so is a daemon it left, once found).
//
// The including test target uses the program velmard (quor_uses_programs).
#ifndef VELMARD_PROCESS_H
#define VELMARD_PROCESS_H

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include "BoardRootFixture.h"
#include "TcpLineClient.h"

namespace board_test {

// How to start velmard.
struct VelmardOptions {
    std::vector<std::string> wrapper;         // a command line prefix (TestNetns::Exec({}))
    std::vector<std::string> env;             // NAME=VALUE settings for the daemon only
    std::vector<std::string> args = {"-d"};   // velmard's arguments
    bool freshNetns = false;                  // leaves for a namespace with loopback only
    bool closeStdin = false;
};

// velmard with args in a namespace of its own that has loopback only.
inline VelmardOptions Isolated(const std::vector<std::string>& args, bool closeStdin = false)
{
    VelmardOptions options;
    options.args = args;
    options.freshNetns = true;
    options.closeStdin = closeStdin;
    return options;
}

class VelmardProcess {
public:
    // wrapper: a command line prefix to run it with (TestNetns::Exec({}) to
    // run it in a namespace); env: NAME=VALUE settings for the daemon only.
    explicit VelmardProcess(const TempBoardRoot& root, const std::vector<std::string>& wrapper = {},
                            const std::vector<std::string>& env = {})
        : VelmardProcess(root, VelmardOptions{wrapper, env})
    {
    }
    VelmardProcess(const TempBoardRoot& root, const VelmardOptions& options)
        : fRootPath(root.Path()), fOutPath(root.Path() + "/../velmard-" + std::to_string(++RunCount()) + ".out")
    {
        if (root.Path().rfind("/tmp/velmar-", 0) != 0)
            abort();  // never without a temporary board root
        const std::string program = ProgramPath("velmard");
        fPid = fork();
        if (fPid == 0)
            Exec(program, options);
    }
    ~VelmardProcess()
    {
        End(fPid);
        End(fDaemonPid);
    }
    VelmardProcess(const VelmardProcess&) = delete;
    VelmardProcess& operator=(const VelmardProcess&) = delete;

    // -1 once it has ended and been reaped.
    pid_t Pid() const { return fPid; }
    bool Running()
    {
        if (fPid > 0 && waitpid(fPid, nullptr, WNOHANG) == fPid)
            fPid = -1;
        return fPid > 0;
    }
    // Stops the foreground daemon (SIGUSR1), which flushes its log; true when
    // it ended with status 0 within the time.
    bool Stop(int timeoutMs = 10000)
    {
        if (fPid <= 0 || kill(fPid, SIGUSR1) != 0)
            return false;
        int status = -1;
        return Wait(&status, timeoutMs) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    // Waits for the process to end; true with its wait status.
    bool Wait(int* status, int timeoutMs = 10000)
    {
        if (fPid <= 0 || !WaitFor([&] { return waitpid(fPid, status, WNOHANG) == fPid; }, timeoutMs))
            return false;
        fPid = -1;
        return true;
    }
    // The wait status, -1 when it did not end in time.
    int Status(int timeoutMs = 10000)
    {
        int status = -1;
        return Wait(&status, timeoutMs) ? status : -1;
    }
    std::string Output() const { return ReadText(fOutPath); }
    // Every file of its log, in file order: what it wrote so far (its log
    // reaches the file within a tick of the management task).
    std::string Log() const { return test_files::ReadFilesIn(fRootPath + "/var/Velmar", "QuorVelmar"); }
    bool WaitLog(const std::string& text, int timeoutMs = 10000) const
    {
        return WaitFor([&] { return Log().find(text) != std::string::npos; }, timeoutMs);
    }
    // The daemon this run left (the process, other than the run's own, that
    // holds lockFile open), once it shows up; it is a child of this process
    // when this process is a sub-reaper.
    pid_t FindDaemon(const std::string& lockFile, int timeoutMs = 5000)
    {
        WaitFor([&] { return (fDaemonPid = OpenedBy(lockFile, fPid)) > 0; }, timeoutMs);
        return fDaemonPid;
    }
    bool WaitDaemon(int* status, int timeoutMs = 10000)
    {
        if (fDaemonPid <= 0 || !WaitFor([&] { return waitpid(fDaemonPid, status, WNOHANG) == fDaemonPid; }, timeoutMs))
            return false;
        fDaemonPid = -1;
        return true;
    }
    int Threads() const
    {
        std::string status = ReadText("/proc/" + std::to_string(fPid) + "/status");
        size_t at = status.find("Threads:");
        return at == std::string::npos ? -1 : atoi(status.c_str() + at + 8);
    }

private:
    [[noreturn]] void Exec(const std::string& program, const VelmardOptions& options)
    {
        int out = open(fOutPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (out < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0)
            _exit(126);
        if (options.freshNetns && (unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp()))
            _exit(125);
        if (options.closeStdin)
            close(STDIN_FILENO);
        setenv("VELMAR_ROOT", fRootPath.c_str(), 1);
        for (const std::string& setting : options.env)
            putenv(strdup(setting.c_str()));
        std::vector<std::string> argv = options.wrapper;
        argv.push_back(program);
        argv.insert(argv.end(), options.args.begin(), options.args.end());
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }

    // A process other than except with path open; -1 when none.
    static pid_t OpenedBy(const std::string& path, pid_t except)
    {
        DIR* proc = opendir("/proc");
        pid_t found = -1;
        while (struct dirent* entry = (proc != nullptr && found < 0) ? readdir(proc) : nullptr) {
            pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
            if (pid > 0 && pid != except && HasOpen(pid, path))
                found = pid;
        }
        if (proc != nullptr)
            closedir(proc);
        return found;
    }
    static bool HasOpen(pid_t pid, const std::string& path)
    {
        std::string dir = "/proc/" + std::to_string(pid) + "/fd";
        DIR* fds = opendir(dir.c_str());
        bool open = false;
        while (struct dirent* entry = (fds != nullptr && !open) ? readdir(fds) : nullptr) {
            char target[4096];
            ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), target, sizeof(target) - 1);
            open = n > 0 && path == std::string(target, static_cast<size_t>(n));
        }
        if (fds != nullptr)
            closedir(fds);
        return open;
    }
    static void End(pid_t pid)
    {
        if (pid <= 0)
            return;
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    static int& RunCount()
    {
        static int s_runs = 0;
        return s_runs;
    }

    std::string fRootPath;
    std::string fOutPath;
    pid_t fPid = -1;
    pid_t fDaemonPid = -1;
};

// velmard in the foreground inside the namespace, its output in a file next
// to the board root; killed by id at the end if still running.
class Velmard : public VelmardProcess {
public:
    Velmard(const TempBoardRoot& root, const TestNetns& netns) : VelmardProcess(root, netns.Exec({})) {}
};

} // namespace board_test

#endif
