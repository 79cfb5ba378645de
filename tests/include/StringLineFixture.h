// A line of a given origin (scope and session) as the serial lines and the
// command port hand it to the management task.
#pragma once

#include <cstring>
#include <string>

#include "QuorVelmarMsgDef.h"

inline T_QuorStringMsg StringLine(uint8_t scope, int32_t session, const std::string& text)
{
    T_QuorStringMsg m;
    memset(&m, 0, sizeof(m));
    m.u8Scope = scope;
    m.s32SessionId = session;
    m.u16Length = (uint16_t)(text.size() < sizeof(m.cMsg) ? text.size() : sizeof(m.cMsg));
    memcpy(m.cMsg, text.data(), m.u16Length);
    return m;
}
