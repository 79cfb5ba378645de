// The guards of the web server's writing entries: see QuorVelmarWebGuard.h.
#include "QuorVelmarWebGuard.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <strings.h>
#include <sys/socket.h>
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
//
// The server does not tell a connection's descriptor, and the other workers
// open and close theirs all the time (a closed number is reused at once), so
// the search touches no descriptor but the one it finds: the namespace's TCP
// table names the socket (its inode) by its two ends, and the links under
// /proc/self/fd name the descriptor that holds that socket.

// The address as the TCP tables of /proc write it: each 32-bit word in
// hexadecimal as the host stores it. False when it is no address.
bool TableAddress(const char* address, char (&out)[33], bool* ipv6)
{
    unsigned char bytes[16];
    *ipv6 = strchr(address, ':') != nullptr;
    if (inet_pton(*ipv6 ? AF_INET6 : AF_INET, address, bytes) != 1)
        return false;
    for (size_t i = 0; i < (*ipv6 ? 4u : 1u); ++i) {
        uint32_t word;
        memcpy(&word, bytes + 4 * i, sizeof(word));
        snprintf(out + 8 * i, sizeof(out) - 8 * i, "%08X", word);
    }
    return true;
}

// The inode of the TCP socket whose peer is address:port on localPort; 0
// when there is none (a closed connection's lingering entry has inode 0; a
// listener has peer port 0, which no connection has).
unsigned long SocketInode(const char* address, int port, int localPort)
{
    char wanted[33];
    bool ipv6;
    if (address == nullptr || !TableAddress(address, wanted, &ipv6))
        return 0;
    FILE* table = fopen(ipv6 ? "/proc/self/net/tcp6" : "/proc/self/net/tcp", "re");
    if (table == nullptr)
        return 0;
    char line[512];
    unsigned long found = 0;
    while (found == 0 && fgets(line, sizeof(line), table) != nullptr) {
        char remote[33];
        unsigned local, remotePort;
        unsigned long inode;
        if (sscanf(line, " %*u: %*32[0-9A-Fa-f]:%x %32[0-9A-Fa-f]:%x %*x %*x:%*x %*x:%*x %*x %*u %*u %lu", &local,
                   remote, &remotePort, &inode) == 4 &&
            port > 0 && remotePort == (unsigned)port && local == (unsigned)localPort && strcasecmp(remote, wanted) == 0)
            found = inode;
    }
    fclose(table);
    return found;
}

// The descriptor that holds the socket of the inode; -1 when none does.
int SocketDescriptor(unsigned long inode)
{
    char wanted[32];
    snprintf(wanted, sizeof(wanted), "socket:[%lu]", inode);
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return -1;
    int found = -1;
    for (struct dirent* entry; found < 0 && (entry = readdir(fds)) != nullptr;) {
        char path[32], link[sizeof(wanted)];
        if (strspn(entry->d_name, "0123456789") != strlen(entry->d_name) || strlen(entry->d_name) > 9 ||
            snprintf(path, sizeof(path), "/proc/self/fd/%s", entry->d_name) >= (int)sizeof(path))
            continue;
        ssize_t length = readlink(path, link, sizeof(link) - 1);
        if (length <= 0)
            continue;
        link[length] = '\0';
        if (strcmp(link, wanted) == 0)
            found = atoi(entry->d_name);
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

int QuorWebConnectionSocket(const char* address, int port, int localPort)
{
    unsigned long inode = SocketInode(address, port, localPort);
    return inode != 0 ? SocketDescriptor(inode) : -1;
}

void QuorWebCloseNow(mg_connection* conn)
{
    const mg_request_info* info = mg_get_request_info(conn);
    int fd = info != nullptr ? QuorWebConnectionSocket(info->remote_addr, info->remote_port, info->server_port) : -1;
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
