// The MCU firmware programming task: see QuorUpgradeTRM40Task.h.
#include "QuorUpgradeTRM40Task.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <new>

#include "LightLog.h"
#include "OS.h"
#include "OSMutex.h"
#include "OSThread.h"
#include "QuorUpgradeNames.h"
#include "QuorVelmarModulInfoList.h"
#include "QuorVelmarUartTask.h"

std::atomic<uint16_t> b16UpTRM90{0};
CQuorUpgradeTRM40Task* g_UpgradeTRM40Task = nullptr;

namespace {

// Held from the claim of an "update" until the upgrade has ended.
std::atomic<uint16_t> s_b16McuUpgradeClaim{0};

// What the last upgrade could not send, for the operator.
OSMutex& NoticeMutex()
{
    static OSMutex* mutex = new OSMutex;  // lives as long as the process
    return *mutex;
}
char s_cMcuUpgradeNotice[QUOR_MCU_NOTICE_SIZE];

}  // namespace

namespace {

const char kSrc[] = "src/QuorUpgradeTRM40Task";
const char kDevice[] = "/dev/ttyS1";
const char kSuccess[] = "0";
const char kFailure[] = "99";
const char kRunning[] = "1";
const char* const kBankSuffix[] = {".h00", ".h01", ".h02"};

enum : uint32_t {
    kFirstQuietMs = 200, kBlockWaitQuietMs = 100, kSelectQuietMs = 10, kQuietMs = 33,
    kResendPauseMs = 10, kAfter86PauseMs = 5, kAfterBlockPauseMs = 50, kAfter85PauseMs = 50,
    kRetryPauseMs = 10, kHandBackPauseMs = 50
};
enum : uint32_t { kFirstUpperPage = 0x80, kSkipFrom = 0x70, kLastBank = 2, kBankTwoEndFrom = 0x84 };

// The states of the protocol loop.
enum : int32_t {
    kSendUpg = 0, kWaitUpg = 1, kWaitPrompt = 2, kEntered = 3, kSend87 = 13, kWait87 = 14,
    kChooseBank = 5, kWaitBank = 6, kChooseAddr = 7, kWaitAddr = 8, kSend86 = 11, kWait86 = 12,
    kSendBlock = 17, kWaitAck = 15, kSend85 = 9, kNextPage = 16
};

void SetUpdateStatus(const char* status)
{
    g_ModulInfolist.SetOwnField(&T_QuorModulInfo::Updatestatus_MCU, status);
    LightLogExt(20000, 0, kSrc, __LINE__, "g_ModulInfolist Updatestatus_MCU is <%s>", status);
}

// g_MCUVersionFile followed by the bank's suffix; false when it does not fit.
bool BankFilePath(uint32_t bank, char (&path)[QUOR_UPGRADE_NAME_SIZE + 8])
{
    char base[QUOR_UPGRADE_NAME_SIZE];
    if (bank > kLastBank || !QuorGetUpgradeName(g_MCUVersionFile, base, sizeof(base)))
        return false;
    int length = snprintf(path, sizeof(path), "%s%s", base, kBankSuffix[bank]);
    return length > 0 && (size_t)length < sizeof(path);
}

// Logs (and keeps for "upgradeinfo") the pages of this bank's image that
// hold data the protocol does not send.
void ReportPagesNotSent(uint32_t bank)
{
    uint32_t first = 0, last = 0;
    if (!QuorPagesNotSent(bank, g_FlashBuf, &first, &last))
        return;
    char text[128];
    snprintf(text, sizeof(text), "Bank <%u> pages <0x%02X> to <0x%02X> hold data that is not sent.", bank, first,
             last);
    LightLogExt(40000, 0, kSrc, __LINE__, "######%s", text);
    QuorSetMcuUpgradeNotice(text);
}

void LogAnswer(const unsigned char* answer, uint32_t length)
{
    for (uint32_t i = 0; i < length; ++i)
        LightLogExt(10000, 0, kSrc, __LINE__, "@@@@@@Receive Uart MSG[%d] is <0x%x>", (int)i, answer[i]);
    LightLogExt(10000, 0, kSrc, __LINE__, "@@@@@@Receive Uart MSG is <%.*s>", (int)length,
                reinterpret_cast<const char*>(answer));
}

}  // namespace

bool QuorClaimMcuUpgrade()
{
    uint16_t expected = 0;
    if (s_b16McuUpgradeClaim.compare_exchange_strong(expected, 1, std::memory_order_acq_rel))
        return true;
    LightLogExt(40000, 0, kSrc, __LINE__, "######MCU upgrade is running, the new one is refused.");
    return false;
}

