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
    : CQuorVelmarSerialTask<4>(kSrc, "CQuorVelmarUartTwoTask", kDevice, 2, CQuorVelmarLineFramer::kAuxiliaryLine,
                               CQuorVelmarCommLayer::Msg_StringRecved)
{
}

CQuorVelmarUartTwoTask::~CQuorVelmarUartTwoTask() = default;

int CQuorVelmarUartTwoTask::SetUartOptFromPrefs()
{
    OSMutexLocker locker(&GetLineMutex());
    char parity[CQuorVelmarPref::kShortTextSize];
    CQuorVelmarPref::CopyText(CQuorVelmarPref::s_cQuor_RS232ParityBit, parity);
    return SetUartOpt(DecimalSetting(CQuorVelmarPref::s_cQuor_RS232Speed),
                      DecimalSetting(CQuorVelmarPref::s_cQuor_RS232DataBit), parity[0],
                      DecimalSetting(CQuorVelmarPref::s_cQuor_RS232StopBit));
}
