// The command runner: status, PATH and path resolution under a board root,
// the refusal of machine-changing programs that do not resolve inside the
// board root, and the simulated board programs it runs when they do.
//
// Every test that runs a command the runner must refuse first replaces the
// machine's part of PATH with tripwires: a refusal that failed would run a
// tripwire, which the test sees, and never the machine's own program.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "BoardPath.h"
#include "BoardRootFixture.h"
#include "LightLog.h"
#include "ShellCommand.h"
#include "ShellCommandGuard.h"

using board_test::PathExists;
using board_test::ReadText;
using board_test::TempBoardRoot;
using board_test::WriteText;

namespace {

int ExitCode(int status)
{
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - status;
}

// The refusals are logged: the log of this test binary goes to a temporary directory.
class RunnerLog {
public:
    static void Open()
    {
        s_dir = board_test::MakeTempDir("shell-log");
        T_LightLogCallBack callbacks = LightLogStdioCallBack();
        LightLogSetCallBack(&callbacks);
        LightLogSetup((s_dir + "/shell").c_str(), 5000, 10, LLOG_LEVEL_DEBUG);
    }
    static void Close()
    {
        LightLogExit();
        board_test::RemoveTree(s_dir);
    }
    static std::string Text()
    {
        LightLogFlush();
        return ReadText(s_dir + "/shell001.logTmp");
    }

private:
    static std::string s_dir;
};
std::string RunnerLog::s_dir;

// Every guarded program name as a tripwire, first in the machine's PATH.
class Tripwires {
public:
    Tripwires() : fDir(board_test::MakeTempDir("tripwire"))
    {
        for (const char* const* name = ShellCommandGuard::GuardedNames(); *name != nullptr; ++name)
            WriteText(fDir + "/" + *name, "#!/bin/sh\necho \"$0 $*\" >> '" + Log() + "'\nexit 0\n", 0755);
        const char* path = getenv("PATH");
        fOldPath = path != nullptr ? path : "";
        setenv("PATH", (fDir + ":/usr/bin:/bin").c_str(), 1);
    }
    ~Tripwires()
    {
        setenv("PATH", fOldPath.c_str(), 1);
        board_test::RemoveTree(fDir);
    }
    std::string Log() const { return fDir + "/tripped"; }
    std::string Tripped() const { return ReadText(Log()); }

private:
    std::string fDir;
    std::string fOldPath;
};

class ShellCommandTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RunnerLog::Open(); }
    static void TearDownTestSuite() { RunnerLog::Close(); }
};

std::string Output(ShellCommand& runner, const char* command, int* status = nullptr)
{
    std::string out;
    int opened = runner.OpenRead(command);
    if (opened == 0) {
        char buf[512];
        while (fgets(buf, sizeof(buf), runner.Stream()) != nullptr)
            out += buf;
    }
    int closed = opened == 0 ? runner.CloseRead() : ShellCommand::kNotRun;
    if (status != nullptr)
        *status = closed;
    return out;
}

// ---- Status, environment and paths -----------------------------------------

TEST_F(ShellCommandTest, ReturnsTheShellStatus)
{
    TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    ShellCommand runner(root.Path().c_str());
    EXPECT_EQ(runner.Run("true"), 0);
    EXPECT_EQ(runner.Run("exit 3"), 3 << 8);
    int killed = runner.Run("kill -TERM $$");
    EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGTERM) << killed;
    EXPECT_EQ(ExitCode(runner.Run("no-such-program-here")), 127);
    EXPECT_EQ(runner.Run(nullptr), ShellCommand::kNotRun);
    // One-word commands (started without a shell when PATH holds them): one the
    // kernel cannot start (no "#!") and a builtin run as the shell runs them,
    // and the output of one started directly is read as before.
    ASSERT_TRUE(WriteText(root.File("/usr/bin/no-hashbang"), "exit 4\n", 0755));
    EXPECT_EQ(runner.Run("no-hashbang"), 4 << 8);
    EXPECT_EQ(runner.Run("/usr/bin/no-hashbang"), 4 << 8);
    EXPECT_EQ(runner.Run("exit"), 0);
    ASSERT_TRUE(WriteText(root.File("/usr/bin/parent"), "#!/bin/sh\necho $PPID\n", 0755));
    EXPECT_EQ(Output(runner, "parent"), std::to_string(getpid()) + "\n");
}

