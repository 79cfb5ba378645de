// velmarcmd run for real: watched programs that exit with chosen codes or are
// killed by chosen signals, and the exact log it keeps about them.
#include "SupervisorHarness.h"
#include "TestPaths.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>

namespace {

constexpr int kEndTimeoutMs = 10000;
constexpr long long kSecondNs = 1000000000LL;

const std::string kSelf = board_test::ProgramPath("velmarcmd");
const std::string kScript = board_test::SourcePath("tests/watchdog/watch_child.sh");
const std::string kRow(88, '#');

// A framed entry as it reads once its time stamp is removed: a line feed,
// `rows` rows of '#', the text lines, `rows` rows again.
std::string Framed(int rows, const std::vector<std::string>& lines)
{
    std::string rowBlock;
    for (int i = 0; i < rows; ++i)
        rowBlock += kRow + "\n";
    std::string text = "\n" + rowBlock;
    for (const std::string& line : lines)
        text += line + "\n";
    return text + rowBlock;
}

std::string Id(const std::string& cmd, pid_t pid)
{
    return "[" + cmd + "]<" + std::to_string(pid) + ">";
}

std::string StartLines(const std::string& cmd, pid_t pid, const std::string& log)
{
    return "starting " + Id(cmd, pid) + " ..........\nLog in " + log + "\n";
}

std::string ExitLine(const std::string& cmd, pid_t pid, int code)
{
    return "Proccess " + Id(cmd, pid) + " normal exiting, exit code[" + std::to_string(code) + "]\n";
}

std::string SignalLine(const std::string& cmd, pid_t pid, int sig)
{
    return "Proccess " + Id(cmd, pid) + " abnormal exiting, receive signal[" + std::to_string(sig) + "]\n";
}

std::string RestartLine(const std::string& cmd, pid_t pid)
{
    return "Watching proccess" + Id(cmd, pid) + " was abnormal exited, restart it.\n";
}

std::string NormalShutdownLine(const std::string& cmd, pid_t pid)
{
    return kSelf + " is shutdown because watching proccess" + Id(cmd, pid) + " was normal exited.\n";
}

std::string KilledManualLine(const std::string& cmd, pid_t pid)
{
    return kSelf + " is shutdown because watching proccess" + Id(cmd, pid) + " has been killed manual.\n";
}

std::string ExecFailedLine(const std::string& cmd, const std::string& log)
{
    return "Fail to exec [" + cmd + "], program not started, look at [" + log + "] for reason.\n";
}

class SupervisorTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(h.Ready()) << "cannot make a board root under /tmp"; }

    // Starts velmarcmd on `command`: its starter must end at once with
    // status 1, leaving the detached supervisor as our only child.
    void StartSupervising(const std::string& command)
    {
        const pid_t starter = h.Launch({command});
        ASSERT_GT(starter, 0);
        int status = 0;
        ASSERT_TRUE(SupervisorHarness::WaitExit(starter, kEndTimeoutMs, &status));
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(1, WEXITSTATUS(status));
        supervisor = SupervisorHarness::OnlyChild();
        ASSERT_GT(supervisor, 0) << "no detached supervisor";
    }

    void ExpectSupervisorExitsWithZero()
    {
        int status = -1;
        ASSERT_TRUE(SupervisorHarness::WaitExit(supervisor, kEndTimeoutMs, &status))
            << "supervisor still running";
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(0, WEXITSTATUS(status));
    }

    void ExpectRunsUnderSupervisor(size_t count)
    {
        const std::vector<WatchedRun> runs = h.Runs();
        ASSERT_EQ(count, runs.size()) << h.RunsText();
        for (const WatchedRun& run : runs)
            EXPECT_EQ(supervisor, run.parent) << "run " << run.run;
        EXPECT_EQ(std::string::npos, h.RunsText().find("survived")) << h.RunsText();
    }

    std::string LogWithoutTimes(int* entries) const
    {
        return SupervisorHarness::StripTimestamps(SupervisorHarness::ReadFile(h.ChildLogFile()), entries);
    }

    std::string StdoutWithoutTimes(int* entries) const
    {
        return SupervisorHarness::StripTimestamps(SupervisorHarness::ReadFile(h.StdoutFile()), entries);
    }

    SupervisorHarness h;
    pid_t supervisor = 0;
};

