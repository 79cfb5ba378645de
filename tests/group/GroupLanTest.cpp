// Group coordination among several endpoints on a simulated LAN: three
// velmard processes, each in its own network namespace with its own board
// root and simulated MCU and display, and a test peer on the LAN's bridge.
// The endpoints are started once for the binary; the tests run in order and
// the floods come last. Needs root; exits 77 (skipped) where the namespaces
// or the bridge cannot be made.
#include <unistd.h>

#include <map>
#include <set>

#include "GroupLanSupport.h"
#include "ProtocolTestUtil.h"
#include "QuorVelmarDevSearchList.h"

using group_test::Collect;
using group_test::Datagram;
using group_test::LanEndpoint;
using group_test::LanPeer;
using group_test::WaitFor;

namespace {

const int kEndpoints = 3;
const uint16_t kPeerFromPort = 40000;

struct TestBed : group_test::LanBed {
    std::unique_ptr<LanPeer> peer;    // at the endpoints' gateway address, member of the group
    std::unique_ptr<LanPeer> other;   // a second peer address
};
TestBed* g_bed = nullptr;

// ---- Messages --------------------------------------------------------------------------

Bytes SearchQuery(uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5, uint16_t deviceType = 1)
{
    return WireBuilder().Header(QUOR_MSG_DEVICE_SEARCH_QUERY_REQ, w2, w3, w4, w5).U16(deviceType).U32(0).Done();
}

// An answer a peer of the product sends to a search (alias and device type).
Bytes PeerSearchAnswer(const std::string& alias)
{
    return WireBuilder()
        .Header(QUOR_MSG_DEVICE_SEARCH_QUERY_RSP)
        .U16(1)
        .U32(0)
        .U8(2)
        .U16(1)
        .Text(alias)
        .U16(8)
        .Text("TX")
        .Done();
}

Bytes MaxSeqNotice(uint16_t value)
{
    return WireBuilder().Header(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ, 0x21, 0x22, 0x23, 0x24).U16(1).U16(value).Done();
}

Bytes GroupSignNotice(uint16_t sign, uint32_t w2)
{
    return WireBuilder().Header(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, w2, 1, 0, 0).U16(1).U16(sign).Done();
}

struct Annex {
    uint16_t type;
    std::string text;
};

Bytes UserInfoNotice(const std::vector<Annex>& annexes)
{
    WireBuilder w;
    w.Header(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ, 1, 2, 3, 4).U16(1).U8((uint32_t)annexes.size());
    for (const Annex& a : annexes)
        w.U16(a.type).Text(a.text);
    return w.Done();
}

Bytes UserInfoAnswer(const std::vector<Annex>& annexes)
{
    WireBuilder w;
    w.Header(QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP, 1, 2, 3, 4).U8(0).U16(1).U8((uint32_t)annexes.size());
    for (const Annex& a : annexes)
        w.U8(0).U16(a.type).Text(a.text);
    return w.Done();
}

// ---- Observing the endpoints --------------------------------------------------------------

LanEndpoint& Endpoint(int i)
{
    return *g_bed->endpoints[(size_t)i];
}

LanPeer& Peer()
{
    return *g_bed->peer;
}

// Answers by sender address; every answer must come from an endpoint.
std::map<std::string, std::vector<Bytes>> BySender(const std::vector<Datagram>& datagrams)
{
    std::map<std::string, std::vector<Bytes>> out;
    for (const Datagram& d : datagrams)
        out[d.from].push_back(d.bytes);
    return out;
}

// Every endpoint answered exactly once, with expected(i).
void ExpectOneAnswerEach(const std::vector<Datagram>& got, const std::function<Bytes(int)>& expected)
{
    auto bySender = BySender(got);
    EXPECT_EQ((size_t)kEndpoints, got.size());
    for (int i = 0; i < kEndpoints; ++i) {
        const auto& answers = bySender[g_bed->lan->EndpointIp(i)];
        ASSERT_EQ(1u, answers.size()) << "endpoint " << i;
        EXPECT_EQ(Hex(expected(i)), Hex(answers[0])) << "endpoint " << i;
    }
}

// The daemon's log is written through a buffer: unknown messages (one log
// line each, nothing else happens) push it out until text shows.
bool WaitForLog(LanEndpoint& endpoint, const std::string& text, size_t count = 1)
{
    const Bytes poke = WireBuilder().Header(0x7777).Done();
    return WaitFor(
        [&] {
            if (endpoint.LogCount(text) >= count)
                return true;
            for (int n = 0; n < 40; ++n)
                g_bed->other->SendToEndpoint(endpoint.Ip(), poke);
            return false;
        },
        15000);
}

// A search query to every endpoint, through the group (from the first peer)
// or at each endpoint's unicast port (from the second), sent again every
// 300 ms until every endpoint has answered one: whatever was sent the same
// way before it has then been handled (one socket, one queue, in order).
bool RoundTrip(bool viaGroup, int timeoutMs = 30000)
{
    static uint32_t s_round = 1000;
    const uint32_t first = s_round + 1;
    LanPeer& asker = viaGroup ? Peer() : *g_bed->other;
    std::set<std::string> answered;
    for (int64_t end = group_test::NowMs() + timeoutMs;
         answered.size() < (size_t)kEndpoints && group_test::NowMs() < end;) {
        const Bytes query = SearchQuery(++s_round, 0, 0, 0);
        if (viaGroup)
            asker.SendToGroup(query);
        for (int i = 0; !viaGroup && i < kEndpoints; ++i) {
            if (answered.count(Endpoint(i).Ip()) == 0)
                asker.SendToEndpoint(Endpoint(i).Ip(), query);
        }
        Datagram d;
        while (answered.size() < (size_t)kEndpoints && group_test::Receive(asker.Unicast(), &d, 300)) {
            if (group_test::Be32(d.bytes, 8) >= first)
                answered.insert(d.from);
        }
    }
    return answered.size() == (size_t)kEndpoints;
}

// True once every endpoint answers a search on both paths (its queue
// drained); late answers to repeated queries are then read and dropped.
bool EveryEndpointAnswers(int timeoutMs)
{
    bool answered = RoundTrip(true, timeoutMs) && RoundTrip(false, timeoutMs);
    usleep(200000);
    Peer().DrainAll();
    g_bed->other->DrainAll();
    return answered;
}

std::string WebPassword(const LanEndpoint& endpoint)
{
    std::string conf = endpoint.Root().Read("/var/tmpfs/SavePowerOff.conf");
    size_t at = conf.find("UserPassWord=");
    if (at == std::string::npos)
        return "(none)";
    at += 13;
    return conf.substr(at, conf.find('\n', at) - at);
}

class GroupLanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < kEndpoints; ++i) {
            ASSERT_TRUE(Endpoint(i).Running()) << Endpoint(i).Output();
            Endpoint(i).Mcu().ClearRecords();
        }
        Peer().DrainAll();
        g_bed->other->DrainAll();
    }
};

