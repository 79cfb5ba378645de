// One serial line of velmard (the MCU line, the auxiliary line): opening and
// closing it, its line settings, the write-with-retry every writer uses, and
// the receive loop that cuts the bytes into bursts for the line framing.
//
// The descriptor (m_s32Uartfd) is 0 while the line is closed; it is never
// used then, so nothing is ever written to descriptor 0. Writers, the receive
// loop and the settings take the descriptor for the time of their system
// calls only (a count of users); closing the line first takes the descriptor
// away (new users see 0 and refuse), then waits for the users still in a
// call before closing it. So a descriptor is never closed under a call that
// uses it, and never reused by another file while in use. Each user keeps a
// use for one wait of the receive loop or one write call; taking the
// descriptor away wakes a receive loop that waits on it.
//
// Bursts: while no burst is open the receive loop sleeps until the line is
// readable (or its descriptor changes); once bytes came it waits at most
// 5 ms at a time, and a burst ends with 5 ms without a new byte and then
// goes to the framing (QuorVelmarLineFramer.h). A full 2048-byte burst buffer goes to the framing
// at once, as a part of a burst that may go on.
#ifndef QUOR_VELMAR_SERIALLINE_H
#define QUOR_VELMAR_SERIALLINE_H

#include <termios.h>

#include <atomic>
#include <cstdint>

#include "OSMutex.h"
#include "OSWakeFd.h"
#include "QuorVelmarLineFramer.h"

class CQuorVelmarSerialLine {
public:
    enum : uint32_t { kBurstSize = 2048 };
    enum : int { kWriteTries = 3, kWriteRetryPauseMs = 1000, kReadWaitMs = 5, kOpenPauseMs = 50 };

    // device: the board path of the line ("/dev/ttyS1"); uartNo: the number in
    // the settings log line (1 or 2); kind and sink: the line framing.
    CQuorVelmarSerialLine(const char* device, int32_t uartNo, CQuorVelmarLineFramer::Kind kind,
                          CQuorVelmarLineFramer::LineSinkFn sink);
    virtual ~CQuorVelmarSerialLine();
    CQuorVelmarSerialLine(const CQuorVelmarSerialLine&) = delete;
    CQuorVelmarSerialLine& operator=(const CQuorVelmarSerialLine&) = delete;

    // Opens the board path read-write, blocking, without a controlling
    // terminal and close-on-exec, and keeps the descriptor (a descriptor held
    // before is closed first). The descriptor, or -1 (logged). Pauses 50 ms
    // after a successful open.
    int OpenUart(const char* path);
    // 0, or -2 when no line is open (logged). Pauses 50 ms after closing.
    int CloseUart();
    bool IsUartOpen() const;
    int32_t GetUartFd() const { return m_s32Uartfd.load(); }

    // Applies the line settings (see BuildUartAttributes) at once, discarding
    // unread input. 0, or -2 when the line is closed or its attributes cannot
    // be read or set (logged; the line keeps its settings).
    int SetUartOpt(int32_t speed, int32_t bits, char parity, int32_t stop);
    // The speed (bit/s) the line was last set to; 57600 before any setting.
    int32_t GetLineSpeed() const { return m_s32Speed.load(); }
    // Held by SetUartOpt, OpenUart and CloseUart; callers that store a setting
    // and apply it hold it across both, so changes never mix.
    OSMutex& GetLineMutex() { return m_LineMutex; }

    // Writes all bytes, on the caller's thread. A failed write is tried again
    // after 1 s, at most three tries in all; a short write goes on with the
    // rest. Returns the bytes written; 0 for a length of 0 (nothing written);
    // -2 after the third failure, or at once when the line is closed (handed
    // over), with nothing written.
    int UartWrite(const char* text, uint32_t length);

    // The receive loop: runs on the line's task thread while the line is
    // open; returns 0 once it is closed (at once when it is not open).
    int UartRead();
    // Frames one burst (the receive loop's thread only).
    int PorcessUartData(const char* bytes, uint16_t length);

    // ---- The settings mapping (pure) ----------------------------------------

    // 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 115200 and 230400
    // give their speed constant; anything else B57600.
    static speed_t UartSpeedConstant(int32_t speed);
    // The attributes SetUartOpt applies, built from all zero: no input,
    // output or local processing, VMIN = VTIME = 0, CREAD | CLOCAL; 7 data
    // bits for bits 7, else 8; 'O'/'o' odd and 'E'/'e' even parity, both with
    // INPCK | ISTRIP, anything else none; two stop bits for stop 2, else one.
    static void BuildUartAttributes(int32_t speed, int32_t bits, char parity, int32_t stop,
                                    struct termios* attributes);

protected:
    // Closes a held descriptor quietly, then opens the line's device; logs
    // "######OpenUart fail and s32Ret is <%d>" on failure. The open result.
    int OpenOwnDevice();
    const char* DevicePath() const { return m_pDevice; }

private:
    class LineUse;
    enum PassResult { kPassData, kPassQuiet, kPassWoken, kPassFailed, kPassClosed };

    int32_t AcquireFd();
    void ReleaseFd();
    int32_t TakeDescriptorAway();
    void CloseHeldDescriptor();
    PassResult WaitAndRead(char* burst, uint32_t* have, bool burstOpen);
    void HandOverBurst(char* burst, uint32_t* have, bool ended);
    int LogWriteFailure(long result, int failures);

    const char* m_pDevice;
    int32_t m_s32UartNo;
    std::atomic<int32_t> m_s32Uartfd;  // 0: closed
    std::atomic<bool> m_bUartOpen;     // the receive loop runs while it is true
    std::atomic<int32_t> m_s32Users;   // calls using the descriptor now
    std::atomic<int32_t> m_s32Speed{57600};
    OSWakeFd m_ReaderWake;             // ends the receive loop's wait (descriptor changes)
    OSMutex m_LineMutex;
    CQuorVelmarLineFramer m_Framer;    // receive loop's thread only
};

#endif
