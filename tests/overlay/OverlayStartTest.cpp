// The overlay's start scripts on a simulated board: velmard and QuorNdk run
// under velmarcmd, "update-stop" ends velmard and its supervisor and leaves
// QuorNdk alone, "update-start" runs velmard under a new supervisor. Every
// start runs in a network namespace of its own; whatever is left of the
// board's processes is killed by id at the end.
#include <csignal>
#include <dirent.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "OverlayTestSupport.h"
#include "VelmardProcess.h"

using board_test::ReadText;

namespace {

const char kStarted[] = "Quor Velmar Module Start Initlize.";

// Generous: the machine may be busy.
constexpr int kWaitMs = 20000;

bool WaitFor(const std::function<bool()>& done)
{
    return board_test::WaitFor(done, kWaitMs);
}

using overlay_test::CommandLine;
using overlay_test::ParentOf;
using overlay_test::ProcessesUnder;

class OverlayStartTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { board_test::RequireNetns(); }
    void SetUp() override
    {
        ASSERT_TRUE(fOverlay.Ok()) << fOverlay.Output();
        ASSERT_TRUE(fOverlay.FirstBoot());
    }
    void TearDown() override
    {
        for (pid_t pid : ProcessesUnder(fOverlay.Root() + "/"))
            kill(pid, SIGKILL);
    }

    // Runs /etc/init.d/SCRIPT ACTION of the board, in a fresh network namespace.
    int Script(const std::string& script, const std::string& action)
    {
        board_test::ProcessSpec launch;
        launch.argv = {fOverlay.File("/etc/init.d/" + script), action};
        launch.setEnv = {{"VELMAR_ROOT", fOverlay.Root()}};
        launch.captureStderr = true;
        return board_test::RunInFreshNetns([&] {
            board_test::ProcessResult run = board_test::RunProcess(launch);
            fprintf(stderr, "%s", run.output.c_str());
            return run.Exited(0) ? 0 : 1;
        });
    }
    std::vector<pid_t> Running(const std::string& program) const { return fOverlay.Running(program); }
    // The one running PROGRAM, whose parent is velmarcmd watching it.
    pid_t RunningUnderSupervisor(const std::string& program) const
    {
        std::vector<pid_t> pids = Running(program);
        if (pids.size() != 1)
            return -1;
        std::vector<std::string> parent = CommandLine(ParentOf(pids[0]));
        std::vector<std::string> expected = {fOverlay.File("/usr/bin/velmarcmd"), fOverlay.File("/usr/bin/" + program) + " -d"};
        return parent == expected ? pids[0] : -1;
    }
    // Runs of velmard that came up, by the start lines in its log files
    // (each run begins a new file of the ring).
    size_t VelmardRunsLogged() const
    {
        size_t runs = 0;
        DIR* logs = opendir(fOverlay.File("/var/Velmar").c_str());
        for (struct dirent* entry; logs != nullptr && (entry = readdir(logs)) != nullptr;) {
            std::string log = fOverlay.Read(std::string("/var/Velmar/") + entry->d_name);
            runs += log.find(kStarted) != std::string::npos ? 1 : 0;
        }
        if (logs != nullptr)
            closedir(logs);
        return runs;
    }

    overlay_test::TempOverlay fOverlay;
};

TEST_F(OverlayStartTest, VelmardStopsForAnUpdateAndStartsAgainUnderVelmarcmd)
{
    // The agent keeps running, watched by its supervisor.
    ASSERT_EQ(Script("QuorNdk", "start"), 0) << fOverlay.Read("/var/log/velmarcmd/QuorNdk.log");
    EXPECT_NE(fOverlay.Read("/var/log/velmarcmd/QuorNdk.log").find("starting ["), std::string::npos);
    const std::vector<pid_t> agent = Running("QuorNdk");
    ASSERT_EQ(agent.size(), 1u);
    EXPECT_EQ(RunningUnderSupervisor("QuorNdk"), agent[0]);

    ASSERT_EQ(Script("velmard", "start"), 0);
    pid_t first = -1;
    ASSERT_TRUE(WaitFor([&] { return (first = RunningUnderSupervisor("velmard")) > 0; }));
    ASSERT_TRUE(WaitFor([&] { return VelmardRunsLogged() == 1; }));
    EXPECT_EQ(Script("velmard", "start"), 0);  // already running: nothing more
    EXPECT_EQ(Running("velmard"), std::vector<pid_t>{first});

    ASSERT_EQ(Script("velmard", "update-stop"), 0);
    EXPECT_TRUE(Running("velmard").empty());
    EXPECT_EQ(ProcessesUnder(fOverlay.File("/usr/bin/velmarcmd")).size(), 1u);
    EXPECT_EQ(Running("QuorNdk"), agent);

    ASSERT_EQ(Script("velmard", "update-start"), 0);
    pid_t second = -1;
    ASSERT_TRUE(WaitFor([&] { return (second = RunningUnderSupervisor("velmard")) > 0; }));
    EXPECT_NE(second, first);
    EXPECT_TRUE(WaitFor([&] { return VelmardRunsLogged() == 2; }));
    const std::string supervisorLog = fOverlay.Read("/var/log/velmarcmd/velmard.log");
    EXPECT_NE(supervisorLog.find("<" + std::to_string(first) + ">"), std::string::npos) << supervisorLog;
    EXPECT_NE(supervisorLog.find("<" + std::to_string(second) + ">"), std::string::npos) << supervisorLog;

    EXPECT_EQ(Script("velmard", "stop"), 0);
    EXPECT_EQ(Script("QuorNdk", "stop"), 0);
    EXPECT_TRUE(Running("QuorNdk").empty());
    EXPECT_TRUE(ProcessesUnder(fOverlay.Root() + "/").empty());
}

TEST_F(OverlayStartTest, UnknownActionPrintsUsageAndFails)
{
    EXPECT_EQ(Script("velmard", "reload"), 1);
    EXPECT_TRUE(Running("velmard").empty());
}

} // namespace
