// The configuration-tool search task (thread pool 10): answers the PC
// configuration tool's search, read and write requests on UDP port 1983
// (wire forms in QuorVelmarSearchCodec.h).
//
// Started by TASK_EVT_START, the task's first run enters the receive loop and
// stays there for the life of the process (it owns the pool's one thread).
// A receive error is logged and the loop goes on; only a socket that is no
// longer usable (EBADF, ENOTSOCK) ends it, as does a socket that could not be
// made or bound at start.
//
// Requests for another device, with a wrong magic number or an unknown type,
// reads of tags that are not answered, and writes whose value length is above
// 255, above 512 or beyond the bytes received get no reply. Writes change
// nothing in the system: the decoded UART values are kept in members that
// nothing else reads. Each reply goes out from a socket of its own to the
// sender of the request.
//
// Everything runs on the task's thread; the members are touched there only
// (the tests call the request handlers on their own thread instead).
#ifndef QUOR_VELMAR_UDPSEARCHTASK_H
#define QUOR_VELMAR_UDPSEARCHTASK_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "QuorVelmarReceiveLoopTask.h"
#include "QuorVelmarSearchCodec.h"

class CQuorVelmarUdpSearchTask : public CQuorVelmarReceiveLoopTask<10> {
public:
    enum : uint32_t { kRecvBufLen = 2048 };

    CQuorVelmarUdpSearchTask();

    // A socket bound to any address at port 1983: the descriptor, -1 (socket)
    // or -2 (bind; the socket is closed).
    int CreateSearchUdpSocket();
    // The receive loop.
    void ReadSearchUdpData();
    // True while the receive loop runs with its socket.
    bool IsReceiving() const { return m_b8Receiving.load(); }

    // One received datagram: 0 when handled (or meant for another device),
    // -2 for no bytes, a wrong magic number or an unknown type.
    int ProcessRcvMsg(const char* bytes, uint32_t length);
    int ProcessCmdTypeReq(const T_KorvexGUIReq& req);
    int ProcessSearchDevReq(const T_KorvexGUIReq& req);
    int ProcessGetDevReq(const T_KorvexGUIReq& req);
    int ProcessSetDevReq(const T_KorvexGUIReq& req);

    // Packs and sends the reply to the last sender: 0, or -1 when it could
    // not be sent.
    int SendSearchRsp(const T_KorvexGUIRsp& rsp);
    int SendSearchUdpMsg(const char* bytes, uint32_t length);

    // The device identifier: the MAC preference from its fifth character on
    // as a hexadecimal number; 0 (logged) for a MAC text shorter than 5.
    static uint32_t GetMacAddrEnd8Bit();
    // Seconds since boot from "/proc/uptime" (0 when unreadable); the text
    // "h:m:s" of the time within the day into text.
    static uint32_t SystemRunTime(std::string* text);
    // Splits a dotted address into its four parts and writes them as
    // "%x %x %x %x" into hexText: 1, or 0 when the text has not four parts.
    static int IpAddrInfoFormatHex(const char* dotted, uint8_t parts[4], char* hexText, size_t hexSize);

    // The sender the next reply goes to (tests set it when they call the
    // handlers directly).
    void SetSender(const struct sockaddr_in& sender);

    // Decoded values of the UART writes.
    uint32_t UartRate() const { return m_u32UartRate; }
    uint8_t UartDataBit() const { return m_u8UartDataBit; }
    char UartCheckBit() const { return (char)m_u8UartCheckBit; }
    float UartStopBit() const { return m_fUartStopBit; }
    uint8_t UartCtrlFlow() const { return m_u8UartCtrlFlow; }

    // ---- UART writes: take the code of the value (logged); false when it is
    // refused (the reply does not echo the value then) ----
    bool ApplyUartRate(uint8_t code);
    bool ApplyUartDataBit(uint8_t code);
    bool ApplyUartStopBit(uint8_t code);
    bool ApplyUartCheckBit(uint8_t code);
    bool ApplyUartCtrlFlow(uint8_t code);

private:
    void ReceiveLoop() override { ReadSearchUdpData(); }
    T_KorvexGUIRsp NewRsp(const T_KorvexGUIReq& req) const;
    // True when the write's value length fits 255, 512 and the bytes received.
    bool WriteLengthFits(const T_KorvexGUIReq& req) const;
    void LogReceiveError();

    struct sockaddr_in m_tSenderAddr;
    socklen_t m_u32SenderAddrLen = sizeof(struct sockaddr_in);
    uint32_t m_u32UartRate = 0;
    uint8_t m_u8UartDataBit = 0;
    uint8_t m_u8UartCheckBit = 0;
    float m_fUartStopBit = 0;
    uint8_t m_u8UartCtrlFlow = 0;
    std::atomic<bool> m_b8Receiving{false};
    // The receive loop's thread only.
    int64_t m_s64LastRecvErrorLogMs = 0;
    uint32_t m_u32RecvErrorsUnlogged = 0;
};

// The search task, created once at start-up.
extern CQuorVelmarUdpSearchTask* g_VelmarUdpSearchTask;

#endif
