#include "QuorVelmarPref.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

#include "BoardPath.h"
#include "LightLog.h"
#include "OSMutex.h"
#include "QuorVelmarFunction.h"

namespace {

const char kSrc[] = "src/QuorVelmarPref";

const char kPrefDir[] = "/Velmar/etc";
const char kPrefName[] = "Velmar.xml";

const char kCommonModule[] = "QuorVelmarCommon";
const char kNdkModule[] = "QuorVelmarNdk";
const char kVelmarModule[] = "QuorVelmar";
const char kPowerSaveModule[] = "QuorPowerSave";

const char kSetPrefVal[] = "SetPrefVal";
const char kSetPWRSavePrefVal[] = "SetPWRSavePrefVal";

// Defaults of the members read from the file.
constexpr uint16_t kDefUdpPort = 3334;
constexpr char kDefMulAddr[] = "230.1.0.0";
constexpr uint16_t kDefMulPort = 3333;
constexpr uint32_t kDefDHCPCheckTime = 60;
constexpr uint16_t kDefTelnetPort = 23;
constexpr uint32_t kDefClientMaxNum = 10;
constexpr uint32_t kDefNdkUdpPort = 65009;
constexpr int32_t kDefLogLevel = 10000;
constexpr uint16_t kDefSearchQueryTimer = 1;
constexpr uint16_t kDefReTransmissionNum = 3;
constexpr uint16_t kDefResetTimer = 3;
constexpr uint16_t kDefEDIDLearnTimerOut = 30;
constexpr uint16_t kDefUartSpeed = 57600;
constexpr char kDefRS232Speed[] = "57600";
constexpr char kDefRS232ParityBit[] = "NONE";
constexpr char kDefRS232DataBit[] = "8";
constexpr char kDefRS232StopBit[] = "1";
constexpr char kDefRS232EndFlg[] = "\r\n";

// Copies at most size - 1 characters of text (null: none) into out.
size_t BoundedCopy(char* out, size_t size, const char* text)
{
    if (out == nullptr || size == 0)
        return 0;
    size_t length = text != nullptr ? strnlen(text, size - 1) : 0;
    if (length > 0)
        memcpy(out, text, length);
    out[length] = '\0';
    return length;
}

template <size_t N>
void SetText(char (&member)[N], const char* text)
{
    BoundedCopy(member, N, text);
}

// True for an IPv4 address as the preferences file has always held it:
// surrounding white space trimmed, any form inet_aton takes; *address gets it
// in network order.
bool ParseDottedAddress(const char* text, uint32_t* address)
{
    while (isspace((unsigned char)*text))
        ++text;
    size_t length = strlen(text);
    while (length > 0 && isspace((unsigned char)text[length - 1]))
        --length;
    char trimmed[64];
    if (length == 0 || length >= sizeof(trimmed))
        return false;
    memcpy(trimmed, text, length);
    trimmed[length] = '\0';
    struct in_addr parsed;
    if (inet_aton(trimmed, &parsed) == 0)
        return false;
    *address = parsed.s_addr;
    return true;
}

// Whether the setters may store the value: no "<" (the file could no
// longer be parsed) and not longer than the stored maximum.
bool IsValueStorable(const char* value)
{
    return XMLPrefsParser::IsStorableValue(value) &&
           strnlen(value, CQuorVelmarPref::kMaxStoredValue + 1) <= CQuorVelmarPref::kMaxStoredValue;
}

// A type name goes into an attribute: no quote and no "<".
bool IsTypeStorable(const char* type)
{
    return strpbrk(type, "\"<") == nullptr;
}

// A value given with its length must not hold a NUL: it would be stored cut.
bool HoldsNul(const char* setter, const char* name, const char* value, size_t length)
{
    if (memchr(value, '\0', length) == nullptr)
        return false;
    LightLogExt(40000, 0, kSrc, __LINE__, "######In %s, refuse sName <%s>: the value holds a NUL.", setter,
                name != nullptr ? name : "");
    return true;
}

} // namespace