TEST_F(ShellCommandTest, BoardProgramDirectoriesComeFirstInPath)
{
    TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    const std::string& r = root.Path();
    ShellCommand runner(r.c_str());

    std::string path = Output(runner, "echo \"$PATH\"");
    std::string expected = r + "/usr/sbin:" + r + "/usr/bin:" + r + "/sbin:" + r + "/bin:" + r + "/var/run/board-guard:";
    EXPECT_EQ(path.compare(0, expected.size(), expected), 0) << path;
    EXPECT_EQ(Output(runner, "echo \"$VELMAR_ROOT\""), r + "\n");

    // The same program in each directory: the first directory wins.
    const char* dirs[] = {"/usr/sbin", "/usr/bin", "/sbin", "/bin"};
    for (const char* dir : dirs)
        ASSERT_TRUE(WriteText(root.File(dir) + "/which-dir", std::string("#!/bin/sh\necho ") + dir + "\n", 0755));
    for (const char* dir : dirs) {
        EXPECT_EQ(Output(runner, "which-dir"), std::string(dir) + "\n");
        unlink((root.File(dir) + "/which-dir").c_str());
    }
}

TEST_F(ShellCommandTest, AbsolutePathsInTheTextResolveUnderTheRoot)
{
    TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    ShellCommand runner(root.Path().c_str());
    EXPECT_EQ(Output(runner, "echo /Velmar/etc/Velmar.xml"), root.File("/Velmar/etc/Velmar.xml") + "\n");
    EXPECT_EQ(runner.Run("cp -f /var/tmpfs/SavePowerOff_Default.conf /www/tmp/copy.conf"), 0);
    EXPECT_EQ(root.Read("/www/tmp/copy.conf"), root.Read("/var/tmpfs/SavePowerOff.conf"));
    int status = 0;
    EXPECT_EQ(Output(runner, "cat /www/tmp/copy.conf | grep ^ipmod=; exit 4", &status), "ipmod=static\n");
    EXPECT_EQ(ExitCode(status), 4);
}

TEST_F(ShellCommandTest, WithoutRootTheTextRunsAsItIs)
{
    ShellCommand runner("");
    const char* path = getenv("PATH");
    EXPECT_EQ(Output(runner, "echo /Velmar/etc/Velmar.xml"), "/Velmar/etc/Velmar.xml\n");
    EXPECT_EQ(Output(runner, "echo \"$PATH\""), std::string(path != nullptr ? path : "") + "\n");
}

TEST_F(ShellCommandTest, ReaderRefusesASecondStreamAndClosesOnDestruction)
{
    TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    {
        ShellCommand reader(root.Path().c_str());
        ASSERT_EQ(reader.OpenRead("printf 'a\\nb\\n'"), 0);
        EXPECT_EQ(reader.OpenRead("true"), -2);
        char line[16];
        ASSERT_NE(fgets(line, sizeof(line), reader.Stream()), nullptr);
        EXPECT_STREQ(line, "a\n");
    }
    ShellCommand reader(root.Path().c_str());
    EXPECT_EQ(reader.CloseRead(), ShellCommand::kNotRun);
    EXPECT_EQ(reader.Stream(), nullptr);
}

TEST_F(ShellCommandTest, ChildStartsWithDefaultSignalsAndNoStrayDescriptors)
{
    TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    ShellCommand runner(root.Path().c_str());

    // The daemons ignore most signals; their commands must not inherit that.
    struct sigaction ignore, old;
    memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTERM, &ignore, &old);
    int status = runner.Run("kill -TERM $$; exit 0");
    sigaction(SIGTERM, &old, nullptr);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;

    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 3);
    ASSERT_TRUE(WriteText(root.File("/bin/fd-open"), "#!/bin/sh\n[ -e /proc/self/fd/$1 ] && echo open || echo closed\n",
                          0755));
    EXPECT_EQ(Output(runner, ("fd-open " + std::to_string(fd)).c_str()), "closed\n");
    EXPECT_EQ(Output(runner, "fd-open 1"), "open\n");
    close(fd);
}