void QuorReleaseMcuUpgrade()
{
    s_b16McuUpgradeClaim.store(0, std::memory_order_release);
}

bool QuorStartClaimedMcuUpgrade()
{
    QuorSetMcuUpgradeNotice(nullptr);
    SetUpdateStatus(kRunning);
    if (g_pVelmarUartTask != nullptr)
        g_pVelmarUartTask->AllowOpenUartOne(0);
    b16UpTRM90.store(1, std::memory_order_release);
    return true;
}

bool QuorStartMcuUpgrade()
{
    return QuorClaimMcuUpgrade() && QuorStartClaimedMcuUpgrade();
}

void QuorSetMcuUpgradeNotice(const char* text)
{
    OSMutexLocker locker(&NoticeMutex());
    if (text == nullptr) {
        s_cMcuUpgradeNotice[0] = '\0';
        return;
    }
    size_t used = strlen(s_cMcuUpgradeNotice);
    snprintf(s_cMcuUpgradeNotice + used, sizeof(s_cMcuUpgradeNotice) - used, "%s%s", used > 0 ? " " : "", text);
}

void QuorGetMcuUpgradeNotice(char* out, size_t outSize)
{
    if (out == nullptr || outSize == 0)
        return;
    OSMutexLocker locker(&NoticeMutex());
    snprintf(out, outSize, "%s", s_cMcuUpgradeNotice);
}

bool QuorPagesNotSent(uint32_t bank, const unsigned char* image, uint32_t* first, uint32_t* last)
{
    bool sent[QUOR_FLASH_IMAGE_SIZE / QUOR_FLASH_PAGE_SIZE] = {};
    const uint32_t pages = sizeof(sent);
    if (bank == 0) {
        for (uint32_t page = 0; page < pages; ++page)
            sent[page] = page < kSkipFrom || page >= kFirstUpperPage;
    } else if (bank == 1) {
        for (uint32_t page = kFirstUpperPage; page < pages; ++page)
            sent[page] = true;
    } else {
        // Bank 2 ends after the block, from page 0x84 on, whose next block
        // looks blank, or after the image's last block.
        for (uint32_t page = kFirstUpperPage; page + 1 < pages; page += 2) {
            sent[page] = sent[page + 1] = true;
            if (page + 3 > CQuorUpgradeTRMxx::kLastPage ||
                (page >= kBankTwoEndFrom && QuorFlashBlockLooksBlank(image + (page + 2) * QUOR_FLASH_PAGE_SIZE)))
                break;
        }
    }
    bool any = false;
    for (uint32_t page = 0; page < pages; ++page) {
        const unsigned char* bytes = image + page * QUOR_FLASH_PAGE_SIZE;
        if (sent[page] || std::all_of(bytes, bytes + QUOR_FLASH_PAGE_SIZE, [](unsigned char b) { return b == 0xFF; }))
            continue;
        if (!any)
            *first = page;
        *last = page;
        any = true;
    }
    return any;
}

CQuorUpgradeTRM40Task::CQuorUpgradeTRM40Task()
    : m_s32State(kWaitUpg), m_b16Started(0), m_u8Steps(0), m_b16BlockWait(1), m_b16Selecting(0),
      m_b16BlockAcked(0), m_u32SendCount(0), m_u32Retries(0), m_pTimeout(nullptr)
{
    SetTaskName("CQuorUpgradeTRM40Task");
}

CQuorUpgradeTRM40Task::~CQuorUpgradeTRM40Task()
{
    delete m_pTimeout;
}

int CQuorUpgradeTRM40Task::Initialize()
{
    m_pTimeout = new (std::nothrow) QuorSecTimeoutTask<9>(this, 1);
    if (m_pTimeout == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######new g_pTRM40TaskTimeout failed! when CQuorUpgradeTRM40Task().");
        return -1;
    }
    Signal(TASK_EVT_START);
    return 0;
}

int64_t CQuorUpgradeTRM40Task::Run()
{
    GetEvents();
    if (m_pTimeout != nullptr)
        m_pTimeout->RefreshTimeout();
    if (b16UpTRM90.load(std::memory_order_acquire) == 0)
        return 1000;
    SetUpdateStatus(kRunning);
    if (m_Icp.OpenUart() < 0) {
        TRM40RevDateTimeOut(kFailure);
        return 1000;
    }
    RecvUARTMsgPackage();
    return 1000;
}

// ---- The protocol loop ----------------------------------------------------------

