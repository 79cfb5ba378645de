// The MCU answers: the command text helpers, the keyword table and one small
// handler per keyword. Lines from the display line come here too.
//
// A keyword matches when the line's first token begins with it (ignoring
// case); the first match in table order wins. A handler gets the text behind
// the keyword and clears the forward flag when it consumes the line; the
// line then goes to every TCP client unless it was consumed. While the start
// flow runs, an answer of its chain moves it on and is consumed.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "LightLog.h"
#include "QuorVelmarFunction.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarMongooseTask.h"
#include "QuorVelmarPref.h"
#include "serverproperty.h"

namespace {

const char kSrc[] = "src/QuorVelmarManageTask";

const size_t kHexTextMax = 3072;
const size_t kEdidTextMax = 2048;

// ---- Command text -----------------------------------------------------------------

int HexDigitValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    return tolower(c) - 'a' + 10;
}

// One piece of hexadecimal text: leading white space, an optional "0x", then
// the hexadecimal digits up to the first other character.
uint8_t ParseHexPiece(const char* piece, size_t length)
{
    size_t i = 0;
    while (i < length && isspace((unsigned char)piece[i]))
        ++i;
    if (i + 2 < length && piece[i] == '0' && (piece[i + 1] == 'x' || piece[i + 1] == 'X') &&
        isxdigit((unsigned char)piece[i + 2]))
        i += 2;
    unsigned value = 0;
    for (; i < length && isxdigit((unsigned char)piece[i]); ++i)
        value = (value * 16 + (unsigned)HexDigitValue((unsigned char)piece[i])) & 0xFFu;
    return (uint8_t)value;
}

bool StartsWithNoCase(const char* text, const char* prefix)
{
    return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

}  // namespace

int PareCommandString(const char** cursor, char (&token)[QUOR_TOKEN_SIZE], uint32_t* consumed)
{
    memset(token, 0, sizeof(token));
    if (cursor == nullptr || *cursor == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######In PareCommandString pioSrc is NULL Error!");
        if (consumed != nullptr)
            *consumed = 0;
        return 0;
    }
    const char* p = *cursor;
    uint32_t count = 0;
    for (; *p == ' '; ++p)
        ++count;
    size_t kept = 0;
    for (; *p != '\0' && *p != ' ' && !(p[0] == '\r' && p[1] == '\n'); ++p, ++count) {
        if (kept < QUOR_TOKEN_SIZE - 1)
            token[kept++] = *p;
    }
    for (; *p == ' '; ++p)
        ++count;
    *cursor = p;
    if (consumed != nullptr)
        *consumed = count;
    return 1;
}

std::string HexToStr(const char* text)
{
    std::string bytes;
    if (text == nullptr)
        return bytes;
    const size_t length = strnlen(text, kHexTextMax);
    size_t at = 0;
    while (at < length) {
        if (text[at] == ' ') {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < length && text[end] != ' ')
            ++end;
        bytes.push_back((char)ParseHexPiece(text + at, end - at));
        at = end;
    }
    return bytes;
}

namespace {

// ---- Handler context -----------------------------------------------------------------

struct T_McuRspEntry;

struct T_McuRspContext {
    CQuorVelmarManageTask& task;
    const T_McuRspEntry& entry;
    const char* cursor;   // the text behind the keyword (the whole line for RESET)
    const char* line;     // the whole line
    bool inStartFlow;     // the answer moved the start flow on
    bool forward;         // still to be forwarded to the TCP clients

