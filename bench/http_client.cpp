// HTTP client for the web benchmark.
//
//   http_client rate HOST PORT PATH CLIENTS SECONDS
//       requests per second answered with status 200 for PATH, with CLIENTS
//       clients each sending its next request when the last was answered
//       (one request per connection, "Connection: close")
//
// Prints figures only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One request; true when it was answered with status 200.
bool OneRequest(const sockaddr_in& addr, const std::string& request)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 &&
              send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    std::string reply;
    char buf[4096];
    ssize_t n;
    while (ok && (n = recv(fd, buf, sizeof(buf), 0)) > 0)
        reply.append(buf, static_cast<size_t>(n));
    close(fd);
    return ok && reply.compare(0, 13, "HTTP/1.1 200 ") == 0;
}

int Rate(const char* host, int port, const char* path, int clients, int seconds)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1)
        return 2;
    const std::string request =
        std::string("GET ") + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
    std::atomic<long> answered{0}, failed{0};
    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&] {
            while (Clock::now() < end)
                (OneRequest(addr, request) ? answered : failed)++;
        });
    }
    for (std::thread& t : threads)
        t.join();
    printf("%s: %.0f requests/s with %d clients over %d s (%ld answered, %ld failed)\n", path,
           static_cast<double>(answered.load()) / seconds, clients, seconds, answered.load(), failed.load());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 7 && strcmp(argv[1], "rate") == 0)
        return Rate(argv[2], atoi(argv[3]), argv[4], atoi(argv[5]), atoi(argv[6]));
    fprintf(stderr, "usage: %s rate HOST PORT PATH CLIENTS SECONDS\n", argv[0]);
    return 2;
}