// ---- Static members ----------------------------------------------------------

uint32_t CQuorVelmarPref::s_u32Quor_Velmar_UdpInterAddr = 0;
uint16_t CQuorVelmarPref::s_u16Quor_Velmar_UdpInterPort = kDefUdpPort;
char CQuorVelmarPref::s_cQuor_Velmar_MulUdpRecvAddr[kMulAddrTextSize] = "230.1.0.0";
uint16_t CQuorVelmarPref::s_u16Quor_Velmar_MulUdpRecvPort = kDefMulPort;
uint32_t CQuorVelmarPref::s_u32Quor_Velmar_DHCPCheckTime = kDefDHCPCheckTime;
uint32_t CQuorVelmarPref::s_u32Quor_Velmar_TelnetInterAddr = 0;
uint16_t CQuorVelmarPref::s_u16Quor_Velmar_TelnetInterPort = kDefTelnetPort;
uint32_t CQuorVelmarPref::s_u32Quor_Velmar_ClientMaxNum = kDefClientMaxNum;
uint32_t CQuorVelmarPref::s_u32Quor_VelmarNdk_UdpInterPort = kDefNdkUdpPort;
uint16_t CQuorVelmarPref::s_u16Quor_Velmar_RecvUdpThreadNum = kDefaultThreadNum;
uint16_t CQuorVelmarPref::s_u16Quor_Velmar_ManageTaskThreadNum = kDefaultThreadNum;
int32_t CQuorVelmarPref::s_s32Quor_Velmar_LogLevel_Out = kDefLogLevel;
uint16_t CQuorVelmarPref::s_u16Quor_Velmar_DevSearchQueryTimer = kDefSearchQueryTimer;
uint16_t CQuorVelmarPref::s_u16Quor_Velmar_MsgReTransmissionNum = kDefReTransmissionNum;
uint16_t CQuorVelmarPref::s_u16Quor_ResetTimer = kDefResetTimer;
uint16_t CQuorVelmarPref::s_u16Quor_EDIDLearnTimerOut = kDefEDIDLearnTimerOut;
uint16_t CQuorVelmarPref::s_u16Quor_UartSpeed = kDefUartSpeed;
char CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweron[kLongTextSize] = "";
char CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweroff[kLongTextSize] = "";
char CQuorVelmarPref::s_cQuor_PWRSave_RS232Support[kShortTextSize] = "";
char CQuorVelmarPref::s_cQuor_PWRSave_RS232DlyCtrltime[kShortTextSize] = "";
char CQuorVelmarPref::s_cQuor_RS232Speed[kShortTextSize] = "57600";
char CQuorVelmarPref::s_cQuor_RS232ParityBit[kShortTextSize] = "NONE";
char CQuorVelmarPref::s_cQuor_RS232DataBit[kShortTextSize] = "8";
char CQuorVelmarPref::s_cQuor_RS232StopBit[kShortTextSize] = "1";
char CQuorVelmarPref::s_cQuor_PWRSave_RS232Hexadecimal[kShortTextSize] = "";
char CQuorVelmarPref::s_cQuor_RS232EndFlg[kShortTextSize] = "\r\n";
char CQuorVelmarPref::s_cQuor_SequenceMaxNum[kShortTextSize] = "";
char CQuorVelmarPref::s_cQuor_MacAddr[kShortTextSize] = "";
XMLPrefsParser* CQuorVelmarPref::s_xmlPrefsParser = nullptr;

OSMutex& CQuorVelmarPref::PrefMutex()
{
    // Never destroyed: task threads may still use it while the process ends.
    static OSMutex* mutex = new OSMutex;
    return *mutex;
}

size_t CQuorVelmarPref::CopyText(const char* member, char* out, size_t size)
{
    OSMutexLocker locker(&PrefMutex());
    return BoundedCopy(out, size, member);
}

