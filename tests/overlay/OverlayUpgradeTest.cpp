// ARM upgrades on the board overlay, end to end: the real QuorNdk and
// velmard, each under velmarcmd, started and stopped by the overlay's own
// init scripts, the whole binary in a network namespace of its own. Each
// test checks one ending of an installation: velmard answers its command
// port again (a new process), the install marker and the private unpack
// directory are gone and the upgrade directories are empty. The time from
// the request to velmard answering again is printed as "figure".
// Needs root; exits 77 (skipped) where no namespace can be made.
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>

#include "DisplaySimulator.h"
#include "McuSimulator.h"
#include "NdkTestSupport.h"
#include "OverlayTestSupport.h"
#include "VelmardProcess.h"
#include "TestFiles.h"

using board_test::PathExists;
using board_test::ReadText;
using board_test::RunProcess;
using board_test::WriteText;
using test_files::CountOf;

namespace {

const uint16_t kAgentPort = 65009;   // "VelmarNdk_UdpPort"
const uint16_t kCommandPort = 23;    // the overlay's "QuorVelmar_TelnetPort"
const uint16_t kHttpPort = 80;
const int kWaitMs = 90000;           // generous: the machine may be busy
const char kMarker[] = "/Velmar/etc/QuorNdk/Installing";
const char kKey[] = "/Velmar/etc/QuorNdk/upgrade.pub";

// Install scripts the archives carry. Each leaves its working directory in
// var/run/installed-<name>; the waiting one first says it runs and waits for
// var/run/release (at most a minute).
const char kScriptDone[] = "#!/bin/sh\npwd > \"$VELMAR_ROOT/var/run/installed-$(basename \"$(dirname \"$0\")\")\"\n";
const char kScriptWaits[] =
    "#!/bin/sh\n: > \"$VELMAR_ROOT/var/run/script-running\"\ni=0\n"
    "while [ ! -e \"$VELMAR_ROOT/var/run/release\" ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done\n"
    "pwd > \"$VELMAR_ROOT/var/run/installed-$(basename \"$(dirname \"$0\")\")\"\n";
const char kScriptFails[] = "#!/bin/sh\nexit 3\n";

bool WaitFor(const std::function<bool()>& done)
{
    return board_test::WaitFor(done, kWaitMs);
}

bool CommandPortAnswers()
{
    board_test::TcpClient client;
    return client.Connect("127.0.0.1", kCommandPort, 0);
}

// One member of an archive: a file (with its mode) or a symbolic link.
struct Member {
    std::string path;
    std::string content;   // the link's target for a link
    bool link = false;
    mode_t mode = 0644;
};

class OverlayUpgradeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fOverlay.Ok()) << fOverlay.Output();
        ASSERT_TRUE(fOverlay.FirstBoot());
        // The board's serial lines: velmard does not start without its MCU.
        ASSERT_EQ(mkdir(fOverlay.File("/dev").c_str(), 0755), 0);
        ASSERT_EQ(0, fMcu.Start(SimEndpointOptions{fOverlay.File("/dev/ttyS1"), ""}));
        ASSERT_EQ(0, fDisplay.Start(SimEndpointOptions{fOverlay.File("/dev/ttyS2"), ""}));
    }
    void TearDown() override
    {
        WriteText(fOverlay.File("/var/run/release"), "");
        for (pid_t pid : overlay_test::ProcessesUnder(fOverlay.Root() + "/"))
            kill(pid, SIGKILL);
        if (HasFailure())
            fprintf(stderr, "agent log:\n%s\n", AgentLog().c_str());
        fMcu.Stop();
        fDisplay.Stop();
    }

    bool Script(const std::string& script, const std::string& action) const
    {
        board_test::ProcessSpec run;
        run.argv = {fOverlay.File("/etc/init.d/" + script), action};
        run.setEnv = {{"VELMAR_ROOT", fOverlay.Root()}};
        run.captureStderr = true;
        board_test::ProcessResult result = RunProcess(run);
        fprintf(stderr, "%s", result.output.c_str());
        return result.Exited(0);
    }
    // Both daemons up as at boot; the running velmard's id.
    pid_t StartBoard()
    {
        pid_t velmard = -1;
        bool up = Script("QuorNdk", "start") && Script("velmard", "start") &&
                  WaitFor([&] { return (velmard = Velmard()) > 0 && CommandPortAnswers(); });
        return up ? velmard : -1;
    }
    // The one running velmard, or -1.
    pid_t Velmard() const
    {
        std::vector<pid_t> pids = fOverlay.Running("velmard");
        return pids.size() == 1 ? pids[0] : -1;
    }
    pid_t Agent() const
    {
        std::vector<pid_t> pids = fOverlay.Running("QuorNdk");
        return pids.size() == 1 ? pids[0] : -1;
    }
    // Waits for a velmard other than old to answer its command port: the
    // milliseconds since start, or -1.
    long WaitForNewVelmard(pid_t old, std::chrono::steady_clock::time_point start) const
    {
        bool up = WaitFor([&] {
            pid_t now = Velmard();
            return now > 0 && now != old && CommandPortAnswers();
        });
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        return up ? static_cast<long>(ms.count()) : -1;
    }
    // An ending: a velmard other than old answers (the time since start is
    // printed as the figure of what), then the marker goes; nothing is left.
    // False when velmard did not come back.
    bool Ended(pid_t old, std::chrono::steady_clock::time_point start, const char* what) const
    {
        long ms = WaitForNewVelmard(old, start);
        if (ms < 0)
            return false;
        fprintf(stderr, "figure: %s: %ld ms from the request to velmard answering again\n", what, ms);
        EXPECT_TRUE(WaitFor([&] { return !PathExists(fOverlay.File(kMarker)); }));
        ExpectCleanEnding();
        return true;
    }

    // Writes Velmar/Upgrade/ARM/<name>.tar.gz holding the members.
    bool Archive(const std::string& name, const std::vector<Member>& members) const
    {
        std::string work = board_test::MakeTempDir("archive");
        std::vector<std::string> argv = {"tar", "-czf", ArmFile(name), "-C", work};
        bool ok = !work.empty();
        for (const Member& m : members) {
            std::string path = work + "/" + m.path;
            ok = ok && RunProcess({"mkdir", "-p", path.substr(0, path.rfind('/'))}).Exited(0);
            ok = ok && (m.link ? symlink(m.content.c_str(), path.c_str()) == 0 : WriteText(path, m.content, m.mode));
            std::string top = m.path.substr(0, m.path.find('/'));
            if (std::find(argv.begin() + 5, argv.end(), top) == argv.end())
                argv.push_back(top);
        }
        ok = ok && RunProcess(argv).Exited(0);
        board_test::RemoveTree(work);
        return ok;
    }
    bool Archive(const std::string& name, const char* script) const
    {
        return Archive(name, {{name + "/Install_upgrade_atmel", script, false, 0755}});
    }
    std::string ArmFile(const std::string& name) const
    {
        return fOverlay.File("/Velmar/Upgrade/ARM/" + name + ".tar.gz");
    }
    // The 0x1801 request velmard sends for the archive <name>.tar.gz.
    bool Request(const std::string& name) const
    {
        ndk_test::Bytes bytes = ndk_test::UpgradeRequest(name, name + ".tar.gz");
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kAgentPort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool sent = fd >= 0 && sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                                      sizeof(to)) == static_cast<ssize_t>(bytes.size());
        if (fd >= 0)
            close(fd);
        return sent;
    }
    bool Installed(const std::string& name) const { return PathExists(fOverlay.File("/var/run/installed-" + name)); }
    bool Empty(const std::string& boardDir) const
    {
        return RunProcess({"ls", "-A", fOverlay.File(boardDir)}).output.empty();
    }
    // What every ending leaves: no marker, nothing in the upgrade directories.
    void ExpectCleanEnding() const
    {
        EXPECT_FALSE(PathExists(fOverlay.File(kMarker)));
        EXPECT_TRUE(Empty("/Velmar/Upgrade/ARM")) << RunProcess({"ls", "-A", fOverlay.File("/Velmar/Upgrade/ARM")}).output;
        EXPECT_TRUE(Empty("/Velmar/Upgrade/MCU"));
    }
    // Every run of the agent begins a new file of its log ring.
    std::string AgentLog() const
    {
        return RunProcess({"sh", "-c", "cat \"$0\"/var/Velmar/QuorNdk*", fOverlay.Root()}).output;
    }
    size_t VelmardStarts() const { return CountOf(fOverlay.Read("/var/log/velmarcmd/velmard.log"), "starting ["); }

    // Makes a key pair with velmar-sign (the public key in the board's key
    // place when install) and returns the secret key's file.
    std::string MakeKeys(bool install) const
    {
        std::string dir = fOverlay.Root() + "/../keys";
        mkdir(dir.c_str(), 0700);
        if (!RunProcess({board_test::ProgramPath("velmar-sign"), "keygen", dir + "/secret", dir + "/public"}).Exited(0))
            return "";
        if (install && !WriteText(fOverlay.File(kKey), ReadText(dir + "/public")))
            return "";
        return dir + "/secret";
    }
    bool Sign(const std::string& secret, const std::string& name) const
    {
        return RunProcess({board_test::ProgramPath("velmar-sign"), "sign", secret, ArmFile(name)}).Exited(0);
    }

    overlay_test::TempOverlay fOverlay;
    McuSimulator fMcu;
    DisplaySimulator fDisplay;
};