TEST_F(SupervisorTest, WrongArgumentCountOrEmptyCommandPrintsUsageAndExitsOne)
{
    const std::vector<std::vector<std::string>> cases = {{}, {"a", "b"}, {"   "}, {""}};
    for (const std::vector<std::string>& args : cases) {
        const pid_t pid = h.Launch(args);
        ASSERT_GT(pid, 0);
        int status = 0;
        ASSERT_TRUE(SupervisorHarness::WaitExit(pid, kEndTimeoutMs, &status));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(1, WEXITSTATUS(status)) << args.size() << " arguments";
        EXPECT_EQ("Usage:" + kSelf + " \"ExecuteCommand\" \n\n", SupervisorHarness::ReadFile(h.StdoutFile()));
        EXPECT_EQ(0, SupervisorHarness::OnlyChild()) << "nothing may stay behind";
    }
    EXPECT_FALSE(SupervisorHarness::Exists(h.LogDir()));
}

// The calling shell gets status 1 at once; the supervisor lives on detached,
// and SIGUSR1 ends it while the watched program keeps running.
TEST_F(SupervisorTest, ShellSeesStatusOneAtOnceAndSigusr1EndsOnlyTheSupervisor)
{
    const pid_t shell = h.LaunchFromShell(h.ChildCommand("hold"));
    ASSERT_GT(shell, 0);
    int status = 0;
    ASSERT_TRUE(SupervisorHarness::WaitExit(shell, 5000, &status)) << "the shell waited for the supervisor";
    ASSERT_TRUE(h.WaitForRuns(1, kEndTimeoutMs));
    EXPECT_NE(std::string::npos, SupervisorHarness::ReadFile(h.StdoutFile()).find("status=1\n"));

    supervisor = SupervisorHarness::OnlyChild();
    ASSERT_GT(supervisor, 0);
    const WatchedRun run = h.Runs().at(0);
    EXPECT_EQ(supervisor, run.parent);
    EXPECT_EQ(supervisor, getsid(supervisor)) << "the supervisor leads its own session";
    EXPECT_EQ(run.pid, getpgid(run.pid)) << "the watched program leads its own group";

    ASSERT_EQ(0, kill(supervisor, SIGTERM)); // ignored by the supervisor
    ASSERT_EQ(0, kill(supervisor, SIGHUP));  // likewise
    ASSERT_EQ(0, kill(supervisor, SIGUSR1));
    ExpectSupervisorExitsWithZero();
    const std::string out = SupervisorHarness::ReadFile(h.StdoutFile());
    EXPECT_EQ("omnelcmd:Normal exit!", out.substr(out.size() - 21)) << out;

    // The watched program survived its supervisor and came to us.
    EXPECT_EQ(getpid(), SupervisorHarness::ParentOf(run.pid));
    EXPECT_FALSE(SupervisorHarness::IsZombie(run.pid));
    ASSERT_EQ(0, kill(run.pid, SIGKILL));
    ASSERT_TRUE(SupervisorHarness::WaitExit(run.pid, kEndTimeoutMs, &status));
    EXPECT_TRUE(WIFSIGNALED(status));
}

struct EndingRow {
    int code;
    std::function<std::string(const std::string& cmd, pid_t pid, const std::string& log)> entry;
};

const EndingRow kEndingRows[] = {
    {0, [](const std::string& cmd, pid_t pid, const std::string&) { return NormalShutdownLine(cmd, pid); }},
    {199, [](const std::string& cmd, pid_t, const std::string& log) { return ExecFailedLine(cmd, log); }},
    {198,
     [](const std::string& cmd, pid_t pid, const std::string&) {
         return Framed(1, {"######  WARNING :   There is already a process " + Id(cmd, pid) + " running!",
                           "######  TO DO   :   If you want to start process [" + cmd + "],",
                           "######              please make sure that the service is stop,",
                           "######              and be careful for working service!"});
     }},
    {197,
     [](const std::string& cmd, pid_t pid, const std::string&) {
         return Framed(2, {"######  ERROR   :   The config file of process " + Id(cmd, pid) + " is incorrect!",
                           "######  TO DO   :   Make sure the config file of process [" + cmd + "]",
                           "######              is correct, and then restart it."});
     }},
    {196,
     [](const std::string& cmd, pid_t pid, const std::string&) {
         return Framed(2, {"######  ERROR   :   Initialize share memory ERROR or Semaphore ERROR of this process",
                           "######              " + Id(cmd, pid) + "!",
                           "######  TO DO   :   You MUST run: ",
                           "######              \"ipcrm -M 99\"",
                           "######              \"ipcrm -S 9800\"",
                           "######              to clean up the share memory and semaphore, and then restart the ",
                           "######              service."});
     }},
    {195,
     [](const std::string& cmd, pid_t pid, const std::string&) {
         return Framed(2, {"######  ERROR   :   " + Id(cmd, pid) +
                               " doesn't have permission to access the config files",
                           "######              of channel OR format of config files of channel are error!",
                           "######  TO DO   :   Please check XML files in \"channelconfig\" and \"channel_play_list\" ",
                           "######              folder before you restart the service!"});
     }},
};