// ---- Search ------------------------------------------------------------------------------

// The answer endpoint i gives to a query with header words 2 to 5: its alias
// (property file), address, and what its MCU reported in the start flow.
Bytes SearchAnswerOf(int i, uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5)
{
    const McuSimState mcu = Endpoint(i).Mcu().State();
    const std::string texts[8] = {"QuorVelmar", Endpoint(i).Ip(), mcu.order,        mcu.ringMarker,
                                  mcu.subgroup, mcu.showMe,       mcu.videoInput,   "TX"};
    WireBuilder w;
    w.Header(QUOR_MSG_DEVICE_SEARCH_QUERY_RSP, w2, w3, w4, w5).U16(1).U32(0).U8(8);
    for (int id = 1; id <= 8; ++id)
        w.U16((uint32_t)id).Text(texts[id - 1]);
    return w.Done();
}

TEST_F(GroupLanTest, SearchReachesEveryEndpointAndEachAnswersOnceAtTheAskersUnicastPort)
{
    ASSERT_TRUE(Peer().SendToGroup(SearchQuery(7, 8, 9, 10)));
    std::vector<Datagram> got = Collect(Peer().Unicast(), kEndpoints, 5000);
    ExpectOneAnswerEach(got, [](int i) { return SearchAnswerOf(i, 7, 8, 9, 10); });
    // Nothing reaches the port the query came from.
    Datagram stray;
    EXPECT_FALSE(group_test::Receive(Peer().Sender(), &stray, 0));
}

