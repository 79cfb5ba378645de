// Helpers of the group-message socket tests: plain peer sockets, group
// message bytes, the management task's UDP queue (read by the tests; pool 2
// has no threads in these binaries, so the task itself never runs), the
// binary's log and the descriptor count.
#ifndef UDP_TEST_SUPPORT_H
#define UDP_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "LightLog.h"
#include "MemoryPool.h"
#include "QuorEventContext.h"
#include "CommLayerPack.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarManageTask.h"
#include "TaskTestSupport.h"
#include "TestLog.h"

namespace udp_test {

using Bytes = std::vector<uint8_t>;

// ---- Addresses and sockets --------------------------------------------------

inline uint32_t HostAddr(const char* dotted)
{
    struct in_addr a;
    return inet_pton(AF_INET, dotted, &a) == 1 ? ntohl(a.s_addr) : 0;
}

inline std::string Dotted(uint32_t hostAddr)
{
    char text[INET_ADDRSTRLEN] = "";
    struct in_addr a;
    a.s_addr = htonl(hostAddr);
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

inline sockaddr_in SockAddr(const char* dotted, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &addr.sin_addr);
    return addr;
}

// A datagram socket bound to ip:port (port 0: the system picks); the port
// actually bound in *bound. -1 on failure.
inline int BoundSocket(const char* ip, uint16_t port, uint16_t* bound = nullptr)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = SockAddr(ip, port);
    if (fd < 0 || bind(fd, (sockaddr*)&addr, sizeof(addr)) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    socklen_t len = sizeof(addr);
    getsockname(fd, (sockaddr*)&addr, &len);
    if (bound != nullptr)
        *bound = ntohs(addr.sin_port);
    return fd;
}

// A port free on every local address at the time of the call.
inline uint16_t FreePort()
{
    uint16_t port = 0;
    int fd = BoundSocket("0.0.0.0", 0, &port);
    if (fd >= 0)
        close(fd);
    return port;
}

inline bool SendBytes(int fd, const char* ip, uint16_t port, const Bytes& bytes)
{
    sockaddr_in to = SockAddr(ip, port);
    return sendto(fd, bytes.data(), bytes.size(), 0, (sockaddr*)&to, sizeof(to)) == (ssize_t)bytes.size();
}

// One datagram received within timeoutMs (its sender in *from), or false.
inline bool RecvBytes(int fd, Bytes* out, int timeoutMs, sockaddr_in* from = nullptr)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return false;
    uint8_t buf[65536];
    sockaddr_in sender{};
    socklen_t len = sizeof(sender);
    ssize_t n = recvfrom(fd, buf, sizeof(buf), MSG_DONTWAIT, (sockaddr*)&sender, &len);
    if (n < 0)
        return false;
    out->assign(buf, buf + n);
    if (from != nullptr)
        *from = sender;
    return true;
}

// Reads and forgets everything waiting on fd.
inline void Drain(int fd)
{
    Bytes ignored;
    while (RecvBytes(fd, &ignored, 0)) {
    }
}

// Open descriptors of this process.
inline int OpenFdCount()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            count++;
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

// ---- Message bytes ---------------------------------------------------------------

inline void PutBE32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = (uint8_t)(v >> (24 - 8 * i));
}

// A search query (0x1601, 30 bytes): header (30, 0x1601, word2, 1, 0, 0),
// device type, function 0.
inline Bytes SearchQuery(uint32_t word2, uint16_t deviceType = 1)
{
    Bytes b(30, 0);
    PutBE32(b, 0, 30);
    PutBE32(b, 4, QUOR_MSG_DEVICE_SEARCH_QUERY_REQ);
    PutBE32(b, 8, word2);
    PutBE32(b, 12, 1);
    b[24] = (uint8_t)(deviceType >> 8);
    b[25] = (uint8_t)deviceType;
    return b;
}

