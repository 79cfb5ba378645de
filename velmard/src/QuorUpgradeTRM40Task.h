// The MCU firmware programming task (thread pool 9): programs the three
// flash banks of the MCU over "/dev/ttyS1" with the boot loader's protocol
// (QuorUpgradeTRMxx.h), from the bank files g_MCUVersionFile + ".h00",
// ".h01", ".h02" (QuorUpgradeFlashImage.h).
//
// Starting (the web side's "update" for "MCU"): set g_MCUVersionFile
// (QuorUpgradeNames.h), then QuorStartMcuUpgrade(), which sets the module
// record's Updatestatus_MCU to "1", makes the MCU serial task release the
// line and sets b16UpTRM90 last (release order), so the task sees the name
// complete. The task polls the flag once a second and runs the whole upgrade
// inside one Run. Every ending, success or failure, sets Updatestatus_MCU
// ("0" only after the last bank's normal end, "99" for every failure),
// closes the port, clears the flag and hands the line back to the MCU serial
// task (AllowOpenUartOne(1)) 50 ms later; the next upgrade starts at bank 0.
//
// Answers: the MCU's bytes are collected until the line has been quiet for
// the quiet time (200 ms before the first step; then 100 ms while the block
// is not chosen, 10 ms during a selection or after the first two sends,
// else 33 ms); each quiet period is one step of the state machine. A
// collection that reaches 24 bytes or lasts 400 ms (kAnswerCapMs) is
// garbled: it is dropped and counts as a step without progress. Fifty steps
// without progress end the upgrade, so a line that never falls quiet ends
// it within 50 x 400 ms plus the pauses, wherever it starts.
//
// One upgrade at a time: the web side claims it (QuorClaimMcuUpgrade, a
// compare-and-exchange) before it moves any file, and the claim is
// released when the upgrade ends (or by the claimant when it gives up).
//
// Before the first block of each bank, pages of the image that hold data
// but that the protocol does not send (bank 0: 0x70-0x7F; banks 1 and 2:
// below 0x80; bank 2: after its data seems to end) are logged at 40000 and
// kept as the upgrade's notice (QuorGetMcuUpgradeNotice).
#ifndef QUOR_UPGRADE_TRM40TASK_H
#define QUOR_UPGRADE_TRM40TASK_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "QuorSecTimeoutTask.h"
#include "QuorTask.h"
#include "QuorUpgradeTRMxx.h"

// Set to 1 to start the MCU programming; the task clears it when done.
extern std::atomic<uint16_t> b16UpTRM90;

enum : size_t { QUOR_MCU_NOTICE_SIZE = 256 };

// Takes the one MCU upgrade: false (logged) while another holds it.
bool QuorClaimMcuUpgrade();
// Gives a claim back that will not start an upgrade.
void QuorReleaseMcuUpgrade();
// Starts the claimed upgrade of the image named by g_MCUVersionFile; the
// task releases the claim when the upgrade ends. Always true.
bool QuorStartClaimedMcuUpgrade();
// Claims and starts: false (and nothing done) while one is running.
bool QuorStartMcuUpgrade();

// The notice of the current or last upgrade: what it could not send
// (empty when nothing). Set appends with a blank; null clears.
void QuorSetMcuUpgradeNotice(const char* text);
void QuorGetMcuUpgradeNotice(char* out, size_t outSize);
// The first and last page of the image that hold a byte other than 0xFF but
// that the upgrade of this bank does not send; false when there are none.
bool QuorPagesNotSent(uint32_t bank, const unsigned char* image, uint32_t* first, uint32_t* last);

class CQuorUpgradeTRM40Task : public QuorTask<9> {
public:
    enum : uint8_t { kStepLimit = 50 };
    enum : uint32_t { kAnswerSize = 24, kRetryLimit = 5, kAnswerCapMs = 400 };
    enum : int { kGarbled = 1 };
    enum : int32_t { kStateIdle = 255 };

    CQuorUpgradeTRM40Task();
    ~CQuorUpgradeTRM40Task() override;

    // Creates the 1-second timer: 0, or -1 (logged).
    int Initialize();
    // Runs an upgrade when b16UpTRM90 is set; always 1000.
    int64_t Run() override;

    // The protocol loop of one upgrade: returns when it has ended.
    int RecvUARTMsgPackage();
    // Ends the upgrade with "0" (success) or "99" (failure).
    void TRM40RevDateTimeOut(const char* result);

    int32_t GetState() const { return m_s32State; }
    CQuorUpgradeTRMxx& Protocol() { return m_Icp; }

private:
    int StartUpgrade();
    int WaitForAnswer(int fd, int quietMs, unsigned char* answer, uint32_t* have);
    int Garbled(const char* why, uint32_t have);
    int Step(const unsigned char* answer, uint32_t length);
    int StepEnterLoader(const unsigned char* answer, uint32_t length);
    int StepChoose(const unsigned char* answer, uint32_t length);
    int StepBlock(const unsigned char* answer, uint32_t length);
    int NextPage();
    int EndOfBank();
    bool BankTwoDataEnds() const;
    int QuietTimeMs() const;
    void Progress() { m_u8Steps = 0; }

    CQuorUpgradeTRMxx m_Icp;
    int32_t m_s32State;
    uint16_t m_b16Started;
    uint8_t m_u8Steps;
    uint16_t m_b16BlockWait;
    uint16_t m_b16Selecting;
    uint16_t m_b16BlockAcked;
    uint32_t m_u32SendCount;
    uint32_t m_u32Retries;
    QuorSecTimeoutTask<9>* m_pTimeout;
};

extern CQuorUpgradeTRM40Task* g_UpgradeTRM40Task;

#endif
