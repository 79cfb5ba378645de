// Uploads, downloads and the commands on uploaded files, and the guards of
// the web side (cross-site refusal, whole uploads only, bounded work per
// request), black box: velmard as a process on a temporary board root in a
// network namespace, with the simulated MCU and display, and HTTP requests
// over real sockets. One daemon serves the whole binary. Needs root; exits 77 (skipped) where no namespace
// can be made.
#include <arpa/inet.h>
#include <sched.h>
#include <sys/stat.h>
#include <thread>

#include "DisplaySimulator.h"
#include "McuSimulator.h"
#include "SimHexImage.h"
#include "UploadTestSupport.h"
#include "VelmardProcess.h"

namespace {

using namespace board_test;

const uint16_t kHttpPort = 8080;
const uint16_t kAgentPort = 65009;

struct Reply {
    int status = 0;
    std::string head, body;
};

Reply ParseReply(const std::string& raw)
{
    Reply reply;
    size_t end = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos)
        return reply;
    reply.status = atoi(raw.c_str() + 9);
    reply.head = raw.substr(0, end + 2);
    reply.body = raw.substr(end + 4);
    return reply;
}

class UploadHttpTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        RequireNetns();
        s_root = new TempBoardRoot();
        ASSERT_TRUE(s_root->Ok()) << s_root->LayoutOutput();
        ASSERT_TRUE(SetPref(*s_root, "Quor_Velmar_EDIDLearnTimerOut", "2"));
        s_netns = new TestNetns(true);
        ASSERT_TRUE(s_netns->Ok()) << s_netns->Output();
        s_mcu = new McuSimulator();
        s_display = new DisplaySimulator();
        ASSERT_EQ(0, s_mcu->Start(SimEndpointOptions{s_root->File("/dev/ttyS1"), ""}));
        ASSERT_EQ(0, s_display->Start(SimEndpointOptions{s_root->File("/dev/ttyS2"), ""}));
        setenv("VELMAR_HTTP_PORT", std::to_string(kHttpPort).c_str(), 1);
        s_daemon = new Velmard(*s_root, *s_netns);
        TcpClient probe;
        ASSERT_TRUE(probe.Connect(s_netns->Address(), kHttpPort, 30000)) << s_daemon->Output();
    }
    static void TearDownTestSuite()
    {
        delete s_daemon;
        delete s_mcu;
        delete s_display;
        delete s_netns;
        delete s_root;
    }
    // A daemon that ended (a sanitizer's report, a crash) is named at the
    // test that ended it, with its output.
    void TearDown() override
    {
        if (s_daemon != nullptr) {
            EXPECT_TRUE(s_daemon->Running()) << s_daemon->Output();
        }
    }

    // One request on its own connection, sent in the given pieces (each
    // written once the daemon has written waitBytes[i] bytes of the file).
    static Reply Exchange(const std::vector<std::string>& pieces)
    {
        TcpClient client;
        if (!client.Connect(s_netns->Address(), kHttpPort, 10000))
            return Reply();
        for (const std::string& piece : pieces) {
            if (!client.Send(piece))
                break;
        }
        return ParseReply(client.ReadUntil("\x01 until closed", 20000));
    }
    // headers: further header lines, each ending in CR LF.
    static std::string Post(const std::string& uri, const std::string& body, const std::string& type,
                            const std::string& headers = "")
    {
        return "POST " + uri + " HTTP/1.1\r\nHost: endpoint\r\nConnection: close\r\n" + headers +
               "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    static std::string UploadRequest(const std::string& uri, const std::string& part, const std::string& name,
                                     const std::string& data, const std::string& headers = "")
    {
        return Post(uri, upload_test::Body(part, name, data),
                    std::string("multipart/form-data; boundary=") + upload_test::kBoundary, headers);
    }
    static Reply Upload(const std::string& uri, const std::string& part, const std::string& name,
                        const std::string& data, const std::string& headers = "")
    {
        return Exchange({UploadRequest(uri, part, name, data, headers)});
    }
    static Reply Action(const std::string& form, const std::string& headers = "")
    {
        return Exchange({Post("/action", form, "application/x-www-form-urlencoded", headers)});
    }
    static Reply Get(const std::string& path, const std::string& headers = "")
    {
        return Exchange({"GET " + path + " HTTP/1.1\r\nHost: endpoint\r\nConnection: close\r\n" + headers + "\r\n"});
    }
    // The entries of the upload directory, one a line.
    static std::string TmpListing() { return RunProcess({"ls", "-A", s_root->File("/www/tmp")}).output; }
    static std::string Tmp(const std::string& name) { return s_root->Read("/www/tmp/" + name); }

    static TempBoardRoot* s_root;
    static TestNetns* s_netns;
    static McuSimulator* s_mcu;
    static DisplaySimulator* s_display;
    static Velmard* s_daemon;
};

