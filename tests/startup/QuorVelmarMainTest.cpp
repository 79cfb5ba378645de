// velmard as a process: start-up lines, stop signals, exit statuses, the
// single-instance lock and daemonising. Every run uses a temporary board root
// (VELMAR_ROOT) and a network namespace of its own with only loopback, and is
// ended by its process id. Skipped (status 77) where namespaces cannot be made.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "VelmardProcess.h"

using board_test::Isolated;
using board_test::TempBoardRoot;
using Velmard = board_test::VelmardProcess;

namespace {

const char kLockFile[] = "/Velmar/etc/QuorVelmar/SemLock.sys";
const char kStarted[] = "Quor Velmar Module Start Initlize.";
const char kStopped[] = "Stopping Quor Velmar Module success.";
const char kStartLine[] = "Start Quor VelmarCours Module success. Current Version:MPL-ARM-V3.11, Build Date:2018.11.12";
const char kAlready[] = "Quor VelmarCours Module has already started, exit!";

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool Alive(pid_t pid)
{
    return kill(pid, 0) == 0;
}

// Waits for pid (a child of this process) up to timeoutMs; true with *status.
bool WaitExit(pid_t pid, int* status, int timeoutMs)
{
    return board_test::WaitFor([&] { return waitpid(pid, status, WNOHANG) == pid; }, timeoutMs);
}

// Empties the log directory, so that the next run writes file 001 again.
void ClearLogs(const TempBoardRoot& root)
{
    board_test::RemoveTree(root.File("/var/Velmar"));
    mkdir(root.File("/var/Velmar").c_str(), 0755);
}

bool ExitedWith(int status, int code)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

class VelmardTest : public board_test::BoardRootFixture {
};

// ---- Foreground run ------------------------------------------------------------

TEST_F(VelmardTest, ForegroundStartsLogsIdlesAndStopsOnSigusr1)
{
    Velmard run(Root(), Isolated({"-d"}, /*closeStdin=*/true));
    ASSERT_TRUE(run.WaitLog(kStarted)) << run.Output() << run.Log();
    EXPECT_NE(run.Output().find(kStartLine), std::string::npos) << run.Output();

    // The start-up lines, in order, in the first file of the ring.
    std::string log = run.Log();
    const char* lines[] = {
        ": Log Begin !\n",
        "[20000]: Read Config for QuorVelmar\t\t\t --",
        "[20000]: QuorVelmar_UdpIp is <127.0.0.1> --",
        "[20000]: QuorVelmar_TelnetPort is <2323> --",
        "[20000]: Read Config for QuorVelmarNdk\t\t\t --",
        "[20000]: Read Config for Velmarwork\t\t --",
        "[20000]: Velmar_UartSpeed is <57600> --",
        "[20000]: Read Config for QuorPWRSave Module\t\t --",
        "[20000]: QuorVelmar ReadPref OK! --",
        "[20000]: Start Quor VelmarCours Module success, Current Version:MPL-ARM-V3.11, Build Date:2018.11.12 --",
        "[20000]: Quor Velmar Module Start Initlize. --",
    };
    size_t at = 0;
    for (const char* line : lines) {
        size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << log;
        at = found;
    }

    // A closed standard input is parked on /dev/null, never left for a device.
    char target[256] = {};
    std::string fd0 = "/proc/" + std::to_string(run.Pid()) + "/fd/0";
    ASSERT_GT(readlink(fd0.c_str(), target, sizeof(target) - 1), 0);
    EXPECT_STREQ(target, "/dev/null");

    // It idles: SIGHUP and SIGTERM are ignored in the foreground.
    kill(run.Pid(), SIGHUP);
    kill(run.Pid(), SIGTERM);
    SleepMs(1500);
    EXPECT_TRUE(Alive(run.Pid()));
    EXPECT_EQ(run.Log().find(kStopped), std::string::npos);

    kill(run.Pid(), SIGUSR1);
    int status = run.Status();
    EXPECT_TRUE(ExitedWith(status, 0)) << "status " << status << "\n" << run.Output();
    log = run.Log();
    EXPECT_EQ(test_files::CountOf(log, kStopped), 1u) << log;
    // Without a serial line at dev/ttyS1 the MCU serial task fails; that link
    // is hard, so no later task starts, and the process still runs and stops.
    EXPECT_NE(log.find("[40000]: ###### g_pVelmarUartTask Initialize fail! When QuorVelmar_Initlize(). --"),
              std::string::npos);
    EXPECT_EQ(log.find("UartTwoTask"), std::string::npos);
    // The stop line is the last one.
    std::string last = log.substr(log.rfind('\n', log.size() - 2) + 1);
    EXPECT_NE(last.find(std::string("[20000]: ") + kStopped + " --"), std::string::npos) << last;
}

TEST_F(VelmardTest, SigintEndsAtOnceWithoutStopLine)
{
    Velmard run(Root(), Isolated({"-d"}));
    ASSERT_TRUE(run.WaitLog(kStarted)) << run.Output();
    kill(run.Pid(), SIGINT);
    int status = run.Status(3000);
    EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_EQ(run.Log().find(kStopped), std::string::npos);
}

// ---- Single instance -------------------------------------------------------------

TEST_F(VelmardTest, SecondStartExits198WithoutTouchingTheFirstOnesLog)
{
    Velmard first(Root(), Isolated({"-d"}));
    ASSERT_TRUE(first.WaitLog(kStarted)) << first.Output();
    std::string before = first.Log();
    std::vector<std::string> filesBefore;
    auto listLogs = [&] {
        std::vector<std::string> names;
        DIR* dir = opendir(Root().File("/var/Velmar").c_str());
        while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr)
            names.push_back(entry->d_name);
        if (dir != nullptr)
            closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    };
    filesBefore = listLogs();

