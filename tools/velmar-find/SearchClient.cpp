#include "SearchClient.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const int kReceiveBuffer = 1 << 20;
const uint32_t kMalformedReports = 10;

int64_t NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

bool MakeAddr(const std::string& ip, struct sockaddr_in* addr)
{
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    addr->sin_port = htons(QUOR_SEARCH_PORT);
    return inet_pton(AF_INET, ip.c_str(), &addr->sin_addr) == 1;
}

// The broadcast address of every IPv4 interface that is up and not loopback.
std::vector<struct sockaddr_in> BroadcastAddresses()
{
    std::vector<struct sockaddr_in> out;
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (struct ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        const unsigned flags = ifa->ifa_flags;
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET || (flags & IFF_UP) == 0 ||
            (flags & IFF_LOOPBACK) != 0 || (flags & IFF_BROADCAST) == 0 || ifa->ifa_netmask == nullptr)
            continue;
        // From the address and its netmask: an address added without a
        // broadcast address reports 0.0.0.0 as its broadcast.
        struct sockaddr_in addr, mask;
        memcpy(&addr, ifa->ifa_addr, sizeof(addr));
        memcpy(&mask, ifa->ifa_netmask, sizeof(mask));
        addr.sin_addr.s_addr |= ~mask.sin_addr.s_addr;
        addr.sin_port = htons(QUOR_SEARCH_PORT);
        bool known = false;
        for (const struct sockaddr_in& other : out)
            known = known || other.sin_addr.s_addr == addr.sin_addr.s_addr;
        if (!known)
            out.push_back(addr);
    }
    freeifaddrs(list);
    return out;
}

std::string Hex(const char* bytes, size_t length)
{
    std::string out;
    char piece[4];
    for (size_t i = 0; i < length; ++i) {
        snprintf(piece, sizeof(piece), i == 0 ? "%02x" : " %02x", (unsigned char)bytes[i]);
        out += piece;
    }
    return out;
}

// The length of the valid UTF-8 sequence at text[i] (no overlong forms, no
// surrogates, at most U+10FFFF), or 0.
size_t Utf8Length(const std::string& text, size_t i)
{
    const unsigned char c = (unsigned char)text[i];
    size_t length = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                                  : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if (((unsigned char)text[i + k] & 0xC0) != 0x80)
            return 0;
    }
    const unsigned char d = (unsigned char)(length > 1 ? text[i + 1] : 0);
    if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d > 0x8F))
        return 0;
    return length;
}

}  // namespace

CSearchClient::CSearchClient(const std::string& to, int waitMs) : m_s32WaitMs(waitMs)
{
    m_u32PCId = (uint32_t)getpid() ^ (uint32_t)NowMs();
    m_s32Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (m_s32Fd < 0 || setsockopt(m_s32Fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
        m_strError = std::string("cannot make a socket: ") + strerror(errno);
        return;
    }
    // Hundreds of endpoints answer a search within moments (beyond the
    // system's limit only where the user may).
    int buffer = kReceiveBuffer;
    if (setsockopt(m_s32Fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)) != 0)
        setsockopt(m_s32Fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    if (to.empty()) {
        m_vDestinations = BroadcastAddresses();
        if (m_vDestinations.empty())
            m_strError = "no interface with a broadcast address is up (give one with --to)";
        return;
    }
    struct sockaddr_in addr;
    if (MakeAddr(to, &addr))
        m_vDestinations.push_back(addr);
    else
        m_strError = "not a dotted IPv4 address: " + to;
}

CSearchClient::~CSearchClient()
{
    if (m_s32Fd >= 0)
        close(m_s32Fd);
}

bool CSearchClient::SendRequest(uint8_t type, uint32_t id, uint8_t tag, const std::string& value,
                                const std::string& to)
{
    T_KorvexGUIReq req;
    memset(&req, 0, sizeof(req));
    if (value.size() > QUOR_SEARCH_CONTENT_SIZE)
        return false;
    req.u16magic = QUOR_SEARCH_REQ_MAGIC;
    req.u8Type = type;
    req.u32PCId = m_u32PCId;
    req.u32Q7MId = id;
    req.u8TAG = tag;
    req.u16Len = (uint16_t)value.size();
    memcpy(req.cContent, value.data(), value.size());
    char bytes[QUOR_SEARCH_REQ_MAX_LEN];
    uint32_t length = 0;
    if (PackSearchReq(req, bytes, sizeof(bytes), &length) != 0)
        return false;
    std::vector<struct sockaddr_in> targets = m_vDestinations;
    struct sockaddr_in one;
    if (!to.empty() && MakeAddr(to, &one))
        targets.assign(1, one);
    bool sent = false;
    for (const struct sockaddr_in& addr : targets) {
        if (sendto(m_s32Fd, bytes, length, 0, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr)) ==
            (ssize_t)length)
            sent = true;
        else
            fprintf(stderr, "velmar-find: cannot send to %s: %s\n", inet_ntoa(addr.sin_addr), strerror(errno));
    }
    return sent;
}

