// The MCU's in-circuit programming protocol: see QuorUpgradeTRMxx.h.
#include "QuorUpgradeTRMxx.h"

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "BoardPath.h"
#include "LightLog.h"
#include "OSThread.h"
#include "QuorVelmarFunction.h"
#include "ShellCommand.h"

namespace {

const char kSrc[] = "src/QuorUpgradeTRMxx";
const char kDevice[] = "/dev/ttyS1";
const int kWriteTries = 3;
const uint32_t kWriteRetryPauseMs = 1000;
const uint32_t kBlockPauseMs = 20;
const uint32_t kSpeedPauseMs = 10;
const int kWritableMs = 1000;

// The line takes bytes within kWritableMs; a line that never does (a stuck
// port) fails the write instead of holding the task.
bool Writable(int fd)
{
    struct pollfd wait = {fd, POLLOUT, 0};
    int ready;
    do {
        ready = poll(&wait, 1, kWritableMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (wait.revents & POLLOUT) != 0;
}

bool FirstIs(const unsigned char* answer, uint32_t length, unsigned char byte)
{
    return answer != nullptr && length > 0 && answer[0] == byte;
}

bool IsLoaderPrompt(const unsigned char* answer, uint32_t length)
{
    return FirstIs(answer, length, 0x3E) || FirstIs(answer, length, 0x3C);
}

}  // namespace

bool QuorFlashBlockLooksBlank(const unsigned char* block)
{
    return block[0] == 0xFF && block[1] == 0xFF && block[2] == 0xFF && block[QUOR_FLASH_BLOCK_SIZE - 1] == 0xFF;
}

CQuorUpgradeTRMxx::CQuorUpgradeTRMxx() : m_Uartfd(0)
{
    ResetProgress();
    memset(m_RecvBuf, 0, sizeof(m_RecvBuf));
}

void CQuorUpgradeTRMxx::ResetProgress()
{
    m_u32FlsAddr = 0;
    m_u32Bank = 0;
    m_b16BankEnd = 0;
    m_s32Filefd = 0;
    m_u32FileSize = 0;
    m_u32BlocksWritten = 0;
    m_u32SendAddr = 0;
    memset(m_SendBuf, 0, sizeof(m_SendBuf));
}

// ---- Requests and answer checks ----------------------------------------------

int CQuorUpgradeTRMxx::ApplyIntoUpgradeModleReq()
{
    static const unsigned char kUpg[] = {'U', 'P', 'G', '\r', '\n'};
    int result = SendUartMsg(kUpg, sizeof(kUpg));
    LightLogExt(20000, 0, kSrc, __LINE__,
                "In ApplyIntoUpgradeModleReq Fun, SendUartMsg!eRet is <%d>, send uart uLen is <%u>, SendBuf is <%s>.",
                result, (unsigned)sizeof(kUpg), "UPG\r\n");
    return result;
}

int CQuorUpgradeTRMxx::ApplyIntoUpgradeModleRsp(const unsigned char* answer, uint32_t length)
{
    if (answer != nullptr && length >= 3 && strncasecmp(reinterpret_cast<const char*>(answer), "UPG", 3) == 0) {
        LightLogExt(20000, 0, kSrc, __LINE__, "@@@@@@receive MSG <%.*s>, Waiting for 3E/3C.", (int)length,
                    reinterpret_cast<const char*>(answer));
        return 0;
    }
    if (IsLoaderPrompt(answer, length) || FirstIs(answer, length, 0xFE)) {
        if (FirstIs(answer, length, 0xFE))
            SendByte(0x81);  // Check0x3EModleRsp knows ">" and "<" only
        else
            Check0x3EModleRsp(answer, length);
        return 1;
    }
    return -2;
}

int CQuorUpgradeTRMxx::Check0x3EModleRsp(const unsigned char* answer, uint32_t length)
{
    if (!IsLoaderPrompt(answer, length))
        return -2;
    SendByte(0x81);
    LightLogExt(20000, 0, kSrc, __LINE__, "CheckICPModle Receive Msg[0] is <0x%x>, send Msg is <0x81>", answer[0]);
    return 0;
}

int CQuorUpgradeTRMxx::Check0x81Req()
{
    return SendByte(0x81);
}

int CQuorUpgradeTRMxx::Check0x87Req()
{
    return SendByte(0x87);
}

int CQuorUpgradeTRMxx::Check0x87Rsp(const unsigned char* answer, uint32_t length)
{
    if (FirstIs(answer, length, 0x87)) {
        LightLogExt(20000, 0, kSrc, __LINE__, "chip name is <%.*s>", (int)length,
                    reinterpret_cast<const char*>(answer));
        return 0;
    }
    LightLogExt(40000, 0, kSrc, __LINE__, "Check0x87Rsp Receive Msg is <0x%x> Error.",
                length > 0 && answer != nullptr ? answer[0] : 0);
    return -2;
}

int CQuorUpgradeTRMxx::ChoiceFlashBlockReq(uint32_t bank)
{
    unsigned char request[2] = {0x83, (unsigned char)bank};
    LightLogExt(20000, 0, kSrc, __LINE__, "Choice Flash Block is <0x%x>", bank);
    return SendUartMsg(request, sizeof(request));
}

int CQuorUpgradeTRMxx::ChoiceFlashBlockRsp(const unsigned char* answer, uint32_t length)
{
    for (uint32_t i = 0; answer != nullptr && i < length; ++i)
        LightLogExt(20000, 0, kSrc, __LINE__, "ChoiceFlashBlockRsp Msg[%d] is <0x%x>", (int)i, answer[i]);
    return 0;
}

int CQuorUpgradeTRMxx::ChoiceFlashAddrReq(uint32_t page)
{
    if (page > kLastPage)
        return -2;
    unsigned char request[3] = {0x84, (unsigned char)page, 0x00};
    m_u32SendAddr = page;
    LightLogExt(20000, 0, kSrc, __LINE__, "Choice FlashAddr is 0x84 <0x%x>", page);
    return SendUartMsg(request, sizeof(request));
}

int CQuorUpgradeTRMxx::ChoiceFlashAddrRsp(const unsigned char* answer, uint32_t length)
{
    return FirstIs(answer, length, 0x84) ? 0 : -2;
}

int CQuorUpgradeTRMxx::Check0x86Req()
{
    return SendByte(0x86);
}

int CQuorUpgradeTRMxx::Check0x86Rsp(const unsigned char* answer, uint32_t length)
{
    if (FirstIs(answer, length, 0x86))
        return 0;
    LightLogExt(40000, 0, kSrc, __LINE__, "Check0x86Rsp Receive Msg is <0x%x> Error.",
                length > 0 && answer != nullptr ? answer[0] : 0);
    return -2;
}

int CQuorUpgradeTRMxx::Check0x85Req()
{
    return SendByte(0x85);
}

int CQuorUpgradeTRMxx::SendUpgrade512DateWriteToUart()
{
    if (Get512BytesFlashData(m_SendBuf, m_u32SendAddr) != 0)
        memset(m_SendBuf, 0xFF, QUOR_FLASH_BLOCK_SIZE);  // no such block in the image
    LightLogExt(20000, 0, kSrc, __LINE__, "m_u32SendAddr is <%d>, g_row is <%d>", (int)m_u32SendAddr,
                (int)g_row.load());
    if (QuorFlashBlockLooksBlank(m_SendBuf) && m_u32SendAddr > kLastPage) {
        LightLogExt(20000, 0, kSrc, __LINE__,
                    "cSendMsg[0] is <%X>, SendMsg[1] is <%X>, SendMsg[2] is <%X> ,SendMsg[512] is <%X>, Read File is "
                    "End.",
                    m_SendBuf[0], m_SendBuf[1], m_SendBuf[2], m_SendBuf[QUOR_FLASH_BLOCK_SIZE - 1]);
        m_b16BankEnd = 1;
        if (m_u32Bank == 2 && ShellCommand().Run("sync") != 0)
            LightLogExt(40000, 0, kSrc, __LINE__, "######system <%s> Error!", "sync");
        return -2;
    }
    SendUartMsg(m_SendBuf, QUOR_FLASH_BLOCK_SIZE);
    OSThread::Sleep(kBlockPauseMs);
    return 0;
}

int CQuorUpgradeTRMxx::SendUartChannelCtrlCmd(uint8_t cmd)
{
    unsigned char request[5] = {0x05, 'U', 'U', 'W', cmd};
    int result = SendUartMsg(request, sizeof(request));
    LightLogExt(20000, 0, kSrc, __LINE__, "In SendUartChannelCtrlCmd Fun, SendUartMsg!i_u32CtrlCmd is <0x%x>, eRet is <%d>.",
                cmd, result);
    return result;
}

int CQuorUpgradeTRMxx::SendByte(unsigned char byte)
{
    return SendUartMsg(&byte, 1);
}

// ---- The port ---------------------------------------------------------------------

int CQuorUpgradeTRMxx::OpenUart()
{
    CloseUart();
    char path[BoardPath::kMaxRoot + sizeof(kDevice)];
    int fd = BoardPath::Resolve(kDevice, path) == 0 ? open(path, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (fd <= 0) {
        if (fd == 0)
            close(fd);  // descriptor 0 means "closed" here
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Open Uartfd<%s> fail.", kDevice);
        return -1;
    }
    m_Uartfd = fd;
    LightLogExt(20000, 0, kSrc, __LINE__, "OpenUart is OK and Uart is <%d>.", fd);
    return fd;
}

void CQuorUpgradeTRMxx::CloseUart()
{
    if (m_Uartfd <= 0)
        return;
    close(m_Uartfd);
    m_Uartfd = 0;
    LightLogExt(20000, 0, kSrc, __LINE__, "CloseUart and Uart is <%d>.", m_Uartfd);
}

int CQuorUpgradeTRMxx::SetUartSpeed(const char* device, int speed)
{
    char command[256];
    int length = snprintf(command, sizeof(command),
                          "stty -F %s speed %d -ixon -inlcr -icrnl -onlcr -ocrnl -isig -icanon -iexten -echo -echoe "
                          "-echok -echoctl -echoke",
                          device, speed);
    if (length < 0 || (size_t)length >= sizeof(command))
        return -2;
    LightLogExt(20000, 0, kSrc, __LINE__, "SetUartSpeed cmd is <%s>", command);
    int result = ShellCommand().Run(command);
    if (result != 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "######SetUartSpeed <%s> Error!", command);
    OSThread::Sleep(kSpeedPauseMs);
    return result;
}

int CQuorUpgradeTRMxx::SendUartMsg(const unsigned char* bytes, uint32_t length)
{
    print_mem(20000, bytes, length);
    uint32_t written = 0;
    for (int tries = 1;;) {
        ssize_t result = -1;
        if (m_Uartfd > 0 && Writable(m_Uartfd)) {
            result = write(m_Uartfd, bytes + written, length - written);
            if (result < 0 && errno == EINTR)
                continue;
        }
        if (result > 0) {
            written += (uint32_t)result;
            if (written < length)
                continue;
            LightLogExt(10000, 0, kSrc, __LINE__, "write Uart Msg is <%.*s>, Len is <%d> finish!", (int)length,
                        reinterpret_cast<const char*>(bytes), (int)length);
            return (int)written;
        }
        LightLogExt(40000, 0, kSrc, __LINE__, "###### write m_Uartfd fail, sRet is <%d>.", (int)result);
        if (tries++ >= kWriteTries) {
            LightLogExt(40000, 0, kSrc, __LINE__, "###### aready retry write 3th.");
            return -2;
        }
        OSThread::Sleep(kWriteRetryPauseMs);
    }
}

int CQuorUpgradeTRMxx::ProcessReadUpgradeFile(const char* path)
{
    return QuorReadUpgradeFile(path);
}
