#include "QuorNdkPref.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <new>

#include "BoardPath.h"
#include "LightLog.h"
#include "XMLPrefsParser.h"

uint32_t CQuorNdkPref::s_u32Quor_Velmar_UdpInterAddr = 0;
uint16_t CQuorNdkPref::s_u16Quor_Velmar_UdpInterPort = 3334;
uint32_t CQuorNdkPref::s_u32VelmarNdk_UdpInterAddr = 0;
uint16_t CQuorNdkPref::s_u16VelmarNdk_UdpInterPort = 65009;
uint16_t CQuorNdkPref::s_u16VelmarNdk_RecvUdpThreadNum = 1;
uint16_t CQuorNdkPref::s_u16VelmarNdk_ManageTaskThreadNum = 1;
int32_t CQuorNdkPref::s_s32VelmarNdk_LogLevel_Out = 20000;
char CQuorNdkPref::s_cVelmarNdk_UpgradeKey[256] = "/Velmar/etc/QuorNdk/upgrade.pub";

namespace {

const char kSrc[] = "QuorNdk/src/QuorNdkPref";
const char kPrefFile[] = "/Velmar/etc/Velmar.xml";
const uint16_t kMaxThreadNum = 16;

// The first value of a preference, or null when it is missing.
const char* Value(XMLPrefsParser& parser, ContainerRef section, const char* name)
{
    PrefRef pref = parser.GetPrefRefByName(section, name);
    if (pref == nullptr)
        return nullptr;
    char* prefName = nullptr;
    char* type = nullptr;
    return parser.GetPrefValueByRef(pref, 0, &prefName, &type);
}

// A number within [low, high]; anything else keeps the member (logged).
template <class T>
void ReadNumber(XMLPrefsParser& parser, ContainerRef section, const char* name, long low, long high, T* member)
{
    const char* text = Value(parser, section, name);
    if (text != nullptr) {
        char* end = nullptr;
        errno = 0;
        long value = strtol(text, &end, 10);
        if (errno == 0 && end != text && *end == '\0' && value >= low && value <= high)
            *member = static_cast<T>(value);
        else
            LightLogExt(30000, 0, kSrc, __LINE__, "%s <%.64s> is not usable, <%ld> is kept.", name, text,
                        static_cast<long>(*member));
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "%s is <%u>", name, static_cast<unsigned>(*member));
}

// A dotted IPv4 address (missing: the member stays); false for any other text.
bool ReadAddress(XMLPrefsParser& parser, ContainerRef section, const char* name, const char* badFormat,
                 uint32_t* member)
{
    const char* text = Value(parser, section, name);
    LightLogExt(20000, 0, kSrc, __LINE__, "%s is <%.64s>", name, text != nullptr ? text : "");
    if (text == nullptr)
        return true;
    struct in_addr parsed;
    if (inet_pton(AF_INET, text, &parsed) != 1) {
        LightLogExt(40000, 0, kSrc, __LINE__, badFormat, text);
        return false;
    }
    *member = parsed.s_addr;
    return true;
}

// One UDP endpoint of a section, after its title line: the address (false
// for a bad one, as ReadAddress) and the port.
bool ReadUdpEndpoint(XMLPrefsParser& parser, ContainerRef section, const char* title,
                     const char* const (&names)[3], uint32_t* address, uint16_t* port)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "%s", title);
    if (!ReadAddress(parser, section, names[0], names[1], address))
        return false;
    ReadNumber(parser, section, names[2], 1, 65535, port);
    return true;
}

// An absolute board path that fits the member (missing: the member stays);
// anything else keeps the member (logged).
template <size_t N>
void ReadPath(XMLPrefsParser& parser, ContainerRef section, const char* name, char (&member)[N])
{
    const char* text = Value(parser, section, name);
    if (text != nullptr && text[0] == '/' && strlen(text) < N)
        snprintf(member, N, "%s", text);
    else if (text != nullptr)
        LightLogExt(30000, 0, kSrc, __LINE__, "%s <%.64s> is not usable, <%s> is kept.", name, text, member);
    LightLogExt(20000, 0, kSrc, __LINE__, "%s is <%s>", name, member);
}

} // namespace

int CQuorNdkPref::ReadPref()
{
    char path[BoardPath::kMaxRoot + sizeof(kPrefFile)];
    std::unique_ptr<XMLPrefsParser> parser;
    if (BoardPath::Resolve(kPrefFile, path) == 0)
        parser.reset(new (std::nothrow) XMLPrefsParser(path));
    if (!parser) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Fail to new s_xmlPrefsParser memory, when ReadPref().");
        return -1;
    }
    if (parser->Parse() != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Fail to parse s_xmlPrefsParser.");
        return -1;
    }
    // Address, its format error, port.
    static const char* const kVelmard[] = {"QuorVelmar_UdpIp", "QuorVelmar_UdpIp<%.64s> is not a correct fomat",
                                           "QuorVelmar_UdpPort"};
    static const char* const kAgent[] = {"VelmarNdk_UdpIp", "######VelmarNdk_UdpIp <%.64s> is not a correct fomat",
                                         "VelmarNdk_UdpPort"};
    ContainerRef common = parser->GetRefForModule("QuorVelmarCommon");
    if (!ReadUdpEndpoint(*parser, common, "Read Config for QuorVelmar\t\t\t", kVelmard, &s_u32Quor_Velmar_UdpInterAddr,
                         &s_u16Quor_Velmar_UdpInterPort))
        return -1;
    ContainerRef ndk = parser->GetRefForModule("QuorVelmarNdk");
    if (!ReadUdpEndpoint(*parser, ndk, "Read Config for VelmarNdkwork\t\t", kAgent, &s_u32VelmarNdk_UdpInterAddr,
                         &s_u16VelmarNdk_UdpInterPort))
        return -1;
    ReadNumber(*parser, ndk, "VelmarNdk_RecvUdp_ThreadNum", 1, kMaxThreadNum, &s_u16VelmarNdk_RecvUdpThreadNum);
    ReadNumber(*parser, ndk, "VelmarNdk_ManageTask_ThreadNum", 1, kMaxThreadNum,
               &s_u16VelmarNdk_ManageTaskThreadNum);
    ReadNumber(*parser, ndk, "Quor_VelmarNdk_LogLevel_Out", 0, 50000, &s_s32VelmarNdk_LogLevel_Out);
    ReadPath(*parser, ndk, "VelmarNdk_UpgradeKey", s_cVelmarNdk_UpgradeKey);
    LightLogExt(20000, 0, kSrc, __LINE__, "QuorNdk ReadPref OK!");
    return 0;
}
