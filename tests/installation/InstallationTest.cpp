// An installation of twenty endpoints on one simulated LAN: velmard processes,
// each in a network namespace of its own with its board root and the
// simulated MCU and display (sim/netlan, tests/include/GroupLanSupport.h).
// One endpoint's search finds every other one and loses no answer, also
// when a storm of answers outruns its management task; group settings
// started on one endpoint reach all the others; velmar-find lists all of
// them; GET /metrics parses and its counters move with the traffic. Needs
// root; exits 77 (skipped) where the namespaces cannot be made.
#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "GroupLanSupport.h"
#include "ProtocolTestUtil.h"
#include "WebClient.h"
#include "TestFiles.h"

using group_test::GroupLan;
using group_test::LanEndpoint;
using group_test::WaitFor;
using test_files::CountOf;

namespace {

const int kEndpoints = 20;

struct TestBed : group_test::LanBed {
};
TestBed* g_bed = nullptr;

LanEndpoint& Endpoint(int i)
{
    return *g_bed->endpoints[(size_t)i];
}

const std::string& LanNs()
{
    return g_bed->lan->LanNs();
}

web_test::HttpReply Web(int i, const std::string& path, int timeoutMs = 30000)
{
    return web_test::HttpGet(LanNs(), Endpoint(i).Ip(), path, timeoutMs);
}

// ---- The Prometheus text format ----------------------------------------------------------

// Samples by their name with labels as written ("name" or "name{a=\"b\"}").
typedef std::map<std::string, double> Samples;

// Parses a page of the text format: every line is a comment ("# HELP name
// text", "# TYPE name type") or a sample of a family whose TYPE came
// before; a label value may hold escaped characters. False (with the line
// in *bad) for anything else.
bool ParseMetrics(const std::string& page, Samples* samples, std::string* bad)
{
    static const std::regex kHelp("# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .*");
    static const std::regex kType("# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|untyped)");
    static const std::regex kSample("([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{([a-zA-Z_][a-zA-Z0-9_]*=\"([^\"\\\\]|\\\\.)*\",?)*\\})? "
                                    "(NaN|[+-]?Inf|[+-]?[0-9]+(\\.[0-9]+)?([eE][+-]?[0-9]+)?)");
    std::map<std::string, std::string> types;
    std::istringstream lines(page);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        *bad = line;
        if (std::regex_match(line, m, kType)) {
            if (types.count(m[1]) != 0)
                return false;
            types[m[1]] = m[2];
        } else if (std::regex_match(line, m, kSample)) {
            if (types.count(m[1]) == 0)
                return false;
            const std::string value = m[5];
            (*samples)[m[1].str() + m[2].str()] = value == "NaN" ? NAN : strtod(value.c_str(), nullptr);
        } else if (!std::regex_match(line, kHelp)) {
            return false;
        }
    }
    bad->clear();
    return !page.empty() && page.back() == '\n';
}

Samples Metrics(int i)
{
    web_test::HttpReply reply = Web(i, "/metrics");
    EXPECT_EQ(200, reply.status) << "endpoint " << i << "\n" << reply.raw;
    EXPECT_NE(std::string::npos, reply.head.find("Content-Type: text/plain; version=0.0.4")) << reply.head;
    Samples samples;
    std::string bad;
    EXPECT_TRUE(ParseMetrics(reply.body, &samples, &bad)) << "endpoint " << i << ", line <" << bad << ">";
    return samples;
}

double Sample(const Samples& samples, const std::string& name)
{
    auto it = samples.find(name);
    return it == samples.end() ? -1 : it->second;
}

std::string Kind(const std::string& family, const char* kind)
{
    return family + "{kind=\"" + kind + "\"}";
}

const std::string kGroupIn = "velmard_group_messages_in_total";
const std::string kGroupOut = "velmard_group_messages_out_total";

// Metrics of endpoint i as soon as name holds at least value.
bool WaitForSample(int i, const std::string& name, double value, int timeoutMs = 30000)
{
    return WaitFor([&] { return Sample(Metrics(i), name) >= value; }, timeoutMs);
}

// ---- Group actions ---------------------------------------------------------------------------

web_test::HttpReply DeviceList(int i)
{
    return Web(i, "/action?cmdtype=commconfig&cmdstr=getdeviceinfo");
}

// Every other endpoint is in the list exactly once, and nothing else.
void ExpectEveryOtherEndpointOnce(int asker, const std::string& list)
{
    EXPECT_EQ((size_t)kEndpoints - 1, CountOf(list, "\"ip_addr\":")) << list;
    for (int i = 0; i < kEndpoints; ++i) {
        EXPECT_EQ(i == asker ? 0u : 1u, CountOf(list, "\"ip_addr\":\"" + Endpoint(i).Ip() + "\""))
            << "endpoint " << i << " in the list of " << asker;
    }
}

// ---- Tests ----------------------------------------------------------------------------------

class InstallationTest : public ::testing::Test {};

