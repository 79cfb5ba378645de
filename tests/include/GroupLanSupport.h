// A simulated LAN of endpoints for the group tests (sim/netlan): a "lan"
// namespace holding a bridge, and several endpoints, each in a namespace of
// its own whose "eth0" is a port of that bridge. Each endpoint has a
// temporary board root, the simulated MCU and display (in this process) on
// its serial links, and velmard running as a process inside its namespace.
// The test peer's sockets are made in the lan namespace, at the bridge's
// addresses. Nothing here touches this machine's own network.
//
// Addresses come from 198.18.0.0/15 (kept for tests): a /24 per test process.
#ifndef GROUP_LAN_SUPPORT_H
#define GROUP_LAN_SUPPORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestClock.h"
#include "BoardRootFixture.h"
#include "DisplaySimulator.h"
#include "McuSimulator.h"
#include "VelmardProcess.h"

namespace group_test {

using Bytes = std::vector<uint8_t>;

const uint16_t kUnicastPort = 3334;   // "QuorVelmar_UdpPort"
const uint16_t kGroupPort = 3333;     // "QuorVelmar_MulUdpRecvPort"
const uint16_t kCommandPort = 2323;   // "Quor_Velmar_TelnetPort" of the board roots
const char kGroupIp[] = "230.1.0.0";

using board_test::NowMs;
using board_test::WaitFor;

using board_test::InNamespace;

// ---- Datagrams ---------------------------------------------------------------------

struct Datagram {
    Bytes bytes;
    std::string from;      // sender's address
    uint16_t fromPort = 0;
};

// A datagram socket bound to ip:port in the namespace; -1 on failure.
int BoundSocket(const std::string& ns, const std::string& ip, uint16_t port);
bool SendTo(int fd, const std::string& ip, uint16_t port, const Bytes& bytes);
// One datagram within timeoutMs, or false.
bool Receive(int fd, Datagram* out, int timeoutMs);
// Every datagram that arrives until count have come and then quietMs more
// passed without another (or timeoutMs in all).
std::vector<Datagram> Collect(int fd, size_t count, int timeoutMs, int quietMs = 400);
void Drain(int fd);

// Big-endian reads of wire bytes (0 past the end).
uint32_t Be32(const Bytes& b, size_t at);
uint16_t Be16(const Bytes& b, size_t at);

// ---- The LAN -----------------------------------------------------------------------

class GroupLan {
public:
    // The lan namespace and count endpoint namespaces (not their daemons).
    explicit GroupLan(int count);
    ~GroupLan();
    GroupLan(const GroupLan&) = delete;
    GroupLan& operator=(const GroupLan&) = delete;

    bool Ok() const { return fOk; }
    const std::string& Output() const { return fOutput; }
    const std::string& LanNs() const { return fLan; }
    // The test peer's addresses on the bridge (the first is the endpoints' gateway).
    std::string PeerIp(int n = 0) const { return fNet + std::to_string(254 - n); }
    std::string EndpointNs(int i) const { return fLan.substr(0, fLan.size() - 3) + "e" + std::to_string(i); }
    std::string EndpointIp(int i) const { return fNet + std::to_string(i + 1); }
    int Count() const { return fCount; }

private:
    bool Run(const std::vector<std::string>& args);

    int fCount;
    std::string fLan, fNet, fOutput;
    bool fOk = false;
};

// ---- An endpoint -------------------------------------------------------------------

class LanEndpoint {
public:
    LanEndpoint(const GroupLan& lan, int index);
    ~LanEndpoint();
    LanEndpoint(const LanEndpoint&) = delete;
    LanEndpoint& operator=(const LanEndpoint&) = delete;

    // Board root and simulators ready.
    bool Ok() const { return fOk; }
    const std::string& Why() const { return fWhy; }
    // Starts velmard in the endpoint's namespace.
    bool StartDaemon();
    // True once the MCU saw the start flow's last query.
    bool WaitStartFlow(int timeoutMs);
    bool Running();
    // SIGUSR1, then waits: true when velmard ended with status 0.
    bool Stop();
    // Resident memory of velmard in KiB (0 when unknown).
    long RssKb() const;
    pid_t Pid() const { return fDaemon ? fDaemon->Pid() : -1; }
    // What velmard wrote on its standard output and error.
    std::string Output() const;
    // Every log file of velmard, in file order (what its buffer has written so far).
    std::string Log() const;
    size_t LogCount(const std::string& text) const;

