// The MCU simulator over its pseudo-terminal, driven by a client that works
// the line the way the daemon does.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "McuSimulator.h"
#include "SimTestSupport.h"

namespace {

class McuSimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.Path().empty());
        link = dir / "dev/ttyS1";
        log = dir / "var/log/mcusim-traffic.log";
        ASSERT_EQ(0, mkdir((dir / "var").c_str(), 0755));
        ASSERT_EQ(0, mkdir((dir / "var/log").c_str(), 0755));
        SimEndpointOptions options;
        options.linkPath = link;
        options.trafficLogPath = log;
        ASSERT_EQ(0, sim.Start(options));
        ASSERT_TRUE(client.Open(link));
    }

    // Sends each line and expects no byte back within quietMs.
    void ExpectNoAnswer(const std::vector<std::string>& lines, int quietMs = 300)
    {
        for (const std::string& line : lines)
            ASSERT_TRUE(client.WriteLine(line));
        EXPECT_EQ("", client.ReadUntilQuiet(quietMs)) << "answered one of the lines";
    }

    // Reads one whole line and expects the simulator to have written it in
    // these pieces, each at least gapMs after the one before. The gaps are
    // the simulator's own records: a reader that comes late finds several
    // pieces at once.
    void ExpectLineInPieces(const std::vector<std::string>& pieces, int gapMs)
    {
        std::string line, whole;
        for (const std::string& piece : pieces)
            whole += piece;
        ASSERT_TRUE(client.ReadRawLine(&line, 2000));
        EXPECT_EQ(whole, line);
        ASSERT_TRUE(sim.WaitSent(2000));
        std::vector<SimWrite> writes = sim.Writes();
        ASSERT_GE(writes.size(), pieces.size());
        const size_t first = writes.size() - pieces.size();
        for (size_t i = 0; i < pieces.size(); ++i) {
            EXPECT_EQ(pieces[i], writes[first + i].bytes);
            if (i > 0) {
                EXPECT_GE(writes[first + i].atMs - writes[first + i - 1].atMs, gapMs) << pieces[i];
            }
        }
    }

    ScratchDir dir;
    std::string link;
    std::string log;
    McuSimulator sim;
    SerialClient client;
};

struct Exchange {
    const char* query;
    const char* answer;
};

// Every query of the start flow, in the order the daemon sends them.
const Exchange kStartFlow[] = {
    {"GET ORDER", "ORDER 1"},
    {"GET SUBGROUP", "SUBGROUP self off"},
    {"GET RING_MARKER", "RING_MARKER off"},
    {"GET SHOWME", "SHOWME off"},
    {"GET MP all", "MP hdmi all"},
    {"GET EDID all", "EDID all 1080P"},
    {"GET HDCPSUPPORT_ONOFF hdmi", "HDCPSUPPORT_ONOFF hdmi ON"},
    {"GET HDCPSUPPORT_ONOFF dp", "HDCPSUPPORT_ONOFF dp ON"},
    {"GET VER", "VER hdmi 1.0.2"},
    {"GET CECAUTO_ONOFF hdmi", "CECAUTO_ONOFF hdmi ON"},
    {"GET CECAUTO_DELAY hdmi", "CECAUTO_DELAY hdmi 5"},
    {"GET LEDFLICKER", "LEDFLICKER off"},
    {"GET AUTOSW_ONOFF", "AUTOSW_ONOFF on"},
    {"GET UARTAUTO_ONOFF hdmi", "uartauto_onoff hdmi on"},
    {"GET UARTPWR_DELAY hdmi", "uartpwr_delay hdmi 3"},
    {"GET SEQ c7 42", "SEQ c7 42"},
};