TempBoardRoot* UploadHttpTest::s_root = nullptr;
TestNetns* UploadHttpTest::s_netns = nullptr;
McuSimulator* UploadHttpTest::s_mcu = nullptr;
DisplaySimulator* UploadHttpTest::s_display = nullptr;
Velmard* UploadHttpTest::s_daemon = nullptr;

TEST_F(UploadHttpTest, EachUploadKindArrivesByteIdentical)
{
    std::string data = upload_test::BinaryData(300000);
    for (const char* part : {"MCU", "ARM", "EDID"}) {
        std::string name = std::string(part) + "_image.bin";
        Reply reply = Upload("/upload/upgradesoftware", part, name, data);
        EXPECT_EQ(200, reply.status) << part;
        EXPECT_EQ("Upload file OK\r\n", reply.body);
        EXPECT_TRUE(Tmp(name) == data) << part;
    }
}

// The closing boundary arrives in a second write, cut in its middle, after
// the daemon has written the first bytes: the file is streamed, and the
// boundary found across the reads.
TEST_F(UploadHttpTest, BoundarySplitAcrossReads)
{
    std::string data = upload_test::BinaryData(1000000);
    std::string request = Post("/upload/upgradesoftware", upload_test::Body("ARM", "split.bin", data),
                               std::string("multipart/form-data; boundary=") + upload_test::kBoundary);
    size_t cut = request.size() - 12;
    TcpClient client;
    ASSERT_TRUE(client.Connect(s_netns->Address(), kHttpPort, 10000));
    ASSERT_TRUE(client.Send(request.substr(0, cut)));
    // Written under a temporary name until the closing boundary.
    EXPECT_TRUE(WaitFor(
        [&] {
            std::string listing = TmpListing();
            size_t at = listing.find(".upload-");
            return at != std::string::npos &&
                   Tmp(listing.substr(at, listing.find('\n', at) - at)).size() >= 500000;
        },
        10000));
    EXPECT_FALSE(PathExists(s_root->File("/www/tmp/split.bin")));
    ASSERT_TRUE(client.Send(request.substr(cut)));
    EXPECT_EQ(200, ParseReply(client.ReadUntil("\x01 until closed", 10000)).status);
    EXPECT_TRUE(Tmp("split.bin") == data);
}

TEST_F(UploadHttpTest, LogoReplacedAndOldOneKept)
{
    std::string old = s_root->Read("/www/images/logo.png");
    std::string logo = std::string("\x89PNG\r\n\x1a\n", 8) + upload_test::BinaryData(5000);
    Reply reply = Upload("/upload/logo", "logo", "new-logo.png", logo);
    EXPECT_EQ(200, reply.status);
    EXPECT_EQ("File upload successfully\r\n", reply.body);
    EXPECT_TRUE(s_root->Read("/www/images/logo.png") == logo);
    EXPECT_TRUE(s_root->Read("/www/images/logo_bak.png") == old);
    EXPECT_FALSE(PathExists(s_root->File("/www/tmp/new-logo.png")));
}

