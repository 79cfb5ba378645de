// The web request processor: see QuorVelmarMongooseTask.h.
#include "QuorVelmarMongooseTask.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BoardPath.h"
#include "LightLog.h"
#include "OSMutex.h"
#include "QuorVelmarPref.h"
#include "serverproperty.h"

namespace {

const char kSrc[] = "src/QuorVelmarMongooseTask";

const size_t kCommandSize = 512;
const char kConfigipPath[] = "/usr/sbin/configip";

// One lock for all settings operations: two callers switching the address
// mode, or applying addresses, never interleave their commands.
OSMutex& SettingsMutex()
{
    static OSMutex* s_mutex = new OSMutex;
    return *s_mutex;
}

// ---- The check of the generated address script ------------------------------

// The mismatch messages; the comma is the full-width one of the board's
// character set (GBK A3 AC).
enum ScriptCheckFailure {
    kNoBlankAfterIfconfig,
    kNoBlankAfterIp,
    kNoBlankAfterNetmaskWord,
    kWrongNetmask,
    kNoBlankAfterRoute,
    kWrongGateway
};

const char* const kScriptCheckTexts[] = {
    "It should be Blank Character after 'ifconfig eth0'!",
    "It should be Blank Character after IP!",
    "It should be Blank Character after 'netmask'!",
    "It should be NETMASK!",
    "It should be Blank Character after 'route add default gw'!",
    "It should be GATEWAY!",
};

// What the check does after one line.
enum ScriptLineResult { kNextLine, kEndCheck };

ScriptLineResult FailScriptCheck(ScriptCheckFailure failure)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "######set ipinfo fail\xA3\xAC" "%s", kScriptCheckTexts[failure]);
    return kEndCheck;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

const char* SkipBlanks(const char* p)
{
    while (IsBlank(*p))
        ++p;
    return p;
}

bool StartsWith(const char* text, const char* prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Only blanks may follow a value up to the end of its line.
bool AtLineEnd(const char* p)
{
    p = SkipBlanks(p);
    return *p == '\0' || *p == '\n' || (*p == '\r' && (p[1] == '\n' || p[1] == '\0'));
}

// "ifconfig eth0 <ip> netmask <mask>": p points behind "ifconfig eth0".
// A line for another address is skipped.
ScriptLineResult CheckIfconfigLine(const char* p, const T_QuorEtherNetInfoSetReq& req)
{
    if (!IsBlank(*p))
        return FailScriptCheck(kNoBlankAfterIfconfig);
    p = SkipBlanks(p);
    if (!StartsWith(p, req.IPAddr))
        return kNextLine;
    p += strlen(req.IPAddr);
    if (!IsBlank(*p))
        return FailScriptCheck(kNoBlankAfterIp);
    p = SkipBlanks(p);
    if (!StartsWith(p, "netmask") || !IsBlank(p[7]))
        return FailScriptCheck(kNoBlankAfterNetmaskWord);
    p = SkipBlanks(p + 7);
    if (!StartsWith(p, req.SubMask) || !AtLineEnd(p + strlen(req.SubMask)))
        return FailScriptCheck(kWrongNetmask);
    return kNextLine;
}

// "route add default gw <gw>": p points behind "route add default gw". The
// check ends with this line, whatever it holds.
ScriptLineResult CheckRouteLine(const char* p, const T_QuorEtherNetInfoSetReq& req)
{
    if (!IsBlank(*p))
        return FailScriptCheck(kNoBlankAfterRoute);
    p = SkipBlanks(p);
    if (!StartsWith(p, req.Gateway) || !AtLineEnd(p + strlen(req.Gateway)))
        return FailScriptCheck(kWrongGateway);
    return kEndCheck;
}

ScriptLineResult CheckScriptLine(const char* line, const T_QuorEtherNetInfoSetReq& req)
{
    static const char kIfconfig[] = "ifconfig eth0";
    static const char kRoute[] = "route add default gw";
    if (strncmp(line, kIfconfig, sizeof(kIfconfig) - 1) == 0)
        return CheckIfconfigLine(line + sizeof(kIfconfig) - 1, req);
    if (strncmp(line, kRoute, sizeof(kRoute) - 1) == 0)
        return CheckRouteLine(line + sizeof(kRoute) - 1, req);
    return kNextLine;
}

// Reads the script line by line until a line ends the check, the file ends
// or a read fails. The outcome is only logged.
void CheckConfigipScript(FILE* script, const T_QuorEtherNetInfoSetReq& req)
{
    char line[kCommandSize];
    while (!feof(script)) {
        if (fgets(line, sizeof(line), script) == nullptr) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######fgets fail, return pmove is NULL!");
            return;
        }
        if (CheckScriptLine(line, req) == kEndCheck)
            return;
    }
}

