// Helper functions of velmard: see QuorVelmarFunction.h.
#include "QuorVelmarFunction.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "LightLog.h"
#include "QuorVelmarMsgDef.h"
#include "ShellCommand.h"

// ---- Shell commands -------------------------------------------------------

int pox_system(const char* command)
{
    // SIGCHLD keeps its default disposition in this process; the runner makes
    // sure of it before the child starts, so the status is never lost.
    return ShellCommand().Run(command);
}

bool RunLoggedCommand(const char* source, const char* command)
{
    int status = pox_system(command);
    if (status == 0)
        return true;
    LightLogExt(40000, 0, source, __LINE__, "######pox_system <%s> Error and s32Rst is <%d>.", command, status);
    return false;
}

// ---- Log text of group message records ------------------------------------

namespace {

// Appends formatted text to a fixed buffer, never past its last byte; what
// does not fit is cut and the text stays terminated.
class LogTextAppender {
public:
    LogTextAppender(char* text, size_t size) : fText(text), fSize(size) { fText[0] = '\0'; }

    void Add(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (fPos + 1 >= fSize)
            return;
        va_list args;
        va_start(args, format);
        int n = vsnprintf(fText + fPos, fSize - fPos, format, args);
        va_end(args);
        if (n < 0) {
            fText[fPos] = '\0';
            return;
        }
        fPos += (size_t)n;
        if (fPos > fSize - 1)
            fPos = fSize - 1;
    }
    int Length() const { return (int)fPos; }

private:
    char* fText;
    size_t fSize;
    size_t fPos = 0;
};

// Printable length of a record text (bounded by its array).
int TextLen(const char* field)
{
    return (int)strnlen(field, QUOR_MSG_TEXT_SIZE);
}

// Annexes a record can hold, whatever its count field says.
unsigned AnnexCount(uint8_t total)
{
    return total < QUOR_MSG_MAX_ANNEX ? (unsigned)total : (unsigned)QUOR_MSG_MAX_ANNEX;
}

void DescribeSearchQueryRsp(LogTextAppender& out, const T_QuorDeviceSearchQueryRsp& r)
{
    out.Add("DeviceType is: 0x%x, DeviceFunction is: %u, DeviceInfoTotal is: %d.", (unsigned)r.u16DeviceType,
            r.u32DeviceFunction, (int)r.u8DeviceInfoTotal);
    for (unsigned i = 0; i < AnnexCount(r.u8DeviceInfoTotal); ++i) {
        const T_QuorDeviceInfoAnnex& a = r.tAnnexCode[i];
        out.Add("%s%X,%s%.*s.", "InfoID is: 0x", (unsigned)a.u16InfoID, "InfoCode is:", TextLen(a.cInfoCode),
                a.cInfoCode);
    }
}

void DescribeUserInfoReq(LogTextAppender& out, const T_QuorUserInfoChangeNotifyReq& r)
{
    out.Add("DeviceType is: 0x%x, UserInfoTotal is: %u.", (unsigned)r.u16DeviceType, (unsigned)r.u8UserInfoTotal);
    for (unsigned i = 0; i < AnnexCount(r.u8UserInfoTotal); ++i) {
        const T_QuorUserInfoAnnex& a = r.tAnnexCode[i];
        out.Add("%s%X,%s%.*s.", "UserInfoType is: 0x", (unsigned)a.u16UserInfoType, "UserInfoContent is:",
                TextLen(a.cUserInfoContent), a.cUserInfoContent);
    }
}

void DescribeUserInfoRsp(LogTextAppender& out, const T_QuorUserInfoChangeNotifyRsp& r)
{
    out.Add("ResultCode is: %d, DeviceType is: 0x%x, UserInfoTotal is: %u.", (int)r.u8ResultCode,
            (unsigned)r.u16DeviceType, (unsigned)r.u8UserInfoTotal);
    for (unsigned i = 0; i < AnnexCount(r.u8UserInfoTotal); ++i) {
        const T_QuorUserInfoRspAnnex& a = r.tAnnexCode[i];
        out.Add("%s%d, %s%X, %s%.*s.", "ResultCode is:", (int)a.u8ResultCode, "UserInfoType is: 0x",
                (unsigned)a.u16UserInfoType, "UserInfoContent is:", TextLen(a.cUserInfoContent),
                a.cUserInfoContent);
    }
}

void DescribeVersionUpgradeReq(LogTextAppender& out, const T_QuorVersionUpgradeReq& r)
{
    out.Add("cDevAddr is: %.*s, u32DevPort is: %d, u32ReqCode is: %d, u32ReqResult is: %d, cVersionSN is: %.*s, "
            "cVersionName is: %.*s, cVersionFile is: %.*s.",
            TextLen(r.cDevAddr), r.cDevAddr, (int)r.u32DevPort, (int)r.u32ReqCode, (int)r.u32ReqResult,
            TextLen(r.cVersionSN), r.cVersionSN, TextLen(r.cVersionName), r.cVersionName, TextLen(r.cVersionFile),
            r.cVersionFile);
}

}  // namespace