TEST_F(ShellCommandTest, IgnoredSigchldIsTurnedBackToDefault)
{
    TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    struct sigaction ignore, old, now;
    memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &old);
    EXPECT_EQ(ShellCommand(root.Path().c_str()).Run("exit 5"), 5 << 8);
    sigaction(SIGCHLD, nullptr, &now);
    sigaction(SIGCHLD, &old, nullptr);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST_F(ShellCommandTest, ConcurrentCommandsKeepTheirOwnStatus)
{
    TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                int code = t * 10 + i;
                if (ShellCommand(root.Path().c_str()).Run(("exit " + std::to_string(code)).c_str()) != code << 8)
                    ++wrong;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ShellCommandTest, OverlongOrUnusableRootsAreRefused)
{
    TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    ShellCommand runner(root.Path().c_str());
    std::string longText = "true";
    while (longText.size() < ShellCommand::kMaxCommand)
        longText += " /x";
    EXPECT_EQ(runner.Run(longText.c_str()), ShellCommand::kNotRun);
    EXPECT_NE(RunnerLog::Text().find("######Refused shell command <true /x /x"), std::string::npos);
    EXPECT_EQ(ShellCommand("relative/root").Run("true"), ShellCommand::kNotRun);
}

// ---- The safety rule -------------------------------------------------------

// Commands that reach a machine-changing program that a board root without
// the simulated programs does not have.
const char* const kMustRefuse[] = {
    "reboot",
    "configip",
    "setip 192.168.1.10 255.255.255.0 192.168.1.1",
    "udhcpc -q",
    "/etc/init.d/velmard update-stop",
    "/etc/init.d/S50dropbear start",
    "/sbin/reboot",
    "/usr/sbin/configip",
    "sync; reboot",
    "configip && reboot",
    "false || reboot",
    "sync\nreboot",
    "sync & reboot",
    "echo x | reboot",
    "(reboot)",
    "{ reboot; }",
    "if true; then reboot; fi",
    "while false; do udhcpc; done",
    "x=$(reboot)",
    "echo \"$(configip)\"",
    "echo `setip 1 2 3`",
    "echo $(echo $(reboot))",
    "FOO=1 reboot",
    ">/www/tmp/out reboot",
    "2>&1 reboot",
    "nohup reboot &",
    "env A=1 reboot",
    "/usr/bin/env reboot",
    "exec reboot",
    "command reboot",
    "timeout 5 reboot",
    "sh -c 'sync; reboot'",
    "bash -c \"configip\"",
    "eval reboot",
    "xargs reboot",
    "find /www -exec reboot ;",
    "busybox reboot",
    ". /etc/init.d/velmard stop",
    "'reboot'",
    "\"re\"boot",
    "re\\boot",
    "./sbin/reboot",
    "cd /etc/init.d && ./velmard stop",
    "init.d/velmard stop",
    "cd /etc && init.d/velmard stop",
    "cd \"$X\" && ./velmard stop",
    "cd && ./velmard stop",
    "cd etc && ./velmard stop",
    "PATH=/sbin:/usr/sbin reboot",
    "export PATH=/sbin; sync",
    "$REBOOT",
    "/usr/sbin/config*",
    "systemctl reboot",
    "shutdown -r now",
    "halt",
    "poweroff",
    "ifconfig eth0 10.0.0.1",
    "service velmard stop",
    "echo 'unterminated",
    "echo $(reboot",
};

// Commands that must run: no machine-changing program, or one only named as
// an argument.
const char* const kMayRun[] = {
    "sync",
    "cp -f /var/tmpfs/SavePowerOff_Default.conf /var/tmpfs/SavePowerOff.conf",
    "ip route",
    "echo reboot",
    "grep -q reboot /var/log/board-calls.log",
    "[ -f /x ] && cp /x /y",
    "rm -fr /Velmar/Upgrade/ARM/*",
    "mv /www/tmp/trm* /Velmar/Upgrade/MCU/",
    "tar xvzfm /Velmar/Upgrade/ARM/a.tgz -C /Velmar/Upgrade/ARM/",
    "cd /Velmar/Upgrade/ARM/ && ./V1.0/Install_upgrade_atmel",
    "stty -F /dev/ttyS2 9600 2>/dev/null",
    "echo \"a;reboot\" > /www/tmp/x",
    "ls /etc/init.d/",
    "cat /etc/init.d/velmard",
};