TEST_F(GroupLanTest, ConcurrentAskersEachGetTheirOwnAnswersAndReceiverSearchesAreIgnored)
{
    LanPeer& other = *g_bed->other;
    ASSERT_TRUE(Peer().SendToGroup(SearchQuery(0xA1, 1, 0, 0)));
    ASSERT_TRUE(other.SendToGroup(SearchQuery(0xB2, 1, 0, 0)));
    ASSERT_TRUE(other.SendToEndpoint(Endpoint(1).Ip(), SearchQuery(0xC3, 1, 0, 0)));
    ASSERT_TRUE(Peer().SendToGroup(SearchQuery(0xD4, 1, 0, 0, QUOR_DEVICE_TYPE_RECEIVER)));

    std::vector<Datagram> first = Collect(Peer().Unicast(), kEndpoints, 5000);
    ExpectOneAnswerEach(first, [](int i) { return SearchAnswerOf(i, 0xA1, 1, 0, 0); });

    std::vector<Datagram> second = Collect(other.Unicast(), kEndpoints + 1, 5000);
    ASSERT_EQ((size_t)kEndpoints + 1, second.size());
    std::map<uint32_t, std::multiset<std::string>> byQuery;
    for (const Datagram& d : second)
        byQuery[group_test::Be32(d.bytes, 8)].insert(d.from);
    EXPECT_EQ((size_t)kEndpoints, byQuery[0xB2].size());
    EXPECT_EQ(std::multiset<std::string>{Endpoint(1).Ip()}, byQuery[0xC3]);
    EXPECT_EQ(2u, byQuery.size());
}

// ---- Notices ------------------------------------------------------------------------------

TEST_F(GroupLanTest, MaxSeqNumNoticeUpdatesEveryPreferenceAndRecordAndIsAnswered)
{
    const uint16_t value = (uint16_t)(1000 + getpid() % 1000);
    for (uint16_t v : {value, (uint16_t)0}) {
        ASSERT_TRUE(Peer().SendToGroup(MaxSeqNotice(v)));
        std::vector<Datagram> got = Collect(Peer().Unicast(), kEndpoints, 5000);
        ExpectOneAnswerEach(got, [v](int) {
            return WireBuilder().Header(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP, 0x21, 0x22, 0x23, 0x24).U8(0).U16(1).U16(v).Done();
        });
        for (int i = 0; i < kEndpoints; ++i) {
            EXPECT_EQ(std::to_string(v), PowerSavePref(Endpoint(i), "sequenceMaxnumber")) << "endpoint " << i;
            EXPECT_TRUE(WaitForLog(Endpoint(i), "g_ModulInfolist SqncMaxNum is <" + std::to_string(v) + ">"))
                << "endpoint " << i;
        }
    }
}

