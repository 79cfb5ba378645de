// The MCU's in-circuit programming (ICP) protocol on "/dev/ttyS1": the
// requests the programming task sends, the checks of the MCU boot loader's
// answers, the port itself and the bank file being programmed.
//
// Requests (each one write, retried up to three writes after a failure):
//   "UPG" CR LF                  into the boot loader (answer: echo, then ">")
//   0x81                         after ">", "<" or 0xFE
//   0x87                         chip name (answer 0x87 + name)
//   0x83 bank                    choose the flash bank
//   0x84 page 0x00               choose the page of the next block (answer 0x84 ...)
//   0x86                         a block follows (answer 0x86)
//   512 bytes                    pages page and page + 1 of the image (answer ends in 0x5A)
//   0x85                         the block is complete
//   0x05 'U' 'U' 'W' cmd         channel control (not used by the upgrade)
//
// One object exists, inside the programming task, used by its thread only.
#ifndef QUOR_UPGRADE_TRMXX_H
#define QUOR_UPGRADE_TRMXX_H

#include <cstdint>

#include "QuorUpgradeFlashImage.h"

class CQuorUpgradeTRMxx {
public:
    enum : uint32_t { kLastPage = 0xFF, kSpeed = 57600 };

    CQuorUpgradeTRMxx();

    // ---- Requests and answer checks ----------------------------------------
    int ApplyIntoUpgradeModleReq();
    // 0: "UPG" echoed (case ignored); 1: ">", "<" or 0xFE, 0x81 sent; else -2.
    int ApplyIntoUpgradeModleRsp(const unsigned char* answer, uint32_t length);
    // On ">" or "<" sends 0x81: 0; else -2.
    int Check0x3EModleRsp(const unsigned char* answer, uint32_t length);
    int Check0x81Req();
    int Check0x81Rsp() { return 0; }
    int Check0x5ARsp() { return 0; }
    int Check0x87Req();
    int Check0x87Rsp(const unsigned char* answer, uint32_t length);
    int ChoiceFlashBlockReq(uint32_t bank);
    int ChoiceFlashBlockRsp(const unsigned char* answer, uint32_t length);
    // Sets m_u32SendAddr; a page above 255 sends nothing and gives -2.
    int ChoiceFlashAddrReq(uint32_t page);
    int ChoiceFlashAddrRsp(const unsigned char* answer, uint32_t length);
    int Check0x86Req();
    int Check0x86Rsp(const unsigned char* answer, uint32_t length);
    int Check0x85Req();
    // Sends pages m_u32SendAddr and + 1 of the image, then pauses 20 ms: 0.
    // -2 (end of data, end-of-bank flag set) when the block is blank at
    // bytes 0, 1, 2 and 511 and m_u32SendAddr is above 255.
    int SendUpgrade512DateWriteToUart();
    int SendUartChannelCtrlCmd(uint8_t cmd);

    // ---- The port ---------------------------------------------------------
    // Opens "/dev/ttyS1" read-write, without controlling terminal: the
    // descriptor, or -1 (logged).
    int OpenUart();
    void CloseUart();
    // "stty -F <device> speed <speed> ..." through the command runner, then
    // 10 ms: the runner's status.
    static int SetUartSpeed(const char* device, int speed);
    // Writes all bytes (a failed write is tried again after 1 s, three
    // writes in all): the count, or -2.
    int SendUartMsg(const unsigned char* bytes, uint32_t length);

    // ---- The bank file ------------------------------------------------------
    // Reads and converts one bank file (QuorUpgradeFlashImage.h): 0, -1, -2.
    int ProcessReadUpgradeFile(const char* path);

    // Back to the state after construction, the port excepted.
    void ResetProgress();

    uint32_t m_u32FlsAddr;
    uint32_t m_u32Bank;
    uint16_t m_b16BankEnd;
    int32_t m_s32Filefd;
    uint32_t m_u32FileSize;
    uint32_t m_u32BlocksWritten;
    int32_t m_Uartfd;
    unsigned char m_SendBuf[QUOR_FLASH_BLOCK_SIZE + 2];
    unsigned char m_RecvBuf[QUOR_FLASH_BLOCK_SIZE + 2];
    uint32_t m_u32SendAddr;

private:
    int SendByte(unsigned char byte);
};

// True when the block's bytes 0, 1, 2 and 511 are all 0xFF.
bool QuorFlashBlockLooksBlank(const unsigned char* block);

#endif
