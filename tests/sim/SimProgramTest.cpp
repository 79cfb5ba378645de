// The programs mcusim and dispsim: paths under the board root, the control
// FIFO, the traffic log, clean ending on a signal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "SimProgram.h"
#include "SimTestSupport.h"
#include "TestPaths.h"

namespace {

// A simulator program run as a child process, its output in a file.
class ProgramRun {
public:
    ~ProgramRun()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& output)
    {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            unsetenv("VELMAR_ROOT");
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        return m_pid > 0;
    }

    // Sends the signal and returns the exit status (-1 unless it exited).
    int Finish(int signal)
    {
        if (signal != 0)
            kill(m_pid, signal);
        int status = 0;
        pid_t done = waitpid(m_pid, &status, 0);
        m_pid = -1;
        return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
};

bool WaitForPath(const std::string& path, int timeoutMs)
{
    int64_t deadline = TestNowMs() + timeoutMs;
    struct stat st;
    while (lstat(path.c_str(), &st) != 0) {
        if (TestNowMs() > deadline)
            return false;
        SleepMs(10);
    }
    return true;
}

bool PathExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool WriteFifo(const std::string& path, const std::string& text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

TEST(SimProgramTest, McuSimServesTheBoardRootUntilTerminated)
{
    ScratchDir dir;
    std::string link = dir / "dev/ttyS1";
    std::string fifo = dir / "var/run/mcusim.ctl";
    std::string log = dir / "var/log/mcusim-traffic.log";
    ProgramRun run;
    ASSERT_TRUE(run.Start(board_test::ProgramPath("mcusim"), {"--root", dir.Path(), "--command", "!echo-identity on"},
                          dir / "out.txt"));
    ASSERT_TRUE(WaitForPath(fifo, 5000)) << test_files::ReadText(dir / "out.txt");
    ASSERT_TRUE(PathExists(link));

    SerialClient client;
    ASSERT_TRUE(client.Open(link));
    EXPECT_EQ("ORDER 1\r\n", client.Ask("GET ORDER"));
    EXPECT_EQ("SDXBIP 10.1.1.1\r\n", client.Ask("SET SDXBIP 10.1.1.1"));

    ASSERT_TRUE(WriteFifo(fifo, "ORDER 5\n!silent on\n!bogus\n"));
    std::string line;
    ASSERT_TRUE(client.ReadRawLine(&line, 2000));
    EXPECT_EQ("ORDER 5\r\n", line);
    SleepMs(100);
    ASSERT_TRUE(client.WriteLine("GET ORDER"));
    EXPECT_EQ("", client.ReadUntilQuiet(200)) << "silenced through the FIFO";
    client.Close();

    EXPECT_EQ(0, run.Finish(SIGTERM));
    EXPECT_FALSE(PathExists(link)) << "link removed";
    EXPECT_FALSE(PathExists(fifo)) << "FIFO removed";
    std::string out = test_files::ReadText(dir / "out.txt");
    EXPECT_NE(std::string::npos, out.find("linked at " + link)) << out;
    EXPECT_NE(std::string::npos, out.find("tail -f " + log)) << out;
    EXPECT_NE(std::string::npos, out.find("unknown command !bogus")) << out;
    std::string text = test_files::ReadText(log);
    EXPECT_NE(std::string::npos, text.find(" daemon->mcu GET ORDER\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" mcu->daemon ORDER 5\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" # control !silent on\n")) << text;
}

TEST(SimProgramTest, DispSimRunsWithExplicitPathsAndWithoutFiles)
{
    ScratchDir dir;
    std::string link = dir / "ttyS2";
    ProgramRun run;
    ASSERT_TRUE(run.Start(board_test::ProgramPath("dispsim"),
                          {"--link", link, "--control", "none", "--traffic-log", "none"},
                          dir / "out.txt"));
    ASSERT_TRUE(WaitForPath(link, 5000)) << test_files::ReadText(dir / "out.txt");
    SerialClient client;
    ASSERT_TRUE(client.Open(link, true, B9600));
    ASSERT_TRUE(client.WriteLine("PWR ON"));
    EXPECT_EQ("", client.ReadUntilQuiet(100));
    client.Close();
    EXPECT_EQ(0, run.Finish(SIGINT));
    EXPECT_FALSE(PathExists(link));
    EXPECT_FALSE(PathExists(dir / "var"));
}

TEST(SimProgramTest, BadArgumentsEndWithStatusTwo)
{
    ScratchDir dir;
    ProgramRun noRoot;
    ASSERT_TRUE(noRoot.Start(board_test::ProgramPath("mcusim"), {}, dir / "out.txt"));
    EXPECT_EQ(2, noRoot.Finish(0));
    EXPECT_NE(std::string::npos, test_files::ReadText(dir / "out.txt").find("no board root"));
    ProgramRun unknown;
    ASSERT_TRUE(unknown.Start(board_test::ProgramPath("mcusim"), {"--root", dir.Path(), "--what", "x"}, dir / "out.txt"));
    EXPECT_EQ(2, unknown.Finish(0));
    ProgramRun help;
    ASSERT_TRUE(help.Start(board_test::ProgramPath("dispsim"), {"--help"}, dir / "out.txt"));
    EXPECT_EQ(0, help.Finish(0));
    EXPECT_NE(std::string::npos, test_files::ReadText(dir / "out.txt").find("usage: dispsim"));
    // Something that is not a FIFO at the control path: refused, link undone.
    ASSERT_EQ(0, mkdir((dir / "var").c_str(), 0755));
    ASSERT_EQ(0, mkdir((dir / "var/run").c_str(), 0755));
    ASSERT_EQ(0, mkdir((dir / "var/run/mcusim.ctl").c_str(), 0755));
    ProgramRun blocked;
    ASSERT_TRUE(blocked.Start(board_test::ProgramPath("mcusim"), {"--root", dir.Path()}, dir / "out.txt"));
    EXPECT_EQ(1, blocked.Finish(0));
    EXPECT_FALSE(PathExists(dir / "dev/ttyS1"));
}

TEST(SimProgramTest, PathsFollowTheBoardRootUnlessGiven)
{
    SimProgramInfo info = {"mcusim", "ttyS1", "test"};
    const char* saved = getenv("VELMAR_ROOT");
    std::string savedRoot = saved != nullptr ? saved : "";
    setenv("VELMAR_ROOT", "/r", 1);
    SimProgramPaths paths;
    bool help = true;
    char program[] = "mcusim";
    char* plain[] = {program, nullptr};
    ASSERT_TRUE(SimParseProgramArgs(1, plain, info, &paths, &help));
    EXPECT_FALSE(help);
    EXPECT_EQ("/r/dev/ttyS1", paths.link);
    EXPECT_EQ("/r/var/run/mcusim.ctl", paths.control);
    EXPECT_EQ("/r/var/log/mcusim-traffic.log", paths.trafficLog);

    char root[] = "--root", rootValue[] = "/b", control[] = "--control", none[] = "none";
    char command[] = "--command", commandValue[] = "!silent on";
    char* given[] = {program, root, rootValue, control, none, command, commandValue, nullptr};
    paths = SimProgramPaths();
    ASSERT_TRUE(SimParseProgramArgs(7, given, info, &paths, &help));
    EXPECT_EQ("/b/dev/ttyS1", paths.link);
    EXPECT_EQ("", paths.control);
    EXPECT_EQ("/b/var/log/mcusim-traffic.log", paths.trafficLog);
    EXPECT_EQ(std::vector<std::string>{"!silent on"}, paths.commands);

    char* dangling[] = {program, root, nullptr};
    EXPECT_FALSE(SimParseProgramArgs(2, dangling, info, &paths, &help));
    if (saved != nullptr)
        setenv("VELMAR_ROOT", savedRoot.c_str(), 1);
    else
        unsetenv("VELMAR_ROOT");
}

} // namespace
