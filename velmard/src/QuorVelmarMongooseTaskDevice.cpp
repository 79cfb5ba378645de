// The action API's families "deviceconfig" and "devicecontrol". See
// QuorVelmarMongooseTask.h.
#include "LightLog.h"
#include "QuorVelmarMGActionSupport.h"

using namespace quor_web;

int CQuorVelmarMGProcess::DevConfigerInterface(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    static const T_ActionFamily family = {"DevConfigerInterface", 40000, nullptr, 0};
    return RunFamily(family, conn, replySent);
}

int CQuorVelmarMGProcess::DevCtrlInterface(CQuorVelmarHttpConn& conn, uint16_t& replySent)
{
    static const T_ActionFamily family = {"DevCtrlInterface", 40000, nullptr, 0};
    return RunFamily(family, conn, replySent);
}