TEST_F(GroupLanTest, GroupSignNoticeTellsEveryMcuAndIsAnswered)
{
    const struct {
        uint16_t sign;
        const char* line;
    } cases[] = {{QUOR_GROUP_SIGN_JOIN, "SET SUBGROUP self on"},
                 {QUOR_GROUP_SIGN_LEAVE, "SET SUBGROUP self off"},
                 {0x1003, nullptr}};
    uint32_t w2 = 50;
    for (const auto& c : cases) {
        for (int i = 0; i < kEndpoints; ++i)
            Endpoint(i).Mcu().ClearRecords();
        ASSERT_TRUE(Peer().SendToGroup(GroupSignNotice(c.sign, ++w2)));
        std::vector<Datagram> got = Collect(Peer().Unicast(), kEndpoints, 5000);
        ExpectOneAnswerEach(got, [&](int) {
            return WireBuilder().Header(QUOR_MSG_GROUP_SIGN_NOTIFY_RSP, w2, 1, 0, 0).U8(0).U16(1).U16(c.sign).Done();
        });
        for (int i = 0; c.line != nullptr && i < kEndpoints; ++i)
            EXPECT_TRUE(Endpoint(i).Mcu().WaitForLine(c.line, 3000)) << "endpoint " << i;
        usleep(c.line != nullptr ? 100000 : 500000);
        std::vector<std::string> expected;
        if (c.line != nullptr)
            expected.push_back(c.line);
        for (int i = 0; i < kEndpoints; ++i)
            EXPECT_EQ(expected, Endpoint(i).SubgroupLines()) << "endpoint " << i << " sign " << c.sign;
    }
}

TEST_F(GroupLanTest, PasswordNoticeChangesEveryPropertyFileAndIsAnswered)
{
    const std::string password = "pw-" + std::to_string(getpid());
    const std::vector<Annex> annexes = {{0x1002, "not a password"}, {QUOR_USER_INFO_WEB_PASSWORD, password}};
    ASSERT_TRUE(Peer().SendToGroup(UserInfoNotice(annexes)));
    ExpectOneAnswerEach(Collect(Peer().Unicast(), kEndpoints, 5000), [&](int) { return UserInfoAnswer(annexes); });
    for (int i = 0; i < kEndpoints; ++i) {
        EXPECT_EQ(password, WebPassword(Endpoint(i))) << "endpoint " << i;
        EXPECT_NE(std::string::npos, Endpoint(i).Root().Calls().find("sync\n")) << "endpoint " << i;
    }

    // Without a password annex nothing changes, and the annexes are echoed.
    const std::vector<Annex> other = {{0x1003, "x"}};
    ASSERT_TRUE(Peer().SendToGroup(UserInfoNotice(other)));
    ExpectOneAnswerEach(Collect(Peer().Unicast(), kEndpoints, 5000), [&](int) { return UserInfoAnswer(other); });
    for (int i = 0; i < kEndpoints; ++i)
        EXPECT_EQ(password, WebPassword(Endpoint(i))) << "endpoint " << i;

    // An endpoint whose "sync" fails takes the password but does not answer.
    Endpoint(2).SetSyncStatus(1);
    const std::vector<Annex> again = {{QUOR_USER_INFO_WEB_PASSWORD, password + "b"}};
    ASSERT_TRUE(Peer().SendToGroup(UserInfoNotice(again)));
    std::vector<Datagram> got = Collect(Peer().Unicast(), kEndpoints - 1, 3000, 800);
    Endpoint(2).SetSyncStatus(0);
    auto bySender = BySender(got);
    EXPECT_EQ(2u, got.size());
    EXPECT_EQ(1u, bySender[Endpoint(0).Ip()].size());
    EXPECT_EQ(1u, bySender[Endpoint(1).Ip()].size());
    for (int i = 0; i < kEndpoints; ++i)
        EXPECT_EQ(password + "b", WebPassword(Endpoint(i))) << "endpoint " << i;
}