class SupervisorEndingTest : public SupervisorTest, public ::testing::WithParamInterface<EndingRow> {};

// Exit codes that end supervision: one start, the exact entry, status 0.
TEST_P(SupervisorEndingTest, ExitCodeEndsSupervisionWithItsEntry)
{
    const EndingRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartSupervising(h.ChildCommand("exit:" + std::to_string(row.code))));
    ExpectSupervisorExitsWithZero();
    ASSERT_NO_FATAL_FAILURE(ExpectRunsUnderSupervisor(1));
    const pid_t pid = h.Runs()[0].pid;
    const std::string log = h.ChildLogFile();
    const std::string ending = ExitLine(kScript, pid, row.code) + row.entry(kScript, pid, log);

    int entries = 0;
    EXPECT_EQ(StartLines(kScript, pid, log) + ending, LogWithoutTimes(&entries));
    EXPECT_EQ(4, entries);
    EXPECT_EQ(ending, StdoutWithoutTimes(&entries)) << "the start lines go to the file only";
    EXPECT_EQ(2, entries);
}

INSTANTIATE_TEST_SUITE_P(Rows, SupervisorEndingTest, ::testing::ValuesIn(kEndingRows),
                         [](const ::testing::TestParamInfo<EndingRow>& info) {
                             return "Exit" + std::to_string(info.param.code);
                         });

// Another exit code restarts the program; it died at once, so the next start
// waits a second.
TEST_F(SupervisorTest, OtherExitCodeRestartsAfterAPauseWhenItDiedAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(StartSupervising(h.ChildCommand("exit:1 exit:0")));
    ExpectSupervisorExitsWithZero();
    ASSERT_NO_FATAL_FAILURE(ExpectRunsUnderSupervisor(2));
    const std::vector<WatchedRun> runs = h.Runs();
    EXPECT_NE(runs[0].pid, runs[1].pid);
    EXPECT_GE(runs[1].startNs - runs[0].endNs, kSecondNs) << "restarted without the pause";

    const std::string log = h.ChildLogFile();
    int entries = 0;
    EXPECT_EQ(StartLines(kScript, runs[0].pid, log) + ExitLine(kScript, runs[0].pid, 1) +
                  RestartLine(kScript, runs[0].pid) + StartLines(kScript, runs[1].pid, log) +
                  ExitLine(kScript, runs[1].pid, 0) + NormalShutdownLine(kScript, runs[1].pid),
              LogWithoutTimes(&entries));
    EXPECT_EQ(8, entries);
}

// The supervisor ignores SIGTERM; the program it starts must not inherit that.
TEST_F(SupervisorTest, ProgramKilledBySigtermIsRestarted)
{
    ASSERT_NO_FATAL_FAILURE(StartSupervising(h.ChildCommand("kill:TERM exit:0")));
    ExpectSupervisorExitsWithZero();
    ASSERT_NO_FATAL_FAILURE(ExpectRunsUnderSupervisor(2));
    const std::vector<WatchedRun> runs = h.Runs();

    const std::string log = h.ChildLogFile();
    int entries = 0;
    EXPECT_EQ(StartLines(kScript, runs[0].pid, log) + SignalLine(kScript, runs[0].pid, SIGTERM) +
                  StartLines(kScript, runs[1].pid, log) + ExitLine(kScript, runs[1].pid, 0) +
                  NormalShutdownLine(kScript, runs[1].pid),
              LogWithoutTimes(&entries));
    EXPECT_EQ(7, entries);
}

TEST_F(SupervisorTest, ProgramKilledWithSigkillIsNotRestarted)
{
    ASSERT_NO_FATAL_FAILURE(StartSupervising(h.ChildCommand("hold exit:0")));
    ASSERT_TRUE(h.WaitForRuns(1, kEndTimeoutMs));
    const pid_t pid = h.Runs()[0].pid;
    ASSERT_EQ(0, kill(pid, SIGKILL));
    ExpectSupervisorExitsWithZero();
    ASSERT_NO_FATAL_FAILURE(ExpectRunsUnderSupervisor(1));

    int entries = 0;
    EXPECT_EQ(StartLines(kScript, pid, h.ChildLogFile()) + SignalLine(kScript, pid, SIGKILL) +
                  KilledManualLine(kScript, pid),
              LogWithoutTimes(&entries));
    EXPECT_EQ(4, entries);
}

