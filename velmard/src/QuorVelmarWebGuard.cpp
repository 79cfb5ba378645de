// The guards of the web server's writing entries: see QuorVelmarWebGuard.h.
#include "QuorVelmarWebGuard.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "LightLog.h"
#include "QuorVelmarHttpConn.h"

namespace {

const char kSrc[] = "src/QuorVelmarWebGuard";

// ---- Same site ----------------------------------------------------------------------

// The authority "host[:port]" as [text, text + length), without a default
// port (":80" for http, ":443" for https).
size_t AuthorityLength(const char* text, bool https)
{
    size_t length = strcspn(text, "/?#");
    const char* defaultPort = https ? ":443" : ":80";
    size_t portLength = strlen(defaultPort);
    if (length > portLength && strncmp(text + length - portLength, defaultPort, portLength) == 0)
        length -= portLength;
    return length;
}

// True when the origin "scheme://host[:port]" (with a path when withPath)
// names the host of the request.
bool OriginMatchesHost(const char* origin, const char* host, bool withPath = false)
{
    if (host == nullptr || *host == '\0')
        return false;
    bool https;
    if (strncasecmp(origin, "http://", 7) == 0)
        https = false;
    else if (strncasecmp(origin, "https://", 8) == 0)
        https = true;
    else
        return false;   // "null", or a scheme that is no web page of ours
    const char* originAuthority = origin + (https ? 8 : 7);
    if (!withPath && originAuthority[strcspn(originAuthority, "/?#")] != '\0')
        return false;   // an Origin never carries a path
    size_t originLength = AuthorityLength(originAuthority, https);
    size_t hostLength = AuthorityLength(host, https);
    return originLength > 0 && originLength == hostLength && strncasecmp(originAuthority, host, hostLength) == 0;
}

// ---- The log of refusals, at most one line a second ------------------------------------

void LogRefusal(const char* what, const char* address, const char* uri)
{
    static std::mutex s_mutex;
    static time_t s_lastSecond = 0;
    static unsigned s_suppressed = 0;
    unsigned suppressed;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec == s_lastSecond && s_lastSecond != 0) {
            ++s_suppressed;
            return;
        }
        s_lastSecond = now.tv_sec;
        suppressed = s_suppressed;
        s_suppressed = 0;
    }
    LightLogExt(40000, 0, kSrc, __LINE__, "######Web request <%.200s> from <%s> refused: %s (%u more not logged).", uri,
                address, what, suppressed);
}

// ---- Closing at once -------------------------------------------------------------------

bool SameAddress(const sockaddr_storage& at, const char* address, int port)
{
    char text[INET6_ADDRSTRLEN];
    if (at.ss_family == AF_INET) {
        const sockaddr_in& in = reinterpret_cast<const sockaddr_in&>(at);
        return ntohs(in.sin_port) == port && inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text)) != nullptr &&
               strcmp(text, address) == 0;
    }
    if (at.ss_family == AF_INET6) {
        const sockaddr_in6& in6 = reinterpret_cast<const sockaddr_in6&>(at);
        return ntohs(in6.sin6_port) == port && inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text)) != nullptr &&
               strcmp(text, address) == 0;
    }
    return false;
}

int LocalPort(int fd)
{
    sockaddr_storage at;
    socklen_t length = sizeof(at);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0)
        return -1;
    if (at.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(at).sin_port);
    if (at.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(at).sin6_port);
    return -1;
}

