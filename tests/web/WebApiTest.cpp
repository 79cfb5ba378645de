// The web server and its action API, black-box: three velmard processes on a
// simulated LAN (each with its board root and simulated MCU and display), an
// HTTP client and a group peer on the LAN's bridge. The endpoints are started
// once for the binary; the tests run in order, the ones that change the
// address mode last, on their own endpoint. Needs root; exits 77 (skipped)
// where the namespaces or the bridge cannot be made.
#include <atomic>
#include <functional>
#include <thread>

#include "ProtocolTestUtil.h"
#include "SimText.h"
#include "StrictJson.h"
#include "WebClient.h"

using group_test::GroupLan;
using group_test::LanEndpoint;
using group_test::LanPeer;
using group_test::WaitFor;
using web_test::HttpGet;
using web_test::HttpReply;

namespace {

const int kEndpoints = 3;
const char kTrailerHead[] = "Content-Type: text/plain\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n";
const char kTrailerBody[] = "\r\n\r\n";

struct TestBed : group_test::LanBed {
    std::unique_ptr<LanPeer> peer;
};
TestBed* g_bed = nullptr;

LanEndpoint& Ep(int i = 0)
{
    return *g_bed->endpoints[i];
}

HttpReply Get(const std::string& path, int endpoint = 0)
{
    return HttpGet(g_bed->lan->LanNs(), Ep(endpoint).Ip(), path);
}

HttpReply Action(const std::string& query, int endpoint = 0)
{
    return Get("/action?" + query, endpoint);
}

void StartBed()
{
    g_bed = new TestBed;
    group_test::MakeLanBed(kEndpoints, g_bed);
    for (int i = 0; i < kEndpoints; ++i) {
        // A discovery waits 2 s, long enough to see another request answered meanwhile.
        const std::string prefs = Ep(i).Root().File("/Velmar/etc/Velmar.xml");
        std::string text = board_test::ReadText(prefs);
        const std::string timer = "\"Quor_Velmar_DevSearchQueryTimer\" TYPE=\"UInt16\" >1<";
        ASSERT_NE(text.find(timer), std::string::npos);
        text.replace(text.find(timer), timer.size(), "\"Quor_Velmar_DevSearchQueryTimer\" TYPE=\"UInt16\" >2<");
        ASSERT_TRUE(board_test::WriteText(prefs, text));
        // The MCU takes REBOOT and RESET without answering: the daemon stays as it is.
        Ep(i).Mcu().SetReply("REBOOT", {});
        Ep(i).Mcu().SetReply("RESET", {});
        ASSERT_TRUE(Ep(i).StartDaemon());
    }
    g_bed->peer.reset(new LanPeer(*g_bed->lan, 0, 40100));
    ASSERT_TRUE(g_bed->peer->Ok());
    for (int i = 0; i < kEndpoints; ++i) {
        ASSERT_TRUE(Ep(i).WaitStartFlow(60000)) << Ep(i).Output();
        ASSERT_TRUE(WaitFor([i] { return Get("/index.html", i).status == 200; }, 60000)) << Ep(i).Output();
    }
}

// Clears what the simulators recorded, runs the request and returns it.
HttpReply Fresh(const std::string& query, int endpoint = 0)
{
    Ep(endpoint).Mcu().ClearRecords();
    Ep(endpoint).Display().ClearRecords();
    return Action(query, endpoint);
}

// A request that pauses pauseMs after each MCU line: line k (from 0) cannot
// arrive before k pauses have passed since the request was sent. The clock
// starts before the request, and a late write or a late read only adds to
// the time measured, so a loaded machine cannot fail this.
void ExpectPausesBetweenLines(const std::vector<SimChunk>& chunks, int64_t sentMs, int pauseMs)
{
    for (size_t k = 1; k < chunks.size(); ++k)
        EXPECT_GE(chunks[k].atMs - sentMs, static_cast<int64_t>(k) * pauseMs) << "line " << k << ": " << chunks[k].bytes;
}

std::string Json(const std::string& head, const std::string& item)
{
    return "{\r\n\"" + head + "\":[\r\n{" + item + "}\r\n]\r\n}";
}

// ---- Static files ------------------------------------------------------------------------

TEST(WebFiles, ServesTheDocumentRootAndNothingOutsideIt)
{
    HttpReply index = Get("/index.html");
    EXPECT_EQ(200, index.status);
    EXPECT_EQ(board_test::ReadText(Ep().Root().File("/www/index.html")), index.body);
    for (const std::string& path : std::vector<std::string>{"/../Velmar/etc/Velmar.xml", "/%2e%2e/Velmar/etc/Velmar.xml",
                                    "/images/%2E%2E/%2e%2e/Velmar/etc/Velmar.xml", "/..%2fVelmar/etc/Velmar.xml",
                                    "/" + Ep().Root().Path() + "/Velmar/etc/Velmar.xml", "/etc/passwd"}) {
        HttpReply reply = Get(path);
        EXPECT_TRUE(reply.status == 404 || reply.status == 403) << path << "\n" << reply.raw;
        EXPECT_EQ(std::string::npos, reply.raw.find("QuorVelmar")) << path;
    }
    EXPECT_NE(200, Get("/images/").status);  // no directory listing
}

// ---- Dispatch and replies ---------------------------------------------------------------

TEST(WebAction, DispatchPrefixesAndRefusals)
{
    struct Case {
        std::string query;
        int status;
    } const cases[] = {
        {"cmdtype=DEVICECONFXYZ&cmdstr=gethdcpinfo&cmdparameter=hdmi", 200},
        {"cmdtype=commconfigX&cmdstr=getipinfoABC", 200},
        {"cmdtype=deviceconfi&cmdstr=getcecinfo", 200},
        {"cmdtype=devicecontrol&cmdstr=GETLEDFLICKER", 200},
        {"cmdtype=devicecontro&cmdstr=GETLEDFLICKER", 400},
        {"cmdtype=nosuch&cmdstr=getipinfo", 400},
        {"cmdtype=commconfig&cmdstr=nosuch", 400},
        {"cmdtype=systemconfig&cmdstr=versioninfo&softwarename=DSP", 400},
        {"cmdtype=deviceconfig&cmdstr=gethdcpinfo&cmdparameter=vga", 400},
        {"cmdtype=systemconfig&cmdstr=update&cmdparameter=ARM", 400},
        {"cmdtype=commconfig&cmdstr=getipinfo&x=" + std::string(600, 'a'), 200},
        {"cmdtype=" + std::string(128, 'c') + "&cmdstr=getipinfo", 400},   // does not fit: refused, not cut
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.status, Action(c.query).status) << c.query;

    // The variables may come as a form body; a body past 16 KiB is refused.
    for (const auto& c : std::vector<std::pair<std::string, int>>{
             {"cmdtype=commconfig&cmdstr=getipinfo", 200},
             {"cmdtype=commconfig&cmdstr=getipinfo&x=" + std::string(17000, 'a'), 400}}) {
        HttpReply posted = web_test::HttpRequest(
            g_bed->lan->LanNs(), Ep().Ip(),
            "POST /action HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Type: "
            "application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(c.first.size()) + "\r\n\r\n" + c.first);
        EXPECT_EQ(c.second, posted.status) << posted.raw.substr(0, 200);
    }

    HttpReply refused = Action("cmdtype=nosuch&cmdstr=x");
    EXPECT_EQ("HTTP/1.1 400 Bad Request\r\n" + std::string(kTrailerHead), refused.head);
    EXPECT_EQ(kTrailerBody, refused.body);
    HttpReply noStatus = Fresh("cmdtype=deviceconfig&cmdstr=groupsignset&parameterstr=maybe");
    EXPECT_EQ("HTTP/1.1 500 Internal Server Error\r\n" + std::string(kTrailerHead), noStatus.head);
    EXPECT_EQ(kTrailerBody, noStatus.body);
    EXPECT_TRUE(Ep().Mcu().ReceivedLines().empty());
}

TEST(WebAction, JsonRepliesByteForByte)
{
    const std::string ip = Ep().Ip(), gw = g_bed->lan->PeerIp(0);
    struct Case {
        std::string query, body;
    } const cases[] = {
        {"cmdtype=commconfig&cmdstr=getipinfo",
         Json("ipinfo", "\"ipmode\":\"static\",\"ip4addr\":\"" + ip +
                            "\",\"netmask\":\"255.255.255.0\",\"gateway\":\"" + gw + "\"")},
        {"cmdtype=commconfig&cmdstr=getautologoutinfo",
         "{\r\n\"autologoutinfo\":[\r\n{\"mode\":\"on\",\r\n\"time\":\"5\"\r\n}]}"},
        {"cmdtype=systemconfig&cmdstr=versioninfo&softwarename=MCU",
         Json("versioninfo", "\"softwarename\":\"MCU\",\"versionname\":\"1.0.2\"")},
        {"cmdtype=systemconfig&cmdstr=versioninfo&softwarename=ALL",
         "{\r\n\"versioninfo\":[\r\n{\"softwarename\":\"ARM\",\"versionname\":\"3.11\"},\r\n"
         "{\"softwarename\":\"MCU\",\"versionname\":\"1.0.2\"}\r\n]\r\n}"},
        {"cmdtype=systemconfig&cmdstr=upgradeinfo&softwarename=ARM",
         Json("upgradeinfo", "\"softwarename\":\"ARM\",\"updatestatus\":\"0\"")},
        {"cmdtype=deviceconfig&cmdstr=gethdcpinfo&cmdparameter=dp", Json("hdcpinfo", "\"hdcpsupport\":\"1\"")},
        {"cmdtype=deviceconfig&cmdstr=getcecinfo",
         Json("cecinfo", "\"cecsupport\":\"1\",\"cecdelaycontroltime\":\"5\"")},
        {"cmdtype=deviceconfig&cmdstr=getedidinfo&cmdparameter=all", Json("edidinfo", "\"edidsetting\":\"1080P\"")},
        {"cmdtype=deviceconfig&cmdstr=getautoswinfo", Json("autoswinfo", "\"autosw\":\"on\"")},
        {"cmdtype=devicecontrol&cmdstr=GETLEDFLICKER", Json("ledflickerinfo", "\"ledflicker\":\"off\"")},
    };
    for (const Case& c : cases) {
        HttpReply reply = Fresh(c.query);
        EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n", reply.head);
        EXPECT_EQ(c.body, reply.body) << c.query;
    }
    EXPECT_TRUE(Ep().Mcu().ReceivedLines().empty());  // "all" answers from the record
}

// ---- Commands to the MCU ----------------------------------------------------------------

TEST(WebAction, McuLinesInOrder)
{
    struct Case {
        std::string query;
        int status;
        std::vector<std::string> lines;
    } const cases[] = {
        {"cmdtype=systemconfig&cmdstr=rebootnow", 200, {"REBOOT"}},
        {"cmdtype=systemconfig&cmdstr=resetfactory", 200, {"RESET"}},
        {"cmdtype=deviceconfig&cmdstr=sethdcpinfo&cmdparameter=hdmi&hdcpsupport=1", 200,
         {"SET HDCPSUPPORT_ONOFF hdmi ON"}},
        {"cmdtype=deviceconfig&cmdstr=sethdcpinfo&cmdparameter=dp&hdcpsupport=01", 200, {"SET HDCPSUPPORT_ONOFF dp ON"}},
        {"cmdtype=deviceconfig&cmdstr=sethdcpinfo&cmdparameter=dp&hdcpsupport=yes", 200,
         {"SET HDCPSUPPORT_ONOFF dp OFF"}},
        {"cmdtype=deviceconfig&cmdstr=sethdcpinfo&cmdparameter=dp", 200, {"SET HDCPSUPPORT_ONOFF dp OFF"}},
        {"cmdtype=deviceconfig&cmdstr=setcecinfo&cmdparameter=hdmi&cecsupport=1&cecdelaycontroltime=7", 200,
         {"SET CECAUTO_ONOFF hdmi ON", "SET CECAUTO_DELAY hdmi 7"}},
        {"cmdtype=deviceconfig&cmdstr=getedidinfo&cmdparameter=hdmi", 200, {"GET EDID hdmi"}},
        {"cmdtype=deviceconfig&cmdstr=setedidinfo&cmdparameter=hdmi&edidsetting=4K", 200, {"SET EDID hdmi 4K"}},
        {"cmdtype=deviceconfig&cmdstr=setautoswinfo&cmdparameter=off", 200, {"SET AUTOSW_ONOFF off"}},
        {"cmdtype=deviceconfig&cmdstr=setrs232info&rs232support=1&rs232delaycontroltime=4", 200,
         {"SET UARTAUTO_ONOFF hdmi ON", "SET UARTPWR_DELAY hdmi 4"}},
        {"cmdtype=deviceconfig&cmdstr=setrs232info&rs232support=0", 200, {"SET UARTAUTO_ONOFF hdmi OFF"}},
        {"cmdtype=deviceconfig&cmdstr=groupsignset&parameterstr=on", 200, {"SET SUBGROUP self on"}},
        {"cmdtype=devicecontrol&cmdstr=cecxyz&parameteronestr=hdmi&parametertwostr=poweron", 200,
         {"SET CECPWR_ONOFF hdmi ON"}},
        {"cmdtype=devicecontrol&cmdstr=cec&parameteronestr=hdmi&parametertwostr=power", 400, {}},
        {"cmdtype=devicecontrol&cmdstr=SETLEDFLICKER&cmdparam=on", 200, {"set ledflicker on"}},
        {"cmdtype=devicecontrol&cmdstr=SETLEDFLICKER", 500, {}},
        // A line end inside a value would start another MCU line.
        {"cmdtype=deviceconfig&cmdstr=setautoswinfo&cmdparameter=on%0D%0ARESET", 400, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.status, Fresh(c.query).status) << c.query;
        // Every line has been written once the reply is there.
        WaitFor([&c] { return Ep().Mcu().ReceivedLines().size() >= c.lines.size(); }, 10000);
        EXPECT_EQ(c.lines, Ep().Mcu().ReceivedLines()) << c.query;
    }
    // The pauses: 500 ms between the two CEC settings.
    const int64_t sentMs = SimNowMs();
    Fresh("cmdtype=deviceconfig&cmdstr=setcecinfo&cmdparameter=dp&cecsupport=0&cecdelaycontroltime=2");
    WaitFor([] { return Ep().Mcu().ReceivedLines().size() >= 2; }, 10000);
    std::vector<SimChunk> chunks = Ep().Mcu().Chunks();
    ASSERT_EQ(2u, chunks.size());
    EXPECT_EQ("SET CECAUTO_ONOFF dp OFF\r\n", chunks[0].bytes);
    ExpectPausesBetweenLines(chunks, sentMs, 500);
}

// ---- Display line and RS-232 settings ------------------------------------------------------

TEST(WebAction, Rs232CommandsReachTheDisplay)
{
    const std::string line = "&rs232speed=9600&rs232paritybit=N&rs232databit=8&rs232stopbit=2";
    const std::string set = "cmdtype=deviceconfig&cmdstr=setrs232cmdstring&rs232cmdcontent=poweron" + line;
    // An end flag out of range: settings and command stored, then 400.
    EXPECT_EQ(400, Fresh(set + "&hexadecimal=1&rs232cmdstring=50%2051&rs232endflg=7").status);
    EXPECT_NE(std::string::npos, Ep().Root().Read("/Velmar/etc/Velmar.xml").find(">50 51<"));
    EXPECT_EQ(9600, Ep().Display().LineSettings().speed);
    EXPECT_EQ(400, Fresh(set + "&rs232cmdstring=" + std::string(256, 'x') + "&rs232endflg=0").status);
    EXPECT_EQ(200, Fresh(set + "&hexadecimal=1&rs232cmdstring=50%2051&rs232endflg=3").status);
    EXPECT_EQ(Json("rs232info", "\"rs232support\":\"0\",\"rs232delaycontroltime\":\"4\",\"hexadecimal\":\"1\","
                                "\"rs232poweronstring\":\"50 51\",\"rs232poweroffstring\":\"\",\"rs232speed\":\"9600\","
                                "\"rs232paritybit\":\"N\",\"rs232databit\":\"8\",\"rs232stopbit\":\"2\","
                                "\"rs232endflg\":\"3\""),
              Action("cmdtype=deviceconfig&cmdstr=getrs232info").body);

    struct Case {
        std::string query;
        int status;
        std::string bytes;
    } const cases[] = {
        // The stored command, decoded, without the end flag.
        {"cmdstr=rs232ctrl&parameteronestr=poweron" + line, 200, "PQ"},
        {"cmdstr=rs232ctrl&parameteronestr=poweron&rs232speed=9600&rs232paritybit=N&rs232databit=8", 400, ""},
        {"cmdstr=rs232ctrl&parameteronestr=standby" + line, 400, ""},
        // Pass-through data with its end bytes.
        {"cmdstr=rs232passthrough&parameteronestr=hexsignon&contentstr=41%2000%2042&rs232endflg=3" + line, 200,
         std::string("A\0B\r\n", 5)},
        {"cmdstr=rs232passthrough&parameteronestr=hexsignoff&contentstr=hi&rs232endflg=1" + line, 200, "hi\r"},
        {"cmdstr=rs232passthrough&parameteronestr=hexsignoff&contentstr=hi&rs232endflg=5" + line, 500, ""},
        {"cmdstr=rs232passthrough&parameteronestr=plain&contentstr=hi&rs232endflg=0" + line, 400, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.status, Fresh("cmdtype=devicecontrol&" + c.query).status) << c.query;
        if (!c.bytes.empty()) {
            EXPECT_TRUE(Ep().Display().WaitForBytes(c.bytes.size(), 10000)) << c.query;
        }
        EXPECT_EQ(c.bytes, Ep().Display().ReceivedBytes()) << c.query;
    }
    // Line settings longer than the stored copies hold (the first value of a name counts) are refused
    // before anything is stored.
    const std::string prefs = Ep().Root().Read("/Velmar/etc/Velmar.xml");
    for (size_t length : {128u, 511u}) {
        const std::string speed = "&rs232speed=" + std::string(length, '9');
        for (const std::string& query :
             {"cmdtype=devicecontrol&cmdstr=rs232ctrl&parameteronestr=poweron" + speed + line,
              "cmdtype=devicecontrol&cmdstr=rs232passthrough&parameteronestr=hexsignoff&contentstr=hi&rs232endflg=0" +
                  speed + line,
              set + "&hexadecimal=" + std::string(length, '1') + "&rs232cmdstring=50&rs232endflg=0"})
            EXPECT_EQ(400, Fresh(query).status) << length << query.substr(0, 60);
    }
    EXPECT_EQ(prefs, Ep().Root().Read("/Velmar/etc/Velmar.xml"));
    EXPECT_EQ("", Ep().Display().ReceivedBytes());
}

// ---- Password, alias, group ----------------------------------------------------------------

TEST(WebAction, PasswordIsCheckedExactly)
{
    EXPECT_EQ(400, Action("cmdtype=systemconfig&cmdstr=changepasswd&newpasswd=x%0Ay").status);
    EXPECT_EQ(200, Action("cmdtype=systemconfig&cmdstr=changepasswd&newpasswd=abc").status);
    for (const auto& c : std::vector<std::pair<std::string, int>>{{"abc", 200}, {"abcd", 400}, {"ab", 400}, {"", 400}})
        EXPECT_EQ(c.second, Action("cmdtype=systemconfig&cmdstr=verifypasswd&passwd=" + c.first).status) << c.first;
    // The other endpoints took the new password from the group notice.
    EXPECT_TRUE(WaitFor([] { return Action("cmdtype=systemconfig&cmdstr=verifypasswd&passwd=abc", 1).status == 200; },
                        20000));
}

TEST(WebAction, DeviceListOfTheGroup)
{
    EXPECT_EQ(200, Action("cmdtype=deviceconfig&cmdstr=setdeviceinfo&alias=hall%22%3Cscript%3E", 1).status);
    EXPECT_EQ(200, Action("cmdtype=deviceconfig&cmdstr=sequencenumberarrange&maxsequencenumber=12").status);
    const std::string body = Action("cmdtype=commconfig&cmdstr=getdeviceinfo").body;
    EXPECT_EQ(0u, body.find("{\r\n\"devicemaxseqnum\": 12,\r\n\"deviceinfo\":[\r\n{\"alias\":\"")) << body;
    const std::string one = "{\"alias\":\"hall\\\"<script>\",\"ip_addr\":\"" + Ep(1).Ip() +
                            "\",\"sequence_number\":\"12\",\"looplink_sign\":\"off\",\"group_sign\":\"off\","
                            "\"showme_sign\":\"off\",\"vi_select\":\"hdmi\",\"dev_type\":\"TX\"}";
    EXPECT_NE(std::string::npos, body.find(one)) << body;
    EXPECT_NE(std::string::npos, body.find("\"ip_addr\":\"" + Ep(2).Ip() + "\"")) << body;
    EXPECT_EQ(std::string::npos, body.find("\"ip_addr\":\"" + Ep().Ip() + "\"")) << body;
    EXPECT_NE(std::string::npos, body.find("\"},\r\n{\"alias\"")) << body;
    EXPECT_EQ("\"}\r\n]}", body.substr(body.size() - 6)) << body;
}

// A search answer of the peer with the items (identifier, text) in order.
Bytes PeerAnswer(const std::vector<std::pair<uint16_t, std::string>>& items)
{
    WireBuilder answer;
    answer.Header(QUOR_MSG_DEVICE_SEARCH_QUERY_RSP).U16(1).U32(0).U8((uint32_t)items.size());
    for (const auto& item : items)
        answer.U16(item.first).Text(item.second);
    return answer.Done();
}

// Starts a discovery on the first endpoint, answers its query as the peer
// with answer, and runs meanwhile (told whether the discovery has answered)
// while the discovery still waits. The discovery's reply.
HttpReply DiscoverWithPeerAnswer(const Bytes& answer,
                                 const std::function<void(const std::atomic<bool>& listed)>& meanwhile)
{
    g_bed->peer->DrainAll();
    std::atomic<bool> listed{false};
    HttpReply list;
    std::thread discovery([&] {
        list = Action("cmdtype=commconfig&cmdstr=getdeviceinfo");
        listed = true;
    });
    group_test::Datagram query;
    EXPECT_TRUE(group_test::Receive(g_bed->peer->Group(), &query, 20000));
    g_bed->peer->SendToEndpoint(Ep().Ip(), answer);
    meanwhile(listed);
    discovery.join();
    return list;
}

TEST(WebAction, DiscoveryHoldsOnlyItsOwnRequest)
{
    // The peer's answer carries an item the list does not know.
    HttpReply list = DiscoverWithPeerAnswer(PeerAnswer({{1, "peer\\one"}, {9, "x"}}),
                                            [](const std::atomic<bool>& listed) {
                                                // Meanwhile another request is answered.
                                                EXPECT_EQ(200, Action("cmdtype=commconfig&cmdstr=getipinfo").status);
                                                EXPECT_FALSE(listed.load());
                                            });
    EXPECT_EQ(200, list.status);
    // The list ends with the peer's object, closed where the unknown item cut it.
    const std::string end = "{\"alias\":\"peer\\\\one\"}\r\n]}";
    EXPECT_EQ(end, list.body.substr(list.body.size() - std::min(end.size(), list.body.size()))) << list.body;
}

// A peer's answer whose items came in another order, with a hostile alias:
// the list keeps the fixed order and every separator, and parses.
TEST(WebAction, DeviceListParsesWhateverTheItemOrder)
{
    HttpReply list = DiscoverWithPeerAnswer(
        PeerAnswer({{8, "TX"}, {1, "evil\"}]{\r\n"}, {2, "1.2.3.4"}, {1, "second"}}),
                                            [](const std::atomic<bool>&) {});
    EXPECT_EQ(200, list.status);
    EXPECT_TRUE(strict_json::IsJson(list.body)) << list.body;
    EXPECT_NE(std::string::npos,
              list.body.find("{\"alias\":\"evil\\\"}]{\\u000d\\u000a\",\"ip_addr\":\"1.2.3.4\",\"dev_type\":\"TX\"}"))
        << list.body;
}

// ---- Addresses (endpoint 2) ------------------------------------------------------------------

TEST(WebAddress, RefusedAddressesChangeNothing)
{
    const std::string calls = Ep(2).Root().Calls();
    const std::string property = Ep(2).Root().Read("/var/tmpfs/SavePowerOff.conf");
    for (const char* bad : {"ip4addr=10.0.0.5&netmask=255.255.255.0&gateway=10.0.0.5",
                                   "ip4addr=10.0.0.5&netmask=255.255.255.0&gateway=10.0.0.1;reboot",
                                   "ip4addr=10.0.0.5&netmask=255.255.255.0&gateway=10.0.0.1000"}) {
        EXPECT_EQ(400, Fresh(std::string("cmdtype=commconfig&cmdstr=setipinfo&ipmode=static&") + bad, 2).status) << bad;
        EXPECT_TRUE(Ep(2).Mcu().ReceivedLines().empty());
    }
    EXPECT_EQ(calls, Ep(2).Root().Calls());
    EXPECT_EQ(property, Ep(2).Root().Read("/var/tmpfs/SavePowerOff.conf"));
}

TEST(WebAddress, StaticThenDhcp)
{
    const std::string ip = Ep(2).Ip(), gw = g_bed->lan->PeerIp(0);
    const int64_t sentMs = SimNowMs();
    HttpReply set = Fresh("cmdtype=commconfig&cmdstr=setipinfo&ipmode=static&ip4addr=" + ip +
                              "&netmask=255.255.255.0&gateway=" + gw, 2);
    EXPECT_EQ(200, set.status);
    // The reply follows the pause after the third line.
    EXPECT_GE(SimNowMs() - sentMs, 1500);
    WaitFor([] { return Ep(2).Mcu().ReceivedLines().size() >= 3; }, 10000);
    std::vector<SimChunk> chunks = Ep(2).Mcu().Chunks();
    ASSERT_EQ(3u, chunks.size());
    EXPECT_EQ("SET SDXBIP " + ip + "\r\n", chunks[0].bytes);
    EXPECT_EQ("set sdxmask 255.255.255.0\r\n", chunks[1].bytes);
    EXPECT_EQ("set sdxgateway " + gw + "\r\n", chunks[2].bytes);
    ExpectPausesBetweenLines(chunks, sentMs, 500);
    const std::string calls = Ep(2).Root().Calls();
    EXPECT_NE(std::string::npos, calls.find("setip " + ip + " 255.255.255.0 " + gw + "\n")) << calls;
    EXPECT_NE(std::string::npos, calls.find("sync")) << calls;
    // The configure-IP flag: the management task runs configip.
    EXPECT_TRUE(WaitFor([] { return Ep(2).Root().Calls().find("configip") != std::string::npos; }, 20000));
    EXPECT_NE(std::string::npos, Ep(2).Root().Read("/var/tmpfs/SavePowerOff.conf").find("static"));

    EXPECT_EQ(200, Fresh("cmdtype=commconfig&cmdstr=setipinfo&ipmode=dhcp", 2).status);
    EXPECT_NE(std::string::npos, Ep(2).Root().Read("/var/tmpfs/SavePowerOff.conf").find("dhcp"));
    EXPECT_EQ(board_test::ReadText(Ep(2).Root().File("/var/tmpfs/interfaces_dhcp")),
              Ep(2).Root().Read("/etc/network/interfaces"));
    EXPECT_TRUE(WaitFor([] { return Ep(2).Root().Calls().find("reboot") != std::string::npos; }, 20000));
}

// ---- The log-in the device enforces, and the log view (last: the password changes reach
// every endpoint of the group) -----------------------------------------

// A request with the session cookie (none when empty).
HttpReply WithSession(const std::string& path, const std::string& session, int endpoint)
{
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + Ep(endpoint).Ip() + "\r\nConnection: close\r\n";
    if (!session.empty())
        request += "Cookie: other=1; velmar_session=" + session + "\r\n";
    return web_test::HttpRequest(g_bed->lan->LanNs(), Ep(endpoint).Ip(), request + "\r\n");
}

// The token of the reply's session cookie; empty when it sets none.
std::string SessionOf(const HttpReply& reply)
{
    const std::string start = "\r\nSet-Cookie: velmar_session=";
    size_t at = reply.head.find(start);
    if (at == std::string::npos)
        return std::string();
    size_t end = reply.head.find("\r\n", at + 2);
    EXPECT_EQ("; Path=/; HttpOnly; SameSite=Strict", reply.head.substr(at + start.size() + 32, end - at - start.size() - 32));
    return reply.head.substr(at + start.size(), 32);
}

const char kIpInfo[] = "/action?cmdtype=commconfig&cmdstr=getipinfo";

TEST(WebLogin, OffByDefaultAndEveryReplyUnchanged)
{
    EXPECT_EQ(Json("webloginfo", "\"mode\":\"off\""), Action("cmdtype=systemconfig&cmdstr=getweblogin", 1).body);
    EXPECT_EQ(200, Action("cmdtype=systemconfig&cmdstr=changepasswd&newpasswd=door", 1).status);
    HttpReply verify = Action("cmdtype=systemconfig&cmdstr=verifypasswd&passwd=door", 1);
    EXPECT_EQ(200, verify.status);
    EXPECT_EQ(std::string::npos, verify.head.find("Set-Cookie")) << verify.head;
    for (int i = 0; i < 5; ++i)   // wrong passwords are not slowed while the log-in is off
        EXPECT_EQ(400, Action("cmdtype=systemconfig&cmdstr=verifypasswd&passwd=wrong", 1).status);
    EXPECT_EQ(200, Action("cmdtype=systemconfig&cmdstr=verifypasswd&passwd=door", 1).status);
    EXPECT_EQ(200, Get(kIpInfo, 1).status);
    EXPECT_EQ(200, Get("/log", 1).status);
}

TEST(WebLogin, EnforcedWhenOn)
{
    const int ep = 1;
    EXPECT_EQ(400, Action("cmdtype=systemconfig&cmdstr=setweblogin&mode=on&passwd=wrong", ep).status);
    EXPECT_EQ(400, Action("cmdtype=systemconfig&cmdstr=setweblogin&mode=maybe&passwd=door", ep).status);
    HttpReply on = Action("cmdtype=systemconfig&cmdstr=setweblogin&mode=on&passwd=door", ep);
    ASSERT_EQ(200, on.status);
    const std::string first = SessionOf(on);
    ASSERT_EQ(32u, first.size()) << on.head;
    EXPECT_NE(std::string::npos, Ep(ep).Root().Read("/Velmar/etc/Velmar.xml").find("Velmar_WebLogin"));

    // Without a session: 401 for the API, the uploads and the log; the pages stay open.
    struct Case {
        std::string path;
        int withoutSession;
    } const cases[] = {
        {kIpInfo, 401},
        {"/action?cmdtype=deviceconfig&cmdstr=edidread&cmdparameter=hdmi", 401},
        {"/action?cmdtype=systemconfig&cmdstr=getweblogin", 401},
        {"/upload/logo", 401},
        {"/log", 401},
        {"/index.html", 200},
        {"/action?cmdtype=systemconfig&cmdstr=verifypasswd&passwd=door", 200},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.withoutSession, WithSession(c.path, "", ep).status) << c.path;
        EXPECT_EQ(c.withoutSession, WithSession(c.path, std::string(32, 'a'), ep).status) << c.path;
    }
    EXPECT_EQ(200, WithSession(kIpInfo, first, ep).status);
    EXPECT_EQ(200, WithSession("/log", first, ep).status);
    EXPECT_EQ(Json("webloginfo", "\"mode\":\"on\""),
              WithSession("/action?cmdtype=systemconfig&cmdstr=getweblogin", first, ep).body);

    // A password change ends every other session, not the changer's.
    const std::string second = SessionOf(Action("cmdtype=systemconfig&cmdstr=verifypasswd&passwd=door", ep));
    ASSERT_EQ(32u, second.size());
    EXPECT_EQ(200, WithSession(kIpInfo, second, ep).status);
    EXPECT_EQ(200, WithSession("/action?cmdtype=systemconfig&cmdstr=changepasswd&newpasswd=door2", first, ep).status);
    EXPECT_EQ(401, WithSession(kIpInfo, second, ep).status);
    EXPECT_EQ(200, WithSession(kIpInfo, first, ep).status);

    // Log-out ends the session and clears the cookie.
    HttpReply out = WithSession("/action?cmdtype=systemconfig&cmdstr=weblogout", first, ep);
    EXPECT_EQ(200, out.status);
    EXPECT_NE(std::string::npos, out.head.find("Set-Cookie: velmar_session=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0\r\n"));
    EXPECT_EQ(401, WithSession(kIpInfo, first, ep).status);

    // Three wrong passwords in a row, then the address waits: its tries are answered 429 (the
    // password unread) until the wait is over.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(400, Action("cmdtype=systemconfig&cmdstr=verifypasswd&passwd=nope", ep).status);
    HttpReply slowed;
    for (int i = 0; i < 6 && slowed.status != 429; ++i)
        slowed = Action("cmdtype=systemconfig&cmdstr=verifypasswd&passwd=nope", ep);
    ASSERT_EQ(429, slowed.status);
    const size_t retry = slowed.head.find("\r\nRetry-After: ");
    ASSERT_NE(std::string::npos, retry) << slowed.head;
    const int seconds = atoi(slowed.head.c_str() + retry + 15);
    EXPECT_TRUE(seconds >= 1 && seconds <= 60) << slowed.head;
    std::string third;
    EXPECT_TRUE(WaitFor([&] {
        third = SessionOf(Action("cmdtype=systemconfig&cmdstr=verifypasswd&passwd=door2", ep));
        return !third.empty();
    }, 90000));

    // Turning it off needs the password and a session; then the API is open again.
    EXPECT_EQ(401, Action("cmdtype=systemconfig&cmdstr=setweblogin&mode=off&passwd=door2", ep).status);
    EXPECT_EQ(200, WithSession("/action?cmdtype=systemconfig&cmdstr=setweblogin&mode=off&passwd=door2", third, ep).status);
    EXPECT_EQ(200, Get(kIpInfo, ep).status);
    EXPECT_EQ(200, Action("cmdtype=systemconfig&cmdstr=changepasswd&newpasswd=abc", ep).status);
}

TEST(WebLog, LastLinesWithALevelFilter)
{
    EXPECT_EQ(400, Action("cmdtype=commconfig&cmdstr=infomark4711").status);     // logged at 20000
    EXPECT_EQ(400, Action("cmdtype=systemconfig&cmdstr=errormark4711").status);  // logged at 40000
    HttpReply all = Get("/log?lines=200");
    EXPECT_EQ(200, all.status);
    EXPECT_NE(std::string::npos, all.head.find("Content-Type: text/plain; charset=utf-8\r\n"));
    EXPECT_NE(std::string::npos, all.body.find("infomark4711")) << all.body;
    EXPECT_NE(std::string::npos, all.body.find("errormark4711"));
    EXPECT_EQ('\n', all.body.back());
    const std::string errors = Get("/log?level=error&lines=200").body;
    EXPECT_EQ(std::string::npos, errors.find("infomark4711"));
    EXPECT_NE(std::string::npos, errors.find("errormark4711"));
    EXPECT_EQ(std::string::npos, errors.find(" [20000]: "));
    size_t lines = 0;
    for (char c : Get("/log?lines=3").body)
        lines += c == '\n' ? 1 : 0;
    EXPECT_EQ(3u, lines);
    for (const char* bad : {"/log?level=25000", "/log?lines=0", "/log?lines=2001", "/log?lines=x"})
        EXPECT_EQ(400, Get(bad).status) << bad;
    EXPECT_EQ(405, web_test::HttpRequest(g_bed->lan->LanNs(), Ep(0).Ip(),
                                         "POST /log HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                       .status);
}

TEST(WebStatus, OwnStateInOneReply)
{
    EXPECT_EQ(200, Action("cmdtype=deviceconfig&cmdstr=setdeviceinfo&alias=hall%22%3Cscript%3E", 1).status);
    HttpReply reply = Action("cmdtype=commconfig&cmdstr=getselfinfo", 1);
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n", reply.head);
    const std::string& body = reply.body;
    EXPECT_EQ(0u, body.find("{\r\n\"selfinfo\":[\r\n{\"alias\":\"hall\\\"<script>\",\"mac\":\"")) << body;
    for (const std::string& item : {"\"ip4addr\":\"" + Ep(1).Ip() + "\",\"ipmode\":\"static\"",
                                    std::string("\"edidsetting\":\"1080P\",\"autosw\":\"on\",\"mcuversion\":\"1.0.2\""),
                                    std::string("\"dev_type\":\"TX\"")})
        EXPECT_NE(std::string::npos, body.find(item)) << item << "\n" << body;
    EXPECT_EQ(body.size() - 7, body.rfind("}\r\n]\r\n}")) << body;
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    StartBed();
    if (::testing::Test::HasFatalFailure())
        return 1;
    int result = RUN_ALL_TESTS();
    delete g_bed;
    return result;
}