TEST_F(McuSimTest, StartFlowIdentityIsStoredAndQueriesAreAnsweredWithExactTexts)
{
    ExpectNoAnswer({"SET SDXBIP 192.168.2.100", "set sdxmask 255.255.255.0",
                    "set sdxgateway 192.168.2.1", "set sdxmacaddr 4A:5B"});
    McuSimState state = sim.State();
    EXPECT_EQ("192.168.2.100", state.ip);
    EXPECT_EQ("255.255.255.0", state.netmask);
    EXPECT_EQ("192.168.2.1", state.gateway);
    EXPECT_EQ("4A:5B", state.macTail);

    size_t writesBefore = sim.Writes().size();
    for (const Exchange& step : kStartFlow) {
        ASSERT_TRUE(client.WriteLine(step.query));
        std::string answer;
        ASSERT_TRUE(client.ReadRawLine(&answer, 2000)) << step.query;
        EXPECT_EQ(std::string(step.answer) + "\r\n", answer) << step.query;
        // Each answer leaves in one write: one burst for the daemon.
        std::vector<SimWrite> writes = sim.Writes();
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(answer, writes.back().bytes);
    }
    EXPECT_EQ(writesBefore + sizeof kStartFlow / sizeof kStartFlow[0], sim.Writes().size());
    EXPECT_EQ("", client.ReadUntilQuiet(100));

    std::vector<std::string> received = sim.ReceivedLines();
    ASSERT_EQ(4 + sizeof kStartFlow / sizeof kStartFlow[0], received.size());
    EXPECT_EQ("SET SDXBIP 192.168.2.100", received[0]);
    EXPECT_EQ("set sdxmacaddr 4A:5B", received[3]);
    for (size_t i = 0; i < sizeof kStartFlow / sizeof kStartFlow[0]; ++i)
        EXPECT_EQ(kStartFlow[i].query, received[4 + i]);
}

TEST_F(McuSimTest, IdentityLinesAreEchoedOnlyOnRequest)
{
    sim.SetEchoIdentity(true);
    EXPECT_EQ("SDXBIP 10.0.0.9\r\n", client.Ask("SET SDXBIP 10.0.0.9"));
    EXPECT_EQ("SDXMASK 255.0.0.0\r\n", client.Ask("set sdxmask 255.0.0.0"));
    EXPECT_EQ("SDXGATEWAY 10.0.0.1\r\n", client.Ask("set sdxgateway 10.0.0.1"));
    EXPECT_EQ("SDXMACADDR 4A:5B\r\n", client.Ask("set sdxmacaddr 4A:5B"));
    sim.SetEchoIdentity(false);
    ExpectNoAnswer({"set sdxgateway 10.0.0.2"});
    EXPECT_EQ("10.0.0.2", sim.State().gateway);
}

TEST_F(McuSimTest, SetLinesChangeTheStateAndAreAnsweredWithTheNewValue)
{
    const Exchange kExchanges[] = {
        {"SET SUBGROUP self on", "SUBGROUP self on"},
        {"GET SUBGROUP", "SUBGROUP self on"},
        {"set ledflicker on", "LEDFLICKER on"},
        {"GET LEDFLICKER", "LEDFLICKER on"},
        {"SET HDCPSUPPORT_ONOFF dp OFF", "HDCPSUPPORT_ONOFF dp OFF"},
        {"GET HDCPSUPPORT_ONOFF dp", "HDCPSUPPORT_ONOFF dp OFF"},
        {"GET HDCPSUPPORT_ONOFF hdmi", "HDCPSUPPORT_ONOFF hdmi ON"},
        {"SET CECAUTO_ONOFF hdmi OFF", "CECAUTO_ONOFF hdmi OFF"},
        {"SET CECAUTO_DELAY hdmi 9", "CECAUTO_DELAY hdmi 9"},
        {"SET CECPWR_ONOFF hdmi OFF", "CECPWR_ONOFF hdmi OFF"},
        {"SET UARTAUTO_ONOFF hdmi OFF", "uartauto_onoff hdmi OFF"},
        {"SET UARTPWR_DELAY hdmi 7", "uartpwr_delay hdmi 7"},
        {"GET UARTPWR_DELAY hdmi", "uartpwr_delay hdmi 7"},
        {"SET SW dp all", "SW dp all"},
        {"GET MP all", "MP dp all"},
        {"SET AUTOSW_ONOFF off", "AUTOSW_ONOFF off"},
        {"SET SHOWME on", "SHOWME on"},
        {"SET RING_MARKER on", "RING_MARKER on"},
        {"SET EDID hdmi 4K", "EDID hdmi 4K"},
        {"GET EDID all", "EDID all 4K"},
        {"SET ORDER", "ORDER 1"}, // no value: the current one
        {"set order 6", "ORDER 6"},
        {"get order", "ORDER 6"},
        {"RESET", "RESET"},
    };
    for (const Exchange& step : kExchanges)
        EXPECT_EQ(std::string(step.answer) + "\r\n", client.Ask(step.query)) << step.query;
    McuSimState state = sim.State();
    EXPECT_EQ("on", state.subgroup);
    EXPECT_EQ("OFF", state.hdcpDp);
    EXPECT_EQ("ON", state.hdcpHdmi);
    EXPECT_EQ("dp", state.videoInput);
    EXPECT_EQ("6", state.order);
}