std::string Check(const TempBoardRoot& root, const char* command)
{
    char resolved[ShellCommand::kMaxCommand];
    if (BoardPath::ResolveCommandUnder(root.Path().c_str(), command, resolved, sizeof(resolved)) != 0)
        return "unresolved";
    char reason[512];
    return ShellCommandGuard(root.Path().c_str()).Check(resolved, reason, sizeof(reason)) == 0 ? "ok" : reason;
}

TEST_F(ShellCommandTest, GuardReadsEveryCommandWordOfTheLine)
{
    TempBoardRoot bare({"--no-fakes"});
    ASSERT_TRUE(bare.Ok()) << bare.LayoutOutput();
    for (const char* command : kMustRefuse)
        EXPECT_NE(Check(bare, command), "ok") << command;
    for (const char* command : kMayRun)
        EXPECT_EQ(Check(bare, command), "ok") << command;
    EXPECT_EQ(Check(bare, "sync; reboot"), "\"reboot\" does not resolve inside the board root");
    EXPECT_NE(Check(bare, "PATH=/sbin reboot").find("\" changes PATH"), std::string::npos);
}

TEST_F(ShellCommandTest, GuardLetsTheSimulatedProgramsRun)
{
    TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    const char* const allowed[] = {
        "reboot", "configip && sync && reboot", "setip 10.0.0.5 255.255.255.0 10.0.0.1", "udhcpc -q",
        "/etc/init.d/velmard update-stop", "/etc/init.d/S50dropbear start", "/sbin/reboot", "sh -c 'reboot'",
        "cd /etc/init.d && ./velmard stop",
    };
    for (const char* command : allowed)
        EXPECT_EQ(Check(root, command), "ok") << command;
    // Still refused: forms whose program cannot be told, and the machine's
    // programs that the simulated board does not have.
    EXPECT_NE(Check(root, "./sbin/reboot"), "ok");
    EXPECT_NE(Check(root, "cd /sbin; ./reboot"), "ok");   // when cd fails, ./reboot is the working directory's
    EXPECT_NE(Check(root, "$X"), "ok");
    EXPECT_NE(Check(root, "systemctl reboot"), "ok");
}

TEST_F(ShellCommandTest, GuardRefusesBoardProgramsThatLeadOutOfTheRoot)
{
    TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    Tripwires tripwires;
    // A link from the board root to a program outside it.
    std::string fake = root.File("/sbin/reboot");
    ASSERT_EQ(unlink(fake.c_str()), 0);
    ASSERT_EQ(symlink("/usr/sbin/reboot", fake.c_str()), 0);
    EXPECT_EQ(Check(root, "reboot"), "\"reboot\" is not a program of the board root");
    EXPECT_NE(Check(root, "/sbin/reboot"), "ok");
    // A simulated program that is not executable is not taken either.
    ASSERT_EQ(chmod(root.File("/sbin/udhcpc").c_str(), 0644), 0);
    EXPECT_NE(Check(root, "udhcpc -q"), "ok");
    // A root that does not exist lets no guarded program run.
    EXPECT_NE(ShellCommandGuard("/nonexistent/velmar-root").Check("reboot", nullptr, 0), 0);
    EXPECT_EQ(tripwires.Tripped(), "");
}

