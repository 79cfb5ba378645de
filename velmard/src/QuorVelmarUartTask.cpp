// The MCU serial task: see QuorVelmarUartTask.h.
#include "QuorVelmarUartTask.h"

#include "LightLog.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarMetrics.h"
#include "QuorVelmarPref.h"

CQuorVelmarUartTask* g_pVelmarUartTask = nullptr;

namespace {

const char kSrc[] = "src/QuorVelmarUartTask";
const char kDevice[] = "/dev/ttyS1";

// Every MCU line is counted on its way to the management task.
int McuLineRecved(const T_QuorStringMsg& message)
{
    CQuorVelmarMetrics::Add(CQuorVelmarMetrics::kMcuLinesIn);
    return CQuorVelmarCommLayer::Msg_StringRecved(message);
}

}  // namespace

CQuorVelmarUartTask::CQuorVelmarUartTask()
    : CQuorVelmarSerialLine(kDevice, 1, CQuorVelmarLineFramer::kMcuLine, McuLineRecved),
      m_u8AllowOpenUart(0)
{
    SetTaskName("CQuorVelmarUartTask");
}

CQuorVelmarUartTask::~CQuorVelmarUartTask() = default;

int CQuorVelmarUartTask::Initialize()
{
    int result = OpenOwnDevice();
    if (result < 0)
        return result;
    SetUartOpt(CQuorVelmarPref::s_u16Quor_UartSpeed, 8, 'N', 1);
    Signal(TASK_EVT_START);
    LightLogExt(20000, 0, kSrc, __LINE__, "CQuorVelmarUartTask::Initialize succeed!");
    return 0;
}

int64_t CQuorVelmarUartTask::Run()
{
    GetEvents();
    UartRead();
    return 100;
}

int CQuorVelmarUartTask::AllowOpenUartOne(uint8_t flag)
{
    m_u8AllowOpenUart.store(flag);
    if (flag == 0) {
        CloseUart();
        return 0;
    }
    if (IsUartOpen())
        return 0;
    int result = OpenOwnDevice();
    return result < 0 ? result : 0;
}