TEST_F(GroupLanTest, SubgroupAllOnOneCommandPortReachesTheOtherMcus)
{
    group_test::CommandClient client;
    ASSERT_TRUE(client.Connect(Endpoint(0).Ip(), group_test::kCommandPort, 10000, g_bed->lan->LanNs()));
    ASSERT_TRUE(client.Send("SET SUBGROUP all on\r\n"));
    std::string before;
    ASSERT_TRUE(client.ReadUntil("SUBGROUP all on\r\n", &before, 5000));
    EXPECT_EQ("", before);

    // The notice goes to the group twice; every other endpoint tells its MCU
    // each time, the sender only once (it never hears its own notices).
    const Bytes notice = GroupSignNotice(QUOR_GROUP_SIGN_JOIN, 0);
    std::vector<Datagram> heard = Collect(Peer().Group(), 2, 5000);
    ASSERT_EQ(2u, heard.size());
    for (const Datagram& d : heard) {
        EXPECT_EQ(Endpoint(0).Ip(), d.from);
        EXPECT_EQ(Hex(notice), Hex(d.bytes));
    }
    for (int i = 1; i < kEndpoints; ++i) {
        EXPECT_TRUE(WaitFor([&] { return Endpoint(i).SubgroupLines().size() >= 2; }, 5000)) << "endpoint " << i;
    }
    usleep(300000);
    for (int i = 1; i < kEndpoints; ++i) {
        EXPECT_EQ((std::vector<std::string>{"SET SUBGROUP self on", "SET SUBGROUP self on"}),
                  Endpoint(i).SubgroupLines())
            << "endpoint " << i;
    }
    EXPECT_EQ(std::vector<std::string>{"SET SUBGROUP self on"}, Endpoint(0).SubgroupLines());
    // The answers went to the sender, not to the peer.
    Datagram stray;
    EXPECT_FALSE(group_test::Receive(Peer().Unicast(), &stray, 0));
    EXPECT_TRUE(WaitForLog(Endpoint(0), "@@@@@@In ProcessDeviceGroupSignNotifyRsp Fun, ResultCode is <0>", 4));
}

// ---- Robustness ---------------------------------------------------------------------------

// Sends every datagram to each endpoint's unicast port and to the group,
// pausing now and then so that most of them are taken in.
void SendToAll(const std::vector<Bytes>& datagrams, bool toGroup)
{
    LanPeer& from = *g_bed->other;
    size_t n = 0;
    for (const Bytes& d : datagrams) {
        for (int i = 0; i < kEndpoints; ++i)
            from.SendToEndpoint(Endpoint(i).Ip(), d);
        if (toGroup)
            from.SendToGroup(d);
        if (++n % 64 == 0)
            usleep(2000);
    }
}

std::vector<long> Rss()
{
    std::vector<long> rss;
    for (int i = 0; i < kEndpoints; ++i)
        rss.push_back(Endpoint(i).RssKb());
    return rss;
}

void ExpectAllRunning()
{
    for (int i = 0; i < kEndpoints; ++i)
        EXPECT_TRUE(Endpoint(i).Running()) << "endpoint " << i << ": " << Endpoint(i).Output();
}

// Bounds of resident memory: under ThreadSanitizer every byte the daemon
// touches also costs shadow memory; under AddressSanitizer freed blocks wait
// in a quarantine (kept at 4 MB for the daemons, see LanEndpoint).
#if defined(VELMAR_SANITIZE_THREAD)
const long kMemoryFactor = 5;
const long kMemorySlackKb = 0;
#elif defined(VELMAR_SANITIZE_ADDRESS)
const long kMemoryFactor = 2;
const long kMemorySlackKb = 6144;
#else
const long kMemoryFactor = 1;
const long kMemorySlackKb = 0;
#endif

long MemoryBoundKb(long kb)
{
    return kb * kMemoryFactor + kMemorySlackKb;
}

// Sends the datagrams in batches the receive queue holds whole (a small
// message and its packet record share a pool of about 50 blocks) to each
// endpoint's unicast port or to the group; every endpoint handles a batch
// before the next is sent.
void SendHandled(const std::vector<Bytes>& datagrams, bool toGroup)
{
    const size_t kBatch = 16;
    LanPeer& from = toGroup ? Peer() : *g_bed->other;
    for (size_t at = 0; at < datagrams.size(); at += kBatch) {
        for (size_t k = at; k < at + kBatch && k < datagrams.size(); ++k) {
            if (toGroup)
                from.SendToGroup(datagrams[k]);
            for (int i = 0; !toGroup && i < kEndpoints; ++i)
                from.SendToEndpoint(Endpoint(i).Ip(), datagrams[k]);
        }
        ASSERT_TRUE(RoundTrip(toGroup)) << "batch at " << at;
    }
}

