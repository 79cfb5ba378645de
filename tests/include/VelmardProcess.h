// velmard as a child process of a test: "velmard -d" on a temporary board
// root (VELMAR_ROOT), in the test's own network namespace or inside another
// one, its standard output and error in velmard.out next to the board root.
// Killed by its id when the object goes, if still running.
//
// The including test target defines VELMARD_PATH (and VELMAR_SOURCE_DIR for
// BoardRootFixture.h).
#ifndef VELMARD_PROCESS_H
#define VELMARD_PROCESS_H

#ifndef VELMARD_PATH
#error "define VELMARD_PATH for tests that use VelmardProcess.h"
#endif

#include <chrono>
#include <functional>
#include <thread>

#include "BoardRootFixture.h"

namespace board_test {

// Looks at done every 20 ms until it holds or timeoutMs passes.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class VelmardProcess {
public:
    // wrapper: a command line prefix to run it with (TestNetns::Exec({}) to
    // run it in a namespace); env: NAME=VALUE settings for the daemon only.
    explicit VelmardProcess(const TempBoardRoot& root, const std::vector<std::string>& wrapper = {},
                            const std::vector<std::string>& env = {})
        : fOutPath(root.Path() + "/../velmard.out")
    {
        if (root.Path().rfind("/tmp/velmar-", 0) != 0)
            abort();  // never without a temporary board root
        std::vector<std::string> argv = wrapper;
        argv.push_back(VELMARD_PATH);
        argv.push_back("-d");
        fPid = fork();
        if (fPid != 0)
            return;
        int out = open(fOutPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (out < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0)
            _exit(126);
        setenv("VELMAR_ROOT", root.Path().c_str(), 1);
        for (const std::string& setting : env)
            putenv(strdup(setting.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    ~VelmardProcess()
    {
        if (fPid <= 0)
            return;
        kill(fPid, SIGKILL);
        while (waitpid(fPid, nullptr, 0) < 0 && errno == EINTR) {
        }
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
        bool ended = WaitFor([&] { return waitpid(fPid, &status, WNOHANG) == fPid; }, timeoutMs);
        if (ended)
            fPid = -1;
        return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::string Output() const { return ReadText(fOutPath); }

private:
    std::string fOutPath;
    pid_t fPid = -1;
};

} // namespace board_test

#endif
