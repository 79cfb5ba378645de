// A command line of a TCP client: see QuorVelmarTcpCmdLine.h.
#include "QuorVelmarTcpCmdLine.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "LightLog.h"

namespace {

const char kSrc[] = "src/QuorVelmarManageTask";

}  // namespace

CQuorVelmarTcpCmdLine::CQuorVelmarTcpCmdLine(const T_QuorStringMsg& message)
    : m_Message(message), m_pCursor(message.cMsg)
{
}

const char* CQuorVelmarTcpCmdLine::Word(size_t n)
{
    if (n == 0 || n > kMaxWords)
        return "";
    uint32_t consumed = 0;
    while (m_Taken < n)
        PareCommandString(&m_pCursor, m_Words[m_Taken++], &consumed);
    return m_Words[n - 1];
}

const char* CQuorVelmarTcpCmdLine::TextFrom(size_t index) const
{
    return strnlen(m_Message.cMsg, sizeof(m_Message.cMsg)) > index ? m_Message.cMsg + index : "";
}

uint32_t CQuorVelmarTcpCmdLine::ByteCount() const
{
    return m_Message.u16Length < sizeof(m_Message.cMsg) ? m_Message.u16Length : (uint32_t)sizeof(m_Message.cMsg);
}

bool CQuorVelmarTcpCmdLine::Matches(const char* word, const char* keyword)
{
    const size_t length = strlen(keyword);
    return length > 0 && strncasecmp(word, keyword, length) == 0;
}

int CQuorVelmarTcpCmdLine::Reply(CQuorVelmarManageTask& task, const char* format, ...)
{
    char reply[QUOR_STRING_MSG_TEXT_SIZE];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(reply, sizeof(reply), format, args);
    va_end(args);
    if (length < 0)
        return -2;
    if ((size_t)length >= sizeof(reply))
        LightLogExt(30000, 0, kSrc, __LINE__, "Reply of %d characters cut to %d.", length, (int)sizeof(reply) - 1);
    return task.SendTcpBuf(reply, QUOR_STRING_MODE_ONE_CLIENT, m_Message.s32SessionId);
}
