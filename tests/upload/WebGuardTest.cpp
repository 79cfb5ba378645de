// The web side's guards in the test process: the cross-site decision, the
// per-address connection cap, finding a connection's socket while other
// threads open and close theirs, the device list writer (every item order,
// hostile texts: the reply always parses), and uploads that never reach
// their closing boundary.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <memory>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "QuorVelmarDevSearchList.h"
#include "QuorVelmarUploadReceiver.h"
#include "QuorVelmarWebGuard.h"
#include "StrictJson.h"
#include "UploadTestSupport.h"

namespace {

using upload_test::g_pRoot;

TEST(WebGuard, SameSiteDecision)
{
    const char* const kBrowser = "Mozilla/5.0 (X11; Linux x86_64) Chrome/120.0";
    struct Case {
        T_QuorWebSiteHeaders headers;   // Sec-Fetch-Site, Origin, Host, Referer, User-Agent
        bool served;
    } const cases[] = {
        {{nullptr, nullptr, nullptr, nullptr, nullptr}, true},                      // curl, the PC tools
        {{nullptr, nullptr, "10.0.0.5", nullptr, "curl/7.88"}, true},
        {{nullptr, nullptr, "10.0.0.5", "http://evil.example/", "curl/7.88"}, true},
        {{"same-origin", nullptr, "10.0.0.5", nullptr, kBrowser}, true},
        {{"none", nullptr, "10.0.0.5", nullptr, kBrowser}, true},                   // typed in, over HTTPS
        {{"Same-Origin", "http://evil.example", "10.0.0.5", nullptr, nullptr}, true}, // the browser's judgement
        {{"same-site", nullptr, "10.0.0.5", nullptr, nullptr}, false},
        {{"cross-site", nullptr, "10.0.0.5", nullptr, nullptr}, false},
        {{"cross-site", "http://10.0.0.5", "10.0.0.5", "http://10.0.0.5/", kBrowser}, false},
        {{"", nullptr, "10.0.0.5", nullptr, nullptr}, false},
        {{nullptr, "http://10.0.0.5", "10.0.0.5", nullptr, kBrowser}, true},
        {{nullptr, "HTTP://10.0.0.5", "10.0.0.5", nullptr, nullptr}, true},
        {{nullptr, "http://10.0.0.5:80", "10.0.0.5", nullptr, nullptr}, true},
        {{nullptr, "http://10.0.0.5", "10.0.0.5:80", nullptr, nullptr}, true},
        {{nullptr, "http://10.0.0.5:8080", "10.0.0.5:8080", nullptr, nullptr}, true},
        {{nullptr, "https://endpoint.lan", "endpoint.lan:443", nullptr, nullptr}, true},
        {{nullptr, "http://Endpoint.LAN", "endpoint.lan", nullptr, nullptr}, true},
        {{nullptr, "http://10.0.0.5:8080", "10.0.0.5", nullptr, nullptr}, false},
        {{nullptr, "http://10.0.0.5", "10.0.0.5:8080", nullptr, nullptr}, false},
        {{nullptr, "https://10.0.0.5", "10.0.0.5:80", nullptr, nullptr}, false},
        {{nullptr, "http://10.0.0.50", "10.0.0.5", nullptr, nullptr}, false},
        {{nullptr, "http://10.0.0.5", "10.0.0.50", nullptr, nullptr}, false},
        {{nullptr, "http://evil.example", "10.0.0.5", "http://10.0.0.5/", kBrowser}, false},
        {{nullptr, "null", "10.0.0.5", nullptr, nullptr}, false},
        {{nullptr, "http://10.0.0.5/x", "10.0.0.5", nullptr, nullptr}, false},
        {{nullptr, "file://", "10.0.0.5", nullptr, nullptr}, false},
        {{nullptr, "http://", "", nullptr, nullptr}, false},
        {{nullptr, "http://10.0.0.5", nullptr, nullptr, nullptr}, false},
        {{nullptr, "", "10.0.0.5", nullptr, nullptr}, false},
        // A browser's GET over plain HTTP carries neither: its Referer decides.
        {{nullptr, nullptr, "10.0.0.5", "http://10.0.0.5/index.html#system", kBrowser}, true},
        {{nullptr, nullptr, "10.0.0.5:8080", "http://10.0.0.5:8080/", kBrowser}, true},
        {{nullptr, nullptr, "10.0.0.5", nullptr, kBrowser}, false},
        {{nullptr, nullptr, "10.0.0.5", "http://evil.example/10.0.0.5", kBrowser}, false},
        {{nullptr, nullptr, "10.0.0.5", "http://10.0.0.5.evil.example/", kBrowser}, false},
        {{nullptr, nullptr, "10.0.0.5", "http://10.0.0.5:8080/", kBrowser}, false},
        {{nullptr, nullptr, "10.0.0.5", "10.0.0.5", kBrowser}, false},
    };
    for (const Case& c : cases) {
        const T_QuorWebSiteHeaders& h = c.headers;
        EXPECT_EQ(c.served, QuorWebRequestIsSameSite(h))
            << (h.secFetchSite ? h.secFetchSite : "-") << " " << (h.origin ? h.origin : "-") << " "
            << (h.host ? h.host : "-") << " " << (h.referer ? h.referer : "-") << " " << (h.userAgent ? "UA" : "-");
    }
}

TEST(WebGuard, ConnectionCapPerAddress)
{
    const size_t cap = CQuorWebAddressCap::kMaxConnectionsPerAddress;
    for (size_t i = 0; i < cap; ++i)
        EXPECT_TRUE(CQuorWebAddressCap::Enter("10.0.0.7"));
    EXPECT_FALSE(CQuorWebAddressCap::Enter("10.0.0.7"));
    EXPECT_EQ(cap, CQuorWebAddressCap::Count("10.0.0.7"));
    EXPECT_TRUE(CQuorWebAddressCap::Enter("10.0.0.8"));   // another address is not held back
    CQuorWebAddressCap::Leave("10.0.0.7");
    EXPECT_TRUE(CQuorWebAddressCap::Enter("10.0.0.7"));
    for (size_t i = 0; i < cap; ++i)
        CQuorWebAddressCap::Leave("10.0.0.7");
    CQuorWebAddressCap::Leave("10.0.0.8");
    EXPECT_EQ(0u, CQuorWebAddressCap::Count("10.0.0.7"));
    // The table of addresses is bounded: a full table refuses a new address.
    std::vector<std::string> many;
    for (size_t i = 0; i < CQuorWebAddressCap::kMaxAddresses; ++i) {
        many.push_back("10.1.0." + std::to_string(i));
        EXPECT_TRUE(CQuorWebAddressCap::Enter(many.back().c_str()));
    }
    EXPECT_FALSE(CQuorWebAddressCap::Enter("10.2.0.1"));
    EXPECT_FALSE(CQuorWebAddressCap::Enter(std::string(60, '1').c_str()));
    for (const std::string& address : many)
        CQuorWebAddressCap::Leave(address.c_str());
    EXPECT_TRUE(CQuorWebAddressCap::Enter("10.2.0.1"));
    CQuorWebAddressCap::Leave("10.2.0.1");
}

// ---- Finding a connection's socket -----------------------------------------------------

// Both ends of a loopback TCP connection in this process, and its listener.
struct LoopbackPair {
    int listener = -1, client = -1, server = -1;
    ~LoopbackPair()
    {
        for (int fd : {listener, client, server}) {
            if (fd >= 0)
                close(fd);
        }
    }
    // False when the address family has no loopback here.
    bool Open(const char* address)
    {
        sockaddr_storage at{};
        bool ipv6 = strchr(address, ':') != nullptr;
        at.ss_family = ipv6 ? AF_INET6 : AF_INET;
        void* host = ipv6 ? (void*)&reinterpret_cast<sockaddr_in6&>(at).sin6_addr
                          : (void*)&reinterpret_cast<sockaddr_in&>(at).sin_addr;
        socklen_t length = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        sockaddr* to = reinterpret_cast<sockaddr*>(&at);
        listener = socket(at.ss_family, SOCK_STREAM, 0);
        client = socket(at.ss_family, SOCK_STREAM, 0);
        if (inet_pton(at.ss_family, address, host) != 1 || bind(listener, to, length) != 0 ||
            listen(listener, 1) != 0 || getsockname(listener, to, &length) != 0 || connect(client, to, length) != 0)
            return false;
        server = accept(listener, nullptr, nullptr);
        return server >= 0;
    }
};

int LocalPort(int fd)
{
    sockaddr_storage at{};
    socklen_t length = sizeof(at);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0)
        return -1;
    return ntohs(at.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(at).sin6_port
                                          : reinterpret_cast<sockaddr_in&>(at).sin_port);
}