    // The next token behind the cursor; false when none can be taken.
    bool Next(char (&token)[QUOR_TOKEN_SIZE])
    {
        uint32_t consumed = 0;
        return PareCommandString(&cursor, token, &consumed) == 1;
    }
};

typedef int (*McuRspHandler)(T_McuRspContext& c);

struct T_McuRspEntry {
    const char* keyword;
    const char* handlerName;  // for the entry log line
    McuRspHandler handler;
    uint8_t nextState;        // start-flow state after this answer (0: none)
    const char* nextQuery;    // and the query sent then
    const char* fieldName;    // log name of the field a generic handler stores
    bool wholeLine;           // the handler gets the whole line
};

// Stores value into a field of the own record and logs what was stored.
template <size_t N>
void StoreField(char (T_QuorModulInfo::*field)[N], const char* name, const char* value)
{
    g_ModulInfolist.SetOwnField(field, value);
    char stored[N];
    if (g_ModulInfolist.GetOwnField(field, stored))
        LightLogExt(10000, 0, kSrc, __LINE__, "g_ModulInfolist %s is <%s>", name, stored);
}

int RunSync()
{
    const char command[] = "sync";
    if (!RunLoggedCommand(kSrc, command))
        return -2;
    LightLogExt(20000, 0, kSrc, __LINE__, "pox_system <%s> OK.", command);
    return 0;
}

int SendLineToTcpClients(CQuorVelmarManageTask& task, const char* line)
{
    char text[QUOR_STRING_MSG_TEXT_SIZE];
    snprintf(text, sizeof(text), "%s%s", line, "\r\n");
    return task.SendTcpBuf(text, QUOR_STRING_MODE_ALL_CLIENTS, 0);
}

// ---- Generic handlers -------------------------------------------------------------------

// The value is the Index-th token (0: the first) behind the keyword.
template <auto Field, int Index>
int StoreToken(T_McuRspContext& c)
{
    char token[QUOR_TOKEN_SIZE];
    for (int i = 0; i <= Index; ++i)
        c.Next(token);
    StoreField(Field, c.entry.fieldName, token);
    return 0;
}

// The same, for values the daemon keeps to itself.
template <auto Field>
int StoreTokenConsumed(T_McuRspContext& c)
{
    c.forward = false;
    return StoreToken<Field, 0>(c);
}

// An address the daemon keeps to itself, in canonical form when it is a
// dotted address.
template <auto Field>
int StoreAddressConsumed(T_McuRspContext& c)
{
    c.forward = false;
    char token[QUOR_TOKEN_SIZE];
    c.Next(token);
    CanonicalIPV4Addr(token, sizeof(token));
    StoreField(Field, c.entry.fieldName, token);
    return 0;
}

// The rest of the line, leading spaces removed, first 31 characters.
template <auto Field>
int StoreRestOfLine(T_McuRspContext& c)
{
    StoreField(Field, c.entry.fieldName, c.cursor);
    return 0;
}

// Two tokens behind the keyword, each logged under its label; the one of
// Index (0 or 1) is stored.
template <auto Field, const char* const (&Labels)[2], int Index>
int StoreOneOfTwo(T_McuRspContext& c)
{
    char tokens[2][QUOR_TOKEN_SIZE];
    c.Next(tokens[0]);
    c.Next(tokens[1]);
    for (int i = 0; i < 2; ++i)
        LightLogExt(10000, 0, kSrc, __LINE__, "%s <%s>", Labels[i], tokens[i]);
    StoreField(Field, c.entry.fieldName, tokens[Index]);
    return 0;
}

const char* const kVideoLabels[2] = {"input vidio is", "output vidio is"};
const char* const kEdidLabels[2] = {" EDID Query cPrmTwo is", "EDID Query cPrmThree is"};

int Ignore(T_McuRspContext& c)
{
    c.forward = false;
    return 0;
}

// ---- Handlers ------------------------------------------------------------------------------

int RspOrder(T_McuRspContext& c)
{
    char value[QUOR_TOKEN_SIZE];
    if (!c.Next(value)) {
        LightLogExt(20000, 0, kSrc, __LINE__, "error!");
        return -2;
    }
    if (!c.inStartFlow)
        LightLogExt(20000, 0, kSrc, __LINE__, "flag is false");
    StoreField(&T_QuorModulInfo::SequenceNumber, "SequenceNumber", value);
    return 0;
}

int RspSubgroup(T_McuRspContext& c)
{
    char first[QUOR_TOKEN_SIZE], second[QUOR_TOKEN_SIZE];
    c.Next(first);
    c.Next(second);
    StoreField(&T_QuorModulInfo::Group, "Group", second[0] != '\0' ? second : first);
    return 0;
}

int RspAlias(T_McuRspContext& c)
{
    char name[QUOR_TOKEN_SIZE];
    c.Next(name);
    StoreField(&T_QuorModulInfo::cAlias, "cAlias", name);
    CServerProperty::GetInstance()->SetDevAlias(name);
    return RunSync();
}

// Sleeps of the factory reset, through the task's pause.
void FactoryResetSleep(unsigned int seconds)
{
    CQuorVelmarManageTask::Pause(seconds * 1000u);
}

int RspReset(T_McuRspContext& c)
{
    static const char* const kResetPrefs[][2] = {
        {"RS232PWROn", "0"},         {"RS232PWROff", "0"},       {"RS232Hexadecimal", "0"},
        {"RS232Support", "1"},       {"RS232DelayCtrltime", "0"}, {"RS232Hexadecimal", "0"},
        {"RS232cmdstring", "0"},     {"sequenceMaxnumber", "1"}};
    SendLineToTcpClients(c.task, c.line);
    for (const auto& pref : kResetPrefs)
        CQuorVelmarPref::SetPWRSavePrefVal(pref[0], "char", pref[1]);
    if (RebootFactory(FactoryResetSleep) == 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######RebootFactory is fail!");
        return -2;
    }
    return 0;
}

// "1" for a value beginning with ON, "0" for one beginning with offWord,
// null for anything else (all ignoring case).
const char* OnOffValue(const char* value, const char* offWord)
{
    if (StartsWithNoCase(value, "ON"))
        return "1";
    if (StartsWithNoCase(value, offWord))
        return "0";
    return nullptr;
}

int RspHdcpSupport(T_McuRspContext& c)
{
    char port[QUOR_TOKEN_SIZE], value[QUOR_TOKEN_SIZE];
    const char* rest = c.cursor;
    c.Next(port);
    c.Next(value);
    const bool hdmi = StartsWithNoCase(port, "hdmi");
    if (!hdmi && !StartsWithNoCase(port, "dp")) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######HdcpSuppert is <%s> Error.", rest);
        return -2;
    }
    // The next query goes out before the value is looked at.
    if (hdmi ? c.task.AdvanceStartFlow(8, "GET HDCPSUPPORT_ONOFF dp\r\n") : c.task.AdvanceStartFlow(9, "GET VER\r\n"))
        c.forward = false;
    const char* stored = OnOffValue(value, hdmi ? "OF" : "OFF");
    if (stored == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Hdmi_HdcpSuppert is Error.");
        return -2;
    }
    if (hdmi)
        StoreField(&T_QuorModulInfo::HdcpHDMISuppert, "Hdcp HDMI Suppert", stored);
    else
        StoreField(&T_QuorModulInfo::HdcpDPSuppert, "Hdcp DP Suppert", stored);
    return 0;
}

