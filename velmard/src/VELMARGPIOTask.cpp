#include "VELMARGPIOTask.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "BoardPath.h"
#include "LightLog.h"
#include "QuorVelmarManageTask.h"
#include "QuorVelmarPref.h"

CVELMARGPIOTask* g_pVelmarGPIOTask = nullptr;

namespace {

const char kSrc[] = "src/VELMARGPIOTask";
const char kGpioDir[] = "/sys/class/gpio";
const char kResetCommand[] = "RESET\r\n";

int SendToMcu(uint32_t length, const char* text)
{
    CQuorVelmarManageTask* task = g_pVelmarManageTask;
    return task != nullptr ? task->SendUartBuf(length, text) : -3;
}

// Writes length bytes to the named file of line n: the bytes written or -1.
ssize_t WriteGpioFile(int n, const char* name, const char* bytes, size_t length)
{
    int fd = CVELMARGPIOTask::GpioOpen(n, name);
    if (fd < 0)
        return -1;
    ssize_t written = write(fd, bytes, length);
    CVELMARGPIOTask::GpioClose(fd);
    return written;
}

}  // namespace

CVELMARGPIOTask::CVELMARGPIOTask() : m_pfnSendReset(SendToMcu)
{
    SetTaskName("CVELMARGPIOTask");
}

CVELMARGPIOTask::~CVELMARGPIOTask()
{
    delete m_pTimeout;
}

void CVELMARGPIOTask::SetResetSender(ResetSender sender)
{
    m_pfnSendReset = sender != nullptr ? sender : SendToMcu;
}

// ---- sysfs ---------------------------------------------------------------------

int CVELMARGPIOTask::GpioOpen(int n, const char* name)
{
    char boardPath[128];
    int length = n != 0 ? snprintf(boardPath, sizeof(boardPath), "%s/gpio%d/%s", kGpioDir, n, name)
                        : snprintf(boardPath, sizeof(boardPath), "%s/%s", kGpioDir, name);
    char path[BoardPath::kMaxRoot + sizeof(boardPath)];
    if (length < 0 || (size_t)length >= sizeof(boardPath) || BoardPath::Resolve(boardPath, path) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######GPIO path of <%d>/<%s> cannot be made.", n, name);
        return -1;
    }
    int fd = open(path, (n != 0 ? O_RDWR : O_WRONLY) | O_CLOEXEC);
    if (fd < 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "######open <%s> Error <%d>.", path, errno);
    return fd;
}

void CVELMARGPIOTask::GpioClose(int fd)
{
    if (fd >= 0)
        close(fd);
}

void CVELMARGPIOTask::GpioExport(int n)
{
    char text[16];
    int length = snprintf(text, sizeof(text), "%d", n);
    ssize_t written = WriteGpioFile(0, "export", text, (size_t)length);
    if (written != length)
        LightLogExt(20000, 0, kSrc, __LINE__,
                    "GpioSetDir<%d> is aready have, write is Error and it is value is <%d>!", n, (int)written);
    LightLogExt(20000, 0, kSrc, __LINE__, "GpioExport is ok and gpio num is  <%d> ", n);
}

void CVELMARGPIOTask::SetGpioDir(int n, int dir)
{
    // The terminator goes out too: "out" is 4 bytes, "in" 3.
    const char* text = dir == 1 ? "out" : "in";
    ssize_t written = WriteGpioFile(n, "direction", text, strlen(text) + 1);
    if (written != (ssize_t)(strlen(text) + 1))
        LightLogExt(40000, 0, kSrc, __LINE__, "######SetGpioDir write is Error and it is value is <%d>!",
                    (int)written);
    LightLogExt(20000, 0, kSrc, __LINE__, "SetGpioDir is ok and gpio num is  <%d>, direction is <%d>", n, dir);
}

bool CVELMARGPIOTask::GetGpioVal(int n, uint8_t* value)
{
    int fd = GpioOpen(n, "value");
    char text[31];
    ssize_t got = fd >= 0 ? read(fd, text, sizeof(text) - 1) : -1;
    GpioClose(fd);
    if (got < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######GetGpioVal read is Error and Rret is <%d>", (int)got);
        return false;
    }
    text[got] = '\0';
    *value = (uint8_t)strtoul(text, nullptr, 10);
    return true;
}

void CVELMARGPIOTask::SetGpioVal(int n, int v)
{
    if (n != kLedGpio) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######gpio channel<%d> is ERROR .", n);
        return;
    }
    const char* text = v == 1 ? "1" : "0";
    if (WriteGpioFile(n, "value", text, 2) != 2)
        LightLogExt(40000, 0, kSrc, __LINE__, "######SetGpioVal write is Error and it is value is <%d>!", v);
}

// ---- The task -------------------------------------------------------------------

int CVELMARGPIOTask::Initialize()
{
    m_pTimeout = new (std::nothrow) QuorSecTimeoutTask<5>(this, 0);
    if (m_pTimeout == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Put in for memory for Timer failed!");
        return -1;
    }
    GpioExport(kResetButtonGpio);
    SetGpioDir(kResetButtonGpio, 0);
    m_pTimeout->SetTimeOutMilSec(kPollMilSec);
    LightLogExt(20000, 0, kSrc, __LINE__, "CVELMARGPIOTask::Initialize OK!");
    return 0;
}

int64_t CVELMARGPIOTask::Run()
{
    if ((GetEvents() & TASK_EVT_TIMEOUT) != 0)
        ReadEtherResetButtonStatus();
    return 0;
}

void CVELMARGPIOTask::ReadEtherResetButtonStatus()
{
    uint8_t value = 0;
    if (!GetGpioVal(kResetButtonGpio, &value))
        return;
    if (value == 1) {
        m_u16Armed.store(1);
        m_u16HoldCount.store(0);
        if (m_pTimeout != nullptr)
            m_pTimeout->RefreshTimeout();
        return;
    }
    if (m_u16Armed.load() == 0)
        return;
    uint16_t held = m_u16HoldCount.load();
    if (held < UINT16_MAX)
        m_u16HoldCount.store(++held);
    if (held < CQuorVelmarPref::s_u16Quor_ResetTimer)
        return;
    LightLogExt(20000, 1, kSrc, __LINE__, "Reset Button is on, reset machine Now.");
    m_pfnSendReset(sizeof(kResetCommand) - 1, kResetCommand);
}