TEST_F(UploadHttpTest, LogoThatIsNotAPngIsRefusedAndRemoved)
{
    const std::string logo = s_root->Read("/www/images/logo.png"), backup = s_root->Read("/www/images/logo_bak.png");
    for (const std::string& data : {std::string("not an image\n"), std::string("\x89PNG\r\n\x1a", 7),
                                    std::string("\x88PNG\r\n\x1a\nrest", 12), std::string()}) {
        EXPECT_EQ(400, Upload("/upload/logo", "logo", "bad-logo.png", data).status) << data.size();
        EXPECT_FALSE(PathExists(s_root->File("/www/tmp/bad-logo.png")));
        EXPECT_TRUE(s_root->Read("/www/images/logo.png") == logo);
        EXPECT_TRUE(s_root->Read("/www/images/logo_bak.png") == backup);
    }
}

TEST_F(UploadHttpTest, UploadToAnotherUriIsDeletedWith400)
{
    EXPECT_EQ(400, Upload("/upload/other", "ARM", "other.bin", "x").status);
    EXPECT_FALSE(PathExists(s_root->File("/www/tmp/other.bin")));
}

TEST_F(UploadHttpTest, HostileNamesWriteNothingOutsideTheUploadDirAndRunNothing)
{
    std::string prefs = s_root->Read("/Velmar/etc/Velmar.xml");
    EXPECT_EQ(200, Upload("/upload/upgradesoftware", "ARM", "../../Velmar/etc/Velmar.xml", "evil").status);
    EXPECT_EQ("evil", Tmp("Velmar.xml"));
    EXPECT_EQ(prefs, s_root->Read("/Velmar/etc/Velmar.xml"));
    for (const std::string& name : {std::string("a$(reboot).tar.gz"), std::string("-rf"), std::string(200, 'a')})
        EXPECT_EQ(400, Upload("/upload/upgradesoftware", "ARM", name, "evil").status) << name;
    std::string listing = RunProcess({"ls", "-A", s_root->File("/www/tmp")}).output;
    for (const char* written : {"a$", "-rf", "aaaaaaaa"})
        EXPECT_EQ(std::string::npos, listing.find(written)) << listing;
    EXPECT_EQ(std::string::npos, s_root->Calls().find("reboot"));
}

std::string EdidFile()
{
    std::string edid("\x00\xFF\xFF\xFF\xFF\xFF\xFF\x00", 8);
    edid += upload_test::BinaryData(248);
    return edid;
}

TEST_F(UploadHttpTest, EdidWriteSendsTheExactBytesAndDeletesTheFile)
{
    std::string edid = EdidFile();
    ASSERT_EQ(200, Upload("/upload/upgradesoftware", "EDID", "edid256.bin", edid).status);
    s_mcu->ClearRecords();
    EXPECT_EQ(200, Action("cmdtype=deviceconfig&cmdstr=edidwrite&cmdparameter=hdmi").status);
    std::string line = "SET EDID_W hdmi " + edid + "\r\n";
    EXPECT_TRUE(s_mcu->WaitForBytes(line.size(), 5000));
    EXPECT_TRUE(s_mcu->ReceivedBytes() == line);
    EXPECT_FALSE(PathExists(s_root->File("/www/tmp/edid256.bin")));
    EXPECT_EQ(400, Action("cmdtype=deviceconfig&cmdstr=edidwrite&cmdparameter=hdmi").status);
}

TEST_F(UploadHttpTest, EdidReadDownloadsTheLearnedFileOr400WhenTheMcuIsSilent)
{
    Reply reply = Action("cmdtype=deviceconfig&cmdstr=edidread&cmdparameter=hdmi");
    ASSERT_EQ(200, reply.status);
    EXPECT_TRUE(reply.body == McuSimState::DefaultEdid());
    size_t at = 0;
    for (const std::string& line :
         {std::string("\r\nServer: lion\r\n"), std::string("\r\nMime-Version:1.0\r\n"), std::string("\r\nDate: "),
          std::string("\nContent-Type: application/octet-stream\r\n"),
          "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n",
          std::string("\r\nContent-Disposition: attachment; filename=edid.bin\r\n")}) {
        size_t found = reply.head.find(line, at);
        EXPECT_NE(std::string::npos, found) << line;
        at = found == std::string::npos ? at : found + 1;
    }
    s_mcu->SetSilent(true);
    EXPECT_EQ(400, Action("cmdtype=deviceconfig&cmdstr=edidread&cmdparameter=hdmi").status);
    s_mcu->SetSilent(false);
}

