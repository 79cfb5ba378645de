// Upload benchmark client for bench/upload-memory.
//
//   upload_client serve PORT
//       accepts connections one after the other and reads each until the
//       peer closes, answering nothing: the plain TCP sink.
//   upload_client send HOST PORT BYTES [http PID]
//       sends BYTES bytes of data (a fixed pattern) and prints the seconds
//       from connect to the end; with "http", as a multipart upload to
//       "/upload/upgradesoftware" (the time ends with the reply), while the
//       resident memory of process PID is sampled every 5 ms.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const char kBoundary[] = "----BenchBoundary7MA4YWxkTrZu0gW";

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long RssKib(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = -1;
    while (status >> key) {
        if (key == "VmRSS:" && status >> value)
            return value;
    }
    return -1;
}

bool SendAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        length -= (size_t)n;
    }
    return true;
}

int Serve(int port)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons((uint16_t)port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0 || listen(listener, 1) != 0) {
        perror("sink");
        return 1;
    }
    static char buf[64 * 1024];
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        while (fd >= 0 && read(fd, buf, sizeof(buf)) > 0) {
        }
        if (fd >= 0)
            close(fd);
    }
}

int Send(const char* host, int port, size_t bytes, bool http, int pid)
{
    std::string head, tail;
    if (http) {
        std::string partHead = std::string("--") + kBoundary +
                               "\r\nContent-Disposition: form-data; name=\"ARM\"; filename=\"bench.bin\"\r\n"
                               "Content-Type: application/octet-stream\r\n\r\n";
        tail = std::string("\r\n--") + kBoundary + "--\r\n";
        head = std::string("POST /upload/upgradesoftware HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n") +
               "Content-Type: multipart/form-data; boundary=" + kBoundary + "\r\nContent-Length: " +
               std::to_string(partHead.size() + bytes + tail.size()) + "\r\n\r\n" + partHead;
    }
    std::atomic<bool> done{false};
    long rssBefore = pid > 0 ? RssKib(pid) : -1, rssPeak = rssBefore;
    std::thread sampler([&] {
        while (pid > 0 && !done.load()) {
            rssPeak = std::max(rssPeak, RssKib(pid));
            usleep(5000);
        }
    });
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, host, &to.sin_addr);
    double start = Now();
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0 && SendAll(fd, head.data(), head.size());
    static char chunk[64 * 1024];
    for (size_t i = 0; i < sizeof(chunk); ++i)
        chunk[i] = (char)(i * 131 + 7);
    for (size_t left = bytes; ok && left > 0;) {
        size_t n = std::min(left, sizeof(chunk));
        ok = SendAll(fd, chunk, n);
        left -= n;
    }
    ok = ok && SendAll(fd, tail.data(), tail.size());
    shutdown(fd, SHUT_WR);
    std::string reply;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        reply.append(buf, (size_t)n);
    double seconds = Now() - start;
    close(fd);
    done = true;
    sampler.join();
    if (http && reply.compare(0, 12, "HTTP/1.1 200") != 0)
        ok = false;
    printf("%s %.3f s %.1f MB/s", ok ? "ok" : "FAILED", seconds, (double)bytes / seconds / 1e6);
    if (pid > 0)
        printf(" rss-before %ld KiB rss-peak %ld KiB growth %ld KiB", rssBefore, rssPeak, rssPeak - rssBefore);
    printf("\n");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "serve") == 0)
        return Serve(atoi(argv[2]));
    if ((argc == 5 || argc == 7) && strcmp(argv[1], "send") == 0) {
        bool http = argc == 7 && strcmp(argv[5], "http") == 0;
        return Send(argv[2], atoi(argv[3]), strtoull(argv[4], nullptr, 10), http, http ? atoi(argv[6]) : 0);
    }
    fprintf(stderr, "usage: upload_client serve PORT | send HOST PORT BYTES [http PID]\n");
    return 2;
}