int CQuorUpgradeTRM40Task::RecvUARTMsgPackage()
{
    const int fd = m_Icp.m_Uartfd;
    tcflush(fd, TCIOFLUSH);
    unsigned char answer[kAnswerSize + 1];
    int quietMs = kFirstQuietMs;
    while (b16UpTRM90.load(std::memory_order_acquire) != 0) {
        if (m_b16Started == 0 && StartUpgrade() < 0)
            return -2;
        uint32_t have = 0;
        // A garbled answer (the line never fell quiet) moves no state: it
        // is a step without progress, so a line that keeps sending ends
        // the upgrade through the step limit.
        if (WaitForAnswer(fd, quietMs, answer, &have) != kGarbled) {
            answer[have] = '\0';
            LogAnswer(answer, have);
            int result = Step(answer, have);
            if (result < 0)
                return result;
        }
        if (b16UpTRM90.load(std::memory_order_relaxed) != 0 && ++m_u8Steps >= kStepLimit) {
            TRM40RevDateTimeOut(kFailure);
            return -1;
        }
        quietMs = QuietTimeMs();
    }
    return 0;
}

// Collects bytes until the line has been quiet for quietMs, for at most
// kAnswerCapMs. 0; kGarbled when the line did not fall quiet in time or
// the bytes outgrew the answer buffer; -1 after a read error (the bytes so
// far are the answer).
int CQuorUpgradeTRM40Task::WaitForAnswer(int fd, int quietMs, unsigned char* answer, uint32_t* have)
{
    const int64_t deadline = OS::Milliseconds() + kAnswerCapMs;
    for (;;) {
        const int64_t left = deadline - OS::Milliseconds();
        const int waitMs = left < quietMs ? (int)(left > 0 ? left : 0) : quietMs;
        struct pollfd wait = {fd, POLLIN, 0};
        int ready = poll(&wait, 1, waitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0 && waitMs < quietMs)
            return Garbled("did not fall quiet", *have);
        if (ready <= 0 || (wait.revents & POLLIN) == 0)
            return 0;
        ssize_t n = read(fd, answer + *have, kAnswerSize - *have);
        if (n <= 0) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######read uart fail, s32ReadLen is <%d>.", (int)n);
            return -1;
        }
        *have += (uint32_t)n;
        if (*have >= kAnswerSize) {
            *have = 0;  // longer than any answer
            return Garbled("outgrew the answer buffer", kAnswerSize);
        }
    }
}

int CQuorUpgradeTRM40Task::Garbled(const char* why, uint32_t have)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "######Uart answer %s (%u bytes, %u ms at most), step <%u> without progress.",
                why, have, (unsigned)kAnswerCapMs, (unsigned)m_u8Steps + 1);
    return kGarbled;
}

int CQuorUpgradeTRM40Task::QuietTimeMs() const
{
    if (m_b16BlockWait != 0)
        return kBlockWaitQuietMs;
    if (m_b16Selecting != 0 || m_u32SendCount == 2 || m_u32SendCount == 4)
        return kSelectQuietMs;
    return kQuietMs;
}

int CQuorUpgradeTRM40Task::StartUpgrade()
{
    char path[QUOR_UPGRADE_NAME_SIZE + 8];
    m_Icp.ResetProgress();
    if (!BankFilePath(0, path) || m_Icp.ProcessReadUpgradeFile(path) != 0) {
        TRM40RevDateTimeOut(kFailure);
        return -2;
    }
    ReportPagesNotSent(0);
    m_b16Started = 1;
    m_s32State = kWaitUpg;
    CQuorUpgradeTRMxx::SetUartSpeed(kDevice, CQuorUpgradeTRMxx::kSpeed);
    m_Icp.ApplyIntoUpgradeModleReq();
    return 0;
}

int CQuorUpgradeTRM40Task::Step(const unsigned char* answer, uint32_t length)
{
    switch (m_s32State) {
    case kSendUpg: case kWaitUpg: case kWaitPrompt: case kEntered: case kSend87: case kWait87:
        return StepEnterLoader(answer, length);
    case kChooseBank: case kWaitBank: case kChooseAddr: case kWaitAddr: case kSend86: case kWait86:
        return StepChoose(answer, length);
    case kSendBlock: case kWaitAck: case kSend85: case kNextPage:
        return StepBlock(answer, length);
    default:
        return 0;  // 4, 10 and the idle state: nothing
    }
}