// A socket of the given type in the daemon's namespace, bound to the
// loopback address 127.0.0.<host> and port; -1 when it cannot be made.
int NsSocket(const TestNetns& netns, int type, int host, uint16_t port)
{
    return board_test::InNamespace(netns.Name(), [&] {
        int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + host);
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0) {
            close(fd);
            fd = -1;
        }
        return fd;
    });
}

// A UDP socket in the daemon's namespace on the upgrade agent's port.
int AgentSocket(const TestNetns& netns)
{
    return NsSocket(netns, SOCK_DGRAM, 1, kAgentPort);
}

std::string ReceiveDatagram(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    char buf[4096];
    ssize_t n = poll(&p, 1, timeoutMs) == 1 ? recv(fd, buf, sizeof(buf), 0) : -1;
    return n > 0 ? std::string(buf, (size_t)n) : std::string();
}

TEST_F(UploadHttpTest, ArmUpdateMovesTheImageAndAsksTheAgent)
{
    int agent = AgentSocket(*s_netns);
    ASSERT_GE(agent, 0);
    ASSERT_EQ(200, Upload("/upload/upgradesoftware", "ARM", "abc.tar", "short").status);
    EXPECT_EQ(400, Action("cmdtype=systemconfig&cmdstr=update&cmdparameter=ARM").status);
    EXPECT_EQ("short", s_root->Read("/Velmar/Upgrade/ARM/abc.tar"));
    EXPECT_EQ("", ReceiveDatagram(agent, 500));

    ASSERT_EQ(200, Upload("/upload/upgradesoftware", "ARM", "image_1.tar.gz", "archive").status);
    EXPECT_EQ(200, Action("cmdtype=systemconfig&cmdstr=update&cmdparameter=ARM").status);
    EXPECT_EQ("archive", s_root->Read("/Velmar/Upgrade/ARM/image_1.tar.gz"));
    std::string request = ReceiveDatagram(agent, 5000);
    ASSERT_GE(request.size(), 24u);
    EXPECT_EQ(std::string("\x00\x00\x18\x01", 4), request.substr(4, 4));
    size_t name = request.find("image_1");
    EXPECT_NE(std::string::npos, request.find("ARM"));
    EXPECT_NE(std::string::npos, name);
    EXPECT_NE(std::string::npos, request.find("image_1.tar.gz", name + 7));
    // The name is used up: a second start has nothing to install.
    EXPECT_EQ(400, Action("cmdtype=systemconfig&cmdstr=update&cmdparameter=ARM").status);
    close(agent);
}

// The bank files move and the programming task takes the line; these images
// are no HEX files, so it ends with "99" and gives the line back.
TEST_F(UploadHttpTest, McuUpdateMovesTheBankFilesAndStartsTheProgramming)
{
    for (const char* name : {"fw_v2.h01", "fw_v2.h02", "other.h00", "fw_v2.h00"})
        ASSERT_EQ(200, Upload("/upload/upgradesoftware", "MCU", name, name).status);
    ASSERT_EQ(200, Upload("/upload/upgradesoftware", "MCU", "abcd", "short").status);
    EXPECT_EQ(400, Action("cmdtype=systemconfig&cmdstr=update&cmdparameter=MCU").status);
    ASSERT_EQ(200, Upload("/upload/upgradesoftware", "MCU", "fw_v2.h00", "fw_v2.h00").status);
    EXPECT_EQ(200, Action("cmdtype=systemconfig&cmdstr=update&cmdparameter=mcu").status);
    for (const char* name : {"fw_v2.h00", "fw_v2.h01", "fw_v2.h02"})
        EXPECT_EQ(name, s_root->Read(std::string("/Velmar/Upgrade/MCU/") + name));
    EXPECT_EQ("other.h00", Tmp("other.h00"));
    EXPECT_TRUE(WaitFor(
        [] {
            return Action("cmdtype=systemconfig&cmdstr=upgradeinfo&softwarename=MCU").body.find("\"99\"") !=
                   std::string::npos;
        },
        20000));
    EXPECT_EQ(400, Action("cmdtype=systemconfig&cmdstr=update&cmdparameter=DSP").status);
}

