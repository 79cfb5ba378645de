// Two network namespaces of a test's own, joined by a veth pair and by
// nothing else. The calling process moves into the "board" namespace (its
// "eth0" carries the module's address, its default route leads to the peer
// side); sockets of peer modules are made in the "lan" namespace (two
// addresses on "lan0"). A third namespace with loopback only and no route
// stands for a board whose network is not up yet. Group messages, their
// answers and every failure path stay inside these namespaces; the machine's
// own network is never used.
//
// MakeNamespaces must run while the process has a single thread (before any
// pool starts); it ends the binary with status 77 (skipped) when root, the
// namespaces or the veth pair are not to be had here.
#ifndef UDP_NETNS_PAIR_H
#define UDP_NETNS_PAIR_H

#include <sched.h>

#include "BoardRootFixture.h"
#include "UdpTestSupport.h"

namespace udp_test {

const char kModuleIp[] = "198.18.250.1";
const char kPeer1Ip[] = "198.18.250.2";
const char kPeer2Ip[] = "198.18.250.3";
const char kGroupIp[] = "230.1.0.0";
const uint16_t kModulePort = 3334;  // "QuorVelmar_UdpPort"
const uint16_t kGroupPort = 3333;   // "QuorVelmar_MulUdpRecvPort"

// Namespace descriptors: the module's, the peers', and one without a route.
struct Namespaces {
    int board = -1;
    int lan = -1;
    int bare = -1;
};
inline Namespaces g_ns;

using board_test::RunIp;

inline void MustIp(const std::vector<std::string>& args)
{
    std::string output;
    if (!RunIp(args, &output)) {
        fprintf(stderr, "ip %s failed: %s\n", ::testing::PrintToString(args).c_str(), output.c_str());
        exit(1);
    }
}

// This thread leaves for a fresh namespace with "lo" up; its descriptor.
inline int EnterFreshNetns(const char* what)
{
    board_test::LeaveForFreshNetns(what);
    int fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        board_test::SkipTest(std::string("cannot open the ") + what + " namespace: " + strerror(errno));
    return fd;
}

// Runs fn with this thread in the namespace nsFd, then back in the board's.
template <class F>
inline auto InNetns(int nsFd, F fn) -> decltype(fn())
{
    if (setns(nsFd, CLONE_NEWNET) != 0)
        ADD_FAILURE() << "setns: " << strerror(errno);
    auto result = fn();
    if (setns(g_ns.board, CLONE_NEWNET) != 0) {
        fprintf(stderr, "cannot return to the board namespace: %s\n", strerror(errno));
        abort();
    }
    return result;
}

inline void MakeNamespaces()
{
    board_test::RequireNetns();
    g_ns.bare = EnterFreshNetns("bare");
    g_ns.lan = EnterFreshNetns("lan");
    g_ns.board = EnterFreshNetns("board");
    std::string output;
    if (!RunIp({"link", "add", "eth0", "type", "veth", "peer", "name", "lan0"}, &output))
        board_test::SkipTest("veth pairs cannot be made here: " + output);
    MustIp({"link", "set", "lan0", "netns", "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(g_ns.lan)});
    MustIp({"addr", "add", std::string(kModuleIp) + "/29", "dev", "eth0"});
    MustIp({"link", "set", "eth0", "up"});
    MustIp({"route", "add", "default", "via", kPeer1Ip, "dev", "eth0"});
    InNetns(g_ns.lan, [] {
        MustIp({"addr", "add", std::string(kPeer1Ip) + "/29", "dev", "lan0"});
        MustIp({"addr", "add", std::string(kPeer2Ip) + "/29", "dev", "lan0"});
        MustIp({"link", "set", "lan0", "up"});
        MustIp({"route", "add", "default", "via", kModuleIp, "dev", "lan0"});
        return 0;
    });
    bool up = WaitUntil([] {
        std::string out;
        return RunIp({"-o", "link", "show", "eth0"}, &out) && out.find("LOWER_UP") != std::string::npos;
    });
    if (!up) {
        fprintf(stderr, "the veth pair does not come up\n");
        exit(1);
    }
}

// ---- Sockets of the lan namespace --------------------------------------------------

inline int LanSocket(const char* ip, uint16_t port)
{
    return InNetns(g_ns.lan, [&] { return BoundSocket(ip, port); });
}

// A member of the group on its port, as a peer module's group socket.
inline int LanGroupListener()
{
    return InNetns(g_ns.lan, [] {
        return board_test::JoinGroup(BoundSocket("0.0.0.0", kGroupPort), kGroupIp);
    });
}

// A peer module in the lan namespace: its unicast socket on the module port,
// and the socket it sends its group requests from.
struct Peer {
    const char* ip = nullptr;
    uint16_t senderPort = 0;
    int unicast = -1;
    int sender = -1;

    Peer(const char* address, uint16_t fromPort) : ip(address), senderPort(fromPort)
    {
        unicast = LanSocket(ip, kModulePort);
        sender = LanSocket(ip, senderPort);
    }
    ~Peer()
    {
        close(unicast);
        close(sender);
    }
    bool Ok() const { return unicast >= 0 && sender >= 0; }
    bool SendToGroup(const Bytes& bytes) const { return SendBytes(sender, kGroupIp, kGroupPort, bytes); }
};

// The groups joined on eth0, as the kernel lists them (hexadecimal words).
inline std::string Eth0Groups()
{
    std::string igmp = board_test::ReadText("/proc/thread-self/net/igmp");
    size_t at = igmp.find("eth0");
    if (at == std::string::npos)
        return std::string();
    size_t end = igmp.find('\n', at);
    while (end != std::string::npos && end + 1 < igmp.size() && (igmp[end + 1] == '\t' || igmp[end + 1] == ' '))
        end = igmp.find('\n', end + 1);
    return igmp.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

inline std::string GroupWord(const char* dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    char word[16];
    snprintf(word, sizeof(word), "%08X", (unsigned)a.s_addr);
    return word;
}

} // namespace udp_test

#endif