// ---- Applying an address ---------------------------------------------------------

// Every text must be a plain dotted address before it is put on a command
// line, whatever checked it before.
bool AllPlainDotted(const T_QuorEtherNetInfoSetReq& req)
{
    return CheckIPV4AddrFormat(req.IPAddr, QUOR_IP_TEXT_SIZE, nullptr) == 0 &&
           CheckIPV4AddrFormat(req.SubMask, QUOR_IP_TEXT_SIZE, nullptr) == 0 &&
           CheckIPV4AddrFormat(req.Gateway, QUOR_IP_TEXT_SIZE, nullptr) == 0;
}

int RefuseRequest(int result)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "######CheckIPInfoValidity fail, Ret is <%d>!", result);
    return -2;
}

int RunSetip(const T_QuorEtherNetInfoSetReq& req)
{
    char command[kCommandSize];
    snprintf(command, sizeof(command), "%s %s %s %s", "setip", req.IPAddr, req.SubMask, req.Gateway);
    LightLogExt(20000, 0, kSrc, __LINE__, "ProcessNetInfoSetReq NetInfo is %s !", command);
    int status = pox_system(command);
    if (status != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Exc Setip fail, Ret is <%d>, system is <%s>!", status,
                    command);
        return -2;
    }
    return 0;
}

FILE* OpenBoardFile(const char* boardPath, const char* mode)
{
    char path[BoardPath::kMaxRoot + 256];
    if (BoardPath::Resolve(boardPath, path) != 0)
        return nullptr;
    return fopen(path, mode);
}

// ---- Address mode switches ---------------------------------------------------------

struct AddressModeFiles {
    const char* interfacesTemplate;
    const char* dropbearTemplate;
    const char* mode;
    bool logCopies;   // the DHCP switch also logs its first copy and "sync" as OK
};

const AddressModeFiles kStaticFiles = {"/var/tmpfs/interfaces_static", "/Velmar/bin/S50dropbear_static", "static",
                                       false};
const AddressModeFiles kDhcpFiles = {"/var/tmpfs/interfaces_dhcp", "/Velmar/bin/S50dropbear_dhcp", "dhcp", true};

bool CopyFile(const char* from, const char* to, char* command, size_t size)
{
    snprintf(command, size, "cp -f %s %s", from, to);
    return RunLoggedCommand(kSrc, command);
}

int SwitchAddressMode(const AddressModeFiles& files)
{
    OSMutexLocker locker(&SettingsMutex());
    char command[kCommandSize];
    if (!CopyFile(files.interfacesTemplate, "/etc/network/interfaces", command, sizeof(command)))
        return 0;
    if (files.logCopies)
        LightLogExt(20000, 0, kSrc, __LINE__, "pox_system <%s> .", command);
    if (!CopyFile(files.dropbearTemplate, "/etc/init.d/S50dropbear", command, sizeof(command)))
        return 0;
    LightLogExt(20000, 0, kSrc, __LINE__, "change system start script <%s> .", command);
    CServerProperty::GetInstance()->SetIpMod(files.mode);
    snprintf(command, sizeof(command), "sync");
    if (!RunLoggedCommand(kSrc, command))
        return 0;
    LightLogExt(20000, 0, kSrc, __LINE__, files.logCopies ? "pox_system <%s> OK." : "pox_system <%s> .", command);
    return 1;
}

// ---- RS-232 settings ---------------------------------------------------------------