// The proof: run (not only check) the refused commands on a board root
// without the simulated programs. Nothing runs, each refusal is logged, and
// no tripwire (standing in for the machine's programs) is reached.
TEST_F(ShellCommandTest, RefusedCommandsNeverReachTheMachine)
{
    TempBoardRoot bare({"--no-fakes"});
    ASSERT_TRUE(bare.Ok()) << bare.LayoutOutput();
    Tripwires tripwires;
    ShellCommand runner(bare.Path().c_str());
    const char* const proofs[] = {
        "reboot",           "configip",       "setip 192.168.1.10 255.255.255.0 192.168.1.1",
        "udhcpc -q",        "configip && reboot", "sync; reboot",
        "echo ok | reboot", "/etc/init.d/velmard update-stop",
    };
    for (const char* command : proofs)
        EXPECT_EQ(runner.Run(command), ShellCommand::kNotRun) << command;
    EXPECT_EQ(tripwires.Tripped(), "");
    EXPECT_EQ(bare.Calls(), "");
    std::string log = RunnerLog::Text();
    EXPECT_NE(log.find("[40000]: ######Refused shell command <reboot>: \"reboot\" does not resolve inside the board root"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("######Refused shell command <configip && reboot>: \"configip\""), std::string::npos);
    EXPECT_NE(log.find("######Refused shell command <" + bare.Path() +
                       "/etc/init.d/velmard update-stop>: \"" + bare.Path() +
                       "/etc/init.d/velmard\" does not resolve inside the board root"),
              std::string::npos)
        << log;
}

// A child script the runner cannot see into calls "reboot" by name: the
// stand-in refuses it, and the machine's program is not reached.
TEST_F(ShellCommandTest, ChildScriptsMeetTheStandIns)
{
    TempBoardRoot bare({"--no-fakes"});
    ASSERT_TRUE(bare.Ok()) << bare.LayoutOutput();
    Tripwires tripwires;
    ASSERT_TRUE(WriteText(bare.File("/usr/bin/upgrade-step"), "#!/bin/sh\nreboot now 2>/dev/null\necho after=$?\n", 0755));
    ShellCommand runner(bare.Path().c_str());
    EXPECT_EQ(Output(runner, "upgrade-step"), "after=126\n");
    EXPECT_EQ(bare.Read("/var/log/board-refused.log"), "reboot now\n");
    EXPECT_EQ(tripwires.Tripped(), "");
}

// pox_system runs under the board root of its process (VELMAR_ROOT), so it
// is run in a process of its own with the variable set.
board_test::ProcessResult ProbeRun(const TempBoardRoot& root, const char* mode, const char* command)
{
    board_test::ProcessSpec proc;
    proc.argv = {board_test::ProgramPath("board_probe"), mode, command};
    proc.setEnv.push_back({"VELMAR_ROOT", root.Path()});
    return board_test::RunProcess(proc);
}

TEST_F(ShellCommandTest, PoxSystemFollowsTheProcessBoardRoot)
{
    TempBoardRoot bare({"--no-fakes"});
    TempBoardRoot root;
    ASSERT_TRUE(bare.Ok() && root.Ok());
    Tripwires tripwires;
    EXPECT_EQ(ProbeRun(bare, "run", "configip && sync && reboot").output, "status -1\n");
    // The refusal is in the board's own log.
    std::string log = bare.Read("/var/Velmar/probe001.logTmp");
    EXPECT_NE(log.find("######Refused shell command <configip && sync && reboot>"), std::string::npos) << log;
    EXPECT_EQ(ProbeRun(bare, "run", "udhcpc -q").output, "status -1\n");
    EXPECT_EQ(ProbeRun(root, "run", "configip && sync && reboot").output, "status 0\n");
    EXPECT_EQ(ProbeRun(root, "run", "exit 2").output, "status 512\n");
    EXPECT_EQ(ProbeRun(root, "read", "echo /www/tmp").output, root.File("/www/tmp") + "\nstatus 0\n");
    EXPECT_EQ(tripwires.Tripped(), "");
    EXPECT_EQ(bare.Calls(), "");
    EXPECT_EQ(root.Calls(), "configip\nifconfig eth0 192.168.2.100 netmask 255.255.255.0\n"
                            "route add default gw 192.168.2.1\nreboot\n");
}

// ---- The simulated board programs ----------------------------------------

TEST_F(ShellCommandTest, SimulatedProgramsRecordTheirCalls)
{
    TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    Tripwires tripwires;
    ShellCommand runner(root.Path().c_str());
    EXPECT_EQ(runner.Run("setip 10.0.0.5 255.255.255.0 10.0.0.1"), 0);
    EXPECT_EQ(runner.Run("udhcpc -q"), 0);
    EXPECT_EQ(runner.Run("configip && sync && reboot"), 0);
    EXPECT_EQ(runner.Run("/etc/init.d/S50dropbear restart"), 0);
    EXPECT_EQ(runner.Run("/etc/init.d/velmard update-stop"), 0);
    EXPECT_EQ(root.Calls(),
              "setip 10.0.0.5 255.255.255.0 10.0.0.1\n"
              "udhcpc -q\n"
              "configip\n"
              "ifconfig eth0 10.0.0.5 netmask 255.255.255.0\n"
              "route add default gw 10.0.0.1\n"
              "reboot\n"
              "/etc/init.d/S50dropbear restart\n"
              "/etc/init.d/velmard update-stop\n");
    EXPECT_EQ(tripwires.Tripped(), "");
}

TEST_F(ShellCommandTest, SetipWritesTheAddressScript)
{
    TempBoardRoot root;
    ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
    ShellCommand runner(root.Path().c_str());
    ASSERT_EQ(runner.Run("setip 172.16.5.9 255.255.0.0 172.16.0.1"), 0);
    std::string script = root.Read("/usr/sbin/configip");
    EXPECT_NE(script.find("\nifconfig eth0 172.16.5.9 netmask 255.255.0.0\n"), std::string::npos) << script;
    EXPECT_NE(script.find("\nroute add default gw 172.16.0.1\n"), std::string::npos) << script;
    EXPECT_EQ(access(root.File("/usr/sbin/configip").c_str(), X_OK), 0);
    // The factory copy stays as it was.
    EXPECT_EQ(root.Read("/usr/sbin/configip_bak").find("172.16.5.9"), std::string::npos);
    // Bad arguments change nothing and fail.
    EXPECT_EQ(ExitCode(runner.Run("setip 172.16.5.9 255.255.0.0 2>/dev/null")), 1);
    EXPECT_EQ(ExitCode(runner.Run("setip '1.2.3.4;x' 255.255.0.0 172.16.0.1 2>/dev/null")), 1);
    EXPECT_EQ(ExitCode(runner.Run("setip 1.2.3.256 255.255.0.0 172.16.0.1 2>/dev/null")), 1);
    EXPECT_EQ(root.Read("/usr/sbin/configip"), script);
}

TEST_F(ShellCommandTest, InitScriptStopsAndStartsTheSimulatedDaemon)
{
    std::string dir = board_test::MakeTempDir("fake-velmard");
    std::string program = dir + "/velmard";
    // Stands in for velmard -d: stops on SIGUSR1, ignores SIGHUP.
    ASSERT_TRUE(WriteText(program,
                          "#!/bin/sh\ntrap 'exit 0' USR1\ntrap '' HUP\necho \"started $*\"\n"
                          "while :; do sleep 0.05; done\n",
                          0755));
    {
        TempBoardRoot root({"--velmard", program});
        ASSERT_TRUE(root.Ok()) << root.LayoutOutput();
        ShellCommand runner(root.Path().c_str());
        ASSERT_EQ(runner.Run("/etc/init.d/velmard update-start"), 0);
        pid_t pid = atoi(root.Read("/var/run/velmard.pid").c_str());
        ASSERT_GT(pid, 0);
        EXPECT_EQ(kill(pid, 0), 0);
        EXPECT_EQ(runner.Run("/etc/init.d/velmard update-start"), 0);   // already running: no second one
        EXPECT_EQ(atoi(root.Read("/var/run/velmard.pid").c_str()), pid);

        EXPECT_EQ(runner.Run("/etc/init.d/velmard update-stop"), 0);
        EXPECT_FALSE(board_test::PathExists(root.File("/var/run/velmard.pid")));
        // Gone, or at most a zombie waiting for its parent.
        std::string state = ReadText("/proc/" + std::to_string(pid) + "/stat");
        EXPECT_TRUE(state.empty() || state.find(") Z ") != std::string::npos) << state;
        EXPECT_EQ(root.Calls(), "/etc/init.d/velmard update-start\n/etc/init.d/velmard update-start\n"
                                "/etc/init.d/velmard update-stop\n");
        EXPECT_EQ(root.Read("/var/log/velmard.out"), "started -d\n");
    }
    board_test::RemoveTree(dir);
}

} // namespace
