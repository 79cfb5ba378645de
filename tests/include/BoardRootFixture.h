// Test support for the simulated board: temporary board roots (laid out by
// sim/make-board-root), child processes with a chosen environment, and
// processes inside fresh network namespaces.
//
// A test that needs something the machine cannot give (root, a network
// namespace) calls SkipTest, which ends the test binary with status 77: the
// test is reported as skipped, never as passed. Keep such tests in a binary
// of their own.
#ifndef BOARD_ROOT_FIXTURE_H
#define BOARD_ROOT_FIXTURE_H

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "TestFiles.h"
#include "TestPaths.h"

namespace board_test {

// Ends the test binary as skipped (status 77) with a message saying why.
[[noreturn]] inline void SkipTest(const std::string& why)
{
    fprintf(stderr, "SKIPPED: %s\n", why.c_str());
    fflush(nullptr);
    _exit(77);
}

using test_files::MakeTempDir;
using test_files::PathExists;
using test_files::ReadText;
using test_files::RemoveTree;
using test_files::WriteText;

// Result of a child process: its wait status and what it wrote on its
// standard output (and standard error, when asked for).
struct ProcessResult {
    int status = -1;
    std::string output;

    bool Exited(int code) const { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// How to start a child process.
struct ProcessSpec {
    std::vector<std::string> argv;
    std::vector<std::pair<std::string, std::string>> setEnv;   // added or replaced
    std::vector<std::string> unsetEnv;
    std::string cwd;                                           // empty: keep
    bool captureStderr = false;
    std::function<bool()> inChild;                             // runs before exec; false: exit 126
};

// Runs a child process to its end (no shell between).
inline ProcessResult RunProcess(const ProcessSpec& proc)
{
    ProcessResult result;
    int fds[2];
    if (proc.argv.empty() || pipe2(fds, O_CLOEXEC) != 0)
        return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        if (proc.captureStderr)
            dup2(fds[1], STDERR_FILENO);
        for (const auto& name : proc.unsetEnv)
            unsetenv(name.c_str());
        for (const auto& kv : proc.setEnv)
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
        if (!proc.cwd.empty() && chdir(proc.cwd.c_str()) != 0)
            _exit(126);
        if (proc.inChild && !proc.inChild())
            _exit(126);
        std::vector<char*> args;
        for (const auto& a : proc.argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return result;
    }
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            result.output.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

inline ProcessResult RunProcess(const std::vector<std::string>& argv)
{
    ProcessSpec proc;
    proc.argv = argv;
    proc.captureStderr = true;
    return RunProcess(proc);
}

// A fresh board root in a temporary directory, laid out by
// sim/make-board-root with the given options, removed at the end.
class TempBoardRoot {
public:
    explicit TempBoardRoot(const std::vector<std::string>& options = {}) : fParent("board")
    {
        if (!fParent.Ok())
            return;
        std::vector<std::string> argv = {SourcePath("sim/make-board-root")};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(fParent.File("root"));
        ProcessResult made = RunProcess(argv);
        fLayoutOutput = made.output;
        if (made.Exited(0))
            fPath = fParent.File("root");
    }
    TempBoardRoot(const TempBoardRoot&) = delete;
    TempBoardRoot& operator=(const TempBoardRoot&) = delete;

    bool Ok() const { return !fPath.empty(); }
    // What make-board-root printed (for failure messages).
    const std::string& LayoutOutput() const { return fLayoutOutput; }
    // The root directory (VELMAR_ROOT).
    const std::string& Path() const { return fPath; }
    // The file of a board path ("/Velmar/etc/Velmar.xml") under this root.
    std::string File(const std::string& boardPath) const { return fPath + boardPath; }
    std::string Read(const std::string& boardPath) const { return ReadText(File(boardPath)); }
    // The lines the simulated board programs recorded.
    std::string Calls() const { return Read("/var/log/board-calls.log"); }

private:
    test_files::TempDir fParent;
    std::string fPath;
    std::string fLayoutOutput;
};

// Replaces the value of one preference in the board root's preferences file.
inline bool SetPref(const TempBoardRoot& root, const std::string& name, const std::string& value)
{
    std::string xml = root.Read("/Velmar/etc/Velmar.xml");
    size_t at = xml.find("<PREF NAME=\"" + name + "\"");
    size_t open = at == std::string::npos ? at : xml.find('>', at);
    size_t end = open == std::string::npos ? open : xml.find("</PREF>", open);
    if (end == std::string::npos)
        return false;
    xml.replace(open + 1, end - open - 1, value);
    return WriteText(root.File("/Velmar/etc/Velmar.xml"), xml);
}

// A test with a fresh board root per test (with the simulated programs).
class BoardRootFixture : public ::testing::Test {
protected:
    virtual std::vector<std::string> LayoutOptions() const { return {}; }
    void SetUp() override
    {
        fRoot.reset(new TempBoardRoot(LayoutOptions()));
        ASSERT_TRUE(fRoot->Ok()) << fRoot->LayoutOutput();
    }
    void TearDown() override { fRoot.reset(); }
    const TempBoardRoot& Root() const { return *fRoot; }

private:
    std::unique_ptr<TempBoardRoot> fRoot;
};

// ---- Network namespaces ----------------------------------------------------

inline bool BringLoopbackUp()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct ifreq req;
    memset(&req, 0, sizeof(req));
    snprintf(req.ifr_name, sizeof(req.ifr_name), "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    close(fd);
    return ok;
}

// Runs body in a child process inside a fresh network namespace that has
// only "lo" (up). Returns the child's exit code, 77 when no namespace could be
// made, or -1 when the child did not exit normally.
inline int RunInFreshNetns(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0) {
            fprintf(stderr, "cannot make a network namespace: %s\n", strerror(errno));
            _exit(77);
        }
        if (!BringLoopbackUp())
            _exit(77);
        _exit(body());
    }
    if (pid < 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The calling thread (and every process it starts from now on) leaves for a
// fresh network namespace with "lo" up; skips the binary when it cannot.
inline void LeaveForFreshNetns(const std::string& what)
{
    if (unshare(CLONE_NEWNET) != 0)
        SkipTest("cannot make the " + what + " namespace: " + strerror(errno));
    if (!BringLoopbackUp())
        SkipTest("loopback cannot be brought up in the " + what + " namespace");
}

// Runs "ip" with args; true when it succeeded, its output in *output.
inline bool RunIp(const std::vector<std::string>& args, std::string* output = nullptr)
{
    std::vector<std::string> argv = {"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult r = RunProcess(argv);
    if (output != nullptr)
        *output = r.output;
    return r.Exited(0);
}

// Makes the datagram socket fd a member of the group on every interface;
// closes it and gives -1 when it cannot join.
inline int JoinGroup(int fd, const std::string& groupIp)
{
    ip_mreq mreq{};
    inet_pton(AF_INET, groupIp.c_str(), &mreq.imr_multiaddr);
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    if (fd >= 0 && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Skips the whole test binary unless network namespaces can be made here.
inline void RequireNetns()
{
    if (geteuid() != 0)
        SkipTest("network namespace tests need root");
    if (RunInFreshNetns([] { return 0; }) != 0)
        SkipTest("network namespaces cannot be made on this machine");
}

// A namespace made by sim/netns: "eth0" with a test address and a default
// route to the host side of its veth pair. Addresses come from 198.18.0.0/15
// (a range kept for tests), chosen per process and per endpoint so that test
// runs at the same time do not meet. Removed at the end.
class TestNetns {
public:
    explicit TestNetns(bool hostAddress = false)
    {
        static std::atomic<int> s_next{0};
        int n = s_next++;
        unsigned pid = static_cast<unsigned>(getpid());
        unsigned subnet = (pid * 64u + static_cast<unsigned>(n)) % (512u * 64u);
        unsigned second = 18 + subnet / (256u * 64u);
        unsigned third = (subnet / 64u) % 256u;
        unsigned fourth = (subnet % 64u) * 4u;
        fName = "velmar-t" + std::to_string(pid) + "-" + std::to_string(n);
        std::string net = "198." + std::to_string(second) + "." + std::to_string(third) + ".";
        fAddress = net + std::to_string(fourth + 2);
        fGateway = net + std::to_string(fourth + 1);
        std::vector<std::string> argv = {SourcePath("sim/netns"), "up", fName, "--address", fAddress + "/30",
                                         "--gateway", fGateway};
        if (hostAddress) {
            argv.push_back("--host-address");
            argv.push_back(fGateway + "/30");
        }
        ProcessResult up = RunProcess(argv);
        fOutput = up.output;
        fOk = up.Exited(0);
    }
    ~TestNetns() { RunProcess({SourcePath("sim/netns"), "down", fName}); }
    TestNetns(const TestNetns&) = delete;
    TestNetns& operator=(const TestNetns&) = delete;

    bool Ok() const { return fOk; }
    const std::string& Output() const { return fOutput; }
    const std::string& Name() const { return fName; }
    // The endpoint's address (on its eth0) and its gateway (the host side).
    const std::string& Address() const { return fAddress; }
    const std::string& Gateway() const { return fGateway; }
    // Prefix of a command line that runs inside the namespace.
    std::vector<std::string> Exec(const std::vector<std::string>& argv) const
    {
        std::vector<std::string> full = {"ip", "netns", "exec", fName};
        full.insert(full.end(), argv.begin(), argv.end());
        return full;
    }

private:
    std::string fName, fAddress, fGateway, fOutput;
    bool fOk = false;
};

} // namespace board_test

#endif