// Stores text under name in the power-save preferences ("sync" follows), then
// in the in-memory copy.
int SaveRs232Text(const char* name, const char* text, char (&member)[CQuorVelmarPref::kShortTextSize])
{
    if (text == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######In SetPWRSavePrefVal, sValue is NULL Error!");
        return -2;
    }
    size_t length = strnlen(text, CQuorVelmarPref::kShortTextSize);
    if (length >= CQuorVelmarPref::kShortTextSize) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######In SetPWRSavePrefVal, sName <%s> value of %zu characters or more is too long!",
                    name, length);
        return -2;
    }
    OSMutexLocker locker(&SettingsMutex());
    if (CQuorVelmarPref::SetPWRSavePrefVal(name, "char", text) != 0)
        return -2;
    CQuorVelmarPref::StoreText(member, text);
    return 0;
}

}  // namespace

int CQuorVelmarMGProcess::ProcessNetInfoSetReq(const T_QuorEtherNetInfoSetReq* req)
{
    if (req == nullptr)
        return RefuseRequest(CheckIPInfoValidity(req));
    const int w = QUOR_IP_TEXT_SIZE;
    LightLogExt(20000, 0, kSrc, __LINE__,
                "@@@@@@In ParseAndProcessNetInfoSetReq Fun,IPAddr is <%.*s>, SubMask is <%.*s>,Gateway is <%.*s>.", w,
                req->IPAddr, w, req->SubMask, w, req->Gateway);
    int result = CheckIPInfoValidity(req);
    if (result != 0)
        return RefuseRequest(result);
    if (!AllPlainDotted(*req))
        return RefuseRequest(-2);

    OSMutexLocker locker(&SettingsMutex());
    if (RunSetip(*req) != 0)
        return -2;
    FILE* script = OpenBoardFile(kConfigipPath, "re");
    if (script == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######fopen fail, return fp is NULL!");
        return -2;
    }
    CheckConfigipScript(script, *req);
    fclose(script);
    LightLogExt(20000, 0, kSrc, __LINE__, "ProcessNetInfoSetReq ReqResult is ok !");
    return 0;
}

int CQuorVelmarMGProcess::DHCPToStatic()
{
    return SwitchAddressMode(kStaticFiles);
}

int CQuorVelmarMGProcess::StaticToDHCP()
{
    return SwitchAddressMode(kDhcpFiles);
}

int CQuorVelmarMGProcess::SetRs232EndFlgToXml(uint32_t code)
{
    static const char* const kEndFlags[] = {"", "\r", "\n", "\r\n"};
    LightLogExt(10000, 0, kSrc, __LINE__, "SetRs232EndFlgToXml i_u32EndFlg is <%d>.", (int)code);
    if (code >= sizeof(kEndFlags) / sizeof(kEndFlags[0])) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######SetRs232EndFlgToXml, i_u32EndFlg is <%d> Error!", (int)code);
        return 0;
    }
    OSMutexLocker locker(&SettingsMutex());
    if (CQuorVelmarPref::SetPWRSavePrefVal("RS232EndFlg", "char", kEndFlags[code]) != 0)
        return 0;
    CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_RS232EndFlg, kEndFlags[code]);
    return 1;
}

int CQuorVelmarMGProcess::SaveRs232Support(const char* text)
{
    return SaveRs232Text("RS232Support", text, CQuorVelmarPref::s_cQuor_PWRSave_RS232Support);
}

int CQuorVelmarMGProcess::SaveRs232DelayTime(const char* text)
{
    return SaveRs232Text("RS232DelayCtrltime", text, CQuorVelmarPref::s_cQuor_PWRSave_RS232DlyCtrltime);
}

int CQuorVelmarMGProcess::StringToFile(const char* data, size_t length, const char* path)
{
    if ((data == nullptr && length > 0) || path == nullptr)
        return -1;
    FILE* file = OpenBoardFile(path, "w+e");
    if (file == nullptr)
        return -1;
    size_t written = length > 0 ? fwrite(data, 1, length, file) : 0;
    bool ok = fclose(file) == 0 && written == length;
    char resolved[BoardPath::kMaxRoot + 256];
    if (BoardPath::Resolve(path, resolved) == 0)
        chmod(resolved, 0664);
    return ok ? (int)written : -1;
}