// Two "update" requests at once: one claims the upgrade before any file
// moves, the other is answered 400. (The boot loader stays silent, so the
// upgrade ends with "99".)
TEST_F(UploadHttpTest, TwoConcurrentMcuUpdatesStartOneUpgrade)
{
    auto mcuStatus = [] { return Action("cmdtype=systemconfig&cmdstr=upgradeinfo&softwarename=MCU").body; };
    ASSERT_TRUE(WaitFor([&] { return mcuStatus().find("\"1\"") == std::string::npos; }, 60000));
    SimFlashFaults silent;
    silent.silent = true;
    s_mcu->FlashLoader().SetFaults(silent);
    SimFlashImage image;
    image.FillPages(0x00, 0x03, 6);
    ASSERT_EQ(200, Upload("/upload/upgradesoftware", "MCU", "fw_v3.h00", SimHexOfImage(image)).status);
    Reply replies[2];
    std::thread other([&replies] { replies[1] = Action("cmdtype=systemconfig&cmdstr=update&cmdparameter=MCU"); });
    replies[0] = Action("cmdtype=systemconfig&cmdstr=update&cmdparameter=MCU");
    other.join();
    EXPECT_EQ(200 + 400, replies[0].status + replies[1].status);
    EXPECT_TRUE(replies[0].status == 200 || replies[1].status == 200);
    EXPECT_TRUE(WaitFor([&] { return mcuStatus().find("\"99\"") != std::string::npos; }, 60000));
    s_mcu->FlashLoader().SetFaults(SimFlashFaults());
}

// ---- Cross-site requests -------------------------------------------------------------

TEST_F(UploadHttpTest, CrossSiteRequestsAreRefusedAndChangeNothing)
{
    const std::string property = s_root->Read("/var/tmpfs/SavePowerOff.conf");
    const std::string listing = TmpListing();
    s_mcu->ClearRecords();
    for (const std::string header : {"Origin: http://evil.example\r\n", "Origin: null\r\n",
                                      "Sec-Fetch-Site: cross-site\r\n", "Sec-Fetch-Site: same-site\r\n",
                                      "Origin: http://endpoint:8081\r\n", "User-Agent: Mozilla/5.0\r\n",
                                      "User-Agent: Mozilla/5.0\r\nReferer: http://evil.example/\r\n"}) {
        Reply get = Get("/action?cmdtype=deviceconfig&cmdstr=setdeviceinfo&alias=evil", header);
        EXPECT_EQ("HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                  "Transfer-Encoding: chunked\r\n",
                  get.head)
            << header;
        EXPECT_EQ("2\r\n\r\n\r\n2\r\n\r\n\r\n0\r\n\r\n", get.body);
        EXPECT_EQ(403, Action("cmdtype=systemconfig&cmdstr=changepasswd&newpasswd=evil", header).status) << header;
        EXPECT_EQ(403, Action("cmdtype=deviceconfig&cmdstr=setautoswinfo&cmdparameter=off", header).status);
        // An upload's reply may be lost to the reset of a connection closed unread.
        int upload = Upload("/upload/upgradesoftware", "ARM", "evil.tar.gz", "evil", header).status;
        EXPECT_TRUE(upload == 403 || upload == 0) << header << upload;
    }
    EXPECT_EQ(property, s_root->Read("/var/tmpfs/SavePowerOff.conf"));
    EXPECT_EQ(listing, TmpListing());
    EXPECT_TRUE(s_mcu->ReceivedLines().empty());
    // From the page itself, typed in, or without browser headers: served.
    int n = 0;
    for (const std::string header : {"", "Sec-Fetch-Site: same-origin\r\nOrigin: http://endpoint\r\n",
                                      "Sec-Fetch-Site: none\r\n", "Origin: http://ENDPOINT:80\r\n",
                                      "User-Agent: Mozilla/5.0\r\nReferer: http://endpoint/index.html\r\n"}) {
        const std::string alias = "fine" + std::to_string(++n);
        EXPECT_EQ(200, Get("/action?cmdtype=deviceconfig&cmdstr=setdeviceinfo&alias=" + alias, header).status);
        EXPECT_NE(std::string::npos, s_root->Read("/var/tmpfs/SavePowerOff.conf").find(alias)) << header;
        EXPECT_EQ(200, Upload("/upload/upgradesoftware", "EDID", alias + ".bin", alias, header).status) << header;
        EXPECT_EQ(alias, Tmp(alias + ".bin"));
        unlink(s_root->File("/www/tmp/" + alias + ".bin").c_str());
    }
}

