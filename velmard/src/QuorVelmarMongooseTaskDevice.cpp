// The action API's families "deviceconfig" and "devicecontrol": the
// endpoint's alias, sequence number, sub-group, HDCP, CEC, EDID, automatic
// switching and RS-232 settings, and control of the display and the LED.
// See QuorVelmarMongooseTask.h.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "LightLog.h"
#include "OSMutex.h"
#include "QuorVelmarMGActionSupport.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarModulInfoList.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarUartTwoTask.h"
#include "serverproperty.h"

using namespace quor_web;

namespace {

const char kSrc[] = "src/QuorVelmarMongooseTask";

// The end bytes of end-flag codes 0 to 3.
const char* const kEndBytes[] = {"", "\r", "\n", "\r\n"};

// A decimal request value; -1 when it is not one.
long DecimalValue(const char* text)
{
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    return end == text && *text != '\0' ? -1 : value;
}

// "ON" when the value reads as the number 1, else "OFF".
const char* OnOffOfNumber(const char* value)
{
    return atoi(value) == 1 ? "ON" : "OFF";
}

// One value of the own record as a JSON reply of one item.
template <size_t N>
void ReplyOwnField(CQuorVelmarHttpConn& conn, uint16_t& replySent, const char* logFormat, const char* pattern,
                   char (T_QuorModulInfo::*field)[N])
{
    char value[N];
    g_ModulInfolist.GetOwnField(field, value);
    ReplyJson(conn, replySent, logFormat, QuorJsonFormat(pattern, {value}));
}

// ---- deviceconfig: alias, sequence number, sub-group ----------------------------------

void SetDeviceInfo(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char alias[kVarSize];
    if (!ReadVars(conn, {Var("alias", alias)}))
        return;
    // The property file first: a value it refuses (a line break) leaves the
    // record alone too. The record's field keeps at most 127 characters; the
    // property file the whole text.
    if (CServerProperty::GetInstance()->SetDevAlias(alias) != 1) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Set alias <%.200s> refused by the property file.", alias);
        conn.SendStatus(400);
        return;
    }
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::cAlias, alias);
    if (RunSync())
        conn.SendStatus(200);
}

void SequenceNumberArrange(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char value[kVarSize];
    if (!ReadVars(conn, {Var("maxsequencenumber", value)}))
        return;
    // The value is written into the device list as a number and sent as a
    // 16-bit one: only a decimal number of 0 to 65535 is taken.
    const size_t length = strlen(value);
    if (length == 0 || length > 5 || strspn(value, "0123456789") != length || strtoul(value, nullptr, 10) > 65535) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######sequenceMaxnumber <%s> is no number of 0 to 65535.", value);
        conn.SendStatus(400);
        return;
    }
    if (CQuorVelmarPref::SetPWRSavePrefVal("sequenceMaxnumber", "char", value) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######sequenceMaxnumber <%s> cannot be stored.", value);
        conn.SendStatus(400);
        return;
    }
    CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_SequenceMaxNum, value);
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::SqncMaxNum, value);
    T_QuorDeviceMaxSeqNumNotifyReq notice;
    memset(&notice, 0, sizeof(notice));
    notice.tHeader = QuorFreshMsgHeader(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ);
    notice.u16DeviceType = 1;
    notice.u16DeviceMaxSeqNum = static_cast<uint16_t>(strtoul(value, nullptr, 10));
    Broadcast(QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ, &notice);
    conn.SendStatus(200);
}

