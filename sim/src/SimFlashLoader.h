// The MCU's boot loader as the simulated MCU plays it: the in-circuit
// programming mode entered by "UPG" CR LF. It answers byte commands, takes
// 512-byte blocks and records every (bank, page) written, so tests compare
// the MCU's flash with the image files.
//
//   "UPG" CR LF        -> "UPG" (echo, optional), then ">" 400 ms later
//   0x81               -> nothing
//   0x87               -> 0x87 "TRM40" (the chip name)
//   0x83 bank          -> 0x83 bank
//   0x84 page 0x00     -> 0x84 page
//   0x86               -> 0x86; the next 512 bytes are the block
//   512 bytes          -> 0x00 0x5A
//   0x85               -> nothing, or 0x85 (Answer85)
//
// Each answer is one write, sent within a few milliseconds (after the
// received bytes' time on a 57600 bit/s line when pacing is on). The loader
// leaves for the text language after bank 2's page 0xFE, or when it has
// heard nothing for 2 s.
//
// Fault switches (SimFlashFaults): answer nothing at all; answer block k
// (counted from 0 since "UPG") without 0x5A; answer 0x84 with another first
// byte; send every answer of two or more bytes in two writes, the rest
// splitGapMs after the first byte; start chattering (the MCU sends a byte
// every chatterGapMs, whatever it hears, until told to stop) after 0x87,
// after the first block or at the switch to bank 1 (TakeChatterStart).
//
// Thread-safe: the I/O thread feeds it, tests read the records.
#ifndef VELMAR_SIM_SIMFLASHLOADER_H
#define VELMAR_SIM_SIMFLASHLOADER_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct SimFlashBlock {
    unsigned bank = 0;
    unsigned page = 0;
    std::string bytes;  // 512
};

struct SimFlashFaults {
    bool silent = false;
    int noAckBlock = -1;
    bool wrongAddrAnswer = false;
    int splitGapMs = 0;   // 0: whole answers
    bool echoUpg = true;
    bool answer85 = false;
    enum Chatter { kNoChatter, kAfter87, kAfterBlock, kAfterBankSwitch };
    Chatter chatterAfter = kNoChatter;
    int chatterGapMs = 5;
};

// What the loader sends: the pieces in order, the first delayMs from now,
// each further one gapMs after the one before.
struct SimFlashReply {
    std::vector<std::string> pieces;
    int delayMs = 0;
    int gapMs = 0;
};

class SimFlashLoader {
public:
    enum { kBlockSize = 512, kIdleLeaveMs = 2000, kPromptDelayMs = 400, kLastPage = 0xFE, kLastBank = 2 };

    // Enters the programming mode ("UPG" CR LF was received at nowMs).
    SimFlashReply Enter(int64_t nowMs);
    // True while in the programming mode; leaves it after 2 s without bytes.
    bool Active(int64_t nowMs);
    // Bytes received in the programming mode: the replies to send.
    std::vector<SimFlashReply> Push(const char* data, size_t length, int64_t nowMs);

    void SetFaults(const SimFlashFaults& faults);
    SimFlashFaults Faults() const;
    // 0: answers at once; else answers wait for the received bytes' time on a
    // line of this speed (10 bits a byte).
    void SetLineSpeed(int bitsPerSecond);

    // The blocks written since the records were last cleared, in order (at
    // most 4096), and the number of times the mode was entered.
    std::vector<SimFlashBlock> Blocks() const;
    int Entries() const;
    void ClearRecords();
    // True once when the chatter fault's moment has come.
    bool TakeChatterStart();

private:
    void HandleByte(unsigned char byte, std::vector<std::string>* answers);
    void HandleBlockDone(std::vector<std::string>* answers);
    void ChatterMoment(SimFlashFaults::Chatter moment);
    SimFlashReply MakeReply(const std::string& answer, int delayMs) const;

    mutable std::mutex m_mutex;
    SimFlashFaults m_faults;
    int m_lineSpeed = 0;
    bool m_active = false;
    int64_t m_lastByteMs = 0;
    int64_t m_lineFreeUs = 0;  // when the received bytes would have arrived
    int m_entries = 0;
    // The command being received: its first byte and the bytes still due.
    unsigned char m_command = 0;
    std::string m_args;
    size_t m_argsDue = 0;
    bool m_inBlock = false;
    std::string m_block;
    unsigned m_bank = 0;
    unsigned m_page = 0;
    int m_blockIndex = 0;
    std::vector<SimFlashBlock> m_blocks;
    bool m_chatterDue = false;
};

#endif