// (a) A velmard that ignores its stop signal: "update-stop" kills it after
// 10 s and fails; the agent skips the installation and starts velmard.
TEST_F(OverlayUpgradeTest, AVelmardThatIgnoresItsStopIsStartedAgain)
{
    ASSERT_EQ(unlink(fOverlay.File("/usr/bin/velmard").c_str()), 0);
    ASSERT_TRUE(RunProcess({"cp", board_test::ProgramPath("stubborn_velmard"), fOverlay.File("/usr/bin/velmard")}).Exited(0));
    pid_t old = StartBoard();
    ASSERT_GT(old, 0);
    ASSERT_TRUE(Archive("V4", kScriptDone));

    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Request("V4"));
    ASSERT_TRUE(Ended(old, start, "(a) velmard ignores its stop"));
    EXPECT_FALSE(Installed("V4"));
    const std::string log = AgentLog();
    EXPECT_NE(log.find("######system </etc/init.d/velmard update-stop> error!"), std::string::npos);
    EXPECT_NE(log.find("system </etc/init.d/velmard update-start> OK."), std::string::npos);
}

// (b) The agent killed while the install script runs: velmard stays stopped
// until the agent is started again as at boot, which cleans up and starts it.
TEST_F(OverlayUpgradeTest, AnAgentKilledDuringTheInstallRecoversAtItsNextStart)
{
    pid_t old = StartBoard();
    ASSERT_GT(old, 0);
    ASSERT_TRUE(Archive("V5", kScriptWaits));
    ASSERT_TRUE(Request("V5"));
    ASSERT_TRUE(WaitFor([&] { return PathExists(fOverlay.File("/var/run/script-running")); }));
    EXPECT_TRUE(PathExists(fOverlay.File(kMarker)));
    EXPECT_EQ(Velmard(), -1);
    pid_t agent = Agent();
    ASSERT_GT(agent, 0);
    ASSERT_EQ(kill(agent, SIGKILL), 0);
    ASSERT_TRUE(WaitFor([&] { return overlay_test::ProcessesUnder(fOverlay.File("/usr/bin/velmarcmd")).empty(); }));

    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Script("QuorNdk", "start"));
    ASSERT_TRUE(Ended(old, start, "(b) agent killed, started again"));
    EXPECT_NE(AgentLog().find("An installation was under way when the agent ended <archive <V5.tar.gz> version <V5>"),
              std::string::npos);
    EXPECT_GT(Agent(), 0);
}