void GroupSignSet(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char value[kVarSize];
    if (!ReadVars(conn, {Var("parameterstr", value)}))
        return;
    const bool on = Matches(value, "on", 2);
    if (!on && !Matches(value, "off", 3)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Grouping Control Command is <%s> Error.", value);
        return;
    }
    LightLogExt(20000, 0, kSrc, __LINE__,
                on ? "Grouping Select Req.CMD: %s Content is <%s>." : "Grouping Cancel Req.CMD: %s Content is <%s>.",
                "parameterstr", value);
    SendMcuLine("SET SUBGROUP self %s\r\n", on ? "on" : "off");
    if (!on) {
        T_QuorDeviceGroupSignNotifyReq notice;
        memset(&notice, 0, sizeof(notice));
        notice.tHeader = QuorFreshMsgHeader(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ);
        notice.u16DeviceType = 1;
        notice.u16DeviceGroupSignCmd = QUOR_GROUP_SIGN_LEAVE;
        Broadcast(QUOR_MSG_GROUP_SIGN_NOTIFY_REQ, &notice);
    }
    conn.SendStatus(200);
}

// ---- deviceconfig: HDCP, CEC, EDID, automatic switching --------------------------------

const char kHdcpLog[] = "Acheive DHCP configer Info, Http Response content is <%s>.";
const char kHdcpReply[] = "{\r\n\"hdcpinfo\":[\r\n{\"hdcpsupport\":\"%s\"}\r\n]\r\n}";

void GetHdcpInfo(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    char port[kVarSize];
    if (!ReadVars(conn, {Var("cmdparameter", port)}))
        return;
    if (Matches(port, "hdmi", 4)) {
        ReplyOwnField(conn, replySent, kHdcpLog, kHdcpReply, &T_QuorModulInfo::HdcpHDMISuppert);
    } else if (Matches(port, "dp", 2)) {
        ReplyOwnField(conn, replySent, kHdcpLog, kHdcpReply, &T_QuorModulInfo::HdcpDPSuppert);
    } else {
        LightLogExt(40000, 0, kSrc, __LINE__, "######In DevConfigerInterface Fun, CMD: %s CmdPrm is <%s> Error.",
                    "gethdcpinfo", port);
        conn.SendStatus(400);
    }
}

void SetHdcpInfo(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char port[kVarSize], support[kVarSize];
    if (!ReadVars(conn, {Var("cmdparameter", port), Var("hdcpsupport", support)}))
        return;
    if (SendMcuLineOr400(conn, "SET HDCPSUPPORT_ONOFF %s %s\r\n", port, OnOffOfNumber(support)))
        conn.SendStatus(200);
}

void GetCecInfo(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    char port[kVarSize];
    if (!ReadVars(conn, {Var("cmdparameter", port)}))
        return;
    LightLogExt(10000, 0, kSrc, __LINE__, "Get CEC Info Req, CMD: %s Content is <%s>.", "cmdparameter", port);
    T_QuorModulInfo own;
    g_ModulInfolist.CopyOwn(&own);
    ReplyJson(conn, replySent, "Acheive CEC configer Info, Http Response content is <%s>.",
              QuorJsonFormat("{\r\n\"cecinfo\":[\r\n{\"cecsupport\":\"%s\",\"cecdelaycontroltime\":\"%s\"}\r\n]\r\n}",
                             {own.CECSuppert, own.CECDelay}));
}

void SetCecInfo(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char port[kVarSize], support[kVarSize], delay[kVarSize];
    if (!ReadVars(conn, {Var("cmdparameter", port), Var("cecsupport", support), Var("cecdelaycontroltime", delay)}))
        return;
    if (!SendMcuLineOr400(conn, "SET CECAUTO_ONOFF %s %s\r\n", port, OnOffOfNumber(support)))
        return;
    PauseMs(500);
    if (SendMcuLineOr400(conn, "SET CECAUTO_DELAY %s %s\r\n", port, delay))
        conn.SendStatus(200);
}

void GetEdidInfo(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    char port[kShortVarSize];
    if (!ReadVars(conn, {Var("cmdparameter", port)}))
        return;
    if (Matches(port, "all", 3)) {
        LightLogExt(20000, 0, kSrc, __LINE__, "Get param from local");
    } else {
        if (!SendMcuLineOr400(conn, "GET EDID %s\r\n", port))
            return;
        PauseMs(500);
    }
    ReplyOwnField(conn, replySent, "Acheive EDID configer Info, Http Response content is <%s>.",
                  "{\r\n\"edidinfo\":[\r\n{\"edidsetting\":\"%s\"}\r\n]\r\n}", &T_QuorModulInfo::EDIDQueyReq);
}

