// Command-line client for the command-port benchmarks.
//
//   line_client rtt pty PATH COUNT          round trips of "GET ORDER" on a serial device
//   line_client rtt tcp HOST PORT COUNT     the same through the command port
//   line_client rate HOST PORT CLIENTS SECONDS
//                                           command lines per second answered with
//                                           CLIENTS connections, each sending its
//                                           next line when the last was answered
//
// Prints figures only.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
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
const char kQuery[] = "GET ORDER\r\n";
const char kAnswerPrefix[] = "ORDER ";

// Reads CR LF lines from a descriptor, with a timeout per line.
class LineReader {
public:
    explicit LineReader(int fd) : fFd(fd) {}
    bool ReadLine(std::string* line, int timeoutMs)
    {
        for (;;) {
            size_t end = fBuffer.find("\r\n");
            if (end != std::string::npos) {
                *line = fBuffer.substr(0, end);
                fBuffer.erase(0, end + 2);
                return true;
            }
            struct pollfd pfd = {fFd, POLLIN, 0};
            if (poll(&pfd, 1, timeoutMs) <= 0)
                return false;
            char chunk[4096];
            ssize_t n = read(fFd, chunk, sizeof(chunk));
            if (n <= 0)
                return false;
            fBuffer.append(chunk, (size_t)n);
        }
    }

private:
    int fFd;
    std::string fBuffer;
};

bool WriteAll(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n <= 0)
            return false;
        data += n;
        len -= (size_t)n;
    }
    return true;
}

// Sends the query and waits for its answer, skipping other lines.
bool Exchange(int fd, LineReader* reader)
{
    if (!WriteAll(fd, kQuery, sizeof(kQuery) - 1))
        return false;
    std::string line;
    while (reader->ReadLine(&line, 5000)) {
        if (line.compare(0, sizeof(kAnswerPrefix) - 1, kAnswerPrefix) == 0)
            return true;
    }
    return false;
}

int OpenPty(const char* path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetspeed(&tio, B57600);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

int ConnectTcp(const char* host, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1 || connect(fd, (struct sockaddr*)&addr, sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

int RoundTrips(int fd, long count)
{
    LineReader reader(fd);
    std::vector<double> micros;
    micros.reserve((size_t)count);
    for (long i = 0; i < count; i++) {
        auto start = Clock::now();
        if (!Exchange(fd, &reader)) {
            fprintf(stderr, "no answer after %ld round trips\n", i);
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    printf("%ld round trips: median %.0f us, p99 %.0f us\n", count, micros[micros.size() / 2],
           micros[std::min(micros.size() - 1, micros.size() * 99 / 100)]);
    return 0;
}

int Rate(const char* host, int port, int clients, int seconds)
{
    std::atomic<long> answered{0};
    std::atomic<bool> stop{false};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++) {
        threads.emplace_back([&] {
            int fd = ConnectTcp(host, port);
            if (fd < 0) {
                failed++;
                return;
            }
            LineReader reader(fd);
            while (!stop.load()) {
                if (!Exchange(fd, &reader)) {
                    failed++;
                    break;
                }
                answered++;
            }
            close(fd);
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop.store(true);
    for (auto& t : threads)
        t.join();
    printf("%d clients: %.0f command lines per second answered (answers reach every client; %d clients failed)\n", clients,
           (double)answered.load() / seconds, failed.load());
    return 0;
}

int Usage()
{
    fprintf(stderr, "usage: line_client rtt pty PATH COUNT | rtt tcp HOST PORT COUNT | rate HOST PORT CLIENTS SECONDS\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "rtt") == 0 && strcmp(argv[2], "pty") == 0) {
        int fd = OpenPty(argv[3]);
        if (fd < 0) {
            perror(argv[3]);
            return 1;
        }
        return RoundTrips(fd, atol(argv[4]));
    }
    if (argc == 6 && strcmp(argv[1], "rtt") == 0 && strcmp(argv[2], "tcp") == 0) {
        int fd = ConnectTcp(argv[3], atoi(argv[4]));
        if (fd < 0) {
            perror("connect");
            return 1;
        }
        return RoundTrips(fd, atol(argv[5]));
    }
    if (argc == 6 && strcmp(argv[1], "rate") == 0)
        return Rate(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
    return Usage();
}
