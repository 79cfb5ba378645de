// The configuration-tool search on a simulated LAN of three endpoints (velmard
// processes in namespaces of their own): velmar-find lists them (also beside
// a responder that answers the search as 500 endpoints and no read), and raw
// requests from a peer on the LAN's bridge get the exact reply bytes, or none.
// Needs root; exits 77 (skipped) where the namespaces cannot be made.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <thread>

#include "GroupLanSupport.h"
#include "ProtocolTestUtil.h"

using group_test::Datagram;
using group_test::LanEndpoint;

namespace {

const int kEndpoints = 3;
const uint16_t kSearchPort = 1983;
const uint16_t kPeerPort = 5000;
const uint32_t kPCId = 0x0A0B0C0D;

struct TestBed : group_test::LanBed {
    ~TestBed() override
    {
        if (peer >= 0)
            close(peer);
    }
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

// The replies endpoint i sends to bytes within a wait. What the peer socket
// still holds goes first, so that a late reply to an earlier ask is never
// taken for this one's.
std::vector<Datagram> Ask(int i, const Bytes& bytes, int waitMs = 3000)
{
    group_test::Drain(g_bed->peer);
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

// Endpoint 2's alias is UTF-8 text.
std::string AliasOf(int i)
{
    return i == 2 ? "Hall-2-S\xc3\xbc\x64-\xe2\x98\x83" : "Hall-" + std::to_string(i);
}

// velmar-find on the LAN; wrapped: the command before it (e.g. GNU time).
board_test::ProcessResult Find(const std::vector<std::string>& args, int waitMs = 2000,
                               const std::vector<std::string>& wrapper = {}, bool withStderr = true)
{
    std::vector<std::string> argv = {"ip", "netns", "exec", g_bed->lan->LanNs()};
    argv.insert(argv.end(), wrapper.begin(), wrapper.end());
    argv.insert(argv.end(), {board_test::ProgramPath("velmar-find"), "--wait", std::to_string(waitMs)});
    argv.insert(argv.end(), args.begin(), args.end());
    board_test::ProcessSpec launch;
    launch.argv = argv;
    launch.captureStderr = withStderr;
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
                                                   g_bed->lan->PeerIp(0), MacText(i), AliasOf(i)};
        bool found = false;
        for (const auto& row : rows)
            found = found || (row.size() == 7 && std::vector<std::string>(row.begin(), row.begin() + 6) == expected);
        EXPECT_TRUE(found) << id << "\n" << table.output;
    }
    board_test::ProcessResult json = Find({"--json"});
    ASSERT_TRUE(json.Exited(0)) << json.output;
    for (int i = 0; i < kEndpoints; ++i)
        EXPECT_NE(std::string::npos, json.output.find("\"mac\": \"" + MacText(i) + "\", \"alias\": \"" + AliasOf(i) +
                                                       "\", \"uptime\": ")) << json.output;
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

// Answers every search on the LAN as `count` endpoints (identifiers from
// kFakeBase on, replies paced in bursts of 50) and no read.
class FakeInstallation {
public:
    static const uint32_t kFakeBase = 0xF0000000;