void CQuorVelmarPref::StoreText(char* member, size_t memberSize, const char* text)
{
    OSMutexLocker locker(&PrefMutex());
    BoundedCopy(member, memberSize, text);
}

void CQuorVelmarPref::ApplyFileDefaults()
{
    s_u32Quor_Velmar_UdpInterAddr = 0;
    s_u16Quor_Velmar_UdpInterPort = kDefUdpPort;
    SetText(s_cQuor_Velmar_MulUdpRecvAddr, kDefMulAddr);
    s_u16Quor_Velmar_MulUdpRecvPort = kDefMulPort;
    s_u32Quor_Velmar_DHCPCheckTime = kDefDHCPCheckTime;
    s_u32Quor_Velmar_TelnetInterAddr = 0;
    s_u16Quor_Velmar_TelnetInterPort = kDefTelnetPort;
    s_u32Quor_Velmar_ClientMaxNum = kDefClientMaxNum;
    s_u32Quor_VelmarNdk_UdpInterPort = kDefNdkUdpPort;
    s_u16Quor_Velmar_RecvUdpThreadNum = kDefaultThreadNum;
    s_u16Quor_Velmar_ManageTaskThreadNum = kDefaultThreadNum;
    s_s32Quor_Velmar_LogLevel_Out = kDefLogLevel;
    s_u16Quor_Velmar_DevSearchQueryTimer = kDefSearchQueryTimer;
    s_u16Quor_Velmar_MsgReTransmissionNum = kDefReTransmissionNum;
    s_u16Quor_ResetTimer = kDefResetTimer;
    s_u16Quor_EDIDLearnTimerOut = kDefEDIDLearnTimerOut;
    s_u16Quor_UartSpeed = kDefUartSpeed;
    SetText(s_cQuor_PWRSave_Rs232Poweron, "");
    SetText(s_cQuor_PWRSave_Rs232Poweroff, "");
    SetText(s_cQuor_PWRSave_RS232Support, "");
    SetText(s_cQuor_PWRSave_RS232DlyCtrltime, "");
    SetText(s_cQuor_RS232Speed, kDefRS232Speed);
    SetText(s_cQuor_RS232ParityBit, kDefRS232ParityBit);
    SetText(s_cQuor_RS232DataBit, kDefRS232DataBit);
    SetText(s_cQuor_RS232StopBit, kDefRS232StopBit);
    SetText(s_cQuor_PWRSave_RS232Hexadecimal, "");
    SetText(s_cQuor_RS232EndFlg, kDefRS232EndFlg);
    SetText(s_cQuor_SequenceMaxNum, "");
}

void CQuorVelmarPref::ResetToDefaults()
{
    OSMutexLocker locker(&PrefMutex());
    delete s_xmlPrefsParser;
    s_xmlPrefsParser = nullptr;
    ApplyFileDefaults();
    SetText(s_cQuor_MacAddr, "");
}

// ---- Getters -------------------------------------------------------------------

ContainerRef CQuorVelmarPref::GetRefForModule(const char* moduleName)
{
    OSMutexLocker locker(&PrefMutex());
    return s_xmlPrefsParser != nullptr ? s_xmlPrefsParser->GetRefForModule(moduleName) : nullptr;
}

const char* CQuorVelmarPref::FindValueLocked(ContainerRef section, const char* name)
{
    if (s_xmlPrefsParser == nullptr || section == nullptr || name == nullptr)
        return nullptr;
    PrefRef pref = s_xmlPrefsParser->GetPrefRefByName(section, name);
    if (pref == nullptr)
        return nullptr;
    return s_xmlPrefsParser->GetPrefValueByRef(pref, 0, nullptr, nullptr);
}

int CQuorVelmarPref::GetNumber(ContainerRef section, const char* name, uint64_t* value)
{
    OSMutexLocker locker(&PrefMutex());
    const char* text = FindValueLocked(section, name);
    if (text == nullptr)
        return -1;
    *value = strtoull(text, nullptr, 0);
    return 0;
}

