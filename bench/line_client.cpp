// Command-line client for the command-port benchmarks.
//
//   line_client rtt pty PATH COUNT          round trips of "GET ORDER" on a serial device,
//                                           each timed up to the end of the 5 ms quiet
//                                           gap that closes the answer's burst (the
//                                           floor of the command port)
//   line_client rtt tcp HOST PORT COUNT     the same exchange through the command port
//   line_client rate HOST PORT CLIENTS SECONDS SOURCE[,SOURCE...]
//                                           command lines per second answered with
//                                           CLIENTS connections spread over the
//                                           source addresses; each sends
//                                           "GET SEQ c<client> <n>" when its last
//                                           query was answered and counts only the
//                                           "SEQ c<client> <n>" answers to its own
//                                           queries (the simulated MCU echoes them)
//   line_client fair HOST PORT SECONDS      one client streams "GET ORDER" as fast as its
//                                           socket takes it for SECONDS while a second
//                                           asks "GET IPADDRESS" (answered by the daemon)
//                                           and "GET SEQ q<n>" (answered by the MCU);
//                                           latencies of the second, the first's answered
//                                           lines per second, and whether every line it
//                                           got into its socket was answered
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

// The exchange and then the quiet gap a serial reader needs to see before it
// knows the burst has ended.
const int kQuietGapMs = 5;
bool ExchangeAndGap(int fd, LineReader* reader)
{
    if (!Exchange(fd, reader))
        return false;
    struct pollfd pfd = {fd, POLLIN, 0};
    while (poll(&pfd, 1, kQuietGapMs) > 0) {
        char chunk[256];
        if (read(fd, chunk, sizeof(chunk)) <= 0)
            return false;
    }
    return true;
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

// Connects to host:port, from the source address when one is given.
int ConnectTcp(const char* host, int port, const char* source = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (source != nullptr) {
        struct sockaddr_in from = {};
        from.sin_family = AF_INET;
        if (inet_pton(AF_INET, source, &from.sin_addr) != 1 || bind(fd, (struct sockaddr*)&from, sizeof(from)) != 0) {
            close(fd);
            return -1;
        }
    }
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

int RoundTrips(int fd, long count, bool (*exchange)(int, LineReader*))
{
    LineReader reader(fd);
    std::vector<double> micros;
    micros.reserve((size_t)count);
    for (long i = 0; i < count; i++) {
        auto start = Clock::now();
        if (!exchange(fd, &reader)) {
            fprintf(stderr, "no answer after %ld round trips\n", i);
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    printf("%ld round trips: median %.0f us, p99 %.0f us, max %.0f us\n", count, micros[micros.size() / 2],
           micros[std::min(micros.size() - 1, micros.size() * 99 / 100)], micros.back());
    return 0;
}

std::vector<std::string> SplitCommas(const char* text)
{
    std::vector<std::string> parts;
    std::string all(text);
    size_t start = 0;
    for (size_t end; (end = all.find(',', start)) != std::string::npos; start = end + 1)
        parts.push_back(all.substr(start, end - start));
    parts.push_back(all.substr(start));
    return parts;
}

struct RateCounts {
    std::atomic<long> answered{0};
    std::atomic<long> lost{0};        // no answer within 5 s
    std::atomic<long> duplicated{0};  // an answer to a query already answered
    std::atomic<long> late{0};        // an answer after its query was given up
    std::atomic<int> failed{0};       // connections refused or broken
};

// One client: sends its next query when the last was answered; lines that
// answer other clients' queries are skipped.
void RateClient(int id, const std::string& source, const char* host, int port, const std::atomic<bool>& stop,
                RateCounts* counts)
{
    int fd = ConnectTcp(host, port, source.c_str());
    if (fd < 0) {
        counts->failed++;
        return;
    }
    LineReader reader(fd);
    char mine[32];
    int mineLen = snprintf(mine, sizeof(mine), "SEQ c%d ", id);
    long answeredUpTo = -1;
    for (long seq = 0; !stop.load(); seq++) {
        char query[64];
        int len = snprintf(query, sizeof(query), "GET SEQ c%d %ld\r\n", id, seq);
        if (!WriteAll(fd, query, (size_t)len)) {
            counts->failed++;
            break;
        }
        std::string line;
        bool got = false;
        while (!got && reader.ReadLine(&line, 5000)) {
            if (line.compare(0, (size_t)mineLen, mine) != 0)
                continue;
            long number = atol(line.c_str() + mineLen);
            if (number == seq) {
                got = true;
            } else if (number <= answeredUpTo) {
                counts->duplicated++;
            } else {
                counts->late++;
            }
            answeredUpTo = std::max(answeredUpTo, number);
        }
        if (got)
            counts->answered++;
        else
            counts->lost++;
    }
    close(fd);
}

int Rate(const char* host, int port, int clients, int seconds, const char* sources)
{
    std::vector<std::string> from = SplitCommas(sources);
    RateCounts counts;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++)
        threads.emplace_back(RateClient, c, from[(size_t)c % from.size()], host, port, std::cref(stop), &counts);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop.store(true);
    for (auto& t : threads)
        t.join();
    printf("%d clients from %zu addresses: %.0f command lines per second answered, each client counting only "
           "its own answers (%ld answered in %d s; lost %ld, duplicated %ld, late %ld; %d clients failed)\n",
           clients, std::min(from.size(), (size_t)clients), (double)counts.answered.load() / seconds,
           counts.answered.load(), seconds, counts.lost.load(), counts.duplicated.load(), counts.late.load(),
           counts.failed.load());
    return 0;
}

// Milliseconds from sending query until a line beginning with answer came.
long AskMs(int fd, LineReader* reader, const std::string& query, const std::string& answer)
{
    Clock::time_point start = Clock::now();
    if (!WriteAll(fd, query.data(), query.size()))
        return -1;
    std::string line;
    while (reader->ReadLine(&line, 20000)) {
        if (line.compare(0, answer.size(), answer) == 0)
            return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }
    return -1;
}

std::string Spread(std::vector<long> ms)
{
    if (ms.empty())
        return "none asked";
    std::sort(ms.begin(), ms.end());
    long unanswered = (long)std::count(ms.begin(), ms.end(), -1L);
    char text[128];
    snprintf(text, sizeof(text), "median %ld ms, worst %ld ms (%zu asked, %ld unanswered)", ms[ms.size() / 2],
             ms.back(), ms.size(), unanswered);
    return text;
}

int Fair(const char* host, int port, int seconds)
{
    int stream = ConnectTcp(host, port), quiet = ConnectTcp(host, port);
    if (stream < 0 || quiet < 0)
        return 1;
    int small = 4096;  // what waits in the socket is answered after the load
    setsockopt(stream, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    std::atomic<long> answered{0};
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        LineReader lines(stream);
        std::string line;
        while (reading.load()) {
            if (lines.ReadLine(&line, 100) && line.compare(0, strlen(kAnswerPrefix), kAnswerPrefix) == 0)
                answered++;
        }
    });
    std::string chunk;
    for (int i = 0; i < 100; i++)
        chunk += kQuery;
    std::atomic<long> written{0};
    std::thread streamer([&] {
        long sent = 0;
        Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            struct pollfd pfd = {stream, POLLOUT, 0};
            if (poll(&pfd, 1, 100) > 0) {
                ssize_t n = send(stream, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                sent += n > 0 ? n : 0;
            }
        }
        long cut = sent % (long)strlen(kQuery);
        if (cut != 0 && WriteAll(stream, kQuery + cut, strlen(kQuery) - (size_t)cut))
            sent += (long)strlen(kQuery) - cut;
        written.store(sent / (long)strlen(kQuery));
    });
    LineReader quietLines(quiet);
    std::vector<long> own, mcu;
    Clock::time_point start = Clock::now();
    for (int n = 0; Clock::now() - start < std::chrono::seconds(seconds); n++) {
        own.push_back(AskMs(quiet, &quietLines, "GET IPADDRESS\r\n", "IPADDRESS"));
        if (n % 4 == 0) {
            std::string token = "SEQ q" + std::to_string(n);
            mcu.push_back(AskMs(quiet, &quietLines, "GET " + token + "\r\n", token));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    streamer.join();
    long duringLoad = answered.load();
    Clock::time_point drainEnd = Clock::now() + std::chrono::seconds(300);
    while (answered.load() < written.load() && Clock::now() < drainEnd)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    double total = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // any extra answer shows now
    reading.store(false);
    reader.join();
    printf("second client, GET IPADDRESS (daemon): %s; target median at most 50 ms, worst at most 200 ms\n",
           Spread(own).c_str());
    printf("second client, GET SEQ (MCU): %s; target at most 1000 ms\n", Spread(mcu).c_str());
    printf("streaming client: %ld lines written in %d s, %ld answered (%ld lost, %ld extra); %.0f answered lines/s "
           "during the load, %.0f over %.1f s until the last answer; target none lost\n",
           written.load(), seconds, answered.load(), std::max(0L, written.load() - answered.load()),
           std::max(0L, answered.load() - written.load()), (double)duringLoad / seconds, answered.load() / total,
           total);
    close(stream);
    close(quiet);
    return 0;
}

int Usage()
{
    fprintf(stderr, "usage: line_client rtt pty PATH COUNT | rtt tcp HOST PORT COUNT | "
                    "rate HOST PORT CLIENTS SECONDS SOURCE[,SOURCE...] | fair HOST PORT SECONDS\n");
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
        return RoundTrips(fd, atol(argv[4]), ExchangeAndGap);
    }
    if (argc == 6 && strcmp(argv[1], "rtt") == 0 && strcmp(argv[2], "tcp") == 0) {
        int fd = ConnectTcp(argv[3], atoi(argv[4]));
        if (fd < 0) {
            perror("connect");
            return 1;
        }
        return RoundTrips(fd, atol(argv[5]), Exchange);
    }
    if (argc == 5 && strcmp(argv[1], "fair") == 0)
        return Fair(argv[2], atoi(argv[3]), atoi(argv[4]));
    if (argc == 7 && strcmp(argv[1], "rate") == 0)
        return Rate(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]), argv[6]);
    return Usage();
}