void SetEdidInfo(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char port[kVarSize], setting[kShortVarSize];
    if (!ReadVars(conn, {Var("cmdparameter", port), Var("edidsetting", setting)}))
        return;
    if (SendMcuLineOr400(conn, "SET EDID %s %s\r\n", port, setting))
        conn.SendStatus(200);
}

void EdidWrite(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    RunHook(CQuorVelmarMGProcess::kHookEdidWrite, conn, replySent);
}

void EdidRead(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    RunHook(CQuorVelmarMGProcess::kHookEdidRead, conn, replySent);
}

void GetAutoSwInfo(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    ReplyOwnField(conn, replySent, "Acheive AutoSW configer Info, Http Response content is <%s>.",
                  "{\r\n\"autoswinfo\":[\r\n{\"autosw\":\"%s\"}\r\n]\r\n}", &T_QuorModulInfo::AutoSW);
}

void SetAutoSwInfo(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char value[kVarSize];
    if (!ReadVars(conn, {Var("cmdparameter", value)}))
        return;
    if (SendMcuLineOr400(conn, "SET AUTOSW_ONOFF %s\r\n", value))
        conn.SendStatus(200);
}

// ---- deviceconfig: RS-232 --------------------------------------------------------------

// The end-flag number of a stored end flag: 3 CR LF, 1 CR..., 2 LF..., else 0.
const char* EndFlagNumber(const char* endFlag)
{
    if (strcmp(endFlag, "\r\n") == 0)
        return "3";
    if (endFlag[0] == '\r')
        return "1";
    return endFlag[0] == '\n' ? "2" : "0";
}

void GetRs232Info(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    typedef CQuorVelmarPref P;
    char support[P::kShortTextSize], delay[P::kShortTextSize], hex[P::kShortTextSize], on[P::kLongTextSize],
        off[P::kLongTextSize], speed[P::kShortTextSize], parity[P::kShortTextSize], data[P::kShortTextSize],
        stop[P::kShortTextSize], endFlag[P::kShortTextSize];
    {
        OSMutexLocker locker(&P::PrefMutex());
        P::CopyText(P::s_cQuor_PWRSave_RS232Support, support);
        P::CopyText(P::s_cQuor_PWRSave_RS232DlyCtrltime, delay);
        P::CopyText(P::s_cQuor_PWRSave_RS232Hexadecimal, hex);
        P::CopyText(P::s_cQuor_PWRSave_Rs232Poweron, on);
        P::CopyText(P::s_cQuor_PWRSave_Rs232Poweroff, off);
        P::CopyText(P::s_cQuor_RS232Speed, speed);
        P::CopyText(P::s_cQuor_RS232ParityBit, parity);
        P::CopyText(P::s_cQuor_RS232DataBit, data);
        P::CopyText(P::s_cQuor_RS232StopBit, stop);
        P::CopyText(P::s_cQuor_RS232EndFlg, endFlag);
    }
    ReplyJson(conn, replySent, "Acheive RS232 configer Info, Http Response content is <%s>.",
              QuorJsonFormat("{\r\n\"rs232info\":[\r\n{\"rs232support\":\"%s\",\"rs232delaycontroltime\":\"%s\","
                             "\"hexadecimal\":\"%s\",\"rs232poweronstring\":\"%s\",\"rs232poweroffstring\":\"%s\","
                             "\"rs232speed\":\"%s\",\"rs232paritybit\":\"%s\",\"rs232databit\":\"%s\","
                             "\"rs232stopbit\":\"%s\",\"rs232endflg\":\"%s\"}\r\n]\r\n}",
                             {support, delay, hex, on, off, speed, parity, data, stop, EndFlagNumber(endFlag)}));
}