TEST_F(InstallationTest, MetricsPageParsesAndRefusesOtherMethods)
{
    Samples samples = Metrics(2);
    const char* const names[] = {"velmard_uptime_seconds", "velmard_mcu_line_up", "velmard_mcu_lines_in_total",
                                 "velmard_mcu_lines_out_total", "velmard_mcu_lines_dropped_total",
                                 "velmard_tcp_sessions_opened_total", "velmard_tcp_sessions_refused_total",
                                 "velmard_tcp_sessions", "velmard_search_answers"};
    for (const char* name : names)
        EXPECT_GE(Sample(samples, name), 0) << name;
    EXPECT_EQ(1, Sample(samples, "velmard_mcu_line_up"));
    // The start flow went through the MCU line both ways.
    EXPECT_GE(Sample(samples, "velmard_mcu_lines_in_total"), 10);
    EXPECT_GE(Sample(samples, "velmard_mcu_lines_out_total"), 10);
    EXPECT_EQ(0, Sample(samples, "velmard_mcu_lines_dropped_total"));
    for (const char* software : {"MCU", "ARM"}) {
        const std::string prefix = std::string("velmard_upgrade_status{software=\"") + software + "\",status=\"";
        auto it = samples.lower_bound(prefix);
        EXPECT_TRUE(it != samples.end() && it->first.compare(0, prefix.size(), prefix) == 0) << software;
    }
    for (const char* kind : {"search_query", "search_answer", "max_seq_num_notice", "group_sign_notice", "other"}) {
        EXPECT_GE(Sample(samples, Kind(kGroupIn, kind)), 0) << kind;
        EXPECT_GE(Sample(samples, Kind(kGroupOut, kind)), 0) << kind;
    }

    const std::string post = "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(405, web_test::HttpRequest(LanNs(), Endpoint(2).Ip(), post).status);
    web_test::HttpReply head =
        web_test::HttpRequest(LanNs(), Endpoint(2).Ip(), "HEAD /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(200, head.status);
    EXPECT_EQ("", head.body);
}

TEST_F(InstallationTest, SearchesFromTwoEndpointsAtOnceEachFindEveryOtherEndpoint)
{
    const int askers[] = {0, 11};
    Samples before[kEndpoints];
    for (int i = 0; i < kEndpoints; ++i)
        before[i] = Metrics(i);
    web_test::HttpReply lists[2];
    std::thread second([&] { lists[1] = DeviceList(askers[1]); });
    lists[0] = DeviceList(askers[0]);
    second.join();
    for (int n = 0; n < 2; ++n) {
        const int asker = askers[n];
        ASSERT_EQ(200, lists[n].status) << lists[n].raw;
        ExpectEveryOtherEndpointOnce(asker, lists[n].body);
        Samples after = Metrics(asker);
        EXPECT_EQ(kEndpoints - 1, Sample(after, "velmard_search_answers"));
        EXPECT_EQ(kEndpoints - 1, Sample(after, Kind(kGroupIn, "search_answer")) -
                                      Sample(before[asker], Kind(kGroupIn, "search_answer")));
        EXPECT_EQ(1, Sample(after, Kind(kGroupOut, "search_query")) - Sample(before[asker], Kind(kGroupOut, "search_query")));
        EXPECT_EQ(Sample(before[asker], "velmard_group_messages_invalid_total"),
                  Sample(after, "velmard_group_messages_invalid_total"));
        EXPECT_GE(Sample(after, "velmard_search_last_answer_seconds"), 0);
    }
    // Everyone else answered both askers; an asker answered the other one.
    for (int i = 0; i < kEndpoints; ++i) {
        Samples after = Metrics(i);
        EXPECT_EQ(i == askers[0] || i == askers[1] ? 1 : 2,
                  Sample(after, Kind(kGroupOut, "search_answer")) - Sample(before[i], Kind(kGroupOut, "search_answer")))
            << "endpoint " << i;
    }
}

// Answers arriving faster than the management task takes them in wait in the
// socket rather than being dropped: a search of the LAN and a storm of 200
// answers from a peer all reach the list (its cap is 256).
TEST_F(InstallationTest, StormOfAnswersBeyondTheQueueLosesNone)
{
    const int asker = 5, storm = 200;
    int fd = group_test::BoundSocket(LanNs(), g_bed->lan->PeerIp(0), 40100);
    ASSERT_GE(fd, 0);
    std::vector<Bytes> answers;
    for (int n = 0; n < storm; ++n) {
        answers.push_back(WireBuilder()
                              .Header(QUOR_MSG_DEVICE_SEARCH_QUERY_RSP)
                              .U16(1).U32(0).U8(2)
                              .U16(1).Text("storm-" + std::to_string(n))
                              .U16(2).Text("198.18.255." + std::to_string(n))
                              .Done());
    }
    const double queriesBefore = Sample(Metrics(asker), Kind(kGroupOut, "search_query"));
    web_test::HttpReply list;
    std::thread search([&] { list = DeviceList(asker); });
    // The list is emptied before the query goes out: the storm follows it.
    EXPECT_TRUE(WaitForSample(asker, Kind(kGroupOut, "search_query"), queriesBefore + 1));
    for (const Bytes& answer : answers)
        EXPECT_TRUE(group_test::SendTo(fd, Endpoint(asker).Ip(), group_test::kUnicastPort, answer));
    search.join();
    close(fd);
    ASSERT_EQ(200, list.status);
    EXPECT_TRUE(WaitForSample(asker, "velmard_search_answers", kEndpoints - 1 + storm, 60000));
    EXPECT_EQ(kEndpoints - 1 + storm, Sample(Metrics(asker), "velmard_search_answers"));
    EXPECT_EQ(0u, Endpoint(asker).LogCount("Fail to GetNew"));
    // The next search starts from an empty list again.
    web_test::HttpReply next = DeviceList(asker);
    ExpectEveryOtherEndpointOnce(asker, next.body);
}

TEST_F(InstallationTest, SettingsStartedOnOneEndpointReachEveryOther)
{
    const int origin = 3;
    const std::string value = std::to_string(100 + getpid() % 100);
    ASSERT_EQ(200, Web(origin, "/action?cmdtype=deviceconfig&cmdstr=sequencenumberarrange&maxsequencenumber=" + value)
                       .status);
    for (int i = 0; i < kEndpoints; ++i) {
        EXPECT_TRUE(WaitFor([&] { return PowerSavePref(Endpoint(i), "sequenceMaxnumber") == value; }, 30000))
            << "endpoint " << i;
    }

    for (int i = 0; i < kEndpoints; ++i)
        Endpoint(i).Mcu().ClearRecords();
    Samples before = Metrics(origin);
    group_test::CommandClient client;
    ASSERT_TRUE(client.Connect(Endpoint(origin).Ip(), group_test::kCommandPort, 10000, LanNs()));
    ASSERT_TRUE(client.Send("SET SUBGROUP all on\r\n"));
    ASSERT_TRUE(client.ReadUntil("SUBGROUP all on\r\n", nullptr, 10000));
    for (int i = 0; i < kEndpoints; ++i) {
        EXPECT_TRUE(Endpoint(i).Mcu().WaitForLine("SET SUBGROUP self on", 30000)) << "endpoint " << i;
    }
    // A notice is counted once it was sent and a line once its write was
    // queued, which may be after the peers and the MCU had them.
    const std::string notices = Kind(kGroupOut, "group_sign_notice");
    EXPECT_TRUE(WaitForSample(origin, notices, Sample(before, notices) + 2));
    EXPECT_TRUE(WaitForSample(origin, "velmard_mcu_lines_out_total", Sample(before, "velmard_mcu_lines_out_total") + 1));
    Samples after = Metrics(origin);
    EXPECT_EQ(2, Sample(after, notices) - Sample(before, notices));
    EXPECT_EQ(1, Sample(after, "velmard_tcp_sessions_opened_total") - Sample(before, "velmard_tcp_sessions_opened_total"));
    EXPECT_EQ(1, Sample(after, "velmard_tcp_sessions"));
    EXPECT_EQ(1, Sample(after, "velmard_tcp_lines_in_total") - Sample(before, "velmard_tcp_lines_in_total"));
    // Every other endpoint answered both notices.
    EXPECT_TRUE(WaitForSample(origin, Kind(kGroupIn, "group_sign_answer"),
                              Sample(before, Kind(kGroupIn, "group_sign_answer")) + 2 * (kEndpoints - 1)));
}

// velmar-find, run on the LAN as an operator would, lists every endpoint once.
TEST_F(InstallationTest, FindListsEveryEndpoint)
{
    board_test::ProcessSpec launch;
    launch.argv = {"ip", "netns", "exec", LanNs(), board_test::ProgramPath("velmar-find"), "--wait", "3000"};
    launch.captureStderr = true;
    board_test::ProcessResult table = board_test::RunProcess(launch);
    ASSERT_TRUE(table.Exited(0)) << table.output;
    EXPECT_EQ((size_t)kEndpoints + 1, CountOf(table.output, "\n")) << table.output;
    for (int i = 0; i < kEndpoints; ++i)
        EXPECT_EQ(1u, CountOf(table.output, " " + Endpoint(i).Ip() + " ")) << "endpoint " << i << "\n" << table.output;
}

// Brings the installation up before the first test and stops every daemon
// after the last.
class InstallationEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_bed = new TestBed;
        group_test::MakeLanBed(kEndpoints, g_bed);
        for (int i = 0; i < kEndpoints; ++i)
            Endpoint(i).StartDaemon();
        // All twenty start at once: their start flows share the machine.
        for (int i = 0; i < kEndpoints; ++i) {
            ASSERT_TRUE(Endpoint(i).WaitStartFlow(120000)) << "endpoint " << i << ":\n" << Endpoint(i).Output();
            ASSERT_TRUE(WaitFor([i] { return Web(i, "/metrics", 5000).status == 200; }, 60000)) << "endpoint " << i;
        }
    }
    void TearDown() override
    {
        if (g_bed == nullptr)
            return;
        group_test::ExpectCleanStops(g_bed->endpoints);
        g_bed->endpoints.clear();
        g_bed->lan.reset();
        delete g_bed;
        g_bed = nullptr;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new InstallationEnvironment);
    return RUN_ALL_TESTS();
}