int GetLogCharForPack(uint32_t commandId, const void* record, char* text, size_t textSize)
{
    if (record == nullptr || text == nullptr || textSize == 0)
        return -2;
    LogTextAppender out(text, textSize);
    switch (commandId) {
    case QUOR_MSG_DEVICE_SEARCH_QUERY_REQ: {
        const auto& r = *static_cast<const T_QuorDeviceSearchQueryReq*>(record);
        out.Add("DeviceType is: 0x%x, DeviceFunction is: %u.", (unsigned)r.u16DeviceType, r.u32DeviceFunction);
        break;
    }
    case QUOR_MSG_DEVICE_SEARCH_QUERY_RSP:
        DescribeSearchQueryRsp(out, *static_cast<const T_QuorDeviceSearchQueryRsp*>(record));
        break;
    case QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ: {
        const auto& r = *static_cast<const T_QuorDeviceMaxSeqNumNotifyReq*>(record);
        out.Add("DeviceType is: 0x%x, DeviceMaxSeqNum is: %u.", (unsigned)r.u16DeviceType,
                (unsigned)r.u16DeviceMaxSeqNum);
        break;
    }
    case QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP: {
        const auto& r = *static_cast<const T_QuorDeviceMaxSeqNumNotifyRsp*>(record);
        out.Add("ResultCode is: %d, DeviceType is: 0x%x, DeviceMaxSeqNum is: %u.", (int)r.u8ResultCode,
                (unsigned)r.u16DeviceType, (unsigned)r.u16DeviceMaxSeqNum);
        break;
    }
    case QUOR_MSG_GROUP_SIGN_NOTIFY_REQ: {
        const auto& r = *static_cast<const T_QuorDeviceGroupSignNotifyReq*>(record);
        out.Add("DeviceType is: 0x%x, DeviceGroupSignCmd is: 0x%x.", (unsigned)r.u16DeviceType,
                (unsigned)r.u16DeviceGroupSignCmd);
        break;
    }
    case QUOR_MSG_GROUP_SIGN_NOTIFY_RSP: {
        const auto& r = *static_cast<const T_QuorDeviceGroupSignNotifyRsp*>(record);
        out.Add("ResultCode is: %d, DeviceType is: 0x%x, DeviceGroupSignCmd is: 0x%x.", (int)r.u8ResultCode,
                (unsigned)r.u16DeviceType, (unsigned)r.u16DeviceGroupSignCmd);
        break;
    }
    case QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ:
        DescribeUserInfoReq(out, *static_cast<const T_QuorUserInfoChangeNotifyReq*>(record));
        break;
    case QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP:
        DescribeUserInfoRsp(out, *static_cast<const T_QuorUserInfoChangeNotifyRsp*>(record));
        break;
    case QUOR_MSG_VERSION_UPGRADE_REQ:
        DescribeVersionUpgradeReq(out, *static_cast<const T_QuorVersionUpgradeReq*>(record));
        break;
    default:
        break;
    }
    return out.Length();
}

// ---- Hexadecimal dumps into the log ----------------------------------------

namespace {

const char kFunctionSource[] = "src/QuorVelmarFunction";

}  // namespace

size_t FormatMemDump(const void* data, uint32_t length, char* text, size_t textSize)
{
    static const char kHexDigits[] = "0123456789ABCDEF";
    if (text == nullptr || textSize == 0)
        return 0;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    size_t pos = 0;
    for (uint32_t i = 0; bytes != nullptr && i < length && pos + 3 < textSize; ++i) {
        text[pos++] = kHexDigits[bytes[i] >> 4];
        text[pos++] = kHexDigits[bytes[i] & 0x0F];
        text[pos++] = ' ';
    }
    text[pos] = '\0';
    return pos;
}

