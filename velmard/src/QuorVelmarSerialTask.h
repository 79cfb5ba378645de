// A serial line with a task of its own thread pool that reads it: the MCU
// line and the display line. Initialize opens the line's device, applies the
// line's start settings and starts the receive loop; every run reads while
// the line is open and asks to run again 100 ms after.
#ifndef QUOR_VELMAR_SERIALTASK_H
#define QUOR_VELMAR_SERIALTASK_H

#include <cstdint>

#include "LightLog.h"
#include "QuorTask.h"
#include "QuorVelmarSerialLine.h"

template <int N>
class CQuorVelmarSerialTask : public QuorTask<N>, public CQuorVelmarSerialLine {
public:
    // 0, or the negative open result.
    int Initialize()
    {
        int result = OpenOwnDevice();
        if (result < 0)
            return result;
        ApplyStartSettings();
        this->Signal(TASK_EVT_START);
        LightLogExt(20000, 0, m_pSource, __LINE__, "%s::Initialize succeed!", m_pClassName);
        return 0;
    }
    // The receive loop while the line is open; always 100.
    int64_t Run() override
    {
        this->GetEvents();
        UartRead();
        return 100;
    }

protected:
    // source: the log name of the task's file; className: the task's class,
    // which also names the task. The rest as for CQuorVelmarSerialLine.
    CQuorVelmarSerialTask(const char* source, const char* className, const char* device, int32_t uartNo,
                          CQuorVelmarLineFramer::Kind kind, CQuorVelmarLineFramer::LineSinkFn sink)
        : CQuorVelmarSerialLine(device, uartNo, kind, sink), m_pSource(source), m_pClassName(className)
    {
        this->SetTaskName(className);
    }

    // The line settings applied once the line is open at start.
    virtual void ApplyStartSettings() = 0;

private:
    const char* m_pSource;
    const char* m_pClassName;
};

#endif
