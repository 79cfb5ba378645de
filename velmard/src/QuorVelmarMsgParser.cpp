#include "QuorVelmarMsgParser.h"

int CQuorVelmarMsgParser::ParseMsg(const char*)
{
    return 1;
}