int print_mem(uint32_t level, const void* data, uint32_t length)
{
    if (level < LLOG_LEVEL_INFO)
        return -1;
    if (data == nullptr && length != 0)
        return -2;
    char text[QUOR_MEM_DUMP_TEXT_SIZE];
    size_t textLen = FormatMemDump(data, length, text, sizeof(text));
    LightLogExt(level, 0, kFunctionSource, __LINE__, "===Memory<len=\"%u\"> is <%s>", (unsigned)textLen, text);
    return 0;
}

// ---- Reboot -------------------------------------------------------------------

int RebootSystem()
{
    int status = pox_system("reboot");
    if (status != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 1, kFunctionSource, __LINE__, "######system reboot Error!");
        return 0;
    }
    LightLogExt(LLOG_LEVEL_INFO, 1, kFunctionSource, __LINE__, "system reboot is OK!");
    return 1;
}

// ---- Network identity -------------------------------------------------------

namespace {

// Longest line of the route listing looked at (characters).
constexpr size_t kRouteLineSize = 512;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsWordChar(char c)
{
    return c != '\0' && !IsBlank(c) && c != '\n' && c != '\r';
}

// Reads one line (at most size - 1 characters, line end dropped); the rest of
// a longer line is read and thrown away, so it never passes for a line of its
// own. False at the end of the output.
bool ReadLine(FILE* in, char* line, size_t size)
{
    if (fgets(line, (int)size, in) == nullptr)
        return false;
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\n') {
        line[len - 1] = '\0';
        return true;
    }
    int c;
    while ((c = fgetc(in)) != EOF && c != '\n') {
    }
    return true;
}

// Finds the next word at or after text: its start, and its length in *len.
const char* NextWord(const char* text, size_t* len)
{
    while (IsBlank(*text))
        ++text;
    size_t n = 0;
    while (IsWordChar(text[n]))
        ++n;
    *len = n;
    return text;
}

// For a default route line ("default via A dev ..."): true, with the gateway
// copied into out when it fits (out unchanged otherwise). False for any other line.
bool TakeDefaultGateway(const char* line, char* out, size_t outSize)
{
    size_t len;
    const char* word = NextWord(line, &len);
    if (len < 7 || strncmp(word, "default", 7) != 0)
        return false;
    word = NextWord(word + len, &len);
    if (len != 3 || strncmp(word, "via", 3) != 0) {
        LightLogExt(LLOG_LEVEL_WARNING, 0, kFunctionSource, __LINE__,
                    "######default route has no gateway: <%s>", line);
        return true;
    }
    word = NextWord(word + len, &len);
    if (len == 0 || len >= outSize) {
        LightLogExt(LLOG_LEVEL_WARNING, 0, kFunctionSource, __LINE__,
                    "######default gateway <%.*s> does not fit in %u bytes", (int)len, word, (unsigned)outSize);
        return true;
    }
    memcpy(out, word, len);
    out[len] = '\0';
    LightLogExt(LLOG_LEVEL_INFO, 0, kFunctionSource, __LINE__, "default gateway is <%s>", out);
    return true;
}

}  // namespace

int GetGateWay(char* gateway, size_t gatewaySize)
{
    if (gateway == nullptr || gatewaySize == 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kFunctionSource, __LINE__, "######GetGateWay: no room for the gateway");
        return -2;
    }
    ShellCommand route;
    if (route.OpenRead("ip route") != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kFunctionSource, __LINE__, "######GetGateWay popen error");
        return -2;
    }
    char line[kRouteLineSize];
    while (ReadLine(route.Stream(), line, sizeof(line))) {
        if (TakeDefaultGateway(line, gateway, gatewaySize))
            break;
    }
    route.CloseRead();
    return 0;
}

int GetLocalMacAddr(char* macAddr, size_t macSize)
{
    if (macAddr == nullptr) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kFunctionSource, __LINE__,
                    "###### io_pMacAddr is null for geting MAC Addr.");
        return 0;
    }
    if (macSize < QUOR_MAC_HEX_TEXT_SIZE) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kFunctionSource, __LINE__,
                    "###### io_pMacAddr of %u bytes is too small for geting MAC Addr.", (unsigned)macSize);
        return 0;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kFunctionSource, __LINE__,
                    "###### Create socket faild...for geting MAC Addr.");
        return 0;
    }
    struct ifreq req;
    memset(&req, 0, sizeof(req));
    memcpy(req.ifr_name, "eth0", 5);
    if (ioctl(fd, SIOCGIFHWADDR, &req) != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kFunctionSource, __LINE__, "###### MAC ioctl error...for geting MAC Addr.");
        close(fd);
        return 0;
    }
    const unsigned char* hw = reinterpret_cast<const unsigned char*>(req.ifr_hwaddr.sa_data);
    snprintf(macAddr, macSize, "%02X%02X%02X%02X%02X%02X", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
    LightLogExt(LLOG_LEVEL_INFO, 0, kFunctionSource, __LINE__, "MAC Addr is <%s>.", macAddr);
    close(fd);
    return 1;
}

