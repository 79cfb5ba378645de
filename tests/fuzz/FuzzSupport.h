// What the fuzz targets share: the input as a file, and a management task
// whose board programs, MCU, TCP clients and pauses go nowhere.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "QuorVelmarManageTask.h"

namespace fuzz {

// Writes the input to a file of this process (removed when it exits); its
// path.
inline std::string InputAsFile(const uint8_t* data, size_t size)
{
    static const std::string path = [] {
        atexit([] { unlink(("/tmp/velmar-fuzz-" + std::to_string(getpid())).c_str()); });
        return "/tmp/velmar-fuzz-" + std::to_string(getpid());
    }();
    FILE* f = fopen(path.c_str(), "wbe");
    if (f != nullptr) {
        fwrite(data, 1, size, f);
        fclose(f);
    }
    return path;
}

inline int DropTcp(const char*, uint8_t, int32_t) { return 0; }
inline int DropGroup(uint32_t, const void*) { return 0; }
inline void NoPause(uint32_t) {}

// The management task, once. The board root "/" is refused, so no board
// program runs and no board file is written, whatever the input says.
inline CQuorVelmarManageTask* Task()
{
    static CQuorVelmarManageTask* task = [] {
        setenv("VELMAR_ROOT", "/", 1);
        CQuorVelmarManageTask::SetTcpSender(DropTcp);
        CQuorVelmarManageTask::SetGroupBroadcaster(DropGroup);
        CQuorVelmarManageTask::SetPauseFn(NoPause);
        CQuorVelmarManageTask* made = new CQuorVelmarManageTask;
        made->Rs232EndFlgMapping();
        g_pVelmarManageTask = made;
        return made;
    }();
    return task;
}

// The input as one line of the given scope (cut to the text field).
inline T_QuorStringMsg AsLine(const uint8_t* data, size_t size, uint8_t scope)
{
    T_QuorStringMsg message = T_QuorStringMsg();
    size_t length = size < QUOR_STRING_MSG_TEXT_SIZE - 1 ? size : QUOR_STRING_MSG_TEXT_SIZE - 1;
    memcpy(message.cMsg, data, length);
    message.u8Scope = scope;
    message.s32SessionId = 1;
    message.u16Length = (uint16_t)length;
    return message;
}

}  // namespace fuzz

#endif
