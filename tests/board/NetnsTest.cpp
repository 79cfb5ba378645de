// Network namespaces for simulated endpoints: a fresh namespace with only
// loopback, and sim/netns with its veth "eth0", test address and default
// route. Skipped (status 77) where namespaces cannot be made.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BoardRootFixture.h"

using board_test::ProcessResult;
using board_test::RunProcess;
using board_test::TestNetns;

namespace {

int Interfaces()
{
    struct if_nameindex* list = if_nameindex();
    if (list == nullptr)
        return -1;
    int count = 0;
    bool onlyLo = true;
    for (struct if_nameindex* i = list; i->if_index != 0; ++i) {
        ++count;
        onlyLo = onlyLo && strcmp(i->if_name, "lo") == 0;
    }
    if_freenameindex(list);
    return onlyLo ? count : 100 + count;
}

TEST(NetnsTest, FreshNamespaceHasOnlyLoopback)
{
    EXPECT_EQ(board_test::RunInFreshNetns([] { return Interfaces(); }), 1);
    // Loopback is up: a socket can be bound and reached there.
    int reached = board_test::RunInFreshNetns([] {
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
            return 2;
        socklen_t len = sizeof(a);
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        if (sendto(s, "x", 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 1)
            return 3;
        char c = 0;
        return recv(s, &c, 1, 0) == 1 && c == 'x' ? 0 : 4;
    });
    EXPECT_EQ(reached, 0);
}

TEST(NetnsTest, EndpointHasEth0WithAddressAndDefaultRoute)
{
    TestNetns ns;
    ASSERT_TRUE(ns.Ok()) << ns.Output();
    ProcessResult addr = RunProcess(ns.Exec({"ip", "-4", "-o", "addr", "show", "dev", "eth0"}));
    EXPECT_NE(addr.output.find("inet " + ns.Address() + "/30 "), std::string::npos) << addr.output;
    ProcessResult route = RunProcess(ns.Exec({"ip", "route", "show", "default"}));
    EXPECT_EQ(route.output.rfind("default via " + ns.Gateway() + " dev eth0", 0), 0u) << route.output;
    ProcessResult lo = RunProcess(ns.Exec({"ip", "-o", "link", "show", "lo"}));
    EXPECT_NE(lo.output.find("LOWER_UP"), std::string::npos) << lo.output;
}

// The host's routes but those through the test namespaces' veths ("vv..."),
// which other tests running meanwhile add and remove.
static std::string HostRoutes()
{
    std::istringstream all(RunProcess({"ip", "-4", "route", "show"}).output);
    std::string routes;
    for (std::string line; std::getline(all, line);)
        if (line.find(" dev vv") == std::string::npos)
            routes += line + "\n";
    return routes;
}

TEST(NetnsTest, HostReachesTheEndpointAndNothingIsForwarded)
{
    std::string routesBefore = HostRoutes();
    std::string veth;
    {
        TestNetns ns(true);
        ASSERT_TRUE(ns.Ok()) << ns.Output();
        veth = board_test::ReadText("/run/velmar-netns/" + ns.Name());
        ASSERT_FALSE(veth.empty());
        veth.pop_back();
        EXPECT_EQ(board_test::ReadText("/proc/sys/net/ipv4/conf/" + veth + "/forwarding"), "0\n");

        // A listener inside the namespace, a connection from this machine.
        int ready[2];
        ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
        pid_t pid = fork();
        if (pid == 0) {
            int nsfd = open(("/run/netns/" + ns.Name()).c_str(), O_RDONLY | O_CLOEXEC);
            if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) != 0)
                _exit(2);
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            struct sockaddr_in a {};
            a.sin_family = AF_INET;
            a.sin_port = htons(2323);
            inet_pton(AF_INET, ns.Address().c_str(), &a.sin_addr);
            if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 1) != 0)
                _exit(3);
            if (write(ready[1], "r", 1) != 1)
                _exit(4);
            int c = accept(s, nullptr, nullptr);
            _exit(c >= 0 && write(c, "hello", 5) == 5 ? 0 : 5);
        }
        close(ready[1]);
        char r = 0;
        ASSERT_EQ(read(ready[0], &r, 1), 1);
        close(ready[0]);
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(2323);
        inet_pton(AF_INET, ns.Address().c_str(), &a.sin_addr);
        ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        char buf[8] = {0};
        EXPECT_EQ(read(s, buf, sizeof(buf)), 5);
        EXPECT_STREQ(buf, "hello");
        close(s);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // Down: the veth and the namespace are gone, and the host's routes are as before.
    EXPECT_FALSE(RunProcess({"ip", "link", "show", veth}).Exited(0));
    EXPECT_EQ(RunProcess({"ip", "-4", "route", "show"}).output.find(" dev " + veth + " "), std::string::npos);
    EXPECT_EQ(HostRoutes(), routesBefore);
}

TEST(NetnsTest, HelperRefusesForeignNamesAndUsedSubnets)
{
    const std::string netns = board_test::SourcePath("sim/netns");
    EXPECT_TRUE(RunProcess({netns, "down", "not-ours"}).Exited(1));
    EXPECT_TRUE(RunProcess({netns, "up", "other", "--address", "198.18.0.2/30"}).Exited(1));
    // A host address inside a subnet this machine already has (loopback).
    EXPECT_TRUE(RunProcess({netns, "up", "velmar-clash", "--address", "127.1.0.2/30", "--host-address",
                            "127.1.0.1/30"})
                    .Exited(1));
    EXPECT_FALSE(RunProcess({"ip", "netns", "pids", "velmar-clash"}).Exited(0));
}

} // namespace

int main(int argc, char** argv)
{
    board_test::RequireNetns();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
