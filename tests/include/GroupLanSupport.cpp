#include "GroupLanSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace group_test {

using board_test::ProcessResult;
using board_test::RunProcess;
using board_test::SourcePath;


// ---- Datagrams ---------------------------------------------------------------------

namespace {

sockaddr_in SockAddr(const std::string& ip, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    return addr;
}

int BindHere(const std::string& ip, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    sockaddr_in addr = SockAddr(ip, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int BoundSocket(const std::string& ns, const std::string& ip, uint16_t port)
{
    return InNamespace(ns, [&] { return BindHere(ip, port); });
}

bool SendTo(int fd, const std::string& ip, uint16_t port, const Bytes& bytes)
{
    sockaddr_in to = SockAddr(ip, port);
    return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) ==
           (ssize_t)bytes.size();
}

bool Receive(int fd, Datagram* out, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs) <= 0)
        return false;
    static thread_local uint8_t buf[65536];
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    ssize_t n = recvfrom(fd, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0)
        return false;
    out->bytes.assign(buf, buf + n);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text));
    out->from = text;
    out->fromPort = ntohs(from.sin_port);
    return true;
}

std::vector<Datagram> Collect(int fd, size_t count, int timeoutMs, int quietMs)
{
    std::vector<Datagram> got;
    int64_t end = NowMs() + timeoutMs;
    while (got.size() < count && NowMs() < end) {
        Datagram d;
        if (Receive(fd, &d, (int)(end - NowMs())))
            got.push_back(d);
    }
    Datagram extra;
    while (Receive(fd, &extra, quietMs))
        got.push_back(extra);
    return got;
}

void Drain(int fd)
{
    Datagram ignored;
    while (Receive(fd, &ignored, 0)) {
    }
}

uint32_t Be32(const Bytes& b, size_t at)
{
    return (uint32_t)Be16(b, at) << 16 | Be16(b, at + 2);
}

uint16_t Be16(const Bytes& b, size_t at)
{
    if (at + 2 > b.size())
        return 0;
    return (uint16_t)(b[at] << 8 | b[at + 1]);
}

// ---- The LAN -----------------------------------------------------------------------

GroupLan::GroupLan(int count) : fCount(count)
{
    unsigned pid = (unsigned)getpid();
    std::string base = "velmar-g" + std::to_string(pid) + "-";
    fLan = base + "lan";
    fNet = "198.19." + std::to_string(pid % 250) + ".";
    fOk = Run({"up", fLan, "--address", PeerIp(0) + "/24"}) &&
          RunProcess({"ip", "-n", fLan, "addr", "add", PeerIp(1) + "/24", "dev", "br0"}).Exited(0);
    for (int i = 0; fOk && i < count; ++i)
        fOk = Run({"join", fLan, EndpointNs(i), "--address", EndpointIp(i) + "/24"});
}

GroupLan::~GroupLan()
{
    Run({"down", fLan});
}

bool GroupLan::Run(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {SourcePath("sim/netlan")};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult result = RunProcess(argv);
    fOutput += result.output;
    return result.Exited(0);
}

// ---- An endpoint -------------------------------------------------------------------

LanEndpoint::LanEndpoint(const GroupLan& lan, int index) : fNs(lan.EndpointNs(index)), fIp(lan.EndpointIp(index))
{
    fRoot.reset(new board_test::TempBoardRoot({"--telnet-ip", "0.0.0.0", "--telnet-port", std::to_string(kCommandPort),
                                               "--udp-ip", fIp, "--udp-port", std::to_string(kUnicastPort),
                                               "--address", fIp, "--netmask", "255.255.255.0", "--gateway",
                                               lan.PeerIp(0)}));
    if (!fRoot->Ok()) {
        fWhy = "board root: " + fRoot->LayoutOutput();
        return;
    }
    // "sync" records its calls and exits with the status kept in var/run.
    bool sync = board_test::WriteText(fRoot->File("/usr/bin/sync"),
                                      "#!/bin/sh\n"
                                      ". \"$VELMAR_ROOT/usr/lib/board-sim/board-call.sh\"\n"
                                      "board_call sync \"$@\"\n"
                                      "exit \"$(cat \"$VELMAR_ROOT/var/run/sync-status\" 2>/dev/null || echo 0)\"\n",
                                      0755);
    // A distinct sequence number per endpoint shows in its search answer.
    fMcu.UpdateState([index](McuSimState& s) { s.order = std::to_string(11 + index); });
    if (!sync || fMcu.Start(SimEndpointOptions{fRoot->File("/dev/ttyS1"), ""}) != 0 ||
        fDisplay.Start(SimEndpointOptions{fRoot->File("/dev/ttyS2"), ""}) != 0) {
        fWhy = "cannot start the simulated MCU and display";
        return;
    }
    fOk = true;
}

LanEndpoint::~LanEndpoint()
{
    fDaemon.reset();
    fMcu.Stop();
    fDisplay.Stop();
}

bool LanEndpoint::StartDaemon()
{
    std::vector<std::string> env;
#if defined(VELMAR_SANITIZE_ADDRESS)
    // A small quarantine of freed blocks, so that resident memory shows what
    // the daemon holds rather than what it freed lately.
    const char* given = getenv("ASAN_OPTIONS");
    std::string options = given != nullptr && given[0] != '\0' ? std::string(given) + ":" : std::string();
    env.push_back("ASAN_OPTIONS=" + options + "quarantine_size_mb=4");
#endif
    fDaemon.reset(new board_test::VelmardProcess(*fRoot, {"ip", "netns", "exec", fNs}, env));
    return fDaemon->Pid() > 0;
}

