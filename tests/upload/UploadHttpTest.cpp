// Uploads, downloads and the commands on uploaded files, black box: velmard
// as a process on a temporary board root in a network namespace, with the
// simulated MCU and display, and HTTP requests over real sockets. One daemon
// serves the whole binary. Needs root; exits 77 (skipped) where no namespace
// can be made.
#include <arpa/inet.h>
#include <sched.h>
#include <thread>

#include "DisplaySimulator.h"
#include "McuSimulator.h"
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
    static std::string Post(const std::string& uri, const std::string& body, const std::string& type)
    {
        return "POST " + uri + " HTTP/1.1\r\nHost: endpoint\r\nConnection: close\r\nContent-Type: " + type +
               "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    static Reply Upload(const std::string& uri, const std::string& part, const std::string& name,
                        const std::string& data)
    {
        return Exchange({Post(uri, upload_test::Body(part, name, data),
                              std::string("multipart/form-data; boundary=") + upload_test::kBoundary)});
    }
    static Reply Action(const std::string& form)
    {
        return Exchange({Post("/action", form, "application/x-www-form-urlencoded")});
    }
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
    EXPECT_TRUE(WaitFor([&] { return Tmp("split.bin").size() >= 500000; }, 10000));
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

// A UDP socket in the daemon's namespace on the upgrade agent's port.
int AgentSocket(const TestNetns& netns)
{
    int fd = -1;
    std::thread([&] {
        int nsFd = open(("/run/netns/" + netns.Name()).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd >= 0 && setns(nsFd, CLONE_NEWNET) == 0) {
            fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(kAgentPort);
            at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0) {
                close(fd);
                fd = -1;
            }
        }
        if (nsFd >= 0)
            close(nsFd);
    }).join();
    return fd;
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

} // namespace
