// Fuzzes the handling of MCU answers, with every board program refused.
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CQuorVelmarManageTask* task = fuzz::Task();
    task->ProcessUartMsg(fuzz::AsLine(data, size, QUOR_STRING_SCOPE_SERIAL));
    return 0;
}