TEST(WebGuard, ConnectionSocketFoundWhileOtherSocketsComeAndGo)
{
    std::atomic<bool> stop{false};
    // Like the other workers: sockets held a while, closed, their numbers
    // taken again.
    std::thread churn([&] {
        int held[16];
        std::fill(std::begin(held), std::end(held), -1);
        for (size_t i = 0; !stop.load(); i = (i + 1) % 16) {
            if (held[i] >= 0)
                close(held[i]);
            held[i] = socket(AF_INET, SOCK_STREAM, 0);
        }
        for (int fd : held) {
            if (fd >= 0)
                close(fd);
        }
    });
    for (const char* address : {"127.0.0.1", "::1"}) {
        LoopbackPair pair;
        if (!pair.Open(address)) {
            printf("no loopback connection for %s here\n", address);
            continue;
        }
        const int serverPort = LocalPort(pair.server), clientPort = LocalPort(pair.client);
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(pair.server, QuorWebConnectionSocket(address, clientPort, serverPort)) << address;
            EXPECT_EQ(pair.client, QuorWebConnectionSocket(address, serverPort, clientPort)) << address;
        }
        // Neither the listener (no peer) nor another port is taken for it.
        EXPECT_EQ(-1, QuorWebConnectionSocket(strchr(address, ':') ? "::" : "0.0.0.0", 0, serverPort)) << address;
        EXPECT_EQ(-1, QuorWebConnectionSocket(address, clientPort, serverPort + 1)) << address;
        EXPECT_EQ(-1, QuorWebConnectionSocket("no address", clientPort, serverPort));
    }
    stop = true;
    churn.join();
}