bool CSearchClient::Receive(int64_t deadline, T_SearchAnswer* answer)
{
    for (int64_t left = deadline - NowMs(); left > 0; left = deadline - NowMs()) {
        struct pollfd p = {m_s32Fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0)
            continue;
        char bytes[2048];
        struct sockaddr_in from;
        socklen_t fromLen = sizeof(from);
        ssize_t n = recvfrom(m_s32Fd, bytes, sizeof(bytes), MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from),
                             &fromLen);
        if (n < 0)
            continue;
        answer->strFrom = inet_ntoa(from.sin_addr);
        T_SearchRspFault fault = ParseSearchRsp(bytes, (uint32_t)n, &answer->tRsp);
        if (fault != QUOR_SEARCH_RSP_OK) {
            if (++m_u32Malformed <= kMalformedReports)
                fprintf(stderr, "velmar-find: malformed reply of %d bytes from %s refused: %s%s\n", (int)n,
                        answer->strFrom.c_str(), SearchRspFaultText(fault),
                        m_u32Malformed == kMalformedReports ? " (further ones not reported)" : "");
            continue;
        }
        if (answer->tRsp.u32PCId == m_u32PCId)
            return true;
    }
    return false;
}

int CSearchClient::Keep(std::vector<T_SearchEndpoint>* found, const T_SearchAnswer& answer, size_t tagCount)
{
    const uint32_t id = answer.tRsp.u32Q7MId;
    if (m_mIndex.count(id) != 0)
        return -1;  // the same endpoint again (another interface, a repeated answer)
    if (found->size() >= kMaxEndpoints) {
        ++m_u32Dropped;
        return -1;
    }
    m_mIndex.emplace(id, found->size());
    T_SearchEndpoint endpoint;
    endpoint.u32Id = id;
    endpoint.strFrom = answer.strFrom;
    endpoint.vValues.resize(tagCount);
    found->push_back(std::move(endpoint));
    return (int)found->size() - 1;
}

void CSearchClient::StoreRead(std::vector<T_SearchEndpoint>* found, const T_SearchAnswer& answer,
                              const std::vector<uint8_t>& tags)
{
    auto known = m_mIndex.find(answer.tRsp.u32Q7MId);
    if (known == m_mIndex.end())
        return;
    T_SearchEndpoint& endpoint = (*found)[known->second];
    for (size_t t = 0; t < tags.size(); ++t) {
        if (tags[t] != answer.tRsp.u8TAG || endpoint.vValues[t].b8Answered)
            continue;
        endpoint.vValues[t].b8Answered = true;
        endpoint.vValues[t].strBytes.assign(answer.tRsp.cContent, answer.tRsp.u8Len);
        // The first read answered: the others go out together.
        for (size_t more = 1; t == 0 && more < tags.size(); ++more)
            SendRequest(QUOR_SEARCH_TYPE_GET, endpoint.u32Id, tags[more], std::string(), endpoint.strFrom);
        return;
    }
}

std::vector<T_SearchEndpoint> CSearchClient::Survey(const std::vector<uint8_t>& tags)
{
    std::vector<T_SearchEndpoint> found;
    m_mIndex.clear();
    m_u32Dropped = 0;
    const int64_t deadline = NowMs() + m_s32WaitMs;
    if (!SendRequest(QUOR_SEARCH_TYPE_SEARCH, 0, 0, std::string(), std::string()))
        return found;
    T_SearchAnswer answer;
    while (Receive(deadline, &answer)) {
        if (answer.tRsp.u8Type == QUOR_SEARCH_TYPE_GET) {
            StoreRead(&found, answer, tags);
            continue;
        }
        if (answer.tRsp.u8Type != QUOR_SEARCH_TYPE_SEARCH)
            continue;
        int index = Keep(&found, answer, tags.size());
        if (index >= 0 && !tags.empty())
            SendRequest(QUOR_SEARCH_TYPE_GET, answer.tRsp.u32Q7MId, tags[0], std::string(), answer.strFrom);
    }
    return found;
}

