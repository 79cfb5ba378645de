// The configuration-tool search on a simulated LAN of three endpoints (velmard
// processes in namespaces of their own): velmar-find lists them, and raw
// requests from a peer on the LAN's bridge get the exact reply bytes, or none.
// Needs root; exits 77 (skipped) where the namespaces cannot be made.
#include <cstdlib>
#include <iterator>
#include <sstream>

#include "GroupLanSupport.h"
#include "ProtocolTestUtil.h"

#ifndef VELMAR_FIND_PATH
#error "define VELMAR_FIND_PATH"
#endif

using group_test::Datagram;
using group_test::GroupLan;
using group_test::LanEndpoint;

namespace {

const int kEndpoints = 3;
const uint16_t kSearchPort = 1983;
const uint16_t kPeerPort = 5000;
const uint32_t kPCId = 0x0A0B0C0D;

struct TestBed {
    std::unique_ptr<GroupLan> lan;
    std::vector<std::unique_ptr<LanEndpoint>> endpoints;
    std::vector<Bytes> macs;
    int peer = -1;   // the tool's socket on the bridge, port 5000
};
TestBed* g_bed = nullptr;

LanEndpoint& Endpoint(int i)
{
    return *g_bed->endpoints[(size_t)i];
}

uint32_t DeviceId(int i)
{
    const Bytes& m = g_bed->macs[(size_t)i];
    return (uint32_t)m[2] << 24 | (uint32_t)m[3] << 16 | (uint32_t)m[4] << 8 | m[5];
}

Bytes Request(uint8_t type, uint8_t tag, const Bytes& value, uint32_t id, int len = -1)
{
    WireBuilder w;
    w.U16(0x1698).U8(type).U32(kPCId).U32(id).U8(tag).U16(len < 0 ? (uint32_t)value.size() : (uint32_t)len);
    Bytes out = w.DoneAsIs();
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes Reply(int i, uint8_t type, uint8_t tag, const Bytes& value)
{
    Bytes out = WireBuilder().U16(0x1799).U8(type).U32(kPCId).U32(DeviceId(i)).U8(1).U8(tag)
                    .U16((uint32_t)value.size()).DoneAsIs();
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

// The replies endpoint i sends to bytes within a wait.
std::vector<Datagram> Ask(int i, const Bytes& bytes, int waitMs = 3000)
{
    group_test::SendTo(g_bed->peer, g_bed->lan->EndpointIp(i), kSearchPort, bytes);
    return group_test::Collect(g_bed->peer, 1, waitMs, 200);
}

Bytes AskOne(int i, const Bytes& bytes)
{
    std::vector<Datagram> got = Ask(i, bytes);
    EXPECT_EQ(1u, got.size());
    return got.empty() ? Bytes() : got[0].bytes;
}

Bytes Be32(uint32_t v)
{
    return WireBuilder().U32(v).DoneAsIs();
}

Bytes Addr(const std::string& dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted.c_str(), &a);
    return Be32(ntohl(a.s_addr));
}

Bytes Text36(const std::string& text)
{
    Bytes b(text.begin(), text.end());
    b.resize(36, 0);
    return b;
}

// The log is written through a buffer: wrong-magic requests (two log lines
// each, no reply) push it out until text shows.
bool WaitForLog(int i, const std::string& text)
{
    return group_test::WaitFor(
        [&] {
            if (Endpoint(i).LogCount(text) > 0)
                return true;
            for (int n = 0; n < 20; ++n)
                group_test::SendTo(g_bed->peer, Endpoint(i).Ip(), kSearchPort, Bytes{0x00, 0x01});
            return false;
        },
        15000);
}

board_test::ProcessResult Find(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"ip", "netns", "exec", g_bed->lan->LanNs(), VELMAR_FIND_PATH, "--wait", "2000"};
    argv.insert(argv.end(), args.begin(), args.end());
    board_test::ProcessSpec launch;
    launch.argv = argv;
    launch.captureStderr = true;
    return board_test::RunProcess(launch);
}

std::string MacText(int i)
{
    const Bytes& m = g_bed->macs[(size_t)i];
    char text[32];
    snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return text;
}

// ---- velmar-find ------------------------------------------------------------------

TEST(SearchLanTest, FindListsEveryEndpoint)
{
    board_test::ProcessResult table = Find({});
    ASSERT_TRUE(table.Exited(0)) << table.output;
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(table.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        rows.emplace_back(std::istream_iterator<std::string>(words), std::istream_iterator<std::string>());
    }
    ASSERT_EQ((size_t)kEndpoints + 1, rows.size()) << table.output;
    EXPECT_EQ("id", rows[0][0]);
    for (int i = 0; i < kEndpoints; ++i) {
        char id[16];
        snprintf(id, sizeof(id), "%08x", DeviceId(i));
        const std::vector<std::string> expected = {id, g_bed->lan->EndpointIp(i), "255.255.255.0",
                                                   g_bed->lan->PeerIp(0), MacText(i), "Hall-" + std::to_string(i)};
        bool found = false;
        for (const auto& row : rows)
            found = found || (row.size() == 7 && std::vector<std::string>(row.begin(), row.begin() + 6) == expected);
        EXPECT_TRUE(found) << id << "\n" << table.output;
    }
    board_test::ProcessResult json = Find({"--json"});
    ASSERT_TRUE(json.Exited(0)) << json.output;
    for (int i = 0; i < kEndpoints; ++i)
        EXPECT_NE(std::string::npos, json.output.find("\"mac\": \"" + MacText(i) + "\", \"alias\": \"Hall-" +
                                                       std::to_string(i) + "\"")) << json.output;
}

TEST(SearchLanTest, FindReadsAndWritesOneItem)
{
    char id[16];
    snprintf(id, sizeof(id), "%x", DeviceId(1));
    board_test::ProcessResult got = Find({"--to", g_bed->lan->EndpointIp(1), "get", id, "ip"});
    EXPECT_TRUE(got.Exited(0));
    EXPECT_EQ(g_bed->lan->EndpointIp(1) + "\n", got.output);
    got = Find({"get", id, "0x11"});
    EXPECT_EQ("23\n", got.output);
    got = Find({"set", id, "gateway", "10.1.2.3"});
    EXPECT_EQ("10.1.2.3\n", got.output);
    got = Find({"get", "1", "alias"});
    EXPECT_TRUE(got.Exited(1));
    EXPECT_TRUE(Find({"get", id, "nosuchtag"}).Exited(2));
}

// ---- Raw requests -------------------------------------------------------------------

TEST(SearchLanTest, SearchAnswersWithFifteenBytes)
{
    for (int i = 0; i < kEndpoints; ++i)
        EXPECT_EQ(Hex(Reply(i, 4, 0, {})), Hex(AskOne(i, Request(4, 0, {}, 0)))) << i;
    EXPECT_TRUE(Ask(0, Request(4, 0, {}, DeviceId(0) + 1), 800).empty());
}

TEST(SearchLanTest, ReadsGiveTheExactValues)
{
    const int e = 0;
    std::string sequence;
    char hexId[16];
    snprintf(hexId, sizeof(hexId), "%x", DeviceId(e));
    uint32_t seq = 0;
    for (const char* c = hexId; *c >= '0' && *c <= '9'; ++c)
        seq = seq * 10 + (uint32_t)(*c - '0');
    const std::string ip = g_bed->lan->EndpointIp(e), gw = g_bed->lan->PeerIp(0);
    struct {
        uint8_t tag;
        Bytes value;
    } cases[] = {
        {0x00, {}},
        {0x04, {'M', 'P', 'L'}},
        {0x05, Be32(seq)},
        {0x06, {'H', 'a', 'l', 'l', '-', '0'}},
        {0x07, {0, 0, 0, 0x6e}},
        {0x08, {0}},
        {0x0a, g_bed->macs[e]},
        {0x0b, {0}},
        {0x0c, Addr(ip)},
        {0x0d, Addr("255.255.255.0")},
        {0x0e, Addr(gw)},
        {0x0f, Addr(gw)},
        {0x10, {2}},
        {0x11, {0x00, 0x17}},
        {0x12, {}},
        {0x13, Text36("7df4c5c0a807b")},
        {0x14, Text36("201512211921680123")},
        {0x16, {11}},
        {0x17, {3}},
        {0x1a, {0}},
        {0x1d, {0, 0, 0, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Hex(Reply(e, 2, c.tag, c.value)), Hex(AskOne(e, Request(2, c.tag, {}, DeviceId(e))))) << (int)c.tag;

    double before = atof(board_test::ReadText("/proc/uptime").c_str());
    Bytes uptime = AskOne(e, Request(2, 0x03, {}, 0));
    double after = atof(board_test::ReadText("/proc/uptime").c_str());
    ASSERT_EQ(19u, uptime.size());
    EXPECT_EQ(Hex(Reply(e, 2, 3, {})).substr(0, 36), Hex(uptime).substr(0, 36));
    uint32_t seconds = group_test::Be32(uptime, 15);
    EXPECT_GE(seconds, (uint32_t)before);
    EXPECT_LE(seconds, (uint32_t)after);
}

TEST(SearchLanTest, UnreadableTagsWrongMagicAndUnknownTypesGetNoReply)
{
    for (uint8_t tag : {0x01, 0x02, 0x09, 0x1e, 0xff})
        EXPECT_TRUE(Ask(1, Request(2, tag, {}, 0), 600).empty()) << (int)tag;
    Bytes wrongMagic = Request(4, 0, {}, 0);
    wrongMagic[1] = 0x99;
    EXPECT_TRUE(Ask(1, wrongMagic, 600).empty());
    EXPECT_TRUE(Ask(1, Request(5, 0, {}, 0), 600).empty());
    EXPECT_TRUE(WaitForLog(1, "Recv KorvexGUI Msg, u16magic is <0x1699> Not Process!"));
    EXPECT_TRUE(WaitForLog(1, "Recv KorvexGUI Msg, u8Type is <0x5> Not Process!"));
}

TEST(SearchLanTest, WritesEchoAsTheTagSaysAndChangeNothing)
{
    const int e = 2;
    const uint32_t id = DeviceId(e);
    struct {
        uint8_t tag;
        Bytes value;
        Bytes echoed;
    } cases[] = {
        {0x0c, {10, 0, 0, 5}, {10, 0, 0, 5}},
        {0x0a, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
        {0x09, {1}, {}},
        {0x1e, {1}, {}},
        {0x0b, {1}, {}},
        {0x16, {7}, {7}},
        {0x16, {16}, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Hex(Reply(e, 3, c.tag, c.echoed)), Hex(AskOne(e, Request(3, c.tag, c.value, id)))) << (int)c.tag;
    // Value lengths above 255 or beyond the bytes sent: no reply.
    EXPECT_TRUE(Ask(e, Request(3, 0x06, Bytes(256, 'a'), id), 600).empty());
    EXPECT_TRUE(Ask(e, Request(3, 0x0c, {1, 2, 3, 4}, id, 5), 600).empty());
    EXPECT_TRUE(WaitForLog(e, "######SetUartRate is <4400> system Not supper!."));
    EXPECT_TRUE(WaitForLog(e, "SetUartRate is <0x10> Error."));
    EXPECT_EQ(Hex(Reply(e, 2, 0x0c, Addr(Endpoint(e).Ip()))), Hex(AskOne(e, Request(2, 0x0c, {}, id))));
}

TEST(SearchLanTest, EveryLengthUpTo600LeavesTheTaskAnswering)
{
    Bytes pattern = Request(2, 0x04, {}, 0);
    for (size_t length = 0; length <= 600; ++length) {
        Bytes bytes(length, 0x41);
        std::copy(pattern.begin(), pattern.begin() + (long)std::min(length, pattern.size()), bytes.begin());
        group_test::SendTo(g_bed->peer, Endpoint(0).Ip(), kSearchPort, bytes);
        if (length % 50 == 0)
            group_test::Drain(g_bed->peer);
    }
    group_test::Collect(g_bed->peer, 1000, 3000, 500);
    EXPECT_EQ(Hex(Reply(0, 4, 0, {})), Hex(AskOne(0, Request(4, 0, {}, 0))));
}

// ---- The test bed -------------------------------------------------------------------------

Bytes EthernetAddress(const std::string& ns)
{
    board_test::ProcessResult shown = board_test::RunProcess({"ip", "-n", ns, "-o", "link", "show", "eth0"});
    size_t at = shown.output.find("link/ether ");
    Bytes mac;
    for (size_t i = 0; at != std::string::npos && i < 6; ++i)
        mac.push_back((uint8_t)strtoul(shown.output.substr(at + 11 + 3 * i, 2).c_str(), nullptr, 16));
    return mac;
}

class TestBedEnvironment : public ::testing::Environment {
public:
    void TearDown() override
    {
        for (int i = 0; i < kEndpoints; ++i) {
            EXPECT_TRUE(Endpoint(i).Stop()) << "endpoint " << i << ": " << Endpoint(i).Output();
            EXPECT_EQ(std::string::npos, Endpoint(i).Output().find("Sanitizer")) << Endpoint(i).Output();
        }
    }
};

void SetUpTestBed()
{
    board_test::RequireNetns();
    g_bed = new TestBed;
    g_bed->lan.reset(new GroupLan(kEndpoints));
    if (!g_bed->lan->Ok())
        board_test::SkipTest("the simulated LAN cannot be made here: " + g_bed->lan->Output());
    for (int i = 0; i < kEndpoints; ++i) {
        g_bed->endpoints.emplace_back(new LanEndpoint(*g_bed->lan, i));
        const std::string property = Endpoint(i).Root().File("/var/tmpfs/SavePowerOff.conf");
        std::string text = board_test::ReadText(property);
        text.replace(text.find("alias=QuorVelmar"), 16, "alias=Hall-" + std::to_string(i));
        g_bed->macs.push_back(EthernetAddress(g_bed->lan->EndpointNs(i)));
        if (!Endpoint(i).Ok() || !board_test::WriteText(property, text) || g_bed->macs.back().size() != 6) {
            fprintf(stderr, "endpoint %d: %s\n", i, Endpoint(i).Why().c_str());
            exit(1);
        }
    }
    g_bed->peer = group_test::BoundSocket(g_bed->lan->LanNs(), g_bed->lan->PeerIp(0), kPeerPort);
    if (g_bed->peer < 0) {
        fprintf(stderr, "the peer socket cannot be made\n");
        exit(1);
    }
    for (int i = 0; i < kEndpoints; ++i)
        Endpoint(i).StartDaemon();
    for (int i = 0; i < kEndpoints; ++i) {
        // The identifier comes from the MAC the start flow records.
        if (!Endpoint(i).WaitStartFlow(30000) ||
            !group_test::WaitFor([i] { return Ask(i, Request(4, 0, {}, DeviceId(i)), 500).size() == 1; }, 20000)) {
            fprintf(stderr, "endpoint %d does not answer:\n%s\n", i, Endpoint(i).Output().c_str());
            exit(1);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    SetUpTestBed();
    ::testing::AddGlobalTestEnvironment(new TestBedEnvironment);
    int result = RUN_ALL_TESTS();
    close(g_bed->peer);
    g_bed->endpoints.clear();
    g_bed->lan.reset();
    delete g_bed;
    return result;
}