TEST_F(McuSimTest, LinesWithoutAnAnswerAreRecordedButNotAnswered)
{
    const std::vector<std::string> lines = {
        "SET VER hdmi 9.9",          // the version is not settable
        "GET FOO",                   // unknown keyword
        "SET FOO 1",
        "GET HDCPSUPPORT_ONOFF",     // no port
        "GET HDCPSUPPORT_ONOFF vga", // unknown port
        "SET EDID_W hdmi 00 FF",     // written EDID: no answer
        "REBOOT",
        "GETORDER",
        "",
    };
    ExpectNoAnswer(lines);
    EXPECT_EQ(lines, sim.ReceivedLines());
    EXPECT_EQ("1.0.2", sim.State().version);
    EXPECT_EQ("VER hdmi 1.0.2\r\n", client.Ask("GET VER"));
}

TEST_F(McuSimTest, LearnedEdidIsReportedAsHexadecimalBytes)
{
    std::string answer = client.Ask("GET EDID_R hdmi");
    const std::string prefix = "EDID_R hdmi ";
    ASSERT_EQ(prefix, answer.substr(0, prefix.size()));
    ASSERT_EQ("\r\n", answer.substr(answer.size() - 2));
    std::string hex = answer.substr(prefix.size(), answer.size() - prefix.size() - 2);
    ASSERT_EQ(128u * 3 - 1, hex.size());
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 3) {
        if (i + 2 < hex.size()) {
            ASSERT_EQ(' ', hex[i + 2]);
        }
        bytes += static_cast<char>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    }
    EXPECT_EQ(sim.State().edid, bytes);
    EXPECT_EQ(std::string("\x00\xFF\xFF\xFF\xFF\xFF\xFF\x00", 8), bytes.substr(0, 8));
    unsigned sum = 0;
    for (unsigned char c : bytes)
        sum += c;
    EXPECT_EQ(0u, sum % 256) << "EDID checksum";

    sim.UpdateState([](McuSimState& s) { s.edid = std::string("\x00\x01\x1f", 3); });
    EXPECT_EQ("EDID_R dp 00 01 1F\r\n", client.Ask("GET EDID_R dp"));
}

TEST_F(McuSimTest, InjectedLinesBurstsAndGarbageArriveByteExact)
{
    sim.Inject("ORDER 5");
    EXPECT_EQ("ORDER 5\r\n", client.ReadUntilQuiet(100));

    sim.Send("VER 1.0\r\nORDER 3\r\n");
    ASSERT_TRUE(sim.WaitSent(1000));
    EXPECT_EQ("VER 1.0\r\nORDER 3\r\n", sim.Writes().back().bytes) << "one write, one burst";
    EXPECT_EQ("VER 1.0\r\nORDER 3\r\n", client.ReadUntilQuiet(100));

    std::string garbage = SimEndpoint::Garbage(300, 7);
    ASSERT_EQ(300u, garbage.size());
    EXPECT_EQ(std::string::npos, garbage.find_first_of("\r\n"));
    EXPECT_EQ(garbage, SimEndpoint::Garbage(300, 7));
    EXPECT_NE(garbage, SimEndpoint::Garbage(300, 8));
    sim.Send(garbage);
    sim.Send(std::string("\0\x01\xff\r\n", 5));
    EXPECT_EQ(garbage + std::string("\0\x01\xff\r\n", 5), client.ReadUntilQuiet(100));
}