// (c) A stop request during an installation waits for it: the script ends,
// velmard answers, then the agent ends.
TEST_F(OverlayUpgradeTest, AStopRequestDuringTheInstallWaitsForItsEnd)
{
    pid_t old = StartBoard();
    ASSERT_GT(old, 0);
    ASSERT_TRUE(Archive("V6", kScriptWaits));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Request("V6"));
    ASSERT_TRUE(WaitFor([&] { return PathExists(fOverlay.File("/var/run/script-running")); }));
    pid_t agent = Agent();
    ASSERT_GT(agent, 0);
    ASSERT_EQ(kill(agent, SIGUSR1), 0);
    ASSERT_TRUE(WaitFor([&] { return AgentLog().find("Stop requested during an upgrade") != std::string::npos; }));
    EXPECT_EQ(Agent(), agent);
    ASSERT_TRUE(WriteText(fOverlay.File("/var/run/release"), ""));

    ASSERT_TRUE(Ended(old, start, "(c) stop request held (includes the script's wait)"));
    ASSERT_TRUE(WaitFor([&] { return Agent() == -1; }));
    EXPECT_GT(Velmard(), 0);
    EXPECT_TRUE(Installed("V6"));
    ExpectCleanEnding();
}

// (d) Archive 1 leaves a link out of the tree and fails; archive 2 has a
// member through a path of the same name: each unpacks into a directory of
// its own, nothing is written outside.
TEST_F(OverlayUpgradeTest, ALinkOfAFailedArchiveIsNeverFollowedByTheNext)
{
    const std::string outside = board_test::MakeTempDir("outside");
    ASSERT_FALSE(outside.empty());
    pid_t old = StartBoard();
    ASSERT_GT(old, 0);

    ASSERT_TRUE(Archive("V7", {{"V7/Install_upgrade_atmel", kScriptFails, false, 0755}, {"lnk", outside, true}}));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Request("V7"));
    ASSERT_TRUE(Ended(old, start, "(d) archive 1, failing script"));

    old = Velmard();
    ASSERT_TRUE(Archive("V8", {{"V8/Install_upgrade_atmel", kScriptDone, false, 0755}, {"lnk/x", "escaped"}}));
    start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Request("V8"));
    ASSERT_TRUE(Ended(old, start, "(d) archive 2, installed"));
    EXPECT_TRUE(Installed("V8"));
    // The script ran in the private directory beside the archive.
    EXPECT_EQ(ReadText(fOverlay.File("/var/run/installed-V8")).rfind(fOverlay.File("/Velmar/Upgrade/ARM/.install-"), 0),
              0u);
    EXPECT_TRUE(RunProcess({"ls", "-A", outside}).output.empty());
    board_test::RemoveTree(outside);
}