// ---- Only whole uploads count ----------------------------------------------------------

TEST_F(UploadHttpTest, CutOrDroppedUploadsLeaveNothingAndUpdateRefuses)
{
    int agent = AgentSocket(*s_netns);
    ASSERT_GE(agent, 0);
    // A whole upload is installed; the name is used up.
    ASSERT_EQ(200, Upload("/upload/upgradesoftware", "ARM", "whole_1.tar.gz", "archive").status);
    ASSERT_EQ(200, Action("cmdtype=systemconfig&cmdstr=update&cmdparameter=ARM").status);
    ASSERT_NE("", ReceiveDatagram(agent, 5000));
    const std::string listing = TmpListing();
    const std::string closing = std::string("--") + upload_test::kBoundary + "--\r\n";
    const std::string type = std::string("multipart/form-data; boundary=") + upload_test::kBoundary;
    for (const char* part : {"ARM", "MCU"}) {
        std::string body = upload_test::Body(part, "cut_1.h00", upload_test::BinaryData(700000));
        body.resize(body.size() - closing.size());
        EXPECT_EQ(400, Exchange({Post("/upload/upgradesoftware", body, type)}).status) << part;
    }
    {
        TcpClient client;
        ASSERT_TRUE(client.Connect(s_netns->Address(), kHttpPort, 10000));
        const std::string request = UploadRequest("/upload/upgradesoftware", "ARM", "drop_1.tar.gz",
                                                  upload_test::BinaryData(2000000));
        ASSERT_TRUE(client.Send(request.substr(0, 1000000)));
        EXPECT_TRUE(WaitFor([] { return TmpListing().find(".upload-") != std::string::npos; }, 10000));
    }   // the connection drops
    EXPECT_TRUE(WaitFor([&] { return TmpListing() == listing; }, 20000)) << TmpListing();
    for (const char* board : {"ARM", "MCU"})
        EXPECT_EQ(400, Action(std::string("cmdtype=systemconfig&cmdstr=update&cmdparameter=") + board).status);
    EXPECT_EQ("", ReceiveDatagram(agent, 500));
    for (const char* dir : {"/Velmar/Upgrade/MCU", "/Velmar/Upgrade/ARM"}) {
        const std::string moved = RunProcess({"ls", "-A", s_root->File(dir)}).output;
        EXPECT_EQ(std::string::npos, moved.find("cut_1")) << moved;
        EXPECT_EQ(std::string::npos, moved.find("drop_1")) << moved;
    }
    close(agent);
}

// ---- Bounded work per request ----------------------------------------------------------