    Velmard second(Root(), Isolated({"-d"}));
    int status = second.Status();
    EXPECT_TRUE(ExitedWith(status, 198)) << status << "\n" << second.Output();
    EXPECT_NE(second.Output().find(kAlready), std::string::npos) << second.Output();

    // -v takes the lock before it prints: also "already started".
    Velmard version(Root(), Isolated({"-v"}));
    EXPECT_TRUE(ExitedWith(version.Status(), 198)) << version.Output();

    // The lock comes before the preferences: a broken file still gives 198.
    board_test::WriteText(Root().File("/Velmar/etc/Velmar.xml"), "<CONFIGURATION>");
    Velmard broken(Root(), Isolated({"-d"}));
    EXPECT_TRUE(ExitedWith(broken.Status(), 198)) << broken.Output();

    EXPECT_EQ(listLogs(), filesBefore);
    std::string after = first.Log();
    EXPECT_EQ(after.compare(0, before.size(), before), 0) << "the first instance's log was rewritten";
    EXPECT_EQ(test_files::CountOf(after, "Log Begin !"), 1u) << after;
    EXPECT_EQ(test_files::CountOf(after, "ReadPref OK!"), 1u) << after;
    EXPECT_TRUE(Alive(first.Pid()));

    kill(first.Pid(), SIGUSR1);
    EXPECT_TRUE(ExitedWith(first.Status(), 0));
}

TEST_F(VelmardTest, LockFileThatCannotBeOpenedIsReportedWithItsCause)
{
    // The lock file's directory is missing: the same exit status, but not
    // "already started".
    board_test::RemoveTree(Root().File("/Velmar/etc/QuorVelmar"));
    Velmard daemon(Root(), Isolated({"-d"}));
    EXPECT_TRUE(ExitedWith(daemon.Status(), 198)) << daemon.Output();
    EXPECT_EQ(daemon.Output().find(kAlready), std::string::npos) << daemon.Output();
    EXPECT_NE(daemon.Output().find(std::string("lock file <") + kLockFile + "> cannot be used: No such file or directory"),
              std::string::npos)
        << daemon.Output();
}

// ---- Preferences --------------------------------------------------------------------