int CQuorVelmarPref::GetPrefBool16Val(ContainerRef section, const char* name, uint16_t* value)
{
    if (value == nullptr)
        return -1;
    OSMutexLocker locker(&PrefMutex());
    const char* text = FindValueLocked(section, name);
    if (text == nullptr)
        return -1;
    if (text[0] == 't' || text[0] == 'T')
        *value = 1;
    else if (text[0] == 'f' || text[0] == 'F')
        *value = 0;
    else
        *value = static_cast<uint16_t>(strtoull(text, nullptr, 0));
    return 0;
}

int CQuorVelmarPref::GetPrefStringVal(ContainerRef section, const char* name, char* value, size_t size)
{
    if (value == nullptr || size == 0)
        return -1;
    OSMutexLocker locker(&PrefMutex());
    const char* text = FindValueLocked(section, name);
    if (text == nullptr)
        return -1;
    BoundedCopy(value, size, text);
    return 0;
}

bool CQuorVelmarPref::GetPrefVal(ContainerRef section, const char* name, std::string& value)
{
    OSMutexLocker locker(&PrefMutex());
    const char* text = FindValueLocked(section, name);
    if (text == nullptr)
        return false;
    value.assign(text);
    return true;
}

// ---- Setters -------------------------------------------------------------------

int CQuorVelmarPref::StoreValue(const char* setter, ContainerRef section, const char* name, const char* type,
                                const char* value)
{
    if (section == nullptr || name == nullptr || type == nullptr || value == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######In %s, sValue is NULL Error!", setter);
        return -2;
    }
    if (!IsValueStorable(value) || !IsTypeStorable(type)) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "######In %s, refuse sName <%s> sType <%s>: value of %zu characters not storable.", setter, name,
                    type, strlen(value));
        return -2;
    }
    OSMutexLocker locker(&PrefMutex());
    if (s_xmlPrefsParser == nullptr)
        return -2;
    PrefRef pref = s_xmlPrefsParser->GetPrefRefByName(section, name);
    const bool existed = pref != nullptr;
    if (!existed) {
        LightLogExt(20000, 0, kSrc, __LINE__, "In %s, insert new Prefval, sName is <%s>sType is <%s>sValue is <%s>",
                    setter, name, type, value);
        pref = s_xmlPrefsParser->AddPref(section, name, type);
    } else {
        LightLogExt(20000, 0, kSrc, __LINE__, "In SetPrefVal, Update Prefval, sName is <%s>sType is <%s>sValue is <%s>",
                    name, type, value);
    }
    if (pref == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######In %s, cannot add sName <%s>.", setter, name);
        return -2;
    }
    const char* old = s_xmlPrefsParser->GetPrefValueByRef(pref, 0, nullptr, nullptr);
    const bool hadValue = old != nullptr;
    std::string oldValue = hadValue ? old : "";
    if (s_xmlPrefsParser->SetPrefValue(pref, 0, value) && s_xmlPrefsParser->WritePrefsFile() == 0)
        return 0;
    // Keep the tree as the file is, so that a later write does not store the
    // value reported as not stored.
    if (!existed)
        s_xmlPrefsParser->RemovePref(pref);
    else if (hadValue)
        s_xmlPrefsParser->SetPrefValue(pref, 0, oldValue.c_str());
    else
        pref->SetValue(nullptr);
    LightLogExt(40000, 1, kSrc, __LINE__, "######In %s, writing sName <%s> failed, the file is unchanged.", setter,
                name);
    return -2;
}

int CQuorVelmarPref::SetPrefVal(ContainerRef section, const char* name, const char* type, const char* value)
{
    return StoreValue(kSetPrefVal, section, name, type, value);
}

int CQuorVelmarPref::SetPrefVal(ContainerRef section, const char* name, const char* type, const char* value,
                                size_t length)
{
    if (value == nullptr)
        return SetPrefVal(section, name, type, nullptr);
    if (HoldsNul(kSetPrefVal, name, value, length))
        return -2;
    return SetPrefVal(section, name, type, std::string(value, length).c_str());
}