// (e) With a key installed: archives without a valid signature are refused
// before velmard is touched; a signed one installs.
TEST_F(OverlayUpgradeTest, WithAKeyOnlySignedArchivesAreInstalled)
{
    const std::string secret = MakeKeys(true);
    ASSERT_FALSE(secret.empty());
    const std::string other = fOverlay.Root() + "/../other-secret";
    ASSERT_TRUE(RunProcess({board_test::ProgramPath("velmar-sign"), "keygen", other, other + ".pub"}).Exited(0));
    pid_t old = StartBoard();
    ASSERT_GT(old, 0);

    const struct {
        const char* name;
        std::function<bool(const std::string& file)> spoil;  // after signing
        const char* sign;                                     // "": unsigned
        const char* why;
    } kRefused[] = {
        {"R1", nullptr, "", "it carries no signature"},
        {"R2", [](const std::string& f) { return RunProcess({"sh", "-c", "printf X | dd of=\"$0\" bs=1 seek=40 conv=notrunc", f}).Exited(0); }, "own", "its signature is not valid"},
        {"R3", nullptr, "other", "its signature is not valid"},
    };
    for (size_t i = 0; i < sizeof(kRefused) / sizeof(kRefused[0]); ++i) {
        const auto& c = kRefused[i];
        ASSERT_TRUE(Archive(c.name, kScriptDone)) << c.name;
        if (std::string(c.sign) == "own") {
            ASSERT_TRUE(Sign(secret, c.name));
        } else if (std::string(c.sign) == "other") {
            ASSERT_TRUE(Sign(other, c.name));
        }
        if (c.spoil) {
            ASSERT_TRUE(c.spoil(ArmFile(c.name))) << c.name;
        }
        ASSERT_TRUE(Request(c.name));
        ASSERT_TRUE(WaitFor([&] { return CountOf(AgentLog(), "is refused: ") == i + 1 && Empty("/Velmar/Upgrade/ARM"); }))
            << c.name;
        const std::string log = AgentLog();
        EXPECT_NE(log.find(std::string("The archive <") + c.name + ".tar.gz> is refused: " + c.why), std::string::npos)
            << c.name;
        EXPECT_EQ(Velmard(), old) << c.name;
        EXPECT_FALSE(Installed(c.name)) << c.name;
    }
    EXPECT_EQ(CountOf(AgentLog(), "update-stop"), 0u);
    EXPECT_EQ(VelmardStarts(), 1u);

    ASSERT_TRUE(Archive("S1", kScriptDone));
    ASSERT_TRUE(Sign(secret, "S1"));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Request("S1"));
    ASSERT_TRUE(Ended(old, start, "(e) signed archive installed"));
    EXPECT_TRUE(Installed("S1"));
    EXPECT_NE(AgentLog().find("The archive <S1.tar.gz> is signed with the upgrade key"), std::string::npos);
}

