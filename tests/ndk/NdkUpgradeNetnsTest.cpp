// QuorNdk as a process on a simulated board, in the board namespace of a
// namespace pair (UdpNetnsPair.h): requests from loopback (as velmard sends
// them) and from the LAN namespace, the answer at velmard's unicast port, the
// recorded sequence of board programs, and velmard itself stopped and started
// again by the agent. Needs root; exits 77 (skipped) otherwise.
#include "UdpNetnsPair.h"

#include <signal.h>
#include <sys/wait.h>

#include "DisplaySimulator.h"
#include "McuSimulator.h"
#include "NdkTestSupport.h"
#include "TcpLineClient.h"
#include "TestPaths.h"
#include "TestFiles.h"

using namespace udp_test;
using ndk_test::UpgradeAnswer;
using ndk_test::UpgradeRequest;

namespace {

using test_files::CountOf;

const uint16_t kAgentPort = 65009;    // "VelmarNdk_UdpPort"
const uint16_t kVelmardPort = 3334;   // "QuorVelmar_UdpPort"
const uint16_t kCommandPort = 2323;   // "QuorVelmar_TelnetPort" of the template
const int kLongWaitMs = 60000;

// text with each installation's private directory (".install-" and six
// random characters) written ".install-*".
std::string Masked(std::string text)
{
    for (size_t at = text.find(".install-"); at != std::string::npos; at = text.find(".install-", at + 1))
        text.replace(at + 9, 6, "*");
    return text;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string masked = Masked(text);
    size_t start = 0;
    for (size_t end; (end = masked.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(masked.substr(start, end - start));
    return lines;
}

using board_test::SetPref;

bool Listening(uint16_t port)
{
    char entry[16];
    snprintf(entry, sizeof(entry), ":%04X ", (unsigned)port);
    return board_test::ReadText("/proc/thread-self/net/udp").find(entry) != std::string::npos;
}

bool CommandPortAnswers()
{
    board_test::TcpClient client;
    return client.Connect("127.0.0.1", kCommandPort, 0);
}

// A fresh board root with the agent, listening on any address so that the
// LAN namespace reaches it too (its sender check must then refuse).
struct AgentBoard {
    explicit AgentBoard(bool withVelmard)
        : root(withVelmard ? std::vector<std::string>{"--quorndk", board_test::ProgramPath("QuorNdk"), "--velmard", board_test::ProgramPath("velmard"),
                                                      "--velmarcmd", board_test::ProgramPath("velmarcmd")}
                           : std::vector<std::string>{"--quorndk", board_test::ProgramPath("QuorNdk")})
    {
    }
    bool Ok() { return root.Ok() && SetPref(root, "VelmarNdk_UdpIp", "0.0.0.0"); }
    std::string Arm(const std::string& file) const { return root.File("/Velmar/Upgrade/ARM/") + file; }
    bool Archive(const std::string& option, const std::string& file, const std::string& name) const
    {
        std::vector<std::string> argv = {board_test::SourcePath("sim/make-upgrade-archive")};
        if (!option.empty())
            argv.push_back(option);
        argv.push_back(Arm(file));
        argv.push_back(name);
        return board_test::RunProcess(argv).Exited(0);
    }
    // The board programs' lines an accepted archive leads to.
    std::vector<std::string> Installed(const std::string& file, const std::string& name, bool scriptRuns) const
    {
        std::vector<std::string> calls = {"tar -t -z -f " + Arm(".install-*/") + file + " " + name +
                                              "/Install_upgrade_atmel",
                                          "/etc/init.d/velmard update-stop",
                                          "tar -x -v -z -f " + Arm(".install-*/") + file + " -m -C " +
                                              Arm(".install-*")};
        if (scriptRuns)
            calls.push_back("Install_upgrade_atmel " + name);
        calls.push_back("/etc/init.d/velmard update-start");
        return calls;
    }
    std::string AgentLog() const { return root.Read("/var/Velmar/QuorNdk001.logTmp"); }
    board_test::TempBoardRoot root;
};

// "QuorNdk -d" in this namespace; killed by id at the end.
class Agent {
public:
    explicit Agent(const AgentBoard& board)
    {
        fOut = board.root.Path() + "/../quorndk.out";
        const std::string agent = board_test::ProgramPath("QuorNdk");
        fPid = fork();
        if (fPid != 0)
            return;
        int out = open(fOut.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (out < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0)
            _exit(126);
        setenv("VELMAR_ROOT", board.root.Path().c_str(), 1);
        execl(agent.c_str(), agent.c_str(), "-d", (char*)nullptr);
        _exit(127);
    }
    ~Agent()
    {
        EXPECT_EQ(std::string::npos, Output().find("Sanitizer")) << Output();
        kill(fPid, SIGKILL);
        while (waitpid(fPid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    bool Up() const { return WaitUntil([] { return Listening(kAgentPort); }, 10000); }
    std::string Output() const { return board_test::ReadText(fOut); }

private:
    std::string fOut;
    pid_t fPid = -1;
};

// A socket closed at the end of the test, also when an assertion ends it early.
struct Socket {
    explicit Socket(int descriptor) : fd(descriptor) {}
    ~Socket()
    {
        if (fd >= 0)
            close(fd);
    }
    int fd;
};

bool SendToAgent(int fd, const Bytes& bytes)
{
    return SendBytes(fd, "127.0.0.1", kAgentPort, bytes);
}

} // namespace

TEST(NdkUpgradeTest, FailuresNeverLeaveVelmardStoppedAndEveryEndingEmptiesTheArmDirectory)
{
    AgentBoard board(false);
    ASSERT_TRUE(board.Ok()) << board.root.LayoutOutput();
    Socket velmardSocket(BoundSocket("127.0.0.1", kVelmardPort));
    int velmard = velmardSocket.fd;
    Socket senderSocket(BoundSocket("127.0.0.1", 0));
    int sender = senderSocket.fd;
    ASSERT_TRUE(velmard >= 0 && sender >= 0);
    Agent agent(board);
    ASSERT_TRUE(agent.Up()) << agent.Output();

    // Every ending empties the ARM directory, so each archive is uploaded
    // once the one before has ended.
    const struct {
        const char* option;
        const char* name;
        size_t startsAfter;  // "update-start" calls once it has ended
    } kArchives[] = {{"--corrupt", "bad", 0}, {"--no-script", "ns", 0}, {"--failing", "fl", 1}, {"", "gd", 2}};
    for (const auto& archive : kArchives) {
        const std::string file = std::string(archive.name) + ".tar.gz";
        ASSERT_TRUE(board.Archive(archive.option, file, archive.name));
        if (std::string(archive.name) == "gd") {
            // A signature block, which no key here can check: cut off
            // unchecked (tar would fail on the bytes after the archive).
            std::string bytes = board_test::ReadText(board.Arm(file)) + std::string(64, '\x5a') + "VLMRSIG1";
            ASSERT_TRUE(board_test::WriteText(board.Arm(file), bytes));
        }
        ASSERT_TRUE(SendToAgent(sender, UpgradeRequest(archive.name, file)));
        // Accepted requests are answered before their installation.
        Bytes answer;
        ASSERT_TRUE(RecvBytes(velmard, &answer, kLongWaitMs)) << archive.name;
        EXPECT_EQ(UpgradeAnswer(archive.name), answer) << archive.name;
        ASSERT_TRUE(WaitUntil(
            [&] {
                return CountOf(board.root.Calls(), "update-start") == archive.startsAfter &&
                       board_test::RunProcess({"ls", "-A", board.Arm("")}).output.empty();
            },
            kLongWaitMs))
            << archive.name;
    }
    ASSERT_TRUE(WaitUntil([&] { return board.AgentLog().find("######DoARMVersionUpgrade Fail!") != std::string::npos; },
                          kLongWaitMs));

    // The archives that fail the check never stop velmard; the failing script
    // is followed by update-start.
    std::vector<std::string> expected = {
        "tar -t -z -f " + board.Arm(".install-*/bad.tar.gz") + " bad/Install_upgrade_atmel",
        "tar -t -z -f " + board.Arm(".install-*/ns.tar.gz") + " ns/Install_upgrade_atmel"};
    for (const auto& part : {board.Installed("fl.tar.gz", "fl", true), board.Installed("gd.tar.gz", "gd", true)})
        expected.insert(expected.end(), part.begin(), part.end());
    EXPECT_EQ(expected, Lines(board.root.Calls()));

    std::string log = Masked(board.AgentLog());
    EXPECT_NE(std::string::npos,
              log.find("######system <cd " + board.Arm(".install-*") + " && ./fl/Install_upgrade_atmel> error !"))
        << log;
    EXPECT_NE(std::string::npos, log.find("system <rm -fr " + board.Arm("") + "*> OK.")) << log;
    // Unverified: no upgrade key on this board; one line per archive.
    EXPECT_EQ(3u, CountOf(log, "is not verified: no upgrade key at </Velmar/etc/QuorNdk/upgrade.pub>.")) << log;
    EXPECT_EQ(1u, CountOf(log, "The archive <gd.tar.gz> is not verified: no upgrade key at "
                             "</Velmar/etc/QuorNdk/upgrade.pub>; its signature block is not checked."))
        << log;
    EXPECT_FALSE(board_test::PathExists(board.root.File("/Velmar/etc/QuorNdk/Installing")));
}

TEST(NdkUpgradeTest, HostileRequestsGetNoAnswerAndRunNothing)
{
    AgentBoard board(false);
    ASSERT_TRUE(board.Ok()) << board.root.LayoutOutput();
    ASSERT_TRUE(board.Archive("", "gd.tar.gz", "gd"));
    ASSERT_TRUE(board.Archive("", "a;reboot.tar.gz", "gd"));
    Socket velmardSocket(BoundSocket("127.0.0.1", kVelmardPort));
    int velmard = velmardSocket.fd;
    Socket senderSocket(BoundSocket("127.0.0.1", 0));
    int sender = senderSocket.fd;
    Socket lanSocket(LanSocket(kPeer1Ip, 0));
    int lan = lanSocket.fd;
    ASSERT_TRUE(velmard >= 0 && sender >= 0 && lan >= 0);
    Agent agent(board);
    ASSERT_TRUE(agent.Up()) << agent.Output();

    // From the LAN: a request that would be accepted from loopback.
    ASSERT_TRUE(SendBytes(lan, kModuleIp, kAgentPort, UpgradeRequest("gd", "gd.tar.gz")));
    Bytes runsPast = UpgradeRequest("gd", "gd.tar.gz");
    runsPast[runsPast.size() - 9 - 4 + 3] = 200;  // the file's length word
    Bytes headerPast = UpgradeRequest("gd", "gd.tar.gz");
    headerPast[2] = 0x10;  // the header's length word
    const Bytes hostile[] = {
        UpgradeRequest("gd", "a;reboot.tar.gz"), UpgradeRequest("../x", "gd.tar.gz"),
        UpgradeRequest("-rf", "gd.tar.gz"),      UpgradeRequest(std::string(600, 'a'), "gd.tar.gz"),
        UpgradeRequest("gd", "missing.tar.gz"),  UpgradeRequest("gd", "../../Velmar/etc/Velmar.xml"),
        runsPast,                                headerPast,
    };
    for (const Bytes& request : hostile)
        ASSERT_TRUE(SendToAgent(sender, request));
    // A good request last: once it is answered, every one before was handled.
    ASSERT_TRUE(SendToAgent(sender, UpgradeRequest("gd", "gd.tar.gz")));
    Bytes answer;
    ASSERT_TRUE(RecvBytes(velmard, &answer, kLongWaitMs)) << board.AgentLog() << agent.Output();
    EXPECT_EQ(UpgradeAnswer("gd"), answer);
    ASSERT_TRUE(WaitUntil([&] { return CountOf(board.root.Calls(), "update-start") == 1; }, kLongWaitMs));
    EXPECT_EQ(board.Installed("gd.tar.gz", "gd", true), Lines(board.root.Calls()));
    EXPECT_FALSE(RecvBytes(velmard, &answer, 200));
    std::string log = board.AgentLog();
    EXPECT_EQ(1u, CountOf(log, "outside this board is dropped")) << log;
    EXPECT_EQ(5u, CountOf(log, "###### Upgrade request refused")) << log;
    EXPECT_EQ(2u, CountOf(log, "###### Receive One InValid Packet")) << log;
}

// Both daemons started by their init scripts, under velmarcmd as on the board.
class InitScripts {
public:
    explicit InitScripts(const AgentBoard& board) : fBoard(board) {}
    ~InitScripts()
    {
        Run("QuorNdk", "stop");
        Run("velmard", "stop");
    }
    bool Run(const std::string& daemon, const std::string& action) const
    {
        board_test::ProcessSpec init;
        init.argv = {fBoard.root.File("/etc/init.d/" + daemon), action};
        init.setEnv = {{"VELMAR_ROOT", fBoard.root.Path()}};
        return board_test::RunProcess(init).Exited(0);
    }

private:
    const AgentBoard& fBoard;
};

TEST(NdkUpgradeTest, VelmardIsStoppedUpgradedAndAnswersItsCommandPortAgain)
{
    AgentBoard board(true);
    ASSERT_TRUE(board.Ok()) << board.root.LayoutOutput();
    ASSERT_TRUE(board.Archive("", "V3.12.tar.gz", "V3.12"));
    McuSimulator mcu;
    DisplaySimulator display;
    ASSERT_EQ(0, mcu.Start(SimEndpointOptions{board.root.File("/dev/ttyS1"), ""}));
    ASSERT_EQ(0, display.Start(SimEndpointOptions{board.root.File("/dev/ttyS2"), ""}));
    InitScripts init(board);
    ASSERT_TRUE(init.Run("velmard", "start"));
    ASSERT_TRUE(WaitUntil(CommandPortAnswers, kLongWaitMs));
    std::string firstPid = board.root.Read("/var/run/velmard.pid");
    ASSERT_TRUE(init.Run("QuorNdk", "start"));
    ASSERT_TRUE(WaitUntil([] { return Listening(kAgentPort); }, kLongWaitMs));

    Socket sender(BoundSocket("127.0.0.1", 0));
    ASSERT_TRUE(SendToAgent(sender.fd, UpgradeRequest("V3.12", "V3.12.tar.gz")));
    ASSERT_TRUE(WaitUntil([&] { return CountOf(board.root.Calls(), "update-start") == 1; }, kLongWaitMs));
    ASSERT_TRUE(WaitUntil(CommandPortAnswers, kLongWaitMs));
    EXPECT_NE(firstPid, board.root.Read("/var/run/velmard.pid"));

    std::vector<std::string> expected = {"/etc/init.d/velmard start", "/etc/init.d/QuorNdk start"};
    auto installed = board.Installed("V3.12.tar.gz", "V3.12", true);
    expected.insert(expected.end(), installed.begin(), installed.end());
    EXPECT_EQ(expected, Lines(board.root.Calls()));
    // The first velmard took the answer before it was stopped (its log is
    // written out when it stops); velmarcmd saw it end and watched the new one.
    std::string velmardLogs =
        board_test::RunProcess({"sh", "-c", "cat \"$0\"/var/Velmar/QuorVelmar*", board.root.Path()}).output;
    EXPECT_NE(std::string::npos, velmardLogs.find("@@@@@@In ProcessVersionUpgradeRsp Fun")) << velmardLogs;
    std::string supervisor = board.root.Read("/var/log/velmarcmd/velmard.log");
    EXPECT_EQ(2u, CountOf(supervisor, "starting [")) << supervisor;
    EXPECT_EQ(1u, CountOf(supervisor, "normal exiting, exit code[0]")) << supervisor;

    EXPECT_TRUE(init.Run("QuorNdk", "stop"));
    EXPECT_TRUE(init.Run("velmard", "stop"));
    for (const char* out : {"/var/log/QuorNdk.out", "/var/log/velmard.out"})
        EXPECT_EQ(std::string::npos, board.root.Read(out).find("Sanitizer")) << board.root.Read(out);
    mcu.Stop();
    display.Stop();
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    MakeNamespaces();
    return RUN_ALL_TESTS();
}