// size bytes of filler behind a header whose word 0 is lengthWord (only the
// words that fit are written).
inline Bytes Framed(uint32_t size, uint32_t lengthWord, uint32_t commandId = QUOR_MSG_DEVICE_SEARCH_QUERY_REQ)
{
    Bytes b(size);
    for (uint32_t i = 0; i < size; ++i)
        b[i] = (uint8_t)('a' + i % 26);
    const uint32_t words[6] = {lengthWord, commandId, 0, 1, 0, 0};
    for (uint32_t w = 0; w < 6 && 4 * w + 4 <= size; ++w)
        PutBE32(b, 4 * w, words[w]);
    return b;
}

using wire_test::Pack;

// The search answer the management task gives to a query: the query's header
// words, device type 1 and one alias annex (the text names the asker, so that
// answers to different peers differ).
inline Bytes SearchAnswerTo(const Bytes& query, const std::string& alias)
{
    uint32_t id = 0;
    void* record = nullptr;
    CQuorVelmarCommLayer::TranslateOnePackToStruct((const char*)query.data(), (uint32_t)query.size(), &id, &record);
    if (record == nullptr)
        return Bytes();
    const auto* req = static_cast<const T_QuorDeviceSearchQueryReq*>(record);
    std::unique_ptr<T_QuorDeviceSearchQueryRsp> rsp(new T_QuorDeviceSearchQueryRsp);
    memset(rsp.get(), 0, sizeof(*rsp));
    rsp->tHeader = QuorAnswerMsgHeader(req->tHeader, QUOR_MSG_DEVICE_SEARCH_QUERY_RSP);
    FreeMemPoolReqAndRspMsg(id, record);
    rsp->u16DeviceType = 1;
    rsp->u8DeviceInfoTotal = 1;
    rsp->tAnnexCode[0].u16InfoID = 1;
    rsp->tAnnexCode[0].u32cInfoCodeLen = (uint32_t)alias.size();
    memcpy(rsp->tAnnexCode[0].cInfoCode, alias.data(), alias.size());
    return Pack(QUOR_MSG_DEVICE_SEARCH_QUERY_RSP, rsp.get());
}

// ---- The management task's UDP queue ----------------------------------------------

// A packet taken out of the queue: its bytes and its sender.
struct Queued {
    Bytes bytes;
    uint32_t addr = 0;
    uint16_t port = 0;
};

// Takes the oldest queued packet; false when the queue is empty.
inline bool TakeQueued(Queued* out)
{
    T_QuorUdpPacket* packet = g_pVelmarManageTask->TakeUdpPacket();
    if (packet == nullptr)
        return false;
    out->bytes.assign(packet->pAllMsg, packet->pAllMsg + packet->u32MsgLen);
    out->addr = packet->u32RemoteAddr;
    out->port = packet->u16RemotePort;
    CQuorVelmarManageTask::FreeUdpPacket(packet);
    return true;
}

inline uint32_t QueueLength()
{
    return g_pVelmarManageTask->GetUdpQueueLength();
}

// Waits until the queue holds at least count packets.
inline bool WaitForQueued(uint32_t count, int timeoutMs = 5000)
{
    return WaitUntil([count] { return QueueLength() >= count; }, timeoutMs);
}

inline void DrainQueue()
{
    Queued ignored;
    while (TakeQueued(&ignored)) {
    }
}

// Blocks in use of the pools a received message passes through.
inline std::vector<uint32_t> PoolsInUse()
{
    std::vector<uint32_t> counts;
    for (CMemoryPoolBase* pool : {&g_MPVelmarMsg, &g_MPVelmarAllMsg64Byte, &g_MPVelmarAllMsg128Byte,
                                  &g_MPVelmarAllMsg256Byte, &g_MPVelmarAllMsg512Byte, &g_MPVelmarAllMsg1024Byte,
                                  &g_MPVelmarAllMsg4096Byte, &g_MPVelmarAllMsg10240Byte})
        counts.push_back(pool->GetInUseCount());
    counts.push_back(g_MPVelmarQueueElem.GetInUseCount());
    return counts;
}

// ---- The log -------------------------------------------------------------------------

// The binary's log, in a fresh directory (TestLog::Open("udp") in main),
// and the log written since a LogSince was made.
using TestLog = test_log::ProcessLog;
using LogSince = test_log::LogMark;

} // namespace udp_test

#endif