bool LanEndpoint::WaitStartFlow(int timeoutMs)
{
    return fMcu.WaitForLine("GET UARTPWR_DELAY hdmi", timeoutMs);
}

bool LanEndpoint::Running()
{
    return fDaemon && fDaemon->Running();
}

bool LanEndpoint::Stop()
{
    return fDaemon && fDaemon->Stop(15000);
}

long LanEndpoint::RssKb() const
{
    if (Pid() <= 0)
        return 0;
    std::string status = board_test::ReadText("/proc/" + std::to_string(Pid()) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : strtol(status.c_str() + at + 6, nullptr, 10);
}

std::string LanEndpoint::Output() const
{
    return fDaemon ? fDaemon->Output() : std::string();
}

std::string LanEndpoint::Log() const
{
    return fDaemon ? fDaemon->Log() : test_files::ReadFilesIn(fRoot->File("/var/Velmar"), "QuorVelmar");
}

std::string PowerSavePref(const LanEndpoint& endpoint, const std::string& name)
{
    std::string xml = endpoint.Root().Read("/Velmar/etc/Velmar.xml");
    std::string head = "<PREF NAME=\"" + name + "\" TYPE=\"char\" >";
    size_t at = xml.find(head);
    size_t end = at == std::string::npos ? at : xml.find("</PREF>", at);
    return end == std::string::npos ? "(none)" : xml.substr(at + head.size(), end - at - head.size());
}

size_t LanEndpoint::LogCount(const std::string& text) const
{
    return test_files::CountOf(Log(), text);
}

void LanEndpoint::SetSyncStatus(int status) const
{
    board_test::WriteText(fRoot->File("/var/run/sync-status"), std::to_string(status) + "\n");
}

std::vector<std::string> LanEndpoint::SubgroupLines() const
{
    std::vector<std::string> lines;
    for (const std::string& line : fMcu.ReceivedLines()) {
        if (line.rfind("SET SUBGROUP", 0) == 0)
            lines.push_back(line);
    }
    return lines;
}

bool MakeEndpoints(const GroupLan& lan, LanEndpoints* endpoints, std::string* why)
{
    for (int i = 0; i < lan.Count(); ++i) {
        endpoints->emplace_back(new LanEndpoint(lan, i));
        if (!endpoints->back()->Ok()) {
            *why = "endpoint " + std::to_string(i) + ": " + endpoints->back()->Why();
            return false;
        }
    }
    return true;
}

void MakeLanBed(int count, LanBed* bed)
{
    board_test::RequireNetns();
    bed->lan.reset(new GroupLan(count));
    if (!bed->lan->Ok())
        board_test::SkipTest("the simulated LAN cannot be made here: " + bed->lan->Output());
    std::string why;
    if (!MakeEndpoints(*bed->lan, &bed->endpoints, &why)) {
        fprintf(stderr, "%s\n", why.c_str());
        exit(1);
    }
}

void ExpectCleanStops(const LanEndpoints& endpoints)
{
    for (size_t i = 0; i < endpoints.size(); ++i) {
        LanEndpoint& endpoint = *endpoints[i];
        EXPECT_TRUE(endpoint.Stop()) << "endpoint " << i << ": " << endpoint.Output();
        EXPECT_EQ(std::string::npos, endpoint.Output().find("Sanitizer")) << endpoint.Output();
    }
}

void StartDaemons(const LanEndpoints& endpoints, const std::function<bool(int)>& ready)
{
    for (const std::unique_ptr<LanEndpoint>& endpoint : endpoints)
        endpoint->StartDaemon();
    for (size_t i = 0; i < endpoints.size(); ++i) {
        if (!endpoints[i]->WaitStartFlow(30000) || !ready((int)i)) {
            fprintf(stderr, "endpoint %zu is not ready:\n%s\n", i, endpoints[i]->Output().c_str());
            exit(1);
        }
    }
}

namespace {

class CleanStops : public ::testing::Environment {
public:
    explicit CleanStops(const LanBed* bed) : fBed(bed) {}
    void TearDown() override { ExpectCleanStops(fBed->endpoints); }

private:
    const LanBed* fBed;
};

}  // namespace

int RunLanTests(int argc, char** argv, const std::function<LanBed*()>& makeBed)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<LanBed> bed(makeBed());
    ::testing::AddGlobalTestEnvironment(new CleanStops(bed.get()));
    return RUN_ALL_TESTS();
}

// ---- The test peer -----------------------------------------------------------------

LanPeer::LanPeer(const GroupLan& lan, int n, uint16_t fromPort) : fIp(lan.PeerIp(n))
{
    fUnicast = BoundSocket(lan.LanNs(), fIp, kUnicastPort);
    fSender = BoundSocket(lan.LanNs(), fIp, fromPort);
    if (fSender >= 0) {
        unsigned char loop = 0;
        setsockopt(fSender, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
    }
    // Only the first peer listens to the group (one member socket on the port).
    if (n != 0) {
        fGroup = -2;
        return;
    }
    fGroup = InNamespace(lan.LanNs(), [] {
        return board_test::JoinGroup(BindHere("0.0.0.0", kGroupPort), kGroupIp);
    });
}

LanPeer::~LanPeer()
{
    for (int fd : {fUnicast, fSender, fGroup}) {
        if (fd >= 0)
            close(fd);
    }
}

void LanPeer::DrainAll() const
{
    for (int fd : {fUnicast, fSender, fGroup}) {
        if (fd >= 0)
            Drain(fd);
    }
}

}  // namespace group_test
