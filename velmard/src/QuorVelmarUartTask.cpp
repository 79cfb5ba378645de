// The MCU serial task: see QuorVelmarUartTask.h.
#include "QuorVelmarUartTask.h"

#include <unistd.h>

#include "LightLog.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarMetrics.h"
#include "QuorVelmarPref.h"

CQuorVelmarUartTask* g_pVelmarUartTask = nullptr;

namespace {

const char kSrc[] = "src/QuorVelmarUartTask";
const char kDevice[] = "/dev/ttyS1";

// The management task takes MCU-bound lines again once the queue shrank.
void WakeManageTask()
{
    CQuorVelmarManageTask* task = g_pVelmarManageTask;
    if (task != nullptr)
        task->Signal(TASK_EVT_READ);
}

// Every MCU line is counted on its way to the management task.
int McuLineRecved(const T_QuorStringMsg& message)
{
    CQuorVelmarMetrics::Add(CQuorVelmarMetrics::kMcuLinesIn);
    return CQuorVelmarCommLayer::Msg_StringRecved(message);
}

}  // namespace

CQuorVelmarUartTask::CQuorVelmarUartTask()
    : CQuorVelmarSerialTask<3>(kSrc, "CQuorVelmarUartTask", kDevice, 1, CQuorVelmarLineFramer::kMcuLine,
                               McuLineRecved),
      m_u8AllowOpenUart(0),
      m_Writer(WriteQueuedLine, this, WakeManageTask)
{
}

CQuorVelmarUartTask::~CQuorVelmarUartTask() = default;

void CQuorVelmarUartTask::ApplyStartSettings()
{
    SetUartOpt(CQuorVelmarPref::s_u16Quor_UartSpeed, 8, 'N', 1);
}

int CQuorVelmarUartTask::AllowOpenUartOne(uint8_t flag)
{
    m_u8AllowOpenUart.store(flag);
    if (flag == 0) {
        if (!m_Writer.WaitIdle(kHandOverDrainMs))
            LightLogExt(40000, 0, kSrc, __LINE__, "######MCU lines still queued at the hand-over are refused.");
        CloseUart();
        return 0;
    }
    if (IsUartOpen())
        return 0;
    int result = OpenOwnDevice();
    return result < 0 ? result : 0;
}

int CQuorVelmarUartTask::QueueUartWrite(const char* text, uint32_t length)
{
    if (length == 0)
        return 0;
    if (text == nullptr || !IsUartOpen())
        return UartWrite(text, length);  // refused there, and logged
    if (m_Writer.Queue(text, length) == 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######MCU line queue full, line refused: <%.*s>, Len is <%u>.",
                    (int)length, text, length);
        return -2;
    }
    return (int)length;
}

// Writes one queued line, then waits while the line carries it (ten bits a
// byte), so the system's output buffer never holds more than about one line
// and the order of the queue is the order on the wire.
int CQuorVelmarUartTask::WriteQueuedLine(void* self, const char* bytes, uint32_t length)
{
    CQuorVelmarUartTask* task = static_cast<CQuorVelmarUartTask*>(self);
    int written = task->UartWrite(bytes, length);
    int32_t speed = task->GetLineSpeed();
    if (written > 0 && speed > 0)
        usleep((useconds_t)((int64_t)written * 10 * 1000000 / speed));
    return written;
}