int CQuorVelmarPref::SetPWRSavePrefVal(const char* name, const char* type, const char* value)
{
    if (name == nullptr || type == nullptr || value == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######In SetPWRSavePrefVal, sValue is NULL Error!");
        return -2;
    }
    int result = StoreValue(kSetPWRSavePrefVal, GetRefForModule(kPowerSaveModule), name, type, value);
    if (result == 0)
        pox_system("sync");
    return result;
}

int CQuorVelmarPref::SetPWRSavePrefVal(const char* name, const char* type, const char* value, size_t length)
{
    if (value == nullptr)
        return SetPWRSavePrefVal(name, type, nullptr);
    if (HoldsNul(kSetPWRSavePrefVal, name, value, length))
        return -2;
    return SetPWRSavePrefVal(name, type, std::string(value, length).c_str());
}

int CQuorVelmarPref::Write()
{
    OSMutexLocker locker(&PrefMutex());
    if (s_xmlPrefsParser == nullptr || s_xmlPrefsParser->WritePrefsFile() != 0)
        return -2;
    return 0;
}

// ---- ReadPref ------------------------------------------------------------------

namespace {

// The readers below run under PrefMutex (taken by ReadPref).

// An unsigned number of 16 or 32 bits (kept when absent), logged.
template <class T>
void ReadNumber(ContainerRef section, const char* name, T* member)
{
    CQuorVelmarPref::GetPrefNumberVal(section, name, member);
    LightLogExt(20000, 0, kSrc, __LINE__, "%s is <%u>", name, static_cast<unsigned>(*member));
}

// A thread count: 0 (after narrowing) would leave a pool without threads and
// every task of the pool waiting forever, so it falls back to the default.
void ReadThreadNum(ContainerRef section, const char* name, uint16_t* member)
{
    CQuorVelmarPref::GetPrefUInt16Val(section, name, member);
    if (*member == 0 || *member > CQuorVelmarPref::kMaxThreadNum) {
        uint16_t used = *member == 0 ? CQuorVelmarPref::kDefaultThreadNum : CQuorVelmarPref::kMaxThreadNum;
        LightLogExt(30000, 0, kSrc, __LINE__, "%s <%u> is not a usable thread count, <%u> is used.", name,
                    static_cast<unsigned>(*member), static_cast<unsigned>(used));
        *member = used;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "%s is <%u>", name, static_cast<unsigned>(*member));
}

// A required address: -1 when it is missing or not a dotted IPv4 address.
int ReadRequiredAddress(ContainerRef section, const char* name, uint32_t* member)
{
    char text[CQuorVelmarPref::kReadTextSize] = "";
    CQuorVelmarPref::GetPrefStringVal(section, name, text);
    LightLogExt(20000, 0, kSrc, __LINE__, "%s is <%s>", name, text);
    if (!ParseDottedAddress(text, member)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "%s<%s> is not a correct fomat", name, text);
        return -1;
    }
    return 0;
}

void ReadMulticastAddress(ContainerRef section)
{
    const char name[] = "QuorVelmar_MulUdpRecvIp";
    // Empty (also missing) or too long for the member: the default.
    char text[CQuorVelmarPref::kReadTextSize] = "";
    CQuorVelmarPref::GetPrefStringVal(section, name, text);
    size_t length = strlen(text);
    if (length == 0 || length >= CQuorVelmarPref::kMulAddrTextSize) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######ReadPref QuorVelmar_MulUdpRecvIp Error.");
        SetText(CQuorVelmarPref::s_cQuor_Velmar_MulUdpRecvAddr, kDefMulAddr);
    } else {
        SetText(CQuorVelmarPref::s_cQuor_Velmar_MulUdpRecvAddr, text);
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "QuorVelmar_MulUdpRecvIp is <%s>",
                CQuorVelmarPref::s_cQuor_Velmar_MulUdpRecvAddr);
}

