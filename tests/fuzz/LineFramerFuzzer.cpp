// Fuzzes the line framers: the serial lines' framer (both kinds, the input
// cut into bursts at each 0xFF) and a TCP session's. Every line handed on
// fits its text field and holds no CR LF but the TCP line's own at its end.
#include "FuzzSupport.h"
#include "QuorVelmarLineFramer.h"
#include "QuorVelmarTCPSessionTask.h"

namespace {

int CheckSerialLine(const T_QuorStringMsg& message)
{
    if (message.u16Length >= QUOR_STRING_MSG_TEXT_SIZE || memmem(message.cMsg, message.u16Length, "\r\n", 2))
        __builtin_trap();
    return 0;
}

void FrameSerial(CQuorVelmarLineFramer::Kind kind, const uint8_t* data, size_t size)
{
    CQuorVelmarLineFramer framer(kind, CheckSerialLine);
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0xFF)
            continue;
        framer.PorcessUartData(reinterpret_cast<const char*>(data + start), (uint16_t)(i - start));
        framer.EndOfBurst();
        start = i + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 16384)
        return 0;
    FrameSerial(CQuorVelmarLineFramer::kMcuLine, data, size);
    FrameSerial(CQuorVelmarLineFramer::kAuxiliaryLine, data, size);

    CQuorVelmarManageTask* task = fuzz::Task();
    static CQuorVelmarTCPSessionTask* session = new CQuorVelmarTCPSessionTask;
    for (size_t pos = 0; pos < size; pos += CQuorVelmarTCPSessionTask::kReadChunk) {
        size_t take = size - pos < CQuorVelmarTCPSessionTask::kReadChunk ? size - pos : CQuorVelmarTCPSessionTask::kReadChunk;
        session->DoRecognition0D0AForOneFramMsg(reinterpret_cast<const char*>(data + pos), (uint32_t)take);
    }
    T_QuorStringMsg line;
    while (task->TakeStringMsg(&line)) {
        const char* crlf = static_cast<const char*>(memmem(line.cMsg, line.u16Length, "\r\n", 2));
        if (line.u16Length < 3 || line.u16Length >= QUOR_STRING_MSG_TEXT_SIZE || crlf != line.cMsg + line.u16Length - 2)
            __builtin_trap();
    }
    return 0;
}
