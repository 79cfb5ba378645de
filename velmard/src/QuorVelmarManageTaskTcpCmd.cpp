// The command set of the TCP command port. The first word of a line picks the
// set list or the get list, the second word a handler of the list (a word
// matches a keyword it begins with, ignoring case; the first match in table
// order wins). Lines the daemon does not handle itself go to the MCU
// unchanged, with their byte count, so binary EDID data passes as it came;
// the MCU's answers reach the clients through the MCU answer handling.
// Replies go to the client that sent the line only, and end with CR LF.
//
// The display RS-232 commands are in QuorVelmarManageTaskRs232.cpp.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LightLog.h"
#include "OSMutex.h"
#include "QuorVelmarFunction.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarMongooseTask.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarTcpCmdLine.h"
#include "QuorVelmarUartTwoTask.h"
#include "serverproperty.h"

namespace {

const char kSrc[] = "src/QuorVelmarManageTask";
const char kCrLf[] = "\r\n";

typedef CQuorVelmarTcpCmdLine CmdLine;
typedef int (*TcpCmdHandler)(CQuorVelmarManageTask& task, CmdLine& line);

struct T_TcpCmdEntry {
    const char* keyword;
    TcpCmdHandler handler;
};

// ---- Shared steps ------------------------------------------------------------------

int PassToMcu(CQuorVelmarManageTask& task, const CmdLine& line)
{
    task.SendUartBuf(line.ByteCount(), line.Text());
    return 0;
}

// Formats one line for the MCU (cut at 511 characters) and sends it.
int SendMcuLine(CQuorVelmarManageTask& task, const char* format, ...) __attribute__((format(printf, 2, 3)));
int SendMcuLine(CQuorVelmarManageTask& task, const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (length < 0)
        return -2;
    return task.SendUartBuf((uint32_t)strnlen(text, sizeof(text)), text);
}

bool RunSync()
{
    if (!RunLoggedCommand(kSrc, "sync"))
        return false;
    LightLogExt(20000, 0, kSrc, __LINE__, "pox_system <%s> OK.", "sync");
    return true;
}

// ---- SHOWME, SUBGROUP ---------------------------------------------------------------

int SetShowMe(CQuorVelmarManageTask& task, CmdLine& line)
{
    LightLogExt(10000, 0, kSrc, __LINE__, "PareCommandString Parameter Tree is <%s>", line.Word(3));
    return PassToMcu(task, line);
}

// The sign notice goes to the peers twice, 50 ms apart; the MCU then hears
// the change for this module itself.
int SetSubgroup(CQuorVelmarManageTask& task, CmdLine& line)
{
    if (!CmdLine::Matches(line.Word(3), "all"))
        return PassToMcu(task, line);
    line.Reply(task, "%s %s %s%s", line.Word(2), line.Word(3), line.Word(4), kCrLf);

    T_QuorDeviceGroupSignNotifyReq notice;
    memset(&notice, 0, sizeof(notice));
    notice.tHeader = QuorFreshMsgHeader(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ);
    notice.u16DeviceType = 1;
    notice.u16DeviceGroupSignCmd = CmdLine::Matches(line.Word(4), "on") ? QUOR_GROUP_SIGN_JOIN : QUOR_GROUP_SIGN_LEAVE;
    task.DoBroadCastMsgReq(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, &notice);
    CQuorVelmarManageTask::Pause(50);
    task.DoBroadCastMsgReq(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, &notice);

    SendMcuLine(task, "%s %s %s %s%s", line.Word(1), line.Word(2), "self", line.Word(4), kCrLf);
    return 0;
}

// ---- IPADDRESS -----------------------------------------------------------------------

// The address, netmask and gateway of a static change are the 5th, 7th and
// 9th words (their labels are not looked at). They end up on the "setip"
// command line, so they are checked in full before any command runs.
bool TakeStaticRequest(CmdLine& line, T_QuorEtherNetInfoSetReq* req)
{
    return FillEtherNetInfoSetReq(req, line.Word(5), line.Word(7), line.Word(9)) == 0 && CheckIPInfoValidity(req) == 0;
}

int RefuseStaticRequest(CQuorVelmarManageTask& task, CmdLine& line)
{
    line.Reply(task, "Set IPAddr Error %s", kCrLf);
    LightLogExt(40000, 0, kSrc, __LINE__, "######Set IP is Fail.");
    return 0;
}

void TellMcuStaticAddress(CQuorVelmarManageTask& task, const T_QuorEtherNetInfoSetReq& req)
{
    const char* const lines[][2] = {
        {"SET SDXBIP", req.IPAddr}, {"set sdxmask", req.SubMask}, {"set sdxgateway", req.Gateway}};
    for (const auto& item : lines) {
        SendMcuLine(task, "%s %s%s", item[0], item[1], kCrLf);
        CQuorVelmarManageTask::Pause(500);
    }
}

void StoreStaticAddress(const T_QuorEtherNetInfoSetReq& req)
{
    g_ModulInfolist.UpdateOwn([&req](T_QuorModulInfo& record) {
        QuorCopyField(record.Ip, req.IPAddr);
        QuorCopyField(record.IpMod, "static");
        QuorCopyField(record.Netmask, req.SubMask);
        QuorCopyField(record.Gateway, req.Gateway);
    });
}

void LogOwnAddress()
{
    T_QuorModulInfo record;
    g_ModulInfolist.CopyOwn(&record);
    LightLogExt(10000, 0, kSrc, __LINE__,
                "g_ModulInfolist Ip is <%s>, IpMod is <%s>, Netmask is <%s>, Gateway is <%s>.", record.Ip,
                record.IpMod, record.Netmask, record.Gateway);
}

// Ends with "configip", "sync" and "reboot" after this pass (g_b8DoConfigip).
int SetStaticAddress(CQuorVelmarManageTask& task, CmdLine& line)
{
    T_QuorEtherNetInfoSetReq req;
    if (!TakeStaticRequest(line, &req))
        return RefuseStaticRequest(task, line);
    // The same switch as the web's: files, mode and "sync" under the
    // settings lock.
    if (CQuorVelmarMGProcess::DHCPToStatic() != 1) {
        line.Reply(task, "Set IpAddr Error %s", kCrLf);
        return -2;
    }
    if (CQuorVelmarMGProcess::ProcessNetInfoSetReq(&req) != 0)
        return RefuseStaticRequest(task, line);
    TellMcuStaticAddress(task, req);
    StoreStaticAddress(req);
    CQuorVelmarManageTask::Pause(1000);
    if (!RunSync())
        return -2;
    LogOwnAddress();
    // The line without its "SET": it begins with a blank and keeps its CR LF.
    line.Reply(task, "%s%s", line.TextFrom(3), kCrLf);
    LightLogExt(20000, 0, kSrc, __LINE__, "Set IP is OK.");
    g_b8DoConfigip.store(true);
    return 0;
}

// Ends with a reboot about five seconds later (g_b8RebootFlag).
int SetDhcpAddress(CQuorVelmarManageTask& task, CmdLine& line)
{
    if (CQuorVelmarMGProcess::StaticToDHCP() != 1)
        return 0;
    line.Reply(task, "%s%s", line.TextFrom(3), kCrLf);
    g_b8RebootFlag.store(true);
    return 0;
}

void LogBadSetLine(const CmdLine& line)
{
    LightLogExt(40000, 0, kSrc, __LINE__,
                "######In ProcessTcpCMDListSetParameter fun,i_tMsg len is <%d>, i_tMsg content is <%s> Error.",
                (int)line.Message().u16Length, line.Text());
}

int SetIpAddress(CQuorVelmarManageTask& task, CmdLine& line)
{
    const char* mode = line.Word(3);
    if (CmdLine::Matches(mode, "static"))
        return SetStaticAddress(task, line);
    if (CmdLine::Matches(mode, "dhcp"))
        return SetDhcpAddress(task, line);
    LogBadSetLine(line);
    return -2;
}

// ---- UARTPWR_DELAY --------------------------------------------------------------------

int SetUartPowerDelay(CQuorVelmarManageTask& task, CmdLine& line)
{
    const char* port = line.Word(3);
    const char* delay = line.Word(4);
    if (CQuorVelmarMGProcess::SaveRs232DelayTime(delay) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######RS232 Rs232DelayCtrltime <%s> not stored.", delay);
        return -2;
    }
    SendMcuLine(task, "%s %s %s%s", "SET UARTPWR_DELAY", port, delay, kCrLf);
    return 0;
}

// ---- Settings of the display line -----------------------------------------------------

struct T_UartSetting {
    const char* logName;     // the setting's name in the log lines
    const char* errorTail;   // the end of the refusal's log line
    const char* prefName;
    char* member;            // in-memory copy, CQuorVelmarPref::kShortTextSize bytes
    bool (*accepts)(const char* value);
};

long DecimalValue(const char* value)
{
    return strtol(value, nullptr, 10);
}

bool AcceptsSpeed(const char* value)
{
    static const long kSpeeds[] = {300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    const long speed = DecimalValue(value);
    for (long accepted : kSpeeds) {
        if (speed == accepted)
            return true;
    }
    return false;
}

bool AcceptsDataBits(const char* value)
{
    const long bits = DecimalValue(value);
    return bits == 7 || bits == 8;
}

bool AcceptsStopBits(const char* value)
{
    const long bits = DecimalValue(value);
    return bits == 1 || bits == 2;
}

bool AcceptsParity(const char* value)
{
    return value[0] != '\0' && strchr("ENOeno", value[0]) != nullptr;
}

const T_UartSetting kSpeedSetting = {"Rs232Speed", " Error.", "RS232Speed", CQuorVelmarPref::s_cQuor_RS232Speed,
                                     AcceptsSpeed};
const T_UartSetting kDataBitSetting = {"Rs232DataBit", " Error should be 7 or 8.", "RS232DataBit",
                                       CQuorVelmarPref::s_cQuor_RS232DataBit, AcceptsDataBits};
const T_UartSetting kStopBitSetting = {"cRs232StopBit", " Error should be 1 or 2.", "RS232Stop",
                                       CQuorVelmarPref::s_cQuor_RS232StopBit, AcceptsStopBits};
const T_UartSetting kParitySetting = {"cRs232ParityBit", " Error.", "RS232ParityBit",
                                      CQuorVelmarPref::s_cQuor_RS232ParityBit, AcceptsParity};

// Stores the value and applies the stored settings to the display line, with
// the line's lock held across both, so that changes from other threads never
// mix. A value the preferences refuse changes nothing: -2. A line that does
// not take the settings keeps the stored value for the next start (logged).
int StoreAndApplyUartSetting(const T_UartSetting& setting, const char* value)
{
    CQuorVelmarUartTwoTask* uart = g_pVelmarUartTwoTask;
    OSMutexLocker locker(uart != nullptr ? &uart->GetLineMutex() : nullptr);
    if (CQuorVelmarPref::SetPWRSavePrefVal(setting.prefName, "char", value) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######RS232 %s <%s> not stored.", setting.logName, value);
        return -2;
    }
    CQuorVelmarPref::StoreText(setting.member, CQuorVelmarPref::kShortTextSize, value);
    if (uart == nullptr || uart->SetUartOptFromPrefs() != 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "######RS232 %s <%s> stored, but the line keeps its settings.",
                    setting.logName, value);
    return 0;
}

int SetUartSetting(CQuorVelmarManageTask& task, CmdLine& line, const T_UartSetting& setting)
{
    const char* value = line.Word(3);
    LightLogExt(20000, 0, kSrc, __LINE__, "Send RS232 %s <%s>.", setting.logName, value);
    if (!setting.accepts(value)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######RS232 %s <%s>%s", setting.logName, value, setting.errorTail);
        return -2;
    }
    if (StoreAndApplyUartSetting(setting, value) != 0)
        return -2;
    line.Reply(task, "%s %s%s", line.Word(2), value, kCrLf);
    return 0;
}

template <const T_UartSetting& Setting>
int SetUart(CQuorVelmarManageTask& task, CmdLine& line)
{
    return SetUartSetting(task, line, Setting);
}

// ---- Display RS-232 commands ------------------------------------------------------------

template <int (CQuorVelmarManageTask::*Handler)(const T_QuorStringMsg&)>
int Rs232(CQuorVelmarManageTask& task, CmdLine& line)
{
    return (task.*Handler)(line.Message());
}

// ---- Dispatch --------------------------------------------------------------------------

const T_TcpCmdEntry kSetList[] = {
    {"SHOWME", SetShowMe},
    {"SUBGROUP", SetSubgroup},
    {"IPADDRESS", SetIpAddress},
    {"UARTCMD_STREDIT", Rs232<&CQuorVelmarManageTask::ProcessTCPSetReqRs232PwrCmdString>},
    {"UARTCMD_HEXEDIT", Rs232<&CQuorVelmarManageTask::ProcessTCPSetReqRs232PwrCmdHex>},
    {"UARTPWR_DELAY", SetUartPowerDelay},
    {"UARTPWR_ONOFF", Rs232<&CQuorVelmarManageTask::ProcessTCPSetReqSendRs232PwrCmd>},
    {"UARTBAUDRATE", SetUart<kSpeedSetting>},
    {"UARTDATABIT", SetUart<kDataBitSetting>},
    {"UARTSTOPBIT", SetUart<kStopBitSetting>},
    {"UARTPARITY", SetUart<kParitySetting>},
    {"UARTENDCHAR", Rs232<&CQuorVelmarManageTask::ProcessTCPSetReqUartEndFlg>},
    {"TELNETPT", Rs232<&CQuorVelmarManageTask::ProcessTCPSetReqUartPassthrough>},
};

// A set line without a handler: dropped when its second word holds "dbg"
// (any case), else handed to the MCU.
int SetOther(CQuorVelmarManageTask& task, CmdLine& line)
{
    char lower[QUOR_TOKEN_SIZE];
    const char* word = line.Word(2);
    size_t i = 0;
    for (; word[i] != '\0' && i < sizeof(lower) - 1; ++i)
        lower[i] = (char)tolower((unsigned char)word[i]);
    lower[i] = '\0';
    if (strstr(lower, "dbg") != nullptr) {
        LightLogExt(20000, 0, kSrc, __LINE__, "drop msg <%s>", line.Text());
        return 0;
    }
    return PassToMcu(task, line);
}

int ReplyIpConfig(CQuorVelmarManageTask& task, CmdLine& line)
{
    T_QuorModulInfo record;
    g_ModulInfolist.CopyOwn(&record);
    if (CmdLine::Matches(record.IpMod, "dhcp"))
        return line.Reply(task, "%s %s%s", "IPADDRESS", "dhcp", kCrLf);
    return line.Reply(task, "%s %s %s %s %s %s %s %s%s", "IPADDRESS", "static", "ip4addr", record.Ip, "netmask",
                      record.Netmask, "gateway", record.Gateway, kCrLf);
}

typedef int (CQuorVelmarManageTask::*TcpListHandler)(const T_QuorStringMsg&);

struct T_TcpListEntry {
    const char* keyword;
    TcpListHandler list;
};

const T_TcpListEntry kTcpLists[] = {
    {"SET", &CQuorVelmarManageTask::ProcessTcpCMDListSetParameter},
    {"GET", &CQuorVelmarManageTask::ProcessTcpCMDListGetParameter},
    {"REBOOT", &CQuorVelmarManageTask::ProcessTcpCMDListGetParameter},
    {"RESET", &CQuorVelmarManageTask::ProcessTcpCMDListGetParameter},
};

}  // namespace

bool CQuorVelmarManageTask::IsMcuBoundTcpLine(const T_QuorStringMsg& message)
{
    CmdLine line(message);
    const char* first = line.Word(1);
    for (const T_TcpListEntry& entry : kTcpLists) {
        if (!CmdLine::Matches(first, entry.keyword))
            continue;
        // The get list answers only IPADDRESS itself.
        return entry.list != &CQuorVelmarManageTask::ProcessTcpCMDListGetParameter ||
               !CmdLine::Matches(line.Word(2), "IPADDRESS");
    }
    return false;
}

int CQuorVelmarManageTask::ProcessTcpMsg(const T_QuorStringMsg& message)
{
    CmdLine line(message);
    const char* first = line.Word(1);
    for (const T_TcpListEntry& entry : kTcpLists) {
        if (CmdLine::Matches(first, entry.keyword)) {
            (this->*entry.list)(message);
            return 0;
        }
    }
    // A client streaming bad lines cannot wipe the log ring: the log limits
    // the lines of each place (LightLog.h).
    LightLogExt(40000, 0, kSrc, __LINE__, "######PareCommandString Parameter One is <%s> Error!", first);
    return -2;
}

int CQuorVelmarManageTask::ProcessTcpCMDListSetParameter(const T_QuorStringMsg& message)
{
    LightLogExt(20000, 0, kSrc, __LINE__,
                "In ProcessTcpCMDListSetParameter fun,i_tMsg len is <%d>, i_tMsg content is <%s>.",
                (int)message.u16Length, message.cMsg);
    CmdLine line(message);
    const char* keyword = line.Word(2);
    for (const T_TcpCmdEntry& entry : kSetList) {
        if (CmdLine::Matches(keyword, entry.keyword))
            return entry.handler(*this, line);
    }
    return SetOther(*this, line);
}

int CQuorVelmarManageTask::ProcessTcpCMDListGetParameter(const T_QuorStringMsg& message)
{
    LightLogExt(20000, 0, kSrc, __LINE__, "In ProcessTcpCMDListGetParameter Msg is <%s>, Len is <%d>.", message.cMsg,
                (int)message.u16Length);
    CmdLine line(message);
    if (CmdLine::Matches(line.Word(2), "IPADDRESS"))
        return ReplyIpConfig(*this, line);
    return PassToMcu(*this, line);
}