// ---- The device list ---------------------------------------------------------------

const char* const kNames[] = {"alias", "ip_addr", "sequence_number", "looplink_sign",
                              "group_sign", "showme_sign", "vi_select", "dev_type"};

std::unique_ptr<T_QuorDeviceSearchQueryRsp> Answer(const std::vector<uint16_t>& ids,
                                                   const std::vector<std::string>& texts)
{
    std::unique_ptr<T_QuorDeviceSearchQueryRsp> answer(new T_QuorDeviceSearchQueryRsp());
    answer->u8DeviceInfoTotal = (uint8_t)ids.size();
    for (size_t i = 0; i < ids.size(); ++i) {
        answer->tAnnexCode[i].u16InfoID = ids[i];
        snprintf(answer->tAnnexCode[i].cInfoCode, sizeof(answer->tAnnexCode[i].cInfoCode), "%s",
                 texts[i % texts.size()].c_str());
    }
    return answer;
}

std::string ListJson(const char* ownMax, const std::vector<std::vector<uint16_t>>& devices,
                     const std::vector<std::string>& texts)
{
    CQuorVelmarDevSearchList list;
    for (const std::vector<uint16_t>& ids : devices)
        EXPECT_EQ(0, list.Append(*Answer(ids, texts)));
    return QuorDeviceListJson(ownMax, list);
}

TEST(DeviceList, ExactBytesInTheFixedOrder)
{
    // The checker itself refuses what the list once gave.
    for (const char* broken : {"{\"dev_type\":\"TX\"\"alias\":\"a\"}", "{\"devicemaxseqnum\": ,\"d\":[]}",
                               "{\"a\":[{}],}", "{\"a\":7]}{}", "[\"\t\"]", "{\"a\":01}"})
        EXPECT_FALSE(strict_json::IsJson(broken)) << broken;
    EXPECT_TRUE(strict_json::IsJson("{\r\n\"a\": null,\"b\":[{\"c\":\"\\u0001\\\"\"}, -1.5e3, true]}"));
    EXPECT_EQ("{\r\n\"devicemaxseqnum\": 7,\r\n\"deviceinfo\":[\r\n"
              "{\"alias\":\"a\",\"ip_addr\":\"a\",\"dev_type\":\"a\"},\r\n"
              "{\"alias\":\"a\"}\r\n]}",
              ListJson("007", {{8, 1, 2}, {1, 9, 2}, {3}}, {"a"}));
    EXPECT_EQ("{\r\n\"devicemaxseqnum\": null,\r\n\"deviceinfo\":[\r\n{}\r\n]}", ListJson("", {{}}, {"a"}));
    EXPECT_EQ("{\r\n\"devicemaxseqnum\": null,\r\n\"deviceinfo\":[\r\n]}", ListJson("7]}{", {}, {"a"}));
    // The first of a repeated item counts.
    EXPECT_EQ("{\r\n\"devicemaxseqnum\": 12,\r\n\"deviceinfo\":[\r\n{\"alias\":\"x\",\"dev_type\":\"y\"}\r\n]}",
              ListJson("12", {{1, 8, 1}}, {"x", "y", "z"}));
}