TEST_F(VelmardTest, UnusablePreferencesExit197)
{
    const std::string prefs = Root().File("/Velmar/etc/Velmar.xml");
    const std::string original = board_test::ReadText(prefs);
    struct Case {
        const char* what;
        std::function<bool()> make;
    } cases[] = {
        {"missing file", [&] { return unlink(prefs.c_str()) == 0; }},
        {"a directory", [&] { return unlink(prefs.c_str()) == 0 && mkdir(prefs.c_str(), 0755) == 0; }},
        {"malformed", [&] { return board_test::WriteText(prefs, "<CONFIGURATION>\n\t<SERVER></SERVER>\n"); }},
        {"mismatched tags", [&] { return board_test::WriteText(prefs, "<CONFIGURATION></MODULE>\n"); }},
        {"bad address", [&] {
             std::string text = original;
             size_t at = text.find(">127.0.0.1<");
             return at != std::string::npos && board_test::WriteText(prefs, text.replace(at, 11, ">127.0.0.<"));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.make());
        Velmard run(Root(), Isolated({"-d"}));
        int status = run.Status();
        EXPECT_TRUE(ExitedWith(status, 197)) << status << "\n" << run.Output();
        EXPECT_NE(run.Output().find("Fatal to load config file of system, halt."), std::string::npos);
        EXPECT_NE(run.Log().find("[50000]: ###### Fatal to load config file of system, halt. --"), std::string::npos)
            << run.Log();
        EXPECT_EQ(run.Log().find(kStarted), std::string::npos);
        rmdir(prefs.c_str());
        ASSERT_TRUE(board_test::WriteText(prefs, original));
        ClearLogs(Root());
    }
}

// The thread counts of pools 1 and 2 come from the preferences; 0 (also
// 65536, which is 0 in 16 bits) falls back to 2 threads.
TEST_F(VelmardTest, PoolThreadCountsFollowThePreferences)
{
    const std::string prefs = Root().File("/Velmar/etc/Velmar.xml");
    const std::string original = board_test::ReadText(prefs);
    auto threadsWith = [&](const std::string& recvUdp, const std::string& manage) {
        std::string text = original;
        auto set = [&](const std::string& name, const std::string& value) {
            size_t at = text.find("\"" + name + "\"");
            size_t open = text.find('>', at) + 1;
            text.replace(open, text.find('<', open) - open, value);
        };
        set("Velmar_RecvUdp_ThreadNum", recvUdp);
        set("Velmar_ManageTask_ThreadNum", manage);
        EXPECT_TRUE(board_test::WriteText(prefs, text));
        Velmard run(Root(), Isolated({"-d"}));
        EXPECT_TRUE(run.WaitLog(kStarted)) << run.Output();
        SleepMs(1000);  // the pools start right after that line
        int threads = run.Threads();
        kill(run.Pid(), SIGINT);
        run.Status();
        ClearLogs(Root());
        return threads;
    };
    int byDefault = threadsWith("2", "2");
    ASSERT_GT(byDefault, 12);
    EXPECT_EQ(threadsWith("5", "4"), byDefault + 5);
    EXPECT_EQ(threadsWith("0", "65536"), byDefault);
}

// ---- Options -----------------------------------------------------------------------

TEST_F(VelmardTest, VersionPrintsBannerAndUsageAndExits0)
{
    Velmard run(Root(), Isolated({"-v"}));
    int status = run.Status();
    EXPECT_TRUE(ExitedWith(status, 0)) << status;
    std::string expected = std::string("Quor Velmar Module  /MPL-ARM-V3.11 Built on: May  9 2017, 14:19:24\n") +
                           "usage: " + board_test::ProgramPath("velmard") + " [-v] [-d] [-h]\n" +
                           "\t   -v: Display version\n\t   -d: More debug information\n\t   -h: Display help\n";
    EXPECT_EQ(run.Output(), expected);
    EXPECT_EQ(run.Log().find(kStarted), std::string::npos);
}

TEST_F(VelmardTest, HelpPrintsAndGoesOn)
{
    Velmard run(Root(), Isolated({"-h", "-D"}));
    ASSERT_TRUE(run.WaitLog(kStarted)) << run.Output();
    std::string output = run.Output();
    EXPECT_EQ(output.find("Quor Velmar Module  /MPL-ARM-V3.11 Built on: May  9 2017, 14:19:24\nusage: "), 0u) << output;
    EXPECT_NE(output.find(kStartLine), std::string::npos) << output;
    kill(run.Pid(), SIGUSR1);
    EXPECT_TRUE(ExitedWith(run.Status(), 0));
}

TEST_F(VelmardTest, UnknownOptionPrintsUsageAndExits255)
{
    Velmard run(Root(), Isolated({"-d", "-x"}));
    int status = run.Status();
    EXPECT_TRUE(ExitedWith(status, 255)) << status;
    std::string output = run.Output();
    EXPECT_EQ(output.find("usage: "), 0u) << output;
    EXPECT_EQ(output.find("Built on"), std::string::npos);
    EXPECT_EQ(run.Log().find(kStarted), std::string::npos);
}

TEST_F(VelmardTest, LogPrefixTooLongExitsWithSetupFailure)
{
    // A board root whose log prefix passes the log's 240 characters.
    std::string parent = board_test::MakeTempDir("longroot");
    ASSERT_FALSE(parent.empty());
    std::string path = parent + "/" + std::string(200, 'r');
    ASSERT_TRUE(board_test::RunProcess({board_test::SourcePath("sim/make-board-root"), path}).Exited(0));
    const std::string velmard = board_test::ProgramPath("velmard");
    pid_t pid = fork();
    if (pid == 0) {
        int out = open((parent + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(out, STDOUT_FILENO);
        if (unshare(CLONE_NEWNET) != 0)
            _exit(125);
        setenv("VELMAR_ROOT", path.c_str(), 1);
        execl(velmard.c_str(), velmard.c_str(), "-d", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    ASSERT_TRUE(WaitExit(pid, &status, 10000));
    EXPECT_TRUE(ExitedWith(status, 255)) << status;
    EXPECT_EQ(board_test::ReadText(parent + "/out"), "Quor Velmar LightLogSetup failed, error code<9>\n");
    board_test::RemoveTree(parent);
}

// ---- Daemon -----------------------------------------------------------------------

TEST_F(VelmardTest, DaemonParentExits0AndDaemonStopsOnSighup)
{
    Velmard run(Root(), Isolated({}));
    int status = run.Status();
    EXPECT_TRUE(ExitedWith(status, 0)) << status << "\n" << run.Output();
    pid_t daemon = run.FindDaemon(Root().File(kLockFile));
    ASSERT_GT(daemon, 0) << "no process holds the lock\n" << run.Log();
    ASSERT_TRUE(run.WaitLog(kStarted)) << run.Log();
    // The start-up success line belongs to foreground runs only.
    EXPECT_EQ(run.Output().find(kStartLine), std::string::npos);
    EXPECT_EQ(run.Log().find("Start Quor VelmarCours Module success"), std::string::npos);
    // Its own session.
    EXPECT_EQ(getsid(daemon), daemon);

    // SIGUSR1 and SIGINT are ignored by a daemon.
    kill(daemon, SIGUSR1);
    kill(daemon, SIGINT);
    SleepMs(1500);
    EXPECT_TRUE(Alive(daemon));

    kill(daemon, SIGHUP);
    int daemonStatus = -1;
    ASSERT_TRUE(run.WaitDaemon(&daemonStatus)) << run.Log();
    EXPECT_TRUE(ExitedWith(daemonStatus, 0)) << daemonStatus;
    EXPECT_EQ(test_files::CountOf(run.Log(), kStopped), 1u) << run.Log();
}

} // namespace

int main(int argc, char** argv)
{
    board_test::RequireNetns();
    // A daemon left by a run becomes a child of this process, so that its
    // status can be read and it can always be ended by its id.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        board_test::SkipTest("cannot become a child sub-reaper");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
