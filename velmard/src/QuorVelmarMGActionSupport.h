// What the action API's command handlers share: the command tables of the
// families, the reading of request variables, MCU command lines and JSON
// replies (defined in QuorVelmarMGActionSupport.cpp). Used by
// QuorVelmarMongooseTaskAction.cpp and QuorVelmarMongooseTaskDevice.cpp only.
#ifndef QUOR_VELMAR_MGACTIONSUPPORT_H
#define QUOR_VELMAR_MGACTIONSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "QuorVelmarHttpConn.h"
#include "QuorVelmarMongooseTask.h"

namespace quor_web {

enum : size_t {
    kShortVarSize = 128,   // "cmdtype", "cmdstr" and the variables the tables mark so
    kVarSize = 512         // every other request variable
};

// One command of a family: the name and how many of its characters are
// compared (ignoring case).
struct T_ActionCmd {
    const char* name;
    size_t compare;
    CQuorVelmarMGProcess::ActionFn handler;
};

struct T_ActionFamily {
    const char* funName;        // in the log lines ("DevConfigerInterface")
    uint32_t errorLevel;        // level of the unknown-command line
    const T_ActionCmd* cmds;
    size_t count;
};

// Logs the request and runs the first command of the family that matches
// "cmdstr"; an unknown command is logged and answered 400. Always 0.
int RunFamily(const T_ActionFamily& family, CQuorVelmarHttpConn& conn, uint16_t& replySent);

// True when text begins with prefix, ignoring case, over n characters.
bool Matches(const char* text, const char* prefix, size_t n);

// A request variable to read into a fixed buffer.
struct T_Var {
    const char* name;
    char* out;
    size_t size;
};
template <size_t N>
T_Var Var(const char* name, char (&out)[N])
{
    return T_Var{name, out, N};
}
// Reads every variable (a missing one is empty). False, with status 400
// chosen and the variable logged, when one does not fit its buffer.
bool ReadVars(CQuorVelmarHttpConn& conn, std::initializer_list<T_Var> vars);

// Formats one MCU command line (the words and the terminating "\r\n" are in
// format) and sends it through the management task. False, with nothing
// sent, when the line does not fit 512 bytes, holds a CR or LF before its
// end, or there is no management task.
bool SendMcuLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same, answering 400 on conn when the line is refused.
bool SendMcuLineOr400(CQuorVelmarHttpConn& conn, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Logs the reply at level 10000 with logFormat (one %s), sends it and
// clears replySent.
void ReplyJson(CQuorVelmarHttpConn& conn, uint16_t& replySent, const char* logFormat, const std::string& text);

// Starts a group action with the record through the management task.
void Broadcast(uint32_t commandId, void* record);
// Runs the installed handler of a hooked command; 400 when none is installed.
void RunHook(CQuorVelmarMGProcess::ActionHook which, CQuorVelmarHttpConn& conn, uint16_t& replySent);

// Pause of the calling worker thread.
void PauseMs(uint32_t milliseconds);

// Runs "sync": true when it succeeded (a failure is logged).
bool RunSync();

} // namespace quor_web

#endif