void SetRs232Info(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char support[kVarSize], delay[kVarSize];
    if (!ReadVars(conn, {Var("rs232support", support), Var("rs232delaycontroltime", delay)}))
        return;
    const bool on = support[0] == '1';
    if (!SendMcuLineOr400(conn, "SET UARTAUTO_ONOFF hdmi %s\r\n", on ? "ON" : "OFF"))
        return;
    PauseMs(600);
    if (on && !SendMcuLineOr400(conn, "SET UARTPWR_DELAY hdmi %s\r\n", delay))
        return;
    conn.SendStatus(200);
}

// The display line's settings as a request gives them.
struct T_LineVars {
    char speed[kVarSize];
    char parity[kVarSize];
    char data[kVarSize];
    char stop[kVarSize];
};

// Reads the line settings and the other variables of a request in one go.
bool ReadLineVars(CQuorVelmarHttpConn& conn, T_LineVars* line, std::initializer_list<T_Var> others)
{
    return ReadVars(conn, {Var("rs232speed", line->speed), Var("rs232paritybit", line->parity),
                           Var("rs232databit", line->data), Var("rs232stopbit", line->stop)}) &&
           ReadVars(conn, others);
}

// Stores the four settings, then applies them to the display line under the
// line's lock (not held across the preference writes and their "sync"). False
// when the preferences refuse one (the ones before it stay stored).
bool StoreAndApplyLine(const T_LineVars& line)
{
    struct {
        const char* pref;
        char* member;
        const char* value;
    } const settings[] = {
        {"RS232Speed", CQuorVelmarPref::s_cQuor_RS232Speed, line.speed},
        {"RS232ParityBit", CQuorVelmarPref::s_cQuor_RS232ParityBit, line.parity},
        {"RS232DataBit", CQuorVelmarPref::s_cQuor_RS232DataBit, line.data},
        {"RS232Stop", CQuorVelmarPref::s_cQuor_RS232StopBit, line.stop},
    };
    // The in-memory copies hold 127 characters: a longer value is refused
    // before anything is stored, never cut.
    for (const auto& setting : settings) {
        if (strlen(setting.value) >= CQuorVelmarPref::kShortTextSize) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######RS232 %s of %d characters or more refused.", setting.pref,
                        (int)CQuorVelmarPref::kShortTextSize);
            return false;
        }
    }
    // Two web requests store their four settings one after the other.
    static std::mutex s_storing;
    std::lock_guard<std::mutex> storing(s_storing);
    for (const auto& setting : settings) {
        if (CQuorVelmarPref::SetPWRSavePrefVal(setting.pref, "char", setting.value) != 0) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######RS232 %s <%s> not stored.", setting.pref, setting.value);
            return false;
        }
        CQuorVelmarPref::StoreText(setting.member, CQuorVelmarPref::kShortTextSize, setting.value);
    }
    CQuorVelmarUartTwoTask* uart = g_pVelmarUartTwoTask;
    int applied = -2;
    if (uart != nullptr) {
        OSMutexLocker locker(&uart->GetLineMutex());
        applied = uart->SetUartOptFromPrefs();
    }
    if (applied != 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "######RS232 settings stored, but the line keeps its settings.");
    return true;
}

