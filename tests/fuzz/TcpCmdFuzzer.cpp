// Fuzzes the command port's line handling: the tokenizer and the SET/GET
// dispatch, with every board program refused.
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CQuorVelmarManageTask* task = fuzz::Task();
    task->ProcessTcpMsg(fuzz::AsLine(data, size, QUOR_STRING_SCOPE_TCP));
    return 0;
}