    const board_test::TempBoardRoot& Root() const { return *fRoot; }
    McuSimulator& Mcu() { return fMcu; }
    DisplaySimulator& Display() { return fDisplay; }
    const std::string& Ip() const { return fIp; }
    const std::string& Ns() const { return fNs; }
    // The exit status "sync" gives from now on.
    void SetSyncStatus(int status) const;
    // "SET SUBGROUP self ..." lines the MCU received since ClearRecords.
    std::vector<std::string> SubgroupLines() const;

private:
    std::unique_ptr<board_test::TempBoardRoot> fRoot;
    McuSimulator fMcu;
    DisplaySimulator fDisplay;
    std::string fNs, fIp, fWhy;
    std::unique_ptr<board_test::VelmardProcess> fDaemon;
    bool fOk = false;
};

// The text of the preference name in an endpoint's preferences file
// ("(none)" when it has none).
std::string PowerSavePref(const LanEndpoint& endpoint, const std::string& name);

// Every endpoint of a test bed, in index order.
typedef std::vector<std::unique_ptr<LanEndpoint>> LanEndpoints;

// The endpoints of a LAN (board roots and simulators); false with the reason
// in *why when one cannot be made.
bool MakeEndpoints(const GroupLan& lan, LanEndpoints* endpoints, std::string* why);
// A test bed: the LAN and its endpoints.
struct LanBed {
    virtual ~LanBed() = default;  // the endpoints end before their LAN
    std::unique_ptr<GroupLan> lan;
    LanEndpoints endpoints;
};
// Makes the LAN of count endpoints with their board roots and simulators (not
// their daemons): skips the binary where no LAN can be made here, ends it
// (status 1) when an endpoint cannot be made.
void MakeLanBed(int count, LanBed* bed);
// Stops every daemon (gtest expectations): each ends with status 0 and
// without a sanitizer report.
void ExpectCleanStops(const LanEndpoints& endpoints);
// Starts every endpoint's daemon and waits until each has run its start flow
// and ready(i) holds (ready waits on its own): ends the binary (status 1) when
// one does not.
void StartDaemons(const LanEndpoints& endpoints, const std::function<bool(int)>& ready);
// The main of a test binary on a LAN bed: gtest takes its flags, makeBed makes
// the bed, the tests run, every daemon is stopped cleanly (gtest
// expectations) and the bed is deleted. Returns the exit status.
int RunLanTests(int argc, char** argv, const std::function<LanBed*()>& makeBed);

// ---- The test peer (in the lan namespace) ----------------------------------------------

class LanPeer {
public:
    // Sockets at the peer address n: its unicast socket on kUnicastPort, the
    // socket it sends from (fromPort; multicast loopback off) and a member of
    // the group on kGroupPort.
    LanPeer(const GroupLan& lan, int n, uint16_t fromPort);
    ~LanPeer();
    LanPeer(const LanPeer&) = delete;
    LanPeer& operator=(const LanPeer&) = delete;

    bool Ok() const { return fUnicast >= 0 && fSender >= 0 && fGroup != -1; }
    const std::string& Ip() const { return fIp; }
    bool SendToGroup(const Bytes& bytes) const { return SendTo(fSender, kGroupIp, kGroupPort, bytes); }
    bool SendToEndpoint(const std::string& ip, const Bytes& bytes) const
    {
        return SendTo(fSender, ip, kUnicastPort, bytes);
    }
    int Unicast() const { return fUnicast; }
    int Group() const { return fGroup; }
    int Sender() const { return fSender; }
    void DrainAll() const;

private:
    std::string fIp;
    int fUnicast = -1;
    int fSender = -1;
    int fGroup = -1;
};

// A TCP client of an endpoint's command port, connected from the lan namespace.
using CommandClient = board_test::TcpClient;

}  // namespace group_test

#endif
