// The auxiliary serial task: see QuorVelmarUartTwoTask.h.
#include "QuorVelmarUartTwoTask.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "LightLog.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarPref.h"

CQuorVelmarUartTwoTask* g_pVelmarUartTwoTask = nullptr;

namespace {

const char kSrc[] = "src/QuorVelmarUartTwoTask";
const char kDevice[] = "/dev/ttyS2";

// The decimal value of a stored setting; 0 for a text that is no number.
int32_t DecimalSetting(const char* member)
{
    char text[CQuorVelmarPref::kShortTextSize];
    CQuorVelmarPref::CopyText(member, text);
    errno = 0;
    long value = strtol(text, nullptr, 10);
    if (errno != 0 || value < INT32_MIN || value > INT32_MAX)
        return 0;
    return static_cast<int32_t>(value);
}

}  // namespace

CQuorVelmarUartTwoTask::CQuorVelmarUartTwoTask()
    : CQuorVelmarSerialLine(kDevice, 2, CQuorVelmarLineFramer::kAuxiliaryLine,
                            CQuorVelmarCommLayer::Msg_StringRecved)
{
    SetTaskName("CQuorVelmarUartTwoTask");
}

CQuorVelmarUartTwoTask::~CQuorVelmarUartTwoTask() = default;

int CQuorVelmarUartTwoTask::Initialize()
{
    int result = OpenOwnDevice();
    if (result < 0)
        return result;
    SetUartOptFromPrefs();
    Signal(TASK_EVT_START);
    LightLogExt(20000, 0, kSrc, __LINE__, "CQuorVelmarUartTwoTask::Initialize succeed!");
    return 0;
}

int64_t CQuorVelmarUartTwoTask::Run()
{
    GetEvents();
    UartRead();
    return 100;
}

int CQuorVelmarUartTwoTask::SetUartOptFromPrefs()
{
    OSMutexLocker locker(&GetLineMutex());
    char parity[CQuorVelmarPref::kShortTextSize];
    CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_RS232ParityBit, parity);
    return SetUartOpt(DecimalSetting(CQuorVelmarPref::s_cQuor_RS232Speed),
                      DecimalSetting(CQuorVelmarPref::s_cQuor_RS232DataBit), parity[0],
                      DecimalSetting(CQuorVelmarPref::s_cQuor_RS232StopBit));
}