    explicit FakeInstallation(uint32_t count) : m_count(count)
    {
        m_fd = group_test::BoundSocket(g_bed->lan->LanNs(), "0.0.0.0", kSearchPort);
        if (m_fd >= 0)
            m_thread = std::thread([this] { Serve(); });
    }
    ~FakeInstallation()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }
    uint32_t Reads() const { return m_reads.load(); }

private:
    void Serve()
    {
        Datagram got;
        while (!m_stop) {
            if (!group_test::Receive(m_fd, &got, 50) || got.bytes.size() < 14 || got.bytes[0] != 0x16)
                continue;
            if (got.bytes[2] != 4) {
                ++m_reads;
                continue;
            }
            const uint32_t pcId = group_test::Be32(got.bytes, 3);
            for (uint32_t k = 0; k < m_count; ++k) {
                Bytes reply = WireBuilder().U16(0x1799).U8(4).U32(pcId).U32(kFakeBase + k).U8(1).U8(0).U16(0)
                                  .DoneAsIs();
                group_test::SendTo(m_fd, got.from, got.fromPort, reply);
                if (k % 50 == 49)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }

    const uint32_t m_count;
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<uint32_t> m_reads{0};
    std::thread m_thread;
};

// The JSON object of one endpoint in velmar-find's list ("" when absent).
std::string JsonObjectOf(const std::string& json, const std::string& id)
{
    size_t at = json.find("{\"id\": \"" + id + "\"");
    return at == std::string::npos ? std::string() : json.substr(at, json.find('}', at) - at + 1);
}

TEST(SearchLanTest, FindListsAnInstallationWithinItsWait)
{
    FakeInstallation fake(500);
    ASSERT_TRUE(fake.Ok());
    const int waitMs = 2000;
    const std::string memoryFile = board_test::MakeTempDir("find") + "/rss";
    auto start = std::chrono::steady_clock::now();
    board_test::ProcessResult json =
        Find({"--json"}, waitMs, {"/usr/bin/time", "-f", "%M", "-o", memoryFile}, false);
    const long tookMs = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(json.Exited(0)) << json.output;
    const long peakKiB = atol(board_test::ReadText(memoryFile).c_str());
    printf("velmar-find listed 503 endpoints in %ld ms (--wait %d), peak memory %ld KiB\n", tookMs, waitMs, peakKiB);
    EXPECT_LT(tookMs, waitMs * 3 / 2);
    EXPECT_GT(peakKiB, 0);
#if !defined(VELMAR_SANITIZE_ADDRESS) && !defined(VELMAR_SANITIZE_THREAD)
    // A sanitizer's shadow memory and quarantine come on top: the bound holds
    // for the program as it ships.
    EXPECT_LT(peakKiB, 8 * 1024);
#endif
    size_t rows = 0;
    for (size_t at = json.output.find("{\"id\": "); at != std::string::npos; at = json.output.find("{\"id\": ", at + 1))
        ++rows;
    EXPECT_EQ(503u, rows);
    // The real endpoints with every field, typed; the alias byte for byte.
    for (int i = 0; i < kEndpoints; ++i) {
        char id[16];
        snprintf(id, sizeof(id), "%08x", DeviceId(i));
        const std::string object = JsonObjectOf(json.output, id);
        const std::string expected = std::string("{\"id\": \"") + id + "\", \"address\": \"" +
                                     g_bed->lan->EndpointIp(i) + "\", \"netmask\": \"255.255.255.0\", \"gateway\": \"" +
                                     g_bed->lan->PeerIp(0) + "\", \"mac\": \"" + MacText(i) + "\", \"alias\": \"" +
                                     AliasOf(i) + "\", \"uptime\": ";
        EXPECT_EQ(expected, object.substr(0, expected.size())) << object;
        EXPECT_TRUE(object.size() > expected.size() && isdigit((unsigned char)object[expected.size()])) << object;
    }
    // A responder that answers no read: what its search answer gave.
    const std::string fakeObject = JsonObjectOf(json.output, "f00001f3");
    EXPECT_NE(std::string::npos, fakeObject.find("\"netmask\": null")) << fakeObject;
    EXPECT_NE(std::string::npos, fakeObject.find("\"uptime\": null}")) << fakeObject;

    // Every endpoint's alias: one line each, from the real ones only.
    board_test::ProcessResult aliases = Find({"get", "all", "alias"}, waitMs, {}, false);
    ASSERT_TRUE(aliases.Exited(0)) << aliases.output;
    EXPECT_EQ((size_t)kEndpoints + 1, (size_t)std::count(aliases.output.begin(), aliases.output.end(), '\n'))
        << aliases.output;
    for (int i = 0; i < kEndpoints; ++i)
        EXPECT_NE(std::string::npos, aliases.output.find(AliasOf(i) + "\n")) << aliases.output;
    board_test::ProcessResult csv = Find({"--csv", "get", "0", "tcp-port"}, waitMs, {}, false);
    EXPECT_EQ(0u, csv.output.find("id,address,tag,length,value\r\n")) << csv.output;
    EXPECT_EQ((size_t)kEndpoints, (size_t)std::count(csv.output.begin(), csv.output.end(), '\n') - 1) << csv.output;
    board_test::RemoveTree(memoryFile.substr(0, memoryFile.rfind('/')));
}

TEST(SearchLanTest, FindExitStatusesTellWhatHappened)
{
    EXPECT_TRUE(Find({}).Exited(0));
    // Nobody at that address.
    EXPECT_TRUE(Find({"--to", g_bed->lan->PeerIp(0)}, 300).Exited(1));
    board_test::ProcessResult unreadable = Find({"get", "all", "reset"}, 60000);
    EXPECT_TRUE(unreadable.Exited(2));
    EXPECT_NE(std::string::npos, unreadable.output.find("readable tags: null, uptime")) << unreadable.output;
    EXPECT_TRUE(Find({"--json", "--csv"}).Exited(2));
    EXPECT_TRUE(Find({"--to", "300.1.2.3"}).Exited(3));
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
        {0x16, {}, {}},  // an empty value sets nothing
        {0x11, {0x00, 0x50}, {0x00, 0x50}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Hex(Reply(e, 3, c.tag, c.echoed)), Hex(AskOne(e, Request(3, c.tag, c.value, id)))) << (int)c.tag;
    // Value lengths above 255 or beyond the bytes sent: no reply.
    EXPECT_TRUE(Ask(e, Request(3, 0x06, Bytes(256, 'a'), id), 600).empty());
    EXPECT_TRUE(Ask(e, Request(3, 0x0c, {1, 2, 3, 4}, id, 5), 600).empty());
    EXPECT_TRUE(WaitForLog(e, "######SetUartRate is <4400> system Not supper!."));
    EXPECT_TRUE(WaitForLog(e, "SetUartRate is <0x10> Error."));
    EXPECT_TRUE(WaitForLog(e, "######SetUartRate value is empty, Error."));
    EXPECT_EQ(0, Endpoint(e).LogCount("SetUartRate is <110>."));
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

group_test::LanBed* SetUpTestBed()
{
    g_bed = new TestBed;
    group_test::MakeLanBed(kEndpoints, g_bed);
    for (int i = 0; i < kEndpoints; ++i) {
        const std::string property = Endpoint(i).Root().File("/var/tmpfs/SavePowerOff.conf");
        std::string text = board_test::ReadText(property);
        text.replace(text.find("alias=QuorVelmar"), 16, "alias=" + AliasOf(i));
        g_bed->macs.push_back(EthernetAddress(g_bed->lan->EndpointNs(i)));
        if (!board_test::WriteText(property, text) || g_bed->macs.back().size() != 6) {
            fprintf(stderr, "endpoint %d: %s\n", i, Endpoint(i).Why().c_str());
            exit(1);
        }
    }
    g_bed->peer = group_test::BoundSocket(g_bed->lan->LanNs(), g_bed->lan->PeerIp(0), kPeerPort);
    if (g_bed->peer < 0) {
        fprintf(stderr, "the peer socket cannot be made\n");
        exit(1);
    }
    // The identifier comes from the MAC the start flow records.
    group_test::StartDaemons(g_bed->endpoints, [](int i) {
        return group_test::WaitFor([i] { return Ask(i, Request(4, 0, {}, DeviceId(i)), 500).size() == 1; }, 20000);
    });
    return g_bed;
}

}  // namespace

int main(int argc, char** argv)
{
    return group_test::RunLanTests(argc, argv, SetUpTestBed);
}
