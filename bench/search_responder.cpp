// search_responder N [PORT]: answers the configuration-tool search on UDP
// port PORT (default 1983, any address) as N endpoints (identifiers
// 0xE0000000 + k) and every read of the list's items for each of them, so
// that velmar-find can be timed against installations of any size without
// N daemons. Runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "QuorVelmarSearchCodec.h"

namespace {

const uint32_t kBase = 0xE0000000;

void Reply(int fd, const sockaddr_in& to, const T_KorvexGUIReq& req, uint32_t id, const std::string& value)
{
    T_KorvexGUIRsp rsp;
    memset(&rsp, 0, sizeof(rsp));
    rsp.u16magic = QUOR_SEARCH_RSP_MAGIC;
    rsp.u8Type = req.u8Type;
    rsp.u32PCId = req.u32PCId;
    rsp.u32Q7MId = id;
    rsp.u8Result = 1;
    rsp.u8TAG = req.u8TAG;
    rsp.u8Len = (uint8_t)value.size();
    memcpy(rsp.cContent, value.data(), value.size());
    char bytes[QUOR_SEARCH_RSP_MAX_LEN];
    uint32_t length = 0;
    if (PackSearchRsp(rsp, bytes, sizeof(bytes), &length) == 0)
        sendto(fd, bytes, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
}

// The value endpoint k gives for a tag of the list (empty: no answer).
std::string Value(uint8_t tag, uint32_t k)
{
    const unsigned char a = (unsigned char)(k >> 8), b = (unsigned char)k;
    switch (tag) {
    case 0x0c: return std::string{'\x0a', '\x01', (char)a, (char)b};
    case 0x0d: return std::string("\xff\xff\x00\x00", 4);
    case 0x0e: return std::string("\x0a\x01\x00\x01", 4);
    case 0x0a: return std::string{'\x02', '\x00', '\x00', '\x00', (char)a, (char)b};
    case 0x06: return "Room-" + std::to_string(k);
    case 0x03: return std::string("\x00\x00\x0e\x10", 4);
    default: return std::string();
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || atoi(argv[1]) < 1) {
        fprintf(stderr, "usage: search_responder N [PORT]\n");
        return 2;
    }
    const uint32_t count = (uint32_t)atoi(argv[1]);
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(argc > 2 ? (uint16_t)atoi(argv[2]) : (uint16_t)QUOR_SEARCH_PORT);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        perror("search_responder");
        return 1;
    }
    // Every endpoint's reads arrive at this one socket.
    int buffer = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer));
    for (;;) {
        char bytes[2048];
        sockaddr_in from;
        socklen_t fromLen = sizeof(from);
        ssize_t n = recvfrom(fd, bytes, sizeof(bytes), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        T_KorvexGUIReq req;
        if (n <= 0 || ParseSearchReq(bytes, (uint32_t)n, &req) != 0 || req.u16magic != QUOR_SEARCH_REQ_MAGIC)
            continue;
        if (req.u8Type == QUOR_SEARCH_TYPE_SEARCH) {
            for (uint32_t k = 0; k < count; ++k) {
                Reply(fd, from, req, kBase + k, std::string());
                if (k % 50 == 49)
                    usleep(1000);  // a real installation does not answer in one instant either
            }
        } else if (req.u8Type == QUOR_SEARCH_TYPE_GET && req.u32Q7MId - kBase < count) {
            std::string value = Value(req.u8TAG, req.u32Q7MId - kBase);
            if (!value.empty())
                Reply(fd, from, req, req.u32Q7MId, value);
        }
    }
}