TEST_F(McuSimTest, SilentMcuRecordsLinesAndAnswersNothing)
{
    sim.SetSilent(true);
    ExpectNoAnswer({"GET ORDER", "GET ORDER"});
    std::string line;
    ASSERT_TRUE(sim.ReadLine(&line, 100));
    EXPECT_EQ("GET ORDER", line);
    ASSERT_TRUE(sim.ReadLine(&line, 100));
    EXPECT_EQ("GET ORDER", line);
    // Injection still works while silent.
    sim.Inject("SHOWME 1");
    EXPECT_EQ("SHOWME 1\r\n", client.ReadUntilQuiet(100));
    sim.SetSilent(false);
    EXPECT_EQ("ORDER 1\r\n", client.Ask("GET ORDER"));
}

TEST_F(McuSimTest, SplitAnswersLeaveInTwoWritesAtLeastTheGapApart)
{
    sim.SetReplySplit(3, 100);
    ASSERT_TRUE(client.WriteLine("GET VER"));
    ExpectLineInPieces({"VER", " hdmi 1.0.2\r\n"}, 100);
    EXPECT_EQ(2u, sim.Writes().size());

    sim.SetReplySplit(0, 0);
    EXPECT_EQ("ORDER 1\r\n", client.Ask("GET ORDER"));

    sim.SendPieces({"SHO", "WME 1\r\n"}, 100);
    ExpectLineInPieces({"SHO", "WME 1\r\n"}, 100);
}

TEST_F(McuSimTest, DelayedAnswersComeNoEarlierThanTheDelay)
{
    sim.SetReplyDelay(200);
    int64_t start = TestNowMs();
    EXPECT_EQ("ORDER 1\r\n", client.Ask("GET ORDER"));
    EXPECT_GE(TestNowMs() - start, 190);
    sim.SetReplyDelay(0);
    // Something queued later waits for what was queued before it.
    sim.Inject("A 1", 150);
    sim.Inject("B 2");
    EXPECT_EQ("A 1\r\nB 2\r\n", client.ReadUntilQuiet(300));
}

TEST_F(McuSimTest, FixedRepliesOverrideOrSuppressAnswers)
{
    sim.SetReply("GET UARTAUTO_ONOFF hdmi", {});
    sim.SetReply(" get ver ", {"VER hdmi 2.0", "EXTRA 1"});
    ExpectNoAnswer({"GET UARTAUTO_ONOFF hdmi"});
    ASSERT_TRUE(client.WriteLine("GET VER"));
    EXPECT_EQ("VER hdmi 2.0\r\nEXTRA 1\r\n", client.ReadUntilQuiet(100));
    EXPECT_EQ("VER hdmi 2.0\r\nEXTRA 1\r\n", sim.Writes().back().bytes);
    sim.ClearReplies();
    EXPECT_EQ("uartauto_onoff hdmi on\r\n", client.Ask("GET UARTAUTO_ONOFF hdmi"));
}

TEST_F(McuSimTest, ReadLineKeepsOrderAndTimesOut)
{
    std::string line;
    int64_t start = TestNowMs();
    EXPECT_FALSE(sim.ReadLine(&line, 100));
    EXPECT_GE(TestNowMs() - start, 90);

    sim.SetSilent(true);
    ASSERT_TRUE(client.Write("A\r\nB\r"));
    ASSERT_TRUE(client.Write("\nC"));
    SleepMs(30);
    ASSERT_TRUE(client.Write("\r\n\r\nD 1\r\n"));
    for (const char* expected : {"A", "B", "C", "", "D 1"}) {
        ASSERT_TRUE(sim.ReadLine(&line, 1000));
        EXPECT_EQ(expected, line);
    }
    EXPECT_EQ("A\r\nB\r\nC\r\n\r\nD 1\r\n", sim.ReceivedBytes());
    EXPECT_EQ(16u, sim.ReceivedByteCount());

    ASSERT_TRUE(client.Write("X\r\nY\r\nZ\r\n"));
    EXPECT_TRUE(sim.WaitForLine("Z", 1000));
    EXPECT_FALSE(sim.ReadLine(&line, 50)) << "WaitForLine takes the lines before its match";

    sim.ClearRecords();
    EXPECT_TRUE(sim.ReceivedLines().empty());
    EXPECT_EQ(0u, sim.ReceivedByteCount());
}