// One text of the power-save module.
struct PowerSaveText {
    const char* pName;
    char* pMember;
    size_t memberSize;
    bool b8ClearWhenEmpty;  // a missing or empty value clears the member
    bool b8LogLength;       // the log line carries the length
};

void ReadPowerSaveText(ContainerRef section, const PowerSaveText& entry)
{
    char text[CQuorVelmarPref::kReadTextSize] = "";
    CQuorVelmarPref::GetPrefStringVal(section, entry.pName, text);
    if (text[0] != '\0' || entry.b8ClearWhenEmpty)
        BoundedCopy(entry.pMember, entry.memberSize, text);
    if (entry.b8LogLength)
        LightLogExt(20000, 0, kSrc, __LINE__, "%s is <%s>, len is <%d>", entry.pName, entry.pMember,
                    static_cast<int>(strlen(entry.pMember)));
    else
        LightLogExt(20000, 0, kSrc, __LINE__, "%s is <%s>", entry.pName, entry.pMember);
}

} // namespace

int CQuorVelmarPref::ReadCommonModule()
{
    ContainerRef section = s_xmlPrefsParser->GetRefForModule(kCommonModule);
    LightLogExt(20000, 0, kSrc, __LINE__, "Read Config for QuorVelmar\t\t\t");
    if (ReadRequiredAddress(section, "QuorVelmar_UdpIp", &s_u32Quor_Velmar_UdpInterAddr) != 0)
        return -1;
    ReadNumber(section, "QuorVelmar_UdpPort", &s_u16Quor_Velmar_UdpInterPort);
    ReadMulticastAddress(section);
    ReadNumber(section, "QuorVelmar_MulUdpRecvPort", &s_u16Quor_Velmar_MulUdpRecvPort);
    ReadNumber(section, "QuorVelmar_DHCPCheckTime", &s_u32Quor_Velmar_DHCPCheckTime);
    if (ReadRequiredAddress(section, "QuorVelmar_TelnetIp", &s_u32Quor_Velmar_TelnetInterAddr) != 0)
        return -1;
    ReadNumber(section, "QuorVelmar_TelnetPort", &s_u16Quor_Velmar_TelnetInterPort);
    ReadNumber(section, "QuorVelmar_ClinetLinkMaxNum", &s_u32Quor_Velmar_ClientMaxNum);
    return 0;
}

void CQuorVelmarPref::ReadNdkModule()
{
    ContainerRef section = s_xmlPrefsParser->GetRefForModule(kNdkModule);
    LightLogExt(20000, 0, kSrc, __LINE__, "Read Config for QuorVelmarNdk\t\t\t");
    ReadNumber(section, "VelmarNdk_UdpPort", &s_u32Quor_VelmarNdk_UdpInterPort);
}

void CQuorVelmarPref::ReadVelmarModule()
{
    ContainerRef section = s_xmlPrefsParser->GetRefForModule(kVelmarModule);
    LightLogExt(20000, 0, kSrc, __LINE__, "Read Config for Velmarwork\t\t");
    ReadThreadNum(section, "Velmar_RecvUdp_ThreadNum", &s_u16Quor_Velmar_RecvUdpThreadNum);
    ReadThreadNum(section, "Velmar_ManageTask_ThreadNum", &s_u16Quor_Velmar_ManageTaskThreadNum);
    GetPrefNumberVal(section, "Quor_Velmar_LogLevel_Out", &s_s32Quor_Velmar_LogLevel_Out);
    LightLogExt(20000, 0, kSrc, __LINE__, "Quor_Velmar_LogLevel_Out is <%u>",
                static_cast<unsigned>(s_s32Quor_Velmar_LogLevel_Out));
    ReadNumber(section, "Quor_Velmar_DevSearchQueryTimer", &s_u16Quor_Velmar_DevSearchQueryTimer);
    ReadNumber(section, "Quor_Velmar_MsgReTransmissionNum", &s_u16Quor_Velmar_MsgReTransmissionNum);
    ReadNumber(section, "Quor_Velmar_ResetTimer", &s_u16Quor_ResetTimer);
    ReadNumber(section, "Quor_Velmar_EDIDLearnTimerOut", &s_u16Quor_EDIDLearnTimerOut);
    ReadNumber(section, "Velmar_UartSpeed", &s_u16Quor_UartSpeed);
}