TEST_F(GroupLanTest, FloodOfSearchAnswersIsCappedAndLeavesEveryDaemonRunning)
{
    const std::vector<long> before = Rss();
    // Every one of these reaches the handler: the list fills up.
    std::vector<Bytes> fill;
    for (size_t n = 0; n < CQuorVelmarDevSearchList::kMaxEntries + 30; ++n)
        fill.push_back(PeerSearchAnswer("fill-" + std::to_string(n)));
    ASSERT_NO_FATAL_FAILURE(SendHandled(fill, false));
    const std::vector<long> full = Rss();
    for (int i = 0; i < kEndpoints; ++i)
        EXPECT_TRUE(WaitForLog(Endpoint(i), "######g_DevSearchQueryInfoList is full")) << "endpoint " << i;

    // A flood meets the full list: whatever is taken in is refused, and no
    // more memory is held.
    std::vector<Bytes> flood;
    for (int n = 0; n < 2000; ++n)
        flood.push_back(PeerSearchAnswer("flood-" + std::to_string(n)));
    SendToAll(flood, false);
    SendToAll(flood, false);
    ASSERT_TRUE(EveryEndpointAnswers(30000));
    const std::vector<long> after = Rss();
    ExpectAllRunning();
    for (int i = 0; i < kEndpoints; ++i) {
        // 256 answers of about 26 KB each.
        EXPECT_LT(full[(size_t)i] - before[(size_t)i], MemoryBoundKb(16384)) << "endpoint " << i;
        EXPECT_LT(after[(size_t)i] - full[(size_t)i], MemoryBoundKb(2048)) << "endpoint " << i;
        printf("endpoint %d: resident %ld KiB before, %ld KiB with the list full, %ld KiB after a flood\n", i,
               before[(size_t)i], full[(size_t)i], after[(size_t)i]);
    }
}

// Bytes of length n: a length word of n (where it fits), one of the known
// command identifiers in turn and pseudo-random bytes after them.
Bytes Malformed(uint32_t n, uint32_t seed)
{
    static const uint32_t kIds[] = {0x1601, 0x2601, 0x1603, 0x2603, 0x1604, 0x2604, 0x1605, 0x2605, 0x2801, 0x1801};
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (uint32_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = (uint8_t)(x >> 16);
    }
    const uint32_t id = kIds[n % (sizeof(kIds) / sizeof(kIds[0]))];
    for (uint32_t i = 0; i < 4 && i < n; ++i) {
        b[i] = (uint8_t)(n >> (24 - 8 * i));
        if (4 + i < n)
            b[4 + i] = (uint8_t)(id >> (24 - 8 * i));
    }
    return b;
}

TEST_F(GroupLanTest, DatagramsOfEveryLengthFrom0To3073LeaveEveryDaemonRunning)
{
    std::vector<Bytes> datagrams;
    for (uint32_t n = 0; n <= 3073; ++n)
        datagrams.push_back(Malformed(n, n));
    // Each length reaches every daemon on both paths; then once more at full
    // speed. The first sweep fills the pools; a second one holds no more.
    std::vector<long> rss[3];
    for (int sweep = 0; sweep < 2; ++sweep) {
        rss[sweep] = Rss();
        ASSERT_NO_FATAL_FAILURE(SendHandled(datagrams, false));
        ASSERT_NO_FATAL_FAILURE(SendHandled(datagrams, true));
        SendToAll(datagrams, true);
        ASSERT_TRUE(EveryEndpointAnswers(30000));
        ExpectAllRunning();
    }
    rss[2] = Rss();
    for (int i = 0; i < kEndpoints; ++i) {
        const size_t e = (size_t)i;
        EXPECT_LT(rss[1][e] - rss[0][e], MemoryBoundKb(8192)) << "endpoint " << i;
        EXPECT_LT(rss[2][e] - rss[1][e], MemoryBoundKb(1024)) << "endpoint " << i;
        printf("endpoint %d: resident %ld KiB before, %ld KiB after one sweep, %ld KiB after two\n", i, rss[0][e],
               rss[1][e], rss[2][e]);
        // The longest one alone, again until it is seen: in a flood the kernel
        // drops what meets a full buffer while the daemon's queue is full.
        const std::string text = "###### Find AddUdpPacketCopyQueue inParams length error!";
        EXPECT_TRUE(WaitFor(
            [&] {
                g_bed->other->SendToEndpoint(Endpoint(i).Ip(), datagrams.back());
                return Endpoint(i).LogCount(text) > 0;
            },
            30000))
            << "endpoint " << i;
    }
}