void SetRs232CmdString(CQuorVelmarHttpConn& conn, uint16_t&)
{
    T_LineVars line;
    char content[kVarSize], hex[kVarSize], command[kVarSize], endFlag[kVarSize];
    if (!ReadLineVars(conn, &line, {Var("rs232cmdcontent", content), Var("hexadecimal", hex),
                                    Var("rs232cmdstring", command), Var("rs232endflg", endFlag)}))
        return;
    LightLogExt(20000, 0, kSrc, __LINE__,
                "Set RS232 Command Information Req, rs232cmdcontent <%s> hexadecimal <%s> rs232cmdstring <%s> "
                "rs232speed <%s> rs232paritybit <%s> rs232databit <%s> rs232stopbit <%s> rs232endflg <%s>.",
                content, hex, command, line.speed, line.parity, line.data, line.stop, endFlag);
    if (!StoreAndApplyLine(line)) {
        conn.SendStatus(400);
        return;
    }
    const bool on = Matches(content, "poweron", 7);
    if (on || Matches(content, "poweroff", 8)) {
        // The in-memory command holds at most 255 characters, the flag 127: longer ones are refused, never cut.
        if (strlen(command) >= CQuorVelmarPref::kLongTextSize || strlen(hex) >= CQuorVelmarPref::kShortTextSize ||
            CQuorVelmarManageTask::StoreRs232PwrCmd(on, command, hex) != 0) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######Set RS232 Command Information Req, CMD: %s Content is <%.300s> Error!",
                        "rs232cmdstring", command);
            conn.SendStatus(400);
            return;
        }
    }
    long code = DecimalValue(endFlag);
    if (code < 0 || CQuorVelmarMGProcess::SetRs232EndFlgToXml(static_cast<uint32_t>(code)) != 1) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "######Set RS232 Command Information Req, CMD: %s Content is <%s> Error!rs232endflg", "rs232endflg",
                    endFlag);
        conn.SendStatus(400);
        return;
    }
    conn.SendStatus(200);
}

// ---- devicecontrol ---------------------------------------------------------------------

void CecPower(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char port[kVarSize], command[kVarSize];
    if (!ReadVars(conn, {Var("parameteronestr", port), Var("parametertwostr", command)}))
        return;
    const bool on = Matches(command, "poweron", 7);
    if (!on && !Matches(command, "poweroff", 8)) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "######Set CEC Information Req, CMD: %s Content is <%s>, CMD: %s Content is <%s>.",
                    "parameteronestr", port, "parametertwostr", command);
        conn.SendStatus(400);
        return;
    }
    if (SendMcuLineOr400(conn, "SET CECPWR_ONOFF %s %s\r\n", port, on ? "ON" : "OFF"))
        conn.SendStatus(200);
}

void Rs232Ctrl(CQuorVelmarHttpConn& conn, uint16_t&)
{
    T_LineVars line;
    char which[kVarSize];
    if (!ReadLineVars(conn, &line, {Var("parameteronestr", which)}))
        return;
    LightLogExt(20000, 0, kSrc, __LINE__,
                "RS232 Control Req, rs232speed <%s> rs232paritybit <%s> rs232databit <%s> rs232stopbit <%s> "
                "parameteronestr <%s>.",
                line.speed, line.parity, line.data, line.stop, which);
    if (line.speed[0] == '\0' || line.parity[0] == '\0' || line.data[0] == '\0' || line.stop[0] == '\0') {
        LightLogExt(40000, 0, kSrc, __LINE__, "######DevCtrlSetRs232PwrCtrl Perameter Error.");
        conn.SendStatus(400);
        return;
    }
    if (!StoreAndApplyLine(line)) {
        conn.SendStatus(400);
        return;
    }
    PauseMs(500);
    const bool on = Matches(which, "poweron", 7);
    if (!on && !Matches(which, "poweroff", 8)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######RS232 Control Req, CMD: %s Content is <%s> Error!",
                    "parameteronestr", which);
        conn.SendStatus(400);
        return;
    }
    if (g_pVelmarManageTask != nullptr)
        g_pVelmarManageTask->SendRs232PwrCmd(on);
    conn.SendStatus(200);
}