void CQuorVelmarPref::ReadPowerSaveModule()
{
    const PowerSaveText texts[] = {
        {"RS232PWROn", s_cQuor_PWRSave_Rs232Poweron, sizeof(s_cQuor_PWRSave_Rs232Poweron), false, true},
        {"RS232PWROff", s_cQuor_PWRSave_Rs232Poweroff, sizeof(s_cQuor_PWRSave_Rs232Poweroff), false, false},
        {"RS232Support", s_cQuor_PWRSave_RS232Support, sizeof(s_cQuor_PWRSave_RS232Support), false, false},
        {"RS232DelayCtrltime", s_cQuor_PWRSave_RS232DlyCtrltime, sizeof(s_cQuor_PWRSave_RS232DlyCtrltime), false,
         false},
        {"RS232Speed", s_cQuor_RS232Speed, sizeof(s_cQuor_RS232Speed), false, false},
        {"RS232ParityBit", s_cQuor_RS232ParityBit, sizeof(s_cQuor_RS232ParityBit), false, false},
        {"RS232DataBit", s_cQuor_RS232DataBit, sizeof(s_cQuor_RS232DataBit), false, false},
        {"RS232Stop", s_cQuor_RS232StopBit, sizeof(s_cQuor_RS232StopBit), false, false},
        {"RS232Hexadecimal", s_cQuor_PWRSave_RS232Hexadecimal, sizeof(s_cQuor_PWRSave_RS232Hexadecimal), false,
         false},
        {"RS232EndFlg", s_cQuor_RS232EndFlg, sizeof(s_cQuor_RS232EndFlg), true, false},
        {"sequenceMaxnumber", s_cQuor_SequenceMaxNum, sizeof(s_cQuor_SequenceMaxNum), false, false},
    };
    ContainerRef section = s_xmlPrefsParser->GetRefForModule(kPowerSaveModule);
    LightLogExt(20000, 0, kSrc, __LINE__, "Read Config for QuorPWRSave Module\t\t");
    for (const PowerSaveText& entry : texts)
        ReadPowerSaveText(section, entry);
}

int CQuorVelmarPref::ReadPref()
{
    char dir[BoardPath::kMaxRoot + 64];
    char path[sizeof(dir) + sizeof(kPrefName) + 1];
    if (BoardPath::Resolve(kPrefDir, dir) != 0 ||
        snprintf(path, sizeof(path), "%s/%s", dir, kPrefName) >= static_cast<int>(sizeof(path))) {
        LightLogExt(40000, 1, kSrc, __LINE__, "###### Fail to parse s_xmlPrefsParser.");
        return -1;
    }
    return ReadPref(path);
}

int CQuorVelmarPref::ReadPref(const char* path)
{
    OSMutexLocker locker(&PrefMutex());
    delete s_xmlPrefsParser;
    s_xmlPrefsParser = path != nullptr ? new (std::nothrow) XMLPrefsParser(path) : nullptr;
    if (s_xmlPrefsParser == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Fail to new s_xmlPrefsParser memory, when ReadPref().");
        return -1;
    }
    if (s_xmlPrefsParser->Parse() != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Fail to parse s_xmlPrefsParser.");
        return -1;
    }
    ApplyFileDefaults();
    if (ReadCommonModule() != 0)
        return -1;
    ReadNdkModule();
    ReadVelmarModule();
    ReadPowerSaveModule();
    LightLogExt(20000, 1, kSrc, __LINE__, "QuorVelmar ReadPref OK!");
    return 0;
}
