// What the action API's command handlers share: see QuorVelmarMGActionSupport.h.
#include "QuorVelmarMGActionSupport.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "LightLog.h"
#include "QuorVelmarFunction.h"
#include "QuorVelmarManageTask.h"

namespace {

// The log lines keep the source name of the web task's action API.
const char kSrc[] = "src/QuorVelmarMongooseTask";

} // namespace

namespace quor_web {

bool Matches(const char* text, const char* prefix, size_t n)
{
    return strncasecmp(text, prefix, n) == 0;
}

int RunFamily(const T_ActionFamily& family, CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    char cmdType[kShortVarSize], cmdStr[kShortVarSize];
    conn.GetVar("cmdtype", cmdType);
    conn.GetVar("cmdstr", cmdStr);
    LightLogExt(10000, 0, kSrc, __LINE__, "@@@@@@In %s Fun, szCmdType value is <%s>, szCmdStr value is <%s>.",
                family.funName, cmdType, cmdStr);
    for (size_t i = 0; i < family.count; ++i) {
        if (Matches(cmdStr, family.cmds[i].name, family.cmds[i].compare)) {
            family.cmds[i].handler(conn, replySent);
            return 0;
        }
    }
    LightLogExt(family.errorLevel, 0, kSrc, __LINE__,
                "######In %s Fun, szCmdType value is <%s>, szCmdStr value is <%s> Error!", family.funName, cmdType,
                cmdStr);
    conn.SendStatus(400);
    return 0;
}

bool ReadVars(CQuorVelmarHttpConn& conn, std::initializer_list<T_Var> vars)
{
    for (const T_Var& var : vars) {
        if (conn.GetVar(var.name, var.out, var.size) == CQuorVelmarHttpConn::kVarTooLong) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######Request variable <%s> longer than %d characters refused.",
                        var.name, (int)var.size - 1);
            conn.SendStatus(400);
            return false;
        }
    }
    return true;
}

namespace {

bool SendMcuLineV(const char* format, va_list args)
{
    char line[512];
    int length = vsnprintf(line, sizeof(line), format, args);
    if (length < 2 || length >= static_cast<int>(sizeof(line)) ||
        strcspn(line, "\r\n") != static_cast<size_t>(length) - 2) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######MCU command refused: too long or holding a line end.");
        return false;
    }
    CQuorVelmarManageTask* task = g_pVelmarManageTask;
    if (task == nullptr)
        return false;
    task->SendUartBuf(static_cast<uint32_t>(length), line);
    return true;
}

} // namespace

bool SendMcuLine(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool sent = SendMcuLineV(format, args);
    va_end(args);
    return sent;
}

bool SendMcuLineOr400(CQuorVelmarHttpConn& conn, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool sent = SendMcuLineV(format, args);
    va_end(args);
    if (!sent)
        conn.SendStatus(400);
    return sent;
}

void ReplyJson(CQuorVelmarHttpConn& conn, uint16_t& replySent, const char* logFormat, const std::string& text)
{
    LightLogExt(10000, 0, kSrc, __LINE__, logFormat, text.c_str());
    conn.SendJson(text);
    replySent = 0;
}

void Broadcast(uint32_t commandId, void* record)
{
    CQuorVelmarManageTask* task = g_pVelmarManageTask;
    if (task != nullptr)
        task->DoBroadCastMsgReq(commandId, record);
}

void RunHook(CQuorVelmarMGProcess::ActionHook which, CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    CQuorVelmarMGProcess::ActionFn hook = CQuorVelmarMGProcess::GetActionHook(which);
    if (hook == nullptr)
        conn.SendStatus(400);
    else
        hook(conn, replySent);
}

void PauseMs(uint32_t milliseconds)
{
    CQuorVelmarManageTask::Pause(milliseconds);
}

bool RunSync()
{
    int result = pox_system("sync");
    if (result != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######pox_system <%s> Error and s32Rst is <%d>.", "sync", result);
        return false;
    }
    return true;
}

} // namespace quor_web