// The descriptor of the connection's socket: the one whose peer is the
// client's address and port on the server's port. -1 when none is found.
int ConnectionSocket(const mg_request_info& info)
{
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return -1;
    int found = -1;
    for (struct dirent* entry; found < 0 && (entry = readdir(fds)) != nullptr;) {
        char* end = nullptr;
        long fd = strtol(entry->d_name, &end, 10);
        struct stat st;
        if (end == entry->d_name || *end != '\0' || fd == dirfd(fds) || fstat((int)fd, &st) != 0 ||
            !S_ISSOCK(st.st_mode))
            continue;
        sockaddr_storage peer;
        socklen_t length = sizeof(peer);
        if (getpeername((int)fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            SameAddress(peer, info.remote_addr, info.remote_port) && LocalPort((int)fd) == info.server_port)
            found = (int)fd;
    }
    closedir(fds);
    return found;
}

// ---- Connections by address -------------------------------------------------------------

struct T_AddressCount {
    char address[48];
    size_t count;
};

std::mutex s_capMutex;
T_AddressCount s_counts[CQuorWebAddressCap::kMaxAddresses];

T_AddressCount* FindAddress(const char* address)
{
    for (T_AddressCount& entry : s_counts) {
        if (entry.count > 0 && strcmp(entry.address, address) == 0)
            return &entry;
    }
    return nullptr;
}

} // namespace

bool QuorWebRequestIsSameSite(const T_QuorWebSiteHeaders& headers)
{
    if (headers.secFetchSite != nullptr)
        return strcasecmp(headers.secFetchSite, "same-origin") == 0 || strcasecmp(headers.secFetchSite, "none") == 0;
    if (headers.origin != nullptr)
        return OriginMatchesHost(headers.origin, headers.host);
    if (headers.userAgent != nullptr && strncmp(headers.userAgent, "Mozilla/", 8) == 0)
        return headers.referer != nullptr && OriginMatchesHost(headers.referer, headers.host, true);
    return true;
}

bool QuorWebRequestIsSameSite(const mg_connection* conn)
{
    T_QuorWebSiteHeaders headers = {mg_get_header(conn, "Sec-Fetch-Site"), mg_get_header(conn, "Origin"),
                                    mg_get_header(conn, "Host"), mg_get_header(conn, "Referer"),
                                    mg_get_header(conn, "User-Agent")};
    return QuorWebRequestIsSameSite(headers);
}

bool QuorWebGuardRequest(mg_connection* conn)
{
    if (QuorWebRequestIsSameSite(conn))
        return true;
    const mg_request_info* info = mg_get_request_info(conn);
    LogRefusal("cross-site", info != nullptr ? info->remote_addr : "", info != nullptr ? info->request_uri : "");
    CQuorVelmarHttpConn reply(conn);
    reply.SendStatus(403);
    reply.SendTrailer();
    QuorWebCloseNow(conn);
    return false;
}

void QuorWebCloseNow(mg_connection* conn)
{
    const mg_request_info* info = mg_get_request_info(conn);
    int fd = info != nullptr ? ConnectionSocket(*info) : -1;
    if (fd < 0) {
        LightLogExt(30000, 0, kSrc, __LINE__, "######Web connection to close at once not found.");
        return;
    }
    // Reads see the end at once, so nothing more of the body is read; what
    // still arrives makes the final close a reset.
    shutdown(fd, SHUT_RD);
}

bool CQuorWebAddressCap::Enter(const char* address)
{
    if (address == nullptr || strlen(address) >= sizeof(T_AddressCount::address))
        return false;
    std::lock_guard<std::mutex> lock(s_capMutex);
    T_AddressCount* entry = FindAddress(address);
    // A new address takes a free slot (one counting no connection).
    for (size_t i = 0; entry == nullptr && i < kMaxAddresses; ++i) {
        if (s_counts[i].count == 0) {
            entry = &s_counts[i];
            snprintf(entry->address, sizeof(entry->address), "%s", address);
        }
    }
    if (entry == nullptr || entry->count >= kMaxConnectionsPerAddress)
        return false;
    ++entry->count;
    return true;
}

void CQuorWebAddressCap::Leave(const char* address)
{
    if (address == nullptr)
        return;
    std::lock_guard<std::mutex> lock(s_capMutex);
    T_AddressCount* entry = FindAddress(address);
    if (entry != nullptr)
        --entry->count;
}

size_t CQuorWebAddressCap::Count(const char* address)
{
    if (address == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(s_capMutex);
    T_AddressCount* entry = FindAddress(address);
    return entry != nullptr ? entry->count : 0;
}
