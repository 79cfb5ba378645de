// Display RS-232 control: the stored power-on and power-off commands of the
// display, their emission on the auxiliary line, the end flag appended to
// text sent to the display, and pass-through data from the TCP clients.
//
// The commands are kept as plain text or as hexadecimal byte text; one flag
// ("RS232Hexadecimal") says which for both, so storing one command in one
// form switches the other to that form too. The in-memory copies are shared
// with the web handlers: they are read and written under the preferences lock,
// and a change of a command and the flag is stored as one (both or neither).
#include <cstdio>
#include <cstring>
#include <string>

#include "LightLog.h"
#include "OSMutex.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarMongooseTask.h"
#include "QuorVelmarPref.h"
#include "QuorVelmarTcpCmdLine.h"

namespace {

const char kSrc[] = "src/QuorVelmarManageTask";
const char kCrLf[] = "\r\n";

typedef CQuorVelmarTcpCmdLine CmdLine;

// Longest command text kept (the in-memory copy holds it and the terminator).
const size_t kPowerCommandMax = CQuorVelmarPref::kLongTextSize - 1;

// The two forms in which a power command is stored.
struct T_PowerCmdForm {
    const char* handlerName;
    const char* hexFlag;
    bool hex;
};

const T_PowerCmdForm kTextForm = {"ProcessTCPSetReqRs232PwrCmdString", "0", false};
const T_PowerCmdForm kHexForm = {"ProcessTCPSetReqRs232PwrCmdHex", "1", true};

// What emission needs, copied out together under the preferences lock.
struct T_PowerCmdCopy {
    char command[CQuorVelmarPref::kLongTextSize];
    char hexMode[CQuorVelmarPref::kShortTextSize];
    char endFlag[CQuorVelmarPref::kShortTextSize];
};

void CopyPowerCommand(bool on, T_PowerCmdCopy* copy)
{
    OSMutexLocker locker(&CQuorVelmarPref::PrefMutex());
    CQuorVelmarPref::CopyText(on ? CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweron
                                 : CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweroff,
                              copy->command);
    CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_PWRSave_RS232Hexadecimal, copy->hexMode);
    CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_RS232EndFlg, copy->endFlag);
}

std::string CopyEndFlag()
{
    char endFlag[CQuorVelmarPref::kShortTextSize];
    CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_RS232EndFlg, endFlag);
    return endFlag;
}

// Stores a power command and the form flag as one change: when the flag
// cannot be stored, the command is put back. -2 when the preferences refuse
// either (nothing changed then, in the file or in memory).
int StorePowerCommand(const char* prefName, char* member, const char* text, const char* hexFlag)
{
    OSMutexLocker locker(&CQuorVelmarPref::PrefMutex());
    char previous[CQuorVelmarPref::kLongTextSize];
    CQuorVelmarPref::CopyText(member, previous);
    if (CQuorVelmarPref::SetPWRSavePrefVal(prefName, "char", text) != 0)
        return -2;
    if (CQuorVelmarPref::SetPWRSavePrefVal("RS232Hexadecimal", "char", hexFlag) != 0) {
        CQuorVelmarPref::SetPWRSavePrefVal(prefName, "char", previous);
        return -2;
    }
    CQuorVelmarPref::StoreText(member, CQuorVelmarPref::kLongTextSize, text);
    CQuorVelmarPref::StoreText(CQuorVelmarPref::s_cQuor_PWRSave_RS232Hexadecimal, hexFlag);
    return 0;
}

// The command text: from the rest of the line up to its first CR LF, cut at
// 255 characters (logged). False when the line holds no CR LF.
bool TakeCommandText(const CmdLine& line, const T_PowerCmdForm& form, char (&text)[CQuorVelmarPref::kLongTextSize])
{
    const char* rest = line.Rest();
    const char* end = strstr(rest, kCrLf);
    if (end == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######%s No \\r\\n Flag", form.handlerName);
        return false;
    }
    size_t length = (size_t)(end - rest);
    if (length > kPowerCommandMax) {
        LightLogExt(30000, 0, kSrc, __LINE__, "%s command text of %zu characters cut to %zu.", form.handlerName,
                    length, kPowerCommandMax);
        length = kPowerCommandMax;
    }
    memcpy(text, rest, length);
    text[length] = '\0';
    return true;
}