// The peak resident memory of a process (kB), from /proc; -1 when unknown.
long PeakResidentKb(pid_t pid)
{
    const std::string status = ReadText("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : strtol(status.c_str() + at + 6, nullptr, 10);
}

TEST_F(UploadHttpTest, EdidWriteOfAHugeUploadIsRefusedUnread)
{
    const size_t kSize = 64u << 20;
    const std::string head = std::string("--") + upload_test::kBoundary +
                             "\r\nContent-Disposition: form-data; name=\"EDID\"; filename=\"huge.bin\"\r\n\r\n";
    const std::string tail = std::string("\r\n--") + upload_test::kBoundary + "--\r\n";
    TcpClient client;
    ASSERT_TRUE(client.Connect(s_netns->Address(), kHttpPort, 10000));
    ASSERT_TRUE(client.Send("POST /upload/upgradesoftware HTTP/1.1\r\nHost: endpoint\r\nConnection: close\r\n"
                            "Content-Type: multipart/form-data; boundary=" + std::string(upload_test::kBoundary) +
                            "\r\nContent-Length: " + std::to_string(head.size() + kSize + tail.size()) + "\r\n\r\n" +
                            head));
    const std::string piece(1u << 20, 'E');
    for (size_t sent = 0; sent < kSize; sent += piece.size())
        ASSERT_TRUE(client.Send(piece, 30000));
    ASSERT_TRUE(client.Send(tail));
    ASSERT_EQ(200, ParseReply(client.ReadUntil("\x01 until closed", 60000)).status);
    struct stat st;
    ASSERT_EQ(0, stat(s_root->File("/www/tmp/huge.bin").c_str(), &st));
    ASSERT_EQ((long long)kSize, (long long)st.st_size);

    const long before = PeakResidentKb(s_daemon->Pid());
    s_mcu->ClearRecords();
    EXPECT_EQ(400, Action("cmdtype=deviceconfig&cmdstr=edidwrite&cmdparameter=hdmi").status);
    const long after = PeakResidentKb(s_daemon->Pid());
    printf("velmard peak resident memory: %ld kB before the edidwrite, %ld kB after\n", before, after);
    ASSERT_GT(before, 0);
    EXPECT_LT(after - before, 1024);
    EXPECT_TRUE(s_mcu->ReceivedLines().empty());
    unlink(s_root->File("/www/tmp/huge.bin").c_str());
}

// A TCP connection from 127.0.0.<host> in the daemon's namespace to the web
// port; -1 when it cannot be made.
int LoopbackClient(const TestNetns& netns, int host)
{
    int fd = NsSocket(netns, SOCK_STREAM, host, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kHttpPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Everything the peer sends until it closes, or until timeoutMs pass; closed
// tells which.
std::string ReadToClose(int fd, int timeoutMs, bool* closed)
{
    std::string got;
    *closed = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!*closed && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0)
            got.append(buf, (size_t)n);
        *closed = n <= 0;
    }
    return got;
}

TEST_F(UploadHttpTest, StalledUploadsLeaveThePagesUsableAndAreClosed)
{
    // Uploads that send their head and their part's head, then nothing.
    const std::string stalled = "POST /upload/upgradesoftware HTTP/1.1\r\nHost: endpoint\r\nContent-Type: "
                                "multipart/form-data; boundary=" + std::string(upload_test::kBoundary) +
                                "\r\nContent-Length: 1000000\r\n\r\n--" + upload_test::kBoundary +
                                "\r\nContent-Disposition: form-data; name=\"ARM\"; filename=\"stall.bin\"\r\n\r\nxx";
    auto stall = [&](int host) {
        int fd = LoopbackClient(*s_netns, host);
        EXPECT_GE(fd, 0);
        EXPECT_EQ((ssize_t)stalled.size(), send(fd, stalled.data(), stalled.size(), MSG_NOSIGNAL));
        return fd;
    };
    std::vector<int> clients;
    for (int host : {2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3})
        clients.push_back(stall(host));
    // A further connection of the first address is over its cap once the
    // eight are counted (one taken before that stalls as well).
    bool closed = false;
    EXPECT_TRUE(WaitFor(
        [&] {
            int more = stall(2);
            Reply reply = ParseReply(ReadToClose(more, 2000, &closed));
            if (reply.status == 503) {
                close(more);
                return true;
            }
            clients.push_back(more);
            return false;
        },
        30000));
    // A third address is served meanwhile.
    const std::string get = "GET /action?cmdtype=commconfig&cmdstr=getipinfo HTTP/1.1\r\nHost: endpoint\r\n"
                            "Connection: close\r\n\r\n";
    int third = LoopbackClient(*s_netns, 4);
    ASSERT_GE(third, 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ((ssize_t)get.size(), send(third, get.data(), get.size(), MSG_NOSIGNAL));
    Reply reply = ParseReply(ReadToClose(third, 5000, &closed));
    long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                  .count();
    printf("getipinfo beside %zu stalled uploads answered in %ld ms\n", clients.size(), ms);
    EXPECT_EQ(200, reply.status);
    close(third);
    // The stalled uploads are closed once they have sent nothing for a
    // while, and leave nothing behind.
    for (int fd : clients) {
        ReadToClose(fd, 60000, &closed);
        EXPECT_TRUE(closed);
        close(fd);
    }
    EXPECT_TRUE(WaitFor([] { return TmpListing().find(".upload-") == std::string::npos; }, 10000)) << TmpListing();
}

TEST_F(UploadHttpTest, RefusedUploadIsClosedNotDrained)
{
    const size_t kSize = 200u << 20;
    TcpClient client;
    ASSERT_TRUE(client.Connect(s_netns->Address(), kHttpPort, 10000));
    ASSERT_TRUE(client.Send("POST /upload/upgradesoftware HTTP/1.1\r\nHost: endpoint\r\nContent-Type: "
                            "multipart/form-data; boundary=" + std::string(upload_test::kBoundary) +
                            "\r\nContent-Length: " + std::to_string(kSize) + "\r\n\r\n--" + upload_test::kBoundary +
                            "\r\nContent-Disposition: form-data; name=\"ARM\"; filename=\"a$b.bin\"\r\n\r\n"));
    const std::string piece(1u << 16, 'x');
    size_t sent = 0;
    while (sent < kSize && client.Send(piece, 20000))
        sent += piece.size();
    printf("%zu bytes of the refused upload went out before the connection ended\n", sent);
    EXPECT_LT(sent, kSize);
}

// ---- What uploads and settings may not do ----------------------------------------------------

TEST_F(UploadHttpTest, UploadedFilesAreNeverServed)
{
    ASSERT_EQ(200, Upload("/upload/upgradesoftware", "EDID", "page.html", "<script>alert(1)</script>").status);
    for (const char* path : {"/tmp/page.html", "/./tmp/page.html", "//tmp/page.html", "/tmp/%70age.html", "/tmp/",
                             "/tmp", "/images/../tmp/page.html"}) {
        Reply reply = Get(path);
        EXPECT_EQ(404, reply.status) << path;
        EXPECT_EQ(std::string::npos, reply.body.find("<script>")) << path;
    }
    EXPECT_EQ(200, Get("/index.html").status);
    unlink(s_root->File("/www/tmp/page.html").c_str());
}

TEST_F(UploadHttpTest, ValuesThatWouldBreakTheRecordsAreRefused)
{
    const std::string property = s_root->Read("/var/tmpfs/SavePowerOff.conf");
    const std::string prefs = s_root->Read("/Velmar/etc/Velmar.xml");
    EXPECT_EQ(400, Action("cmdtype=deviceconfig&cmdstr=setdeviceinfo&alias=two%0Alines").status);
    for (const char* number : {"7%5D%7D%7B", "", "12a", "-1", "65536", "0x10", "%207", "123456"})
        EXPECT_EQ(400, Action(std::string("cmdtype=deviceconfig&cmdstr=sequencenumberarrange&maxsequencenumber=") +
                              number)
                           .status)
            << number;
    EXPECT_EQ(property, s_root->Read("/var/tmpfs/SavePowerOff.conf"));
    EXPECT_EQ(prefs, s_root->Read("/Velmar/etc/Velmar.xml"));
    EXPECT_EQ(200, Action("cmdtype=deviceconfig&cmdstr=sequencenumberarrange&maxsequencenumber=65535").status);
    Reply list = Action("cmdtype=commconfig&cmdstr=getdeviceinfo");
    EXPECT_NE(std::string::npos, list.body.find("\"devicemaxseqnum\": 65535,\r\n")) << list.body;
}

} // namespace