// States 0 to 3, 13 and 14: into the boot loader, read the chip name.
int CQuorUpgradeTRM40Task::StepEnterLoader(const unsigned char* answer, uint32_t length)
{
    switch (m_s32State) {
    case kSendUpg:
        m_Icp.ApplyIntoUpgradeModleReq();
        LightLogExt(20000, 0, kSrc, __LINE__, "ProcessSubUpgradeModeReq is OK! waiting MSG <JUMP to ICP mode...>");
        Progress();
        m_s32State = kWaitUpg;
        break;
    case kWaitUpg: {
        int result = m_Icp.ApplyIntoUpgradeModleRsp(answer, length);
        if (result == 0) {
            Progress();
            m_s32State = kWaitPrompt;
        } else if (result == 1) {
            m_s32State = kEntered;
        } else {
            OSThread::Sleep(kResendPauseMs);
            m_Icp.ApplyIntoUpgradeModleReq();
        }
        break;
    }
    case kWaitPrompt:
        if (m_Icp.Check0x3EModleRsp(answer, length) == 0) {
            Progress();
            m_s32State = kEntered;
        }
        break;
    case kEntered:
        Progress();
        m_s32State = kSend87;
        break;
    case kSend87:
        m_Icp.Check0x87Req();
        m_s32State = kWait87;
        break;
    default:  // kWait87
        m_Icp.Check0x87Rsp(answer, length);
        Progress();
        m_s32State = kChooseBank;
        break;
    }
    return 0;
}

// States 5 to 8, 11 and 12: choose the bank, then the page of each block.
int CQuorUpgradeTRM40Task::StepChoose(const unsigned char* answer, uint32_t length)
{
    switch (m_s32State) {
    case kChooseBank:
        m_b16Selecting = 1;
        m_b16BlockWait = 0;
        m_Icp.ChoiceFlashBlockReq(m_Icp.m_u32Bank);
        m_s32State = kWaitBank;
        break;
    case kWaitBank:
        m_Icp.ChoiceFlashBlockRsp(answer, length);
        Progress();
        m_s32State = kChooseAddr;
        break;
    case kChooseAddr:
        m_b16Selecting = 1;
        if (m_Icp.m_u32Bank == kLastBank && m_Icp.m_u32FlsAddr > 0xFE) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######m_u32FlsAddr is <0x%x> Error.", m_Icp.m_u32FlsAddr);
            TRM40RevDateTimeOut(kFailure);
            return -1;
        }
        if (m_Icp.ChoiceFlashAddrReq(m_Icp.m_u32FlsAddr) == -2 && m_Icp.m_u32FlsAddr > CQuorUpgradeTRMxx::kLastPage) {
            m_Icp.m_b16BankEnd = 1;
            m_Icp.m_u32BlocksWritten = 0;
            m_s32State = kNextPage;
        } else {
            m_s32State = kWaitAddr;
        }
        break;
    case kWaitAddr:
        if (m_Icp.ChoiceFlashAddrRsp(answer, length) == 0) {
            Progress();
            m_s32State = kSend86;
        } else {
            m_s32State = kChooseAddr;
        }
        break;
    case kSend86:
        m_Icp.Check0x86Req();
        OSThread::Sleep(kAfter86PauseMs);
        m_s32State = kSendBlock;
        break;
    default:  // kWait86, which no step enters
        if (m_Icp.Check0x86Rsp(answer, length) == 0) {
            OSThread::Sleep(kResendPauseMs);
            m_s32State = kSendBlock;
        } else {
            m_s32State = kSend86;
        }
        break;
    }
    return 0;
}

// States 17, 15, 9 and 16: send a block, wait for its 0x5A, close it, go on.
int CQuorUpgradeTRM40Task::StepBlock(const unsigned char* answer, uint32_t length)
{
    switch (m_s32State) {
    case kSendBlock: {
        ++m_u32SendCount;
        m_b16Selecting = 0;
        int result = m_Icp.SendUpgrade512DateWriteToUart();
        OSThread::Sleep(kAfterBlockPauseMs);
        if (result == 0) {
            m_Icp.m_u32BlocksWritten = m_Icp.m_b16BankEnd != 0 ? 0 : m_Icp.m_u32BlocksWritten + 1;
            Progress();
            m_s32State = kWaitAck;
        } else {
            m_s32State = kNextPage;
        }
        break;
    }
    case kWaitAck:
        m_b16BlockAcked = length > 0 && answer[length - 1] == 0x5A;
        if (m_b16BlockAcked != 0) {
            m_u32Retries = 0;
            Progress();
            m_s32State = kSend85;
            break;
        }
        OSThread::Sleep(kRetryPauseMs);
        if (++m_u32Retries > kRetryLimit) {
            LightLogExt(40000, 0, kSrc, __LINE__, "######Write 512Bit is Error,and can't Receive 0x5A!.");
            TRM40RevDateTimeOut(kFailure);
            return -1;
        }
        break;
    case kSend85:
        ++m_u32SendCount;
        m_Icp.Check0x85Req();
        OSThread::Sleep(kAfter85PauseMs);
        Progress();
        m_s32State = kNextPage;
        break;
    default:  // kNextPage
        return NextPage();
    }
    return 0;
}