void LogBadPowerTarget(const CmdLine& line, const T_PowerCmdForm& form, const char* target)
{
    const int length = (int)line.Message().u16Length;
    if (form.hex)
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "######In ProcessTcpCMDListSetParameter fun,i_tMsg len is <%d>, i_tMsg content is <%s> <%s> Error.",
                    length, line.Text(), target);
    else
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "######In ProcessTcpCMDListSetParameter fun,i_tMsg len is <%d>, i_tMsg content is <%s> Error.",
                    length, line.Text());
}

void LogPowerCmdEntry(const CmdLine& line, const T_PowerCmdForm& form)
{
    if (form.hex) {
        LightLogExt(20000, 0, kSrc, __LINE__, "In ProcessTCPSetReqRs232PwrCmdHex Fun, Msg is <%s>", line.Text());
        return;
    }
    char support[CQuorVelmarPref::kShortTextSize];
    CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_PWRSave_RS232Support, support);
    LightLogExt(20000, 0, kSrc, __LINE__, "In ProcessTCPSetReqRs232PwrCmdString Fun, Msg is <%s><%s>", line.Text(),
                support);
}

// SET UARTCMD_STREDIT / UARTCMD_HEXEDIT poweron|poweroff text...
int StorePowerCmdFromLine(CQuorVelmarManageTask& task, const T_QuorStringMsg& message, const T_PowerCmdForm& form)
{
    CmdLine line(message);
    LogPowerCmdEntry(line, form);
    const char* target = line.Word(3);
    char text[CQuorVelmarPref::kLongTextSize];
    if (!TakeCommandText(line, form, text))
        return -2;
    const bool on = CmdLine::Matches(target, "poweron");
    if (!on && !CmdLine::Matches(target, "poweroff")) {
        LogBadPowerTarget(line, form, target);
        return 0;
    }
    const char* prefName = on ? "RS232PWROn" : "RS232PWROff";
    char* member = on ? CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweron : CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweroff;
    if (StorePowerCommand(prefName, member, text, form.hexFlag) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######%s, %s <%s> not stored.", form.handlerName, prefName, text);
        return -2;
    }
    line.Reply(task, "%s %s %s%s", line.Word(2), target, text, kCrLf);
    return 0;
}

}  // namespace

// ---- Emission ----------------------------------------------------------------------------

int CQuorVelmarManageTask::SendRs232PwrCmd(bool on)
{
    T_PowerCmdCopy copy;
    CopyPowerCommand(on, &copy);
    if (copy.hexMode[0] == '1') {
        const std::string bytes = HexToStr(copy.command);
        return SendUart2Buf((uint32_t)bytes.size(), bytes.data());
    }
    char text[512];
    snprintf(text, sizeof(text), "%s%s", copy.command, copy.endFlag);
    return SendUart2Buf((uint32_t)strlen(text), text);
}

int CQuorVelmarManageTask::StoreRs232PwrCmd(bool on, const char* text, const char* hexFlag)
{
    return StorePowerCommand(on ? "RS232PWROn" : "RS232PWROff",
                             on ? CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweron
                                : CQuorVelmarPref::s_cQuor_PWRSave_Rs232Poweroff,
                             text, hexFlag);
}

// ---- Commands from the TCP clients ---------------------------------------------------------

int CQuorVelmarManageTask::ProcessTCPSetReqRs232PwrCmdString(const T_QuorStringMsg& message)
{
    return StorePowerCmdFromLine(*this, message, kTextForm);
}

int CQuorVelmarManageTask::ProcessTCPSetReqRs232PwrCmdHex(const T_QuorStringMsg& message)
{
    return StorePowerCmdFromLine(*this, message, kHexForm);
}