int RspCecSupport(T_McuRspContext& c)
{
    char port[QUOR_TOKEN_SIZE], value[QUOR_TOKEN_SIZE];
    c.Next(port);
    c.Next(value);
    const char* stored = OnOffValue(value, "OF");
    if (stored == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######CECSuppert is Error.");
        return -2;
    }
    StoreField(&T_QuorModulInfo::CECSuppert, "CECSuppert", stored);
    return 0;
}

int RspEdidLearn(T_McuRspContext& c)
{
    char port[QUOR_TOKEN_SIZE];
    c.Next(port);
    LightLogExt(20000, 0, kSrc, __LINE__, "EDID <%s> Lean Rsp.", port);
    const std::string hexText(c.cursor, strnlen(c.cursor, kEdidTextMax));
    const std::string bytes = HexToStr(hexText.c_str());
    char path[512];
    snprintf(path, sizeof(path), "%s/%s", "/www/tmp", "edid.bin");
    int written = CQuorVelmarMGProcess::StringToFile(bytes.data(), bytes.size(), path);
    LightLogExt(20000, 0, kSrc, __LINE__, "StringToFile cPath is <%s>, content len is <%d>, content is <%s>.", path,
                written, hexText.c_str());
    if (written != (int)bytes.size()) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######StringToFile <%s> fail!", path);
        return -2;
    }
    if (RunSync() != 0)
        return -2;
    g_b8LearnEDIDOK.store(true);
    return 0;
}

int RspAutoSwitch(T_McuRspContext& c)
{
    char value[QUOR_TOKEN_SIZE];
    c.Next(value);
    LightLogExt(20000, 0, kSrc, __LINE__, "Showme Auto Switch Function is <%s>", value);
    StoreField(&T_QuorModulInfo::AutoSW, "AutoSW", value);
    return 0;
}

// The network settings the MCU reports are applied as a static address,
// followed by "configip", "sync" and "reboot" at the end of this pass.
// Settings the checks refuse change nothing: no gateway stored, no mode
// switched, no "configip".
int RspSdxGateway(T_McuRspContext& c)
{
    c.forward = false;
    char gateway[QUOR_TOKEN_SIZE];
    c.Next(gateway);

    T_QuorModulInfo record;
    g_ModulInfolist.CopyOwn(&record);
    // A text longer than 15 characters leaves the request empty: refused below.
    T_QuorEtherNetInfoSetReq req;
    FillEtherNetInfoSetReq(&req, record.Ip, record.Netmask, gateway);
    LightLogExt(20000, 0, kSrc, __LINE__, "%s\n%s\n%s", req.IPAddr, req.SubMask, req.Gateway);
    if (CheckIPInfoValidity(&req) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######SDXGATEWAY <%s> refused, the network settings are kept.",
                    gateway);
        return -2;
    }
    StoreField(&T_QuorModulInfo::Gateway, "Gateway", req.Gateway);
    CQuorVelmarMGProcess::DHCPToStatic();
    if (CQuorVelmarMGProcess::ProcessNetInfoSetReq(&req) != 0)
        LightLogExt(20000, 0, kSrc, __LINE__, "fail to set ip");
    g_b8DoConfigip.store(true);
    return 0;
}

