// A test peer of the group messages for the benchmarks, run inside a LAN
// namespace of sim/netlan (ip netns exec ...).
//
//   group_peer search BIND_IP EXPECTED TIMEOUT_MS
//       Sends one search query to the group from BIND_IP and collects the
//       answers at BIND_IP's unicast port until EXPECTED have come or
//       TIMEOUT_MS passed. Prints the number of answers, of distinct
//       endpoints, and the times of the first and the last answer.
//   group_peer flood TARGET_IP COUNT
//       Sends COUNT search answers (as an endpoint gives them) to the unicast
//       port of TARGET_IP, a short pause after every 16. Prints the time taken.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

const uint16_t kUnicastPort = 3334;
const uint16_t kGroupPort = 3333;
const char kGroupIp[] = "230.1.0.0";

typedef std::vector<uint8_t> Bytes;

double NowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Put(Bytes& b, uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        b.push_back((uint8_t)(value >> (8 * i)));
}

void Finish(Bytes& b)
{
    uint32_t n = (uint32_t)b.size();
    for (int i = 0; i < 4; ++i)
        b[(size_t)i] = (uint8_t)(n >> (24 - 8 * i));
}

Bytes Header(uint32_t commandId, uint32_t word2)
{
    Bytes b;
    Put(b, 0, 4);
    Put(b, commandId, 4);
    Put(b, word2, 4);
    Put(b, 1, 4);
    Put(b, 0, 4);
    Put(b, 0, 4);
    return b;
}

Bytes SearchQuery(uint32_t word2)
{
    Bytes b = Header(0x1601, word2);
    Put(b, 0, 2);  // any device type
    Put(b, 0, 4);
    Finish(b);
    return b;
}

Bytes SearchAnswer(uint32_t n)
{
    const std::string texts[8] = {"bench-" + std::to_string(n), "198.51.120.9", "3", "off", "off", "off", "hdmi",
                                  "TX"};
    Bytes b = Header(0x2601, 0);
    Put(b, 1, 2);
    Put(b, 0, 4);
    Put(b, 8, 1);
    for (int id = 1; id <= 8; ++id) {
        const std::string& t = texts[id - 1];
        Put(b, (uint32_t)id, 2);
        Put(b, (uint32_t)t.size() + 4, 4);
        b.insert(b.end(), t.begin(), t.end());
    }
    Finish(b);
    return b;
}

sockaddr_in Addr(const char* ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, ip, &a.sin_addr) != 1) {
        fprintf(stderr, "not an address: %s\n", ip);
        exit(2);
    }
    return a;
}

int Bound(const char* ip, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    sockaddr_in a = Addr(ip, port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        perror("bind");
        exit(1);
    }
    return fd;
}

bool SendBytes(int fd, const sockaddr_in& to, const Bytes& b)
{
    return sendto(fd, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) ==
           (ssize_t)b.size();
}

int Search(const char* bindIp, int expected, int timeoutMs)
{
    int answers = Bound(bindIp, kUnicastPort);
    int sender = Bound(bindIp, 0);
    const uint32_t word2 = (uint32_t)getpid();
    const double start = NowMs();
    if (!SendBytes(sender, Addr(kGroupIp, kGroupPort), SearchQuery(word2))) {
        perror("sendto");
        return 1;
    }
    std::set<uint32_t> endpoints;
    int count = 0;
    double first = -1, last = -1;
    uint8_t buf[4096];
    for (;;) {
        int left = (int)(start + timeoutMs - NowMs());
        pollfd p{answers, POLLIN, 0};
        if (count >= expected || left <= 0 || poll(&p, 1, left) <= 0)
            break;
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(answers, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 12 || ((uint32_t)buf[8] << 24 | (uint32_t)buf[9] << 16 | (uint32_t)buf[10] << 8 | buf[11]) != word2)
            continue;
        double at = NowMs() - start;
        if (first < 0)
            first = at;
        last = at;
        count++;
        endpoints.insert(from.sin_addr.s_addr);
    }
    printf("answers %d from %zu endpoints (expected %d); first after %.1f ms, last after %.1f ms\n", count,
           endpoints.size(), expected, first, last);
    close(answers);
    close(sender);
    return 0;
}

int Flood(const char* targetIp, int count)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = Addr(targetIp, kUnicastPort);
    const double start = NowMs();
    int sent = 0;
    for (int n = 0; n < count; ++n) {
        if (SendBytes(fd, to, SearchAnswer((uint32_t)n)))
            sent++;
        if (n % 16 == 15)
            usleep(1000);
    }
    printf("sent %d of %d search answers to %s in %.0f ms\n", sent, count, targetIp, NowMs() - start);
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "search") == 0)
        return Search(argv[2], atoi(argv[3]), atoi(argv[4]));
    if (argc == 4 && strcmp(argv[1], "flood") == 0)
        return Flood(argv[2], atoi(argv[3]));
    fprintf(stderr, "usage: group_peer search BIND_IP EXPECTED TIMEOUT_MS | flood TARGET_IP COUNT\n");
    return 2;
}
