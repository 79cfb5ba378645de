// CheckIPInfoValidity: the checks a new address, netmask and gateway pass
// before they are applied (see QuorVelmarFunction.h).
//
// The texts end up on the "setip" command line and in lines sent to the MCU,
// so anything but a plain dotted address is refused before the other checks
// look at it.
#include <cstring>
#include <regex.h>

#include "LightLog.h"
#include "QuorVelmarFunction.h"

namespace {

const char kSource[] = "src/QuorVelmarFunction";

// One to three digits of at most 255 per part, no leading zero, the first part
// not 0. The separators are plain dots of the pattern language (any character);
// the well-formedness check before it has already made sure they are dots.
const char kAddressPattern[] =
    "^([1-9]|[1-9][0-9]|1[0-9]{1,2}|2[0-4][0-9]|25[0-5])."
    "([0-9]|[1-9][0-9]|1[0-9]{1,2}|2[0-4][0-9]|25[0-5])."
    "([0-9]|[1-9][0-9]|1[0-9]{1,2}|2[0-4][0-9]|25[0-5])."
    "([0-9]|[1-9][0-9]|1[0-9]{1,2}|2[0-4][0-9]|25[0-5])$";

// One text of the request, with the names its log lines use.
struct RequestField {
    const char* name;       // "IPAddr", "SubMask", "Gateway"
    const char* partName;   // "ip", "SubMask", "Gateway"
    const char* text;       // QUOR_IP_TEXT_SIZE bytes, maybe unterminated
    uint8_t parts[4];
};

// Refuses a text that is not a plain dotted address. The text is shown with
// anything but printable characters replaced, so it cannot break the log line.
int RefuseMalformed(const RequestField& field)
{
    char shown[QUOR_IP_TEXT_SIZE + 1];
    size_t i = 0;
    for (; i < QUOR_IP_TEXT_SIZE && field.text[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(field.text[i]);
        shown[i] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    shown[i] = '\0';
    LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__, "###### %s<%s%s> is not a dotted IPv4 address, refused!",
                field.name, shown, i == QUOR_IP_TEXT_SIZE ? "..." : "");
    return -2;
}

bool Terminated(const RequestField& field)
{
    return memchr(field.text, '\0', QUOR_IP_TEXT_SIZE) != nullptr;
}

// Refusals of step one: two of the texts are the same.
int RefuseEqualTexts(const RequestField* fields)
{
    if (strcmp(fields[0].text, fields[1].text) == 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__, "###### IP and SubMask is the same !");
        return -2;
    }
    if (strcmp(fields[0].text, fields[2].text) == 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__, "###### IP and Gateway is the same !");
        return -2;
    }
    if (strcmp(fields[1].text, fields[2].text) == 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__, "###### SubMask and Gateway is the same !");
        return -2;
    }
    return 0;
}

// The compiled address pattern, released on every path.
class AddressPattern {
public:
    AddressPattern() : m_s32Result(regcomp(&m_Regex, kAddressPattern, REG_EXTENDED | REG_NEWLINE)) {}
    ~AddressPattern()
    {
        if (m_s32Result == 0)
            regfree(&m_Regex);
    }
    AddressPattern(const AddressPattern&) = delete;
    AddressPattern& operator=(const AddressPattern&) = delete;

    int Result() const { return m_s32Result; }

    // Logs whether the text matches, and its four parts when it does.
    bool Classify(const RequestField& field) const
    {
        regmatch_t match[5];
        bool legal = regexec(&m_Regex, field.text, 5, match, 0) == 0;
        LightLogExt(LLOG_LEVEL_INFO, 0, kSource, __LINE__, "%s is %s.", field.name, legal ? "legal" : "illegal");
        for (int k = 1; legal && k <= 4; ++k) {
            LightLogExt(LLOG_LEVEL_DEBUG, 0, kSource, __LINE__, "%s part[%d]: %.*s", field.partName, k - 1,
                        static_cast<int>(match[k].rm_eo - match[k].rm_so), field.text + match[k].rm_so);
        }
        return legal;
    }

private:
    regex_t m_Regex;
    int m_s32Result;
};

// Where the netmask part is 255 the address and the gateway must agree.
int CheckGatewayReachable(const RequestField& ip, const RequestField& gateway, const uint8_t maskParts[4])
{
    for (int k = 0; k < 4; ++k) {
        if (maskParts[k] == 255 && ip.parts[k] != gateway.parts[k]) {
            LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__,
                        "###### IP<%s> is not matched with Gateway<%s>, Netmask is 255 IP bit should be eque to "
                        "gate bit.",
                        ip.text, gateway.text);
            return -2;
        }
    }
    return 0;
}

}  // namespace

int CheckIPInfoValidity(const T_QuorEtherNetInfoSetReq* req)
{
    if (req == nullptr) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__, "###### ArgumentErr, it is NULL!");
        return -2;
    }
    RequestField fields[3] = {{"IPAddr", "ip", req->IPAddr, {0, 0, 0, 0}},
                              {"SubMask", "SubMask", req->SubMask, {0, 0, 0, 0}},
                              {"Gateway", "Gateway", req->Gateway, {0, 0, 0, 0}}};
    RequestField& ip = fields[0];
    RequestField& subMask = fields[1];
    RequestField& gateway = fields[2];

    for (const RequestField& field : fields) {
        if (!Terminated(field))
            return RefuseMalformed(field);
    }
    if (RefuseEqualTexts(fields) != 0)
        return -2;
    for (RequestField& field : fields) {
        if (CheckIPV4AddrFormat(field.text, QUOR_IP_TEXT_SIZE, field.parts) != 0)
            return RefuseMalformed(field);
    }

    AddressPattern pattern;
    if (pattern.Result() != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__, "###### regcomp fail, retval is <%d> !",
                    pattern.Result());
        return -1;
    }
    pattern.Classify(ip);
    bool maskLegal = pattern.Classify(subMask);
    pattern.Classify(gateway);

    // A netmask the pattern does not take (first part 0, leading zeros)
    // counts as 0.0.0.0: nothing to compare.
    uint8_t maskParts[4] = {0, 0, 0, 0};
    if (maskLegal && CheckIPV4SubMaskValidity(subMask.text, maskParts) != 0) {
        LightLogExt(LLOG_LEVEL_ERROR, 0, kSource, __LINE__, "###### SubMask<%s> format error.\n", subMask.text);
        return -2;
    }
    return CheckGatewayReachable(ip, gateway, maskParts);
}