int RspUartPower(T_McuRspContext& c)
{
    c.forward = false;
    char port[QUOR_TOKEN_SIZE], value[QUOR_TOKEN_SIZE];
    c.Next(port);
    c.Next(value);
    LightLogExt(20000, 0, kSrc, __LINE__, "UARTPWRONOFF Req cPrmTwo is <%s>,  cPrmThree is <%s>.", port, value);
    c.task.SendRs232PwrCmd(StartsWithNoCase(value, "ON"));
    return 0;
}

int RspLedFlicker(T_McuRspContext& c)
{
    char value[QUOR_TOKEN_SIZE];
    c.Next(value);
    LightLogExt(10000, 0, kSrc, __LINE__, "PareCommandString Parameter Two is <%s>", value);
    OSMutexLocker locker(&g_mtLedFlicker);
    g_LedFilckerStatus.store(StartsWithNoCase(value, "on") ? 0 : 1);
    return 0;
}

// Takes the second token (the first is the port); logs "error!" when none.
bool NextValueAfterPort(T_McuRspContext& c, char (&value)[QUOR_TOKEN_SIZE])
{
    char port[QUOR_TOKEN_SIZE];
    if (!c.Next(port) || !c.Next(value)) {
        LightLogExt(20000, 0, kSrc, __LINE__, "error!");
        return false;
    }
    return true;
}

int RspUartAuto(T_McuRspContext& c)
{
    char value[QUOR_TOKEN_SIZE];
    if (!NextValueAfterPort(c, value))
        return -2;
    // Any beginning of "on", the empty one too, means on.
    const char* support = strncasecmp(value, "on", strlen(value)) == 0 && strlen(value) <= 2 ? "1" : "0";
    // The value in memory follows the store (SaveRs232Support keeps it there).
    if (CQuorVelmarMGProcess::SaveRs232Support(support) != 0)
        return -2;
    pox_system("sync");
    return 0;
}

int RspUartPowerDelay(T_McuRspContext& c)
{
    if (c.task.FinishStartFlow())
        c.forward = false;
    char delay[QUOR_TOKEN_SIZE];
    if (!NextValueAfterPort(c, delay))
        return -2;
    if (CQuorVelmarMGProcess::SaveRs232DelayTime(delay) != 0)
        return -2;
    pox_system("sync");
    return 0;
}

// ---- The keyword table, in dispatch order ----------------------------------------------------
//
// Matching is by prefix: EDID_R must stay before EDID, and any first word
// that begins with RESET (RESET_EDID too) runs the factory reset.