void Rs232PassThrough(CQuorVelmarHttpConn& conn, uint16_t&)
{
    T_LineVars line;
    char mode[kVarSize], content[kVarSize], endFlag[kVarSize];
    if (!ReadLineVars(conn, &line, {Var("parameteronestr", mode), Var("contentstr", content),
                                    Var("rs232endflg", endFlag)}))
        return;
    LightLogExt(20000, 0, kSrc, __LINE__,
                "RS232 PassThrough Req, rs232speed <%s> rs232paritybit <%s> rs232databit <%s> rs232stopbit <%s> "
                "parameteronestr <%s> contentstr <%s> rs232endflg <%s>.",
                line.speed, line.parity, line.data, line.stop, mode, content, endFlag);
    if (!StoreAndApplyLine(line)) {
        conn.SendStatus(400);
        return;
    }
    PauseMs(500);
    const long code = DecimalValue(endFlag);
    if (code < 0 || code > 3) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######SetRs232EndFlgToXml, RS232EndFlg is <%s> Error!", endFlag);
        return;
    }
    std::string bytes;
    if (Matches(mode, "hexsignon", 9)) {
        bytes = HexToStr(content);
    } else if (Matches(mode, "hexsignoff", 10)) {
        bytes = content;
    } else {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "######RS232 PassThrough Req, CMD: %s Content is <%s>, CMD: %s Content is <%s>.", "parameteronestr",
                    mode, "contentstr", content);
        conn.SendStatus(400);
        return;
    }
    bytes += kEndBytes[code];
    if (g_pVelmarManageTask != nullptr)
        g_pVelmarManageTask->SendUart2Buf(static_cast<uint32_t>(bytes.size()), bytes.data());
    conn.SendStatus(200);
}

void SetLedFlicker(CQuorVelmarHttpConn& conn, uint16_t&)
{
    char value[kVarSize];
    if (!ReadVars(conn, {Var("cmdparam", value)}))
        return;
    if (value[0] == '\0') {
        LightLogExt(40000, 0, kSrc, __LINE__, "can't get param");
        return;
    }
    if (SendMcuLineOr400(conn, "set ledflicker %s\r\n", value)) {
        LightLogExt(20000, 0, kSrc, __LINE__, "to uart: set ledflicker %s.", value);
        conn.SendStatus(200);
    }
}

void GetLedFlicker(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    uint8_t status;
    {
        OSMutexLocker locker(&g_mtLedFlicker);
        status = g_LedFilckerStatus.load();
    }
    ReplyJson(conn, replySent, "get ledfliker, Http Response content is <%s>.",
              QuorJsonFormat("{\r\n\"ledflickerinfo\":[\r\n{\"ledflicker\":\"%s\"}\r\n]\r\n}",
                             {status != 0 ? "off" : "on"}));
}

const T_ActionCmd kDeviceConfigCmds[] = {
    {"setdeviceinfo", 13, SetDeviceInfo},
    {"sequencenumberarrange", 21, SequenceNumberArrange},
    {"groupsignset", 12, GroupSignSet},
    {"gethdcpinfo", 11, GetHdcpInfo},
    {"sethdcpinfo", 11, SetHdcpInfo},
    {"getcecinfo", 10, GetCecInfo},
    {"setcecinfo", 10, SetCecInfo},
    {"getedidinfo", 11, GetEdidInfo},
    {"setedidinfo", 11, SetEdidInfo},
    {"edidwrite", 9, EdidWrite},
    {"edidread", 8, EdidRead},
    {"getrs232info", 12, GetRs232Info},
    {"setrs232info", 12, SetRs232Info},
    {"setrs232cmdstring", 17, SetRs232CmdString},
    {"getautoswinfo", 13, GetAutoSwInfo},
    {"setautoswinfo", 13, SetAutoSwInfo},
};

const T_ActionCmd kDeviceControlCmds[] = {
    {"cec", 3, CecPower},
    {"rs232ctrl", 9, Rs232Ctrl},
    {"rs232passthrough", 16, Rs232PassThrough},
    {"SETLEDFLICKER", 13, SetLedFlicker},
    {"GETLEDFLICKER", 13, GetLedFlicker},
};

} // namespace

int CQuorVelmarMGProcess::DevConfigerInterface(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    static const T_ActionFamily family = {"DevConfigerInterface", 40000, kDeviceConfigCmds,
                                          sizeof(kDeviceConfigCmds) / sizeof(kDeviceConfigCmds[0])};
    return RunFamily(family, conn, replySent);
}

int CQuorVelmarMGProcess::DevCtrlInterface(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    static const T_ActionFamily family = {"DevCtrlInterface", 40000, kDeviceControlCmds,
                                          sizeof(kDeviceControlCmds) / sizeof(kDeviceControlCmds[0])};
    return RunFamily(family, conn, replySent);
}