// A program that ran for a while and then crashed is back within a second.
TEST_F(SupervisorTest, ProgramKilledBySigsegvAfterRunningIsBackWithinASecond)
{
    ASSERT_NO_FATAL_FAILURE(StartSupervising(h.ChildCommand("hold exit:0")));
    ASSERT_TRUE(h.WaitForRuns(1, kEndTimeoutMs));
    const WatchedRun first = h.Runs()[0];
    const long long runFor = first.startNs + kSecondNs + kSecondNs / 5 - SupervisorHarness::RealtimeNs();
    if (runFor > 0) {
        const struct timespec pause = {static_cast<time_t>(runFor / kSecondNs), static_cast<long>(runFor % kSecondNs)};
        nanosleep(&pause, nullptr);
    }
    const long long killedNs = SupervisorHarness::RealtimeNs();
    ASSERT_EQ(0, kill(first.pid, SIGSEGV));
    ExpectSupervisorExitsWithZero();
    ASSERT_NO_FATAL_FAILURE(ExpectRunsUnderSupervisor(2));
    const WatchedRun second = h.Runs()[1];
    EXPECT_LT(second.startNs - killedNs, kSecondNs);

    const std::string log = h.ChildLogFile();
    int entries = 0;
    EXPECT_EQ(StartLines(kScript, first.pid, log) + SignalLine(kScript, first.pid, SIGSEGV) +
                  StartLines(kScript, second.pid, log) + ExitLine(kScript, second.pid, 0) +
                  NormalShutdownLine(kScript, second.pid),
              LogWithoutTimes(&entries));
}

// Blanks separate words, runs of them count as one; tabs stay inside words.
TEST_F(SupervisorTest, CommandIsSplitAtBlanksOnly)
{
    const std::string state = h.StateDir();
    ASSERT_NO_FATAL_FAILURE(StartSupervising("   " + kScript + "    " + state + "  exit:0   tab\there  x  "));
    ExpectSupervisorExitsWithZero();
    ASSERT_NO_FATAL_FAILURE(ExpectRunsUnderSupervisor(1));
    EXPECT_EQ("[" + kScript + "][" + state + "][exit:0][tab\there][x]", h.Args(1));
}

TEST_F(SupervisorTest, CommandThatCannotRunEndsSupervisionAfterOneAttempt)
{
    const std::string cmd = "/nonexistent-velmar-dir/no-such-program";
    ASSERT_NO_FATAL_FAILURE(StartSupervising(cmd + " -x"));
    ExpectSupervisorExitsWithZero();

    const std::string log = h.LogDir() + "/no-such-program.log";
    int entries = 0;
    const std::string text = SupervisorHarness::StripTimestamps(SupervisorHarness::ReadFile(log), &entries);
    const std::string prefix = "starting [" + cmd + "]<";
    ASSERT_EQ(0u, text.find(prefix)) << text;
    const pid_t pid = static_cast<pid_t>(std::stol(text.substr(prefix.size())));
    EXPECT_EQ(StartLines(cmd, pid, log) + "execute[" + cmd + "] error:[No such file or directory]<2>.\n" +
                  ExitLine(cmd, pid, 199) + ExecFailedLine(cmd, log),
              text);
    EXPECT_EQ(5, entries);
}

// Before each start the ".out" and ".err" rings beside the log shift by one.
TEST_F(SupervisorTest, OutputRingsShiftBeforeEachStart)
{
    const std::string base = h.LogDir() + "/watch_child.sh";
    for (const char* dir : {"/var", "/var/log", "/var/log/velmarcmd"})
        ASSERT_EQ(0, mkdir((h.Root() + dir).c_str(), 0755));
    SupervisorHarness::WriteFile(base + ".out.1", "out one");
    SupervisorHarness::WriteFile(base + ".err.9", "err nine");
    SupervisorHarness::WriteFile(base + ".out", "live out");
    ASSERT_NO_FATAL_FAILURE(StartSupervising(h.ChildCommand("exit:0")));
    ExpectSupervisorExitsWithZero();

    EXPECT_FALSE(SupervisorHarness::Exists(base + ".out.1"));
    EXPECT_EQ("out one", SupervisorHarness::ReadFile(base + ".out.2"));
    EXPECT_EQ("err nine", SupervisorHarness::ReadFile(base + ".err.10"));
    EXPECT_EQ("live out", SupervisorHarness::ReadFile(base + ".out"));
}

} // namespace