// State 16: the next page, or the end of the bank.
int CQuorUpgradeTRM40Task::NextPage()
{
    m_Icp.m_u32FlsAddr += 2;
    if (m_Icp.m_u32FlsAddr == kSkipFrom)
        m_Icp.m_u32FlsAddr = kFirstUpperPage;
    Progress();
    m_s32State = kChooseAddr;
    if (m_Icp.m_u32Bank == kLastBank && m_Icp.m_b16BankEnd == 0 && BankTwoDataEnds())
        m_Icp.m_b16BankEnd = 1;
    return m_Icp.m_b16BankEnd != 0 ? EndOfBank() : 0;
}

// Bank 2 ends at the first block, from page 0x84 on, whose next block is
// blank at bytes 0, 1, 2 and 511, or after the image's last block.
bool CQuorUpgradeTRM40Task::BankTwoDataEnds() const
{
    const uint32_t sent = m_Icp.m_u32SendAddr;
    unsigned char next[QUOR_FLASH_BLOCK_SIZE];
    bool pastImage = sent + 3 > CQuorUpgradeTRMxx::kLastPage;
    if (!pastImage && (Get512BytesFlashData(next, sent + 2) != 0 || !QuorFlashBlockLooksBlank(next) ||
                       sent < kBankTwoEndFrom))
        return false;
    LightLogExt(20000, 0, kSrc, __LINE__,
                "cSendMsg[0] is <%X>, SendMsg[1] is <%X>, SendMsg[2] is <%X> ,SendMsg[512] is <%X>, Read File is End.",
                pastImage ? 0xFF : next[0], pastImage ? 0xFF : next[1], pastImage ? 0xFF : next[2],
                pastImage ? 0xFF : next[QUOR_FLASH_BLOCK_SIZE - 1]);
    return true;
}

int CQuorUpgradeTRM40Task::EndOfBank()
{
    const uint32_t bank = m_Icp.m_u32Bank;
    LightLogExt(20000, 0, kSrc, __LINE__, "Upgrade Bank <%u> is Finish.", bank);
    g_row.fetch_add(0x80);
    m_Icp.m_u32BlocksWritten = 0;
    if (bank >= kLastBank) {
        LightLogExt(20000, 0, kSrc, __LINE__, "Upgrade TRM40 is Finish.");
        TRM40RevDateTimeOut(kSuccess);
        return 0;
    }
    m_Icp.m_b16BankEnd = 0;
    char path[QUOR_UPGRADE_NAME_SIZE + 8];
    if (!BankFilePath(bank + 1, path) || m_Icp.ProcessReadUpgradeFile(path) != 0) {
        TRM40RevDateTimeOut(kFailure);
        return -2;
    }
    ReportPagesNotSent(bank + 1);
    m_Icp.m_u32FlsAddr = kFirstUpperPage;
    m_Icp.m_u32Bank = bank + 1;
    m_s32State = kChooseBank;
    LightLogExt(20000, 0, kSrc, __LINE__, "Upgrade Bank <%u> and File is <%s>", m_Icp.m_u32Bank, path);
    printf("Upgrade Bank <%u> and File is <%s>\n", m_Icp.m_u32Bank, path);
    return 0;
}

// ---- Ending --------------------------------------------------------------------------

void CQuorUpgradeTRM40Task::TRM40RevDateTimeOut(const char* result)
{
    if (strcmp(result, kSuccess) != 0)
        LightLogExt(40000, 0, kSrc, __LINE__, "######TRM40 RevDate TimeOut!");
    m_s32State = kStateIdle;
    m_u8Steps = 0;
    m_b16Selecting = 0;
    m_b16BlockAcked = 0;
    m_b16BlockWait = 1;
    m_u32SendCount = 0;
    m_u32Retries = 0;
    m_Icp.ResetProgress();
    g_row.store(0);
    m_Icp.CloseUart();
    OSThread::Sleep(kHandBackPauseMs);
    QuorSetUpgradeName(g_UpVersion, "");
    m_b16Started = 0;
    if (g_pVelmarUartTask != nullptr)
        g_pVelmarUartTask->AllowOpenUartOne(1);
    // Last: the result is shown, and a new upgrade may start, once the
    // line is back and the upload name is cleared.
    SetUpdateStatus(result);
    b16UpTRM90.store(0, std::memory_order_release);
    QuorReleaseMcuUpgrade();
}