int CQuorVelmarManageTask::ProcessTCPSetReqSendRs232PwrCmd(const T_QuorStringMsg& message)
{
    CmdLine line(message);
    LightLogExt(20000, 0, kSrc, __LINE__, "In ProcessTCPSetReqSendRs232PwrCmd Fun, Msg is <%s>", line.Text());
    LightLogExt(20000, 0, kSrc, __LINE__, "Send RS232 Power On/Off Command.");
    const char* value = line.Word(4);
    const bool on = CmdLine::Matches(value, "ON");
    if (!on && !CmdLine::Matches(value, "OFF")) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "######In ProcessTcpCMDListSetParameter fun,i_tMsg len is <%d>, i_tMsg content is <%s> Error.",
                    (int)message.u16Length, line.Text());
        return 0;
    }
    SendRs232PwrCmd(on);
    line.Reply(*this, "%s %s %s%s", line.Word(2), line.Word(3), value, kCrLf);
    return 0;
}

int CQuorVelmarManageTask::ProcessTCPSetReqUartEndFlg(const T_QuorStringMsg& message)
{
    CmdLine line(message);
    const char* name = line.Word(3);
    LightLogExt(20000, 0, kSrc, __LINE__, "Set RS232 Rs232EndFlg is <%s>.", name);
    uint16_t code = 0;
    if (FindRs232EndFlg(name, &code)) {
        LightLogExt(20000, 0, kSrc, __LINE__, "Set End Flag To xml is <%d>,", (int)code);
        CQuorVelmarMGProcess::SetRs232EndFlgToXml(code);
    } else {
        LightLogExt(30000, 0, kSrc, __LINE__, "End flag <%s> unknown, the end flag is unchanged.", name);
    }
    line.Reply(*this, "%s %s%s", line.Word(2), name, kCrLf);
    return 0;
}

int CQuorVelmarManageTask::ProcessTCPSetReqUartPassthrough(const T_QuorStringMsg& message)
{
    CmdLine line(message);
    const char* mode = line.Word(3);
    LightLogExt(20000, 0, kSrc, __LINE__, "Set RS232 Hex/string is <%s>.", mode);
    if (CmdLine::Matches(mode, "string")) {
        // One word only: the data ends at the first space.
        const char* data = line.Word(4);
        LightLogExt(20000, 0, kSrc, __LINE__, "content Msg is <%s>", data);
        const std::string text = data + CopyEndFlag();
        SendUart2Buf((uint32_t)text.size(), text.data());
        line.Reply(*this, "%s %s %s%s", line.Word(2), mode, data, kCrLf);
        return 0;
    }
    // Hexadecimal byte text up to the end of the line (its CR LF included).
    const char* rest = line.Rest();
    const std::string bytes = HexToStr(rest);
    SendUart2Buf((uint32_t)bytes.size(), bytes.data());
    line.Reply(*this, "%s %s %s%s", line.Word(2), mode, rest, kCrLf);
    return 0;
}

// ---- End-flag map ------------------------------------------------------------------------------

void CQuorVelmarManageTask::Rs232EndFlgMapping()
{
    static const struct {
        const char* name;
        uint16_t code;
    } kNames[] = {{"null", 0}, {"cr", 1}, {"lf", 2}, {"crlf", 3}, {"NULL", 0}, {"CR", 1}, {"LF", 2}, {"CRLF", 3}};
    for (const auto& entry : kNames)
        m_mapRs232EndFlg.insert(std::make_pair(std::string(entry.name), entry.code));
}

bool CQuorVelmarManageTask::FindRs232EndFlg(const char* name, uint16_t* code) const
{
    if (name == nullptr)
        return false;
    auto found = m_mapRs232EndFlg.find(name);
    if (found == m_mapRs232EndFlg.end())
        return false;
    if (code != nullptr)
        *code = found->second;
    return true;
}