// The reply status of one HTTP request to velmard's web server (0: none).
int Http(const std::string& method, const std::string& uri, const std::string& type, const std::string& body)
{
    board_test::TcpClient client;
    if (!client.Connect("127.0.0.1", kHttpPort, kWaitMs))
        return 0;
    std::string request = method + " " + uri + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: " +
                          type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    if (!client.Send(request))
        return 0;
    std::string reply = client.ReadUntil("\r\n\r\n", kWaitMs);
    return reply.compare(0, 9, "HTTP/1.1 ") == 0 ? atoi(reply.c_str() + 9) : 0;
}

// (f) The whole path from the web: a signed archive uploaded through the
// upload URI, "update" ARM, the agent installs, a new velmard answers.
TEST_F(OverlayUpgradeTest, ASignedArchiveUploadedFromTheWebIsInstalled)
{
    const std::string secret = MakeKeys(true);
    ASSERT_FALSE(secret.empty());
    pid_t old = StartBoard();
    ASSERT_GT(old, 0);
    ASSERT_TRUE(Archive("W1", kScriptDone));
    ASSERT_TRUE(Sign(secret, "W1"));
    const std::string archive = ReadText(ArmFile("W1"));
    ASSERT_EQ(unlink(ArmFile("W1").c_str()), 0);

    const char kBoundary[] = "----velmarUpgradeBoundary";
    const std::string body = std::string("--") + kBoundary +
                             "\r\nContent-Disposition: form-data; name=\"ARM\"; filename=\"W1.tar.gz\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n" +
                             archive + "\r\n--" + kBoundary + "--\r\n";
    ASSERT_EQ(Http("POST", "/upload/upgradesoftware", std::string("multipart/form-data; boundary=") + kBoundary, body),
              200);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Http("POST", "/action", "application/x-www-form-urlencoded",
                   "cmdtype=systemconfig&cmdstr=update&cmdparameter=ARM"),
              200);
    ASSERT_TRUE(Ended(old, start, "(f) from the web"));
    EXPECT_TRUE(Installed("W1"));
    EXPECT_NE(AgentLog().find("The archive <W1.tar.gz> is signed with the upgrade key"), std::string::npos);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    board_test::RequireNetns();
    // The whole binary, and every process it starts, in a namespace of its
    // own: the daemons' fixed ports meet nobody else's.
    board_test::LeaveForFreshNetns("test");
    return RUN_ALL_TESTS();
}