TEST_F(McuSimTest, FollowerStaysOpenWhileTheClientClosesAndReopens)
{
    ASSERT_TRUE(client.Apply(B57600, CSTOPB));
    client.Close();
    // Written while no client has the line open: held by the terminal.
    sim.Inject("ORDER 7");
    sim.Send(std::string("\x3E", 1));
    ASSERT_TRUE(sim.WaitSent(1000));
    SleepMs(50);
    ASSERT_TRUE(client.Open(link, false));
    EXPECT_EQ("ORDER 7\r\n>", client.ReadUntilQuiet(100));
    struct termios attributes;
    ASSERT_EQ(0, tcgetattr(client.Fd(), &attributes));
    EXPECT_EQ(B57600, cfgetospeed(&attributes)) << "settings survive the close";
    EXPECT_TRUE(attributes.c_cflag & CSTOPB);
    EXPECT_EQ("ORDER 1\r\n", client.Ask("GET ORDER"));
    for (int round = 0; round < 3; ++round) {
        client.Close();
        ASSERT_TRUE(client.Open(link, false));
    }
    EXPECT_EQ("SHOWME off\r\n", client.Ask("GET SHOWME"));
    EXPECT_EQ(std::string::npos, test_files::ReadText(log).find("write failed"));
}

TEST_F(McuSimTest, TrafficLogHasEveryLineInBothDirections)
{
    EXPECT_EQ("ORDER 1\r\n", client.Ask("GET ORDER"));
    sim.SendPieces({"SHO", "WME 1\r\n"}, 20);
    EXPECT_EQ("SHOWME 1\r\n", client.ReadUntilQuiet(150));
    ASSERT_TRUE(client.Write(std::string("BIN\x01\r\n", 6)));
    ASSERT_TRUE(client.Write("HALF"));
    // A rest without CR LF is logged once the line has been quiet a while.
    std::string text = WaitForFileText(log, " daemon->mcu HALF [no CR LF]\n");
    size_t asked = text.find(" daemon->mcu GET ORDER\n");
    size_t answered = text.find(" mcu->daemon ORDER 1\n");
    ASSERT_NE(std::string::npos, asked) << text;
    ASSERT_NE(std::string::npos, answered) << text;
    EXPECT_LT(asked, answered);
    EXPECT_NE(std::string::npos, text.find(" mcu->daemon SHO [no CR LF]\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" mcu->daemon WME 1\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" daemon->mcu BIN\\x01\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" daemon->mcu HALF [no CR LF]\n")) << text;
    EXPECT_NE(std::string::npos, text.find(" # line settings 57600 8N1\n")) << text;
}

TEST(McuSimLinkTest, LinkIsMadeReplacedRefusedAndRemoved)
{
    ScratchDir dir;
    std::string link = dir / "a/b/ttyS1";
    SimEndpointOptions options;
    options.linkPath = link;
    {
        McuSimulator sim;
        ASSERT_EQ(0, sim.Start(options)) << "missing parents are made";
        EXPECT_EQ(-EBUSY, sim.Start(options));
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(sim.FollowerName(), target);
        sim.Stop();
        struct stat st;
        EXPECT_NE(0, lstat(link.c_str(), &st)) << "link removed";
        sim.Stop();
    }
    ASSERT_EQ(0, symlink("/dev/null", link.c_str()));
    {
        McuSimulator sim;
        ASSERT_EQ(0, sim.Start(options)) << "a stale link is replaced";
        SerialClient client;
        ASSERT_TRUE(client.Open(link));
        EXPECT_EQ("ORDER 1\r\n", client.Ask("GET ORDER"));
    }
    ASSERT_EQ(0, mkdir(link.c_str(), 0755));
    McuSimulator sim;
    EXPECT_EQ(-EEXIST, sim.Start(options)) << "anything but a link is left alone";
    struct stat st;
    ASSERT_EQ(0, lstat(link.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(sim.Running());
    options.linkPath = dir / "other/ttyS1";
    EXPECT_EQ(0, sim.Start(options)) << "a failed start leaves the simulator startable";
}

TEST_F(McuSimTest, ControlCommandsDriveTheSimulator)
{
    EXPECT_EQ("", sim.Control("ORDER 9\n"));
    EXPECT_EQ("ORDER 9\r\n", client.ReadUntilQuiet(100));
    EXPECT_EQ("", sim.Control("!send A\\r\\n\\0\\xff"));
    EXPECT_EQ(std::string("A\r\n\0\xff", 5), client.ReadUntilQuiet(100));
    EXPECT_EQ("", sim.Control("!raw 02 00 0x03"));
    EXPECT_EQ(std::string("\x02\x00\x03", 3), client.ReadUntilQuiet(100));
    EXPECT_EQ("", sim.Control("!garbage 40"));
    EXPECT_EQ(40u, client.ReadUntilQuiet(100).size());
    EXPECT_EQ("", sim.Control("!pieces 100 AB|C\\r\\n"));
    ExpectLineInPieces({"AB", "C\r\n"}, 100);

    EXPECT_EQ("", sim.Control("!set ORDER 4"));
    EXPECT_EQ("", sim.Control("!set VER hdmi 2.1"));
    EXPECT_EQ("", sim.Control("!set HDCPSUPPORT_ONOFF dp OFF"));
    EXPECT_EQ("", sim.Control("!set SW dp all"));
    EXPECT_EQ("", client.ReadUntilQuiet(150)) << "!set answers nothing";
    McuSimState state = sim.State();
    EXPECT_EQ("4", state.order);
    EXPECT_EQ("2.1", state.version);
    EXPECT_EQ("OFF", state.hdcpDp);
    EXPECT_EQ("dp", state.videoInput);

    EXPECT_EQ("", sim.Control("!reply GET ORDER => ORDER 8 || NOTE x"));
    ASSERT_TRUE(client.WriteLine("GET ORDER"));
    EXPECT_EQ("ORDER 8\r\nNOTE x\r\n", client.ReadUntilQuiet(100));
    EXPECT_EQ("", sim.Control("!reply GET SHOWME =>"));
    ExpectNoAnswer({"GET SHOWME"}, 150);
    EXPECT_EQ("", sim.Control("!clear-replies"));
    EXPECT_EQ("ORDER 4\r\n", client.Ask("GET ORDER"));

    EXPECT_EQ("", sim.Control("!echo-identity on"));
    EXPECT_EQ("SDXBIP 1.2.3.4\r\n", client.Ask("SET SDXBIP 1.2.3.4"));
    EXPECT_EQ("", sim.Control("!silent on"));
    EXPECT_TRUE(sim.Silent());
    EXPECT_EQ("", sim.Control("!silent off"));
    EXPECT_EQ("", sim.Control("!split 2 10"));
    EXPECT_EQ("", sim.Control("!delay 0"));
    EXPECT_EQ("", sim.Control("!state"));
    EXPECT_EQ("", sim.Control("!help"));
    EXPECT_EQ("", sim.Control("# a remark"));
    EXPECT_EQ("", sim.Control(""));

    for (const char* bad : {"!bogus", "!raw zz", "!raw", "!send \\q", "!send \\x4", "!delay x",
                            "!silent maybe", "!split 3", "!garbage 0", "!pieces x A",
                            "!reply GET ORDER", "!reply => X", "!set NOSUCH 1", "!set ORDER",
                            "!echo-identity"})
        EXPECT_NE("", sim.Control(bad)) << bad;
    std::string text = test_files::ReadText(log);
    size_t stateAt = text.find(" # control !state\n");
    ASSERT_NE(std::string::npos, stateAt) << text;
    EXPECT_NE(std::string::npos, text.find(" # ORDER 4\n", stateAt)) << text;
    EXPECT_NE(std::string::npos, text.find(" # !silent on|off")) << text;
}

} // namespace