// ---- Checks of new network settings -------------------------------------------

int FillEtherNetInfoSetReq(T_QuorEtherNetInfoSetReq* req, const char* ipAddr, const char* subMask,
                           const char* gateway)
{
    if (req == nullptr)
        return -2;
    memset(req, 0, sizeof(*req));
    const char* texts[3] = {ipAddr, subMask, gateway};
    char* fields[3] = {req->IPAddr, req->SubMask, req->Gateway};
    for (int i = 0; i < 3; ++i) {
        if (texts[i] == nullptr || strnlen(texts[i], QUOR_IP_TEXT_SIZE) >= QUOR_IP_TEXT_SIZE) {
            memset(req, 0, sizeof(*req));
            return -2;
        }
        memcpy(fields[i], texts[i], strlen(texts[i]) + 1);
        CanonicalIPV4Addr(fields[i], QUOR_IP_TEXT_SIZE);  // a malformed text is refused by the checks
    }
    return 0;
}

int CheckIPV4AddrFormat(const char* text, size_t textSize, uint8_t parts[4])
{
    if (text == nullptr)
        return -2;
    uint8_t values[4];
    size_t pos = 0;
    for (int k = 0; k < 4; ++k) {
        if (k > 0) {
            if (pos >= textSize || text[pos] != '.')
                return -2;
            ++pos;
        }
        unsigned value = 0;
        size_t digits = 0;
        while (pos < textSize && text[pos] >= '0' && text[pos] <= '9') {
            if (++digits > 3)
                return -2;
            value = value * 10 + (unsigned)(text[pos] - '0');
            ++pos;
        }
        if (digits == 0 || value > 255)
            return -2;
        values[k] = (uint8_t)value;
    }
    if (pos >= textSize || text[pos] != '\0')
        return -2;
    if (parts != nullptr)
        memcpy(parts, values, sizeof(values));
    return 0;
}

int CanonicalIPV4Addr(char* text, size_t textSize)
{
    uint8_t parts[4];
    if (CheckIPV4AddrFormat(text, textSize, parts) != 0)
        return -2;
    // Never longer than the text it replaces.
    snprintf(text, textSize, "%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
    return 0;
}

namespace {

// The decimal number at the start of text, low 8 bits (0 without digits);
// *end is set past its digits.
uint8_t LeadingNumberLow8(const char* text, const char** end)
{
    unsigned value = 0;
    while (*text >= '0' && *text <= '9') {
        value = (value * 10 + (unsigned)(*text - '0')) & 0xFF;
        ++text;
    }
    *end = text;
    return (uint8_t)value;
}

}  // namespace

int CheckIPV4SubMaskValidity(const char* subMask, uint8_t parts[4])
{
    if (subMask == nullptr || parts == nullptr) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kFunctionSource, __LINE__, "###### ArgumentErr, it is NULL!");
        return -2;
    }
    uint8_t values[4] = {0, 0, 0, 0};
    const char* p;
    values[0] = LeadingNumberLow8(subMask, &p);
    if (values[0] != 255) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kFunctionSource, __LINE__, "###### NetMask First is Not 255!");
        return -2;
    }
    LightLogExt(LLOG_LEVEL_DEBUG, 0, kFunctionSource, __LINE__, "part[0]: %d", (int)values[0]);
    int count = 1;
    for (p = strchr(p, '.'); p != nullptr; p = strchr(p, '.')) {
        if (count == 4) {
            LightLogExt(LLOG_LEVEL_ERROR, 0, kFunctionSource, __LINE__,
                        "###### NetMask format error, more than four parts!");
            return -2;
        }
        values[count] = LeadingNumberLow8(p + 1, &p);
        LightLogExt(LLOG_LEVEL_DEBUG, 0, kFunctionSource, __LINE__, "part[%d]: %d", count, (int)values[count]);
        ++count;
    }
    memcpy(parts, values, sizeof(values));
    return 0;
}
