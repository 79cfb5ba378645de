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

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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


// velmard in the foreground inside the namespace, its output in a file next
// to the board root; killed by id at the end if still running.
class Velmard : public VelmardProcess {
public:
    Velmard(const TempBoardRoot& root, const TestNetns& netns) : VelmardProcess(root, netns.Exec({})) {}
};

// A client of the daemon's command port.
class TcpClient {
public:
    TcpClient() = default;
    ~TcpClient()
    {
        if (fFd >= 0)
            close(fFd);
    }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Connects, trying again until the port listens or the time is up.
    bool Connect(const std::string& address, uint16_t port, int timeoutMs)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        if (inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1)
            return false;
        return WaitFor(
            [&] {
                fFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (fFd >= 0 && connect(fFd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0)
                    return true;
                if (fFd >= 0)
                    close(fFd);
                fFd = -1;
                return false;
            },
            timeoutMs);
    }
    // Writes all of bytes, waiting while the socket is full; false on an
    // error or when the time is up.
    bool Send(const std::string& bytes, int timeoutMs = 10000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (size_t done = 0; done < bytes.size();) {
            pollfd p{fFd, POLLOUT, 0};
            if (std::chrono::steady_clock::now() > end || poll(&p, 1, 100) < 0)
                return false;
            ssize_t n = (p.revents & POLLOUT) ? send(fFd, bytes.data() + done, bytes.size() - done,
                                                     MSG_DONTWAIT | MSG_NOSIGNAL)
                                              : 0;
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            done += n > 0 ? (size_t)n : 0;
        }
        return true;
    }
    // Reads until what arrived holds `until`, or the time is up.
    std::string ReadUntil(const std::string& until, int timeoutMs)
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.find(until) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{fFd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[4096];
            ssize_t n = read(fFd, buf, sizeof(buf));
            if (n <= 0)
                break;
            got.append(buf, (size_t)n);
        }
        return got;
    }
    int Fd() const { return fFd; }
    // Everything that arrives within ms.
    std::string ReadFor(int ms)
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                           .count();
            pollfd p{fFd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0)
                return got;
            char buf[4096];
            ssize_t n = read(fFd, buf, sizeof(buf));
            if (n <= 0)
                return got;
            got.append(buf, (size_t)n);
        }
    }

private:
    int fFd = -1;
};

} // namespace board_test

#endif
