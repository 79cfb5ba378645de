// GetNetWorkInfo: address, netmask, MAC address and default gateway of the
// Ethernet interfaces, read from the kernel (see QuorVelmarFunction.h).
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "LightLog.h"
#include "QuorVelmarFunction.h"

namespace {

const char kSource[] = "src/QuorVelmarFunction";

// Entries of the kernel's interface list read at most (lo included).
constexpr int kMaxInterfaces = 16;

// One interface request on the socket; a failing request is logged.
class InterfaceRequest {
public:
    InterfaceRequest(int fd, const char* name) : m_s32Fd(fd), m_pName(name) {}

    bool Ask(unsigned long request)
    {
        memset(&m_Req, 0, sizeof(m_Req));
        memcpy(m_Req.ifr_name, m_pName, strnlen(m_pName, IFNAMSIZ - 1));
        if (ioctl(m_s32Fd, request, &m_Req) == 0)
            return true;
        LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__, "cpm: ioctl device is <%s>", m_pName);
        return false;
    }
    const struct ifreq& Reply() const { return m_Req; }

private:
    int m_s32Fd;
    const char* m_pName;
    struct ifreq m_Req;
};

// The IPv4 address of a reply as dotted text ("" when it is not IPv4).
void DottedText(const struct sockaddr& address, char* out, size_t size)
{
    out[0] = '\0';
    if (address.sa_family != AF_INET)
        return;
    struct sockaddr_in in;
    memcpy(&in, &address, sizeof(in));
    if (inet_ntop(AF_INET, &in.sin_addr, out, (socklen_t)size) == nullptr)
        out[0] = '\0';
}

void LogFlags(InterfaceRequest& request)
{
    if (!request.Ask(SIOCGIFFLAGS))
        return;
    short flags = request.Reply().ifr_flags;
    if (flags & IFF_PROMISC)
        LightLogExt(LLOG_LEVEL_INFO, 0, kSource, __LINE__, "the interface is PROMISC");
    if (flags & IFF_UP)
        LightLogExt(LLOG_LEVEL_INFO, 0, kSource, __LINE__, "The interface status is UP");
    else
        LightLogExt(LLOG_LEVEL_INFO, 0, kSource, __LINE__, "The interface status is DOWN");
}

void FillRecord(int fd, const char* name, int index, T_DevInfoFromLocalAboutEth& record)
{
    InterfaceRequest request(fd, name);
    LogFlags(request);

    record.cIpAddr[0] = '\0';
    if (request.Ask(SIOCGIFADDR)) {
        DottedText(request.Reply().ifr_addr, record.cIpAddr, sizeof(record.cIpAddr));
        LightLogExt(LLOG_LEVEL_INFO, 0, kSource, __LINE__, "EthNum is eth<%d>, Ip Addr is <%s>", index,
                    record.cIpAddr);
    }

    record.cMacAddr[0] = '\0';
    if (request.Ask(SIOCGIFHWADDR)) {
        const unsigned char* hw = reinterpret_cast<const unsigned char*>(request.Reply().ifr_hwaddr.sa_data);
        snprintf(record.cMacAddr, sizeof(record.cMacAddr), "%02x:%02x:%02x:%02x:%02x:%02x", hw[0], hw[1], hw[2],
                 hw[3], hw[4], hw[5]);
        LightLogExt(LLOG_LEVEL_INFO, 0, kSource, __LINE__, "Eth<%d>,its mac addr is <%s>", index, record.cMacAddr);
    }

    record.cNetMask[0] = '\0';
    if (request.Ask(SIOCGIFNETMASK)) {
        DottedText(request.Reply().ifr_netmask, record.cNetMask, sizeof(record.cNetMask));
        LightLogExt(LLOG_LEVEL_INFO, 0, kSource, __LINE__, "Eth<%d>,its netmask is <%s>", index, record.cNetMask);
    }

    record.cGateWay[0] = '\0';
    GetGateWay(record.cGateWay);
    LightLogExt(LLOG_LEVEL_INFO, 0, kSource, __LINE__, "Eth<%d>,its GateWay is <%s>", index, record.cGateWay);
}

// Reads the interface list (interfaces with an IPv4 address). Returns the
// number of entries, or -1.
int ReadInterfaceList(int fd, struct ifreq* entries, int maxEntries)
{
    struct ifconf list;
    memset(&list, 0, sizeof(list));
    list.ifc_len = static_cast<int>(sizeof(struct ifreq) * static_cast<size_t>(maxEntries));
    list.ifc_req = entries;
    if (ioctl(fd, SIOCGIFCONF, &list) != 0)
        return -1;
    return list.ifc_len / static_cast<int>(sizeof(struct ifreq));
}

}  // namespace

int GetNetWorkInfo(T_DevInfoFromLocalAboutEth* records, unsigned int capacity)
{
    int filled = ReadNetWorkInfo(records, capacity);
    return filled > 0 ? filled : 0;
}

int ReadNetWorkInfo(T_DevInfoFromLocalAboutEth* records, unsigned int capacity)
{
    if (records == nullptr || capacity == 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__, "######GetNetWorkInfo: no record to fill");
        return 0;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__, "socket() Error!");
        return -1;
    }
    struct ifreq entries[kMaxInterfaces];
    memset(entries, 0, sizeof(entries));
    int total = ReadInterfaceList(fd, entries, kMaxInterfaces);
    if (total < 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__, "ioctrl() Error!");
        close(fd);
        return -1;
    }
    LightLogExt(LLOG_LEVEL_DEBUG, 0, kSource, __LINE__, "(include lo)The network interface num is intrface=<%d>",
                total);

    unsigned int filled = 0;
    for (int i = total - 1; i >= 0; --i) {
        char name[IFNAMSIZ + 1];
        memcpy(name, entries[i].ifr_name, IFNAMSIZ);
        name[IFNAMSIZ] = '\0';
        if (strstr(name, "eth") == nullptr)
            continue;
        LightLogExt(LLOG_LEVEL_INFO, 0, kSource, __LINE__, "(Not include lo)The net device name is <%s>", name);
        if (filled == capacity) {
            LightLogExt(LLOG_LEVEL_WARNING, 0, kSource, __LINE__,
                        "######%s not reported: room for %u Ethernet interface(s) only", name, capacity);
            continue;
        }
        FillRecord(fd, name, static_cast<int>(filled), records[filled]);
        ++filled;
    }
    close(fd);
    return static_cast<int>(filled);
}