std::vector<T_SearchAnswer> CSearchClient::Request(uint8_t type, uint32_t id, uint8_t tag, const std::string& value,
                                                   const std::string& to)
{
    std::vector<T_SearchAnswer> answers;
    std::vector<T_SearchEndpoint> seen;
    m_mIndex.clear();
    m_u32Dropped = 0;
    const int64_t deadline = NowMs() + m_s32WaitMs;
    if (!SendRequest(type, id, tag, value, to))
        return answers;
    T_SearchAnswer answer;
    while (Receive(deadline, &answer)) {
        const T_KorvexGUIRsp& rsp = answer.tRsp;
        if (rsp.u8Type != type || rsp.u8TAG != tag || (id != 0 && rsp.u32Q7MId != id))
            continue;
        if (Keep(&seen, answer, 0) < 0)
            continue;
        answers.push_back(answer);
        if (id != 0)
            break;
    }
    return answers;
}

// ---- Values ----------------------------------------------------------------------

std::string SearchValueText(const T_SearchTagInfo* info, const T_KorvexGUIRsp& rsp)
{
    return SearchValueText(info, std::string(rsp.cContent, rsp.u8Len));
}

bool SearchValueIsNumber(const T_SearchTagInfo* info, const std::string& bytes)
{
    const size_t n = bytes.size();
    return info != nullptr && info->eKind == QUOR_SEARCH_VALUE_NUMBER && (n == 1 || n == 2 || n == 4);
}

std::string SearchValueText(const T_SearchTagInfo* info, const std::string& bytes)
{
    const unsigned char* v = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    T_SearchValueKind kind = info != nullptr ? info->eKind : QUOR_SEARCH_VALUE_NONE;
    char text[64];
    if (SearchValueIsNumber(info, bytes)) {
        uint32_t number = 0;
        for (size_t i = 0; i < n; ++i)
            number = number << 8 | v[i];
        snprintf(text, sizeof(text), "%u", number);
        return text;
    }
    if (kind == QUOR_SEARCH_VALUE_ADDRESS && n == 4) {
        snprintf(text, sizeof(text), "%u.%u.%u.%u", v[0], v[1], v[2], v[3]);
        return text;
    }
    if (kind == QUOR_SEARCH_VALUE_MAC && n == 6) {
        snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", v[0], v[1], v[2], v[3], v[4], v[5]);
        return text;
    }
    if (kind == QUOR_SEARCH_VALUE_TEXT) {
        size_t end = n;
        while (end > 0 && v[end - 1] == 0)
            --end;
        return bytes.substr(0, end);
    }
    return Hex(bytes.data(), n);
}

std::string SearchEscapedText(const std::string& text, bool json)
{
    std::string out;
    char escaped[8];
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = (unsigned char)text[i];
        size_t length = Utf8Length(text, i);
        if (length > 0 && (c >= 0x20 || json) && c != 0x7F) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        snprintf(escaped, sizeof(escaped), "\\x%02x", c);
        out += escaped;
        ++i;
    }
    return out;
}

bool SearchValueBytes(const T_SearchTagInfo* info, const std::string& text, std::string* bytes, std::string* error)
{
    T_SearchValueKind kind = info != nullptr ? info->eKind : QUOR_SEARCH_VALUE_TEXT;
    bytes->clear();
    if (kind == QUOR_SEARCH_VALUE_ADDRESS || kind == QUOR_SEARCH_VALUE_MAC) {
        bool address = kind == QUOR_SEARCH_VALUE_ADDRESS;
        unsigned p[6];
        char rest;
        int want = address ? 4 : 6;
        int got = address ? sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &p[0], &p[1], &p[2], &p[3], &rest)
                          : sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &p[0], &p[1], &p[2], &p[3], &p[4],
                                   &p[5], &rest);
        for (int i = 0; got == want && i < want; ++i)
            got = p[i] <= 255 ? got : -1;
        if (got != want) {
            *error = address ? "not a dotted IPv4 address: " + text : "not a MAC address (aa:bb:cc:dd:ee:ff): " + text;
            return false;
        }
        for (int i = 0; i < want; ++i)
            bytes->push_back((char)p[i]);
        return true;
    }
    if (kind == QUOR_SEARCH_VALUE_NUMBER) {
        char* end = nullptr;
        errno = 0;
        unsigned long long number = strtoull(text.c_str(), &end, 0);
        unsigned width = info->u8Width;
        if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-' ||
            (width < 4 && number >> (8 * width) != 0) || number > UINT32_MAX) {
            *error = "not a number of " + std::to_string(width) + " byte(s): " + text;
            return false;
        }
        for (unsigned i = width; i > 0; --i)
            bytes->push_back((char)(number >> (8 * (i - 1))));
        return true;
    }
    if (text.size() > QUOR_SEARCH_MAX_VALUE) {
        *error = "a value has at most 255 bytes";
        return false;
    }
    *bytes = text;
    return true;
}