TEST(DeviceList, EveryItemOrderAndHostileTextsParse)
{
    const std::vector<std::string> hostile = {"hall\"<script>", "a\\", "\r\n\t\x01", "\": ,", "}]{", "\xff\xfe",
                                              std::string(QUOR_MSG_TEXT_SIZE + 10, 'q')};
    std::vector<uint16_t> ids = {1, 2, 3, 4, 5, 6, 7, 8};
    std::mt19937 random(22);
    std::vector<std::vector<uint16_t>> devices;
    do {
        if (random() % 97 == 0)
            devices.push_back(std::vector<uint16_t>(ids.begin(), ids.begin() + (long)(random() % 9)));
    } while (std::next_permutation(ids.begin(), ids.end()));
    ASSERT_GT(devices.size(), 100u);
    devices.resize(CQuorVelmarDevSearchList::kMaxEntries);
    for (const char* ownMax : {"", "0", "65535", "7]}{", "12a", "-1", "999999999999"}) {
        const std::string text = ListJson(ownMax, devices, hostile);
        ASSERT_TRUE(strict_json::IsJson(text)) << ownMax << "\n" << text.substr(0, 400);
    }
    // Whatever the arrival order, the names come in the fixed order.
    const std::string text = ListJson("1", {{8, 7, 6, 5, 4, 3, 2, 1}}, {"v"});
    size_t at = 0;
    for (const char* name : kNames) {
        size_t found = text.find(std::string("\"") + name + "\":\"v\"", at);
        ASSERT_NE(std::string::npos, found) << name;
        at = found;
    }
}

// ---- Uploads that never end -----------------------------------------------------------

std::string TmpListing()
{
    return board_test::RunProcess({"ls", "-A", g_pRoot->File("/www/tmp")}).output;
}

TEST(UploadReceiver, CutUploadsLeaveNothingAndRecordNothing)
{
    CQuorVelmarUploadFiles::RecordName("ARM", "before.tar.gz");
    const std::string body = upload_test::Body("ARM", "cut.tar.gz", upload_test::BinaryData(100000));
    const std::string closing = std::string("--") + upload_test::kBoundary + "--\r\n";
    for (size_t cut : {body.size() - closing.size(), body.size() - 3, body.size() / 2, (size_t)200}) {
        {
            CQuorVelmarUploadReceiver receiver;
            std::string part = body.substr(0, cut);
            int consumed = receiver.Feed(part.data(), (int)part.size(), true);
            ASSERT_GE(consumed, 0);
            EXPECT_FALSE(receiver.Done());
            EXPECT_NE(std::string::npos, TmpListing().find(".upload-")) << cut;   // written, under another name
            EXPECT_STREQ("cut.tar.gz", receiver.FileName());
        }
        EXPECT_EQ("", TmpListing()) << cut;
    }
    char name[QUOR_UPLOAD_NAME_SIZE];
    CQuorVelmarUploadFiles::UpVersion(name);
    EXPECT_STREQ("before.tar.gz", name);
    // Leftovers of an earlier process go at start.
    ASSERT_TRUE(board_test::WriteText(g_pRoot->File("/www/tmp/.upload-1-1.part"), "x"));
    ASSERT_TRUE(board_test::WriteText(g_pRoot->File("/www/tmp/kept.bin"), "x"));
    EXPECT_EQ(1, CQuorVelmarUploadFiles::RemoveTemporaries());
    EXPECT_EQ("kept.bin\n", TmpListing());
    EXPECT_EQ(0, CQuorVelmarUploadFiles::Remove("/www/tmp/kept.bin"));
}

} // namespace