TEST_F(GroupLanTest, AnswersToRequestsNobodySentChangeNothingAndAreNotAnswered)
{
    const std::vector<Bytes> unasked = {
        WireBuilder().Header(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP).U8(0).U16(1).U16(999).Done(),
        WireBuilder().Header(QUOR_MSG_GROUP_SIGN_NOTIFY_RSP).U8(0).U16(1).U16(QUOR_GROUP_SIGN_LEAVE).Done(),
        UserInfoAnswer({{QUOR_USER_INFO_WEB_PASSWORD, "stolen"}}),
        WireBuilder().Header(QUOR_MSG_VERSION_UPGRADE_RSP).Text("ARM").U32(1).U32(2).U32(3).Text("data").Done(),
    };
    ASSERT_TRUE(EveryEndpointAnswers(60000));
    std::vector<std::string> passwords;
    for (int i = 0; i < kEndpoints; ++i)
        passwords.push_back(WebPassword(Endpoint(i)));
    std::vector<Bytes> repeated;
    for (int n = 0; n < 200; ++n)
        repeated.insert(repeated.end(), unasked.begin(), unasked.end());
    SendToAll(repeated, true);

    ASSERT_TRUE(EveryEndpointAnswers(30000));
    ExpectAllRunning();
    for (int i = 0; i < kEndpoints; ++i) {
        // Garbage of earlier tests that parsed as a notice may still land
        // here; what must never show is the unasked answer's own number.
        EXPECT_NE("999", PowerSavePref(Endpoint(i), "sequenceMaxnumber")) << "endpoint " << i;
        EXPECT_EQ(passwords[(size_t)i], WebPassword(Endpoint(i))) << "endpoint " << i;
        EXPECT_TRUE(Endpoint(i).SubgroupLines().empty()) << "endpoint " << i;
    }
    // Only late answers to the repeated search queries may still come in;
    // nothing answers the unasked answers.
    Datagram stray;
    while (group_test::Receive(g_bed->other->Unicast(), &stray, 0))
        EXPECT_EQ((uint32_t)QUOR_MSG_DEVICE_SEARCH_QUERY_RSP, group_test::Be32(stray.bytes, 4)) << "from " << stray.from;
}

// ---- The test bed -------------------------------------------------------------------------

group_test::LanBed* SetUpTestBed()
{
    g_bed = new TestBed;
    group_test::MakeLanBed(kEndpoints, g_bed);
    g_bed->peer.reset(new LanPeer(*g_bed->lan, 0, kPeerFromPort));
    g_bed->other.reset(new LanPeer(*g_bed->lan, 1, kPeerFromPort + 1));
    if (!Peer().Ok() || !g_bed->other->Ok()) {
        fprintf(stderr, "the test peer's sockets cannot be made\n");
        exit(1);
    }
    group_test::StartDaemons(g_bed->endpoints, [](int) { return true; });
    if (!EveryEndpointAnswers(20000)) {
        fprintf(stderr, "not every endpoint answers a search\n");
        exit(1);
    }
    return g_bed;
}

}  // namespace

int main(int argc, char** argv)
{
    return group_test::RunLanTests(argc, argv, SetUpTestBed);
}