const T_McuRspEntry kMcuRspTable[] = {
    {"ORDER", "ProcessRspOrder", RspOrder, 2, "GET SUBGROUP\r\n", nullptr, false},
    {"SUBGROUP", "ProcessUartRspSubgroup", RspSubgroup, 3, "GET RING_MARKER\r\n", nullptr, false},
    {"RING_MARKER", "ProcessUartRspRingMarker", StoreToken<&T_QuorModulInfo::cLoopLink, 0>, 4, "GET SHOWME\r\n",
     "cLoopLink", false},
    {"SHOWME", "ProcessUartRspShowMe", StoreToken<&T_QuorModulInfo::cShowMe, 0>, 5, "GET MP all\r\n", "cShowMe",
     false},
    {"MP", "ProcessUartRspMp", StoreOneOfTwo<&T_QuorModulInfo::cViSelect, kVideoLabels, 0>, 6, "GET EDID all\r\n",
     "cViSelect", false},
    {"ALIAS", "ProcessUartRspAlias", RspAlias, 0, nullptr, nullptr, false},
    {"SW", "ProcessUartRspSw", StoreOneOfTwo<&T_QuorModulInfo::cViSelect, kVideoLabels, 0>, 0, nullptr, "cViSelect",
     false},
    {"RESET", "ProcessUartRspReset", RspReset, 0, nullptr, nullptr, true},
    {"HDCPSUPPORT_ONOFF", "ProcessUartRspHdcpSupport", RspHdcpSupport, 0, nullptr, nullptr, false},
    {"HDCP_IN", "ProcessUartRspHdcpIn", StoreRestOfLine<&T_QuorModulInfo::HdcpInStatus>, 0, nullptr,
     "HdcpInStatus", false},
    {"HDCP_OUT", "ProcessUartRspHdcpOut", StoreRestOfLine<&T_QuorModulInfo::HdcpOutStatus>, 0, nullptr,
     "HdcpOutStatus", false},
    {"CECAUTO_ONOFF", "ProcessUartRspCecAuto", RspCecSupport, 11, "GET CECAUTO_DELAY hdmi\r\n", nullptr, false},
    {"CECAUTO_DELAY", "ProcessUartRspCecDelay", StoreToken<&T_QuorModulInfo::CECDelay, 1>, 12,
     "GET LEDFLICKER\r\n", "CECDelay", false},
    {"VER", "ProcessUartRspVer", StoreToken<&T_QuorModulInfo::McuVersion, 1>, 10, "GET CECAUTO_ONOFF hdmi\r\n",
     "McuVersion", false},
    {"EDID_R", "ProcessUartRspEdidLearn", RspEdidLearn, 0, nullptr, nullptr, false},
    {"EDID", "ProcessUartRspEdid", StoreOneOfTwo<&T_QuorModulInfo::EDIDQueyReq, kEdidLabels, 1>, 7,
     "GET HDCPSUPPORT_ONOFF hdmi\r\n", "EDIDQueyReq", false},
    {"AUTOSW_ONOFF", "ProcessUartRspAutoSw", RspAutoSwitch, 15, "GET UARTAUTO_ONOFF hdmi\r\n", nullptr, false},
    {"SDXBIP", "ProcessUartRspSdxBip", StoreAddressConsumed<&T_QuorModulInfo::Ip>, 0, nullptr, "Ip", false},
    {"SDXMASK", "ProcessUartRspSdxMask", StoreAddressConsumed<&T_QuorModulInfo::Netmask>, 0, nullptr, "Netmask",
     false},
    {"SDXGATEWAY", "ProcessUartRspSdxGateway", RspSdxGateway, 0, nullptr, nullptr, false},
    {"UARTPWR_ONOFF", "ProcessUartRspUartPwr", RspUartPower, 0, nullptr, nullptr, false},
    {"LEDFLICKER", "ProcessUartRspLedFlicker", RspLedFlicker, 13, "GET AUTOSW_ONOFF\r\n", nullptr, false},
    {"uartauto_onoff", "ProcessUartRspUartAuto", RspUartAuto, 16, "GET UARTPWR_DELAY hdmi\r\n", nullptr, false},
    {"uartpwr_delay", "ProcessUartRspUartPwrDelay", RspUartPowerDelay, 0, nullptr, nullptr, false},
    {"SDXMACADDR", "ProcessUartRspSdxMacAddr", Ignore, 0, nullptr, nullptr, false},
};

const T_McuRspEntry* FindMcuRspEntry(const char* keyword)
{
    for (const T_McuRspEntry& entry : kMcuRspTable) {
        if (StartsWithNoCase(keyword, entry.keyword))
            return &entry;
    }
    return nullptr;
}

void LogUnsupported(const char* line)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "unsupport: %s", line);
    print_mem(20000, line, (uint32_t)strlen(line));
}

}  // namespace

// ---- Dispatch -----------------------------------------------------------------------------------

int CQuorVelmarManageTask::ProcessUartMsg(const T_QuorStringMsg& message)
{
    ProcessUartCMDListParameter(message.cMsg);
    return 0;
}

int CQuorVelmarManageTask::ProcessUartCMDListParameter(const char* line)
{
    const char* cursor = line;
    char keyword[QUOR_TOKEN_SIZE];
    uint32_t consumed = 0;
    if (PareCommandString(&cursor, keyword, &consumed) != 1)
        return -2;
    LightLogExt(10000, 0, kSrc, __LINE__, "PareCommandString Parameter One is <%s>", keyword);

    const T_McuRspEntry* entry = FindMcuRspEntry(keyword);
    if (entry == nullptr) {
        LogUnsupported(line);
        SendLineToTcpClients(*this, line);
        return 0;
    }
    T_McuRspContext context{*this, *entry, entry->wholeLine ? line : cursor, line, false, true};
    LightLogExt(20000, 0, kSrc, __LINE__, "In %s Fun, Msg is <%s>", entry->handlerName, context.cursor);
    if (entry->nextState != 0 && AdvanceStartFlow(entry->nextState, entry->nextQuery)) {
        context.inStartFlow = true;
        context.forward = false;
    }
    entry->handler(context);
    if (context.forward)
        SendLineToTcpClients(*this, line);
    return 0;
}
