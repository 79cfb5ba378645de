// One client connection of the TCP command port (thread pool 7).
//
// Receiving: the session reads at most 2047 bytes per read event and cuts
// them into CR LF lines in its 4096-byte frame buffer. Every complete line
// of a read is handed on at once, in order, CR LF included, to the
// communication layer as a T_QuorStringMsg of scope 11 with the session's
// identifier. Empty lines are dropped. A line that does not fit the
// message's text (more than 2047 bytes with its CR LF) is dropped with a
// logged line, never cut; a frame buffer filled without a CR LF is logged
// and cleared, and the rest of that line is skipped up to its CR LF. A read
// that starts with "SET EDID_W" (any case) is handed on whole as one
// command, binary bytes and all. While too many of the lines read still
// wait in the management task, the session stops asking for read events:
// the socket buffers fill and TCP pushes back on the client; nothing it
// sent is dropped.
//
// Sending: each session has its own send list (guarded by its own mutex)
// and writes only its own socket, on its own thread. The lines go out in
// batches: a batch writes the lines queued when it began as far as the
// socket takes them; the next batch follows at least 10 ms later (the task
// runs again after the pause instead of sleeping on a pool thread) while
// lines are left; the first after a batch that emptied the list goes at
// once. A send that would block, or sends only part of a line, keeps the
// rest at the head of the list and asks the
// event thread for write interest. The queued output is bounded (64 KiB of
// text, 1024 lines): beyond that the oldest line that has not begun to go
// out is dropped, logged once when the drops begin and once with their
// count when the list has drained, so a client that never reads costs
// only its own lines. A mode-0 record (all clients) taken from the list is
// copied as a mode-1 record into every other live session's list under the
// server's session-list mutex, and sent here.
//
// Lock order: the server's session-list mutex before any session's send-list
// mutex. A session never holds its own send-list mutex while it sends,
// pauses or fans out.
//
// Identity: identifiers come from a process-wide counter (1 .. INT32_MAX,
// then 1 again, skipping identifiers still live), taken at Initialize and
// given back when the session closes. A session object comes from the session
// pool; its buffers and send list are cleared when it closes and again when
// it starts.
#ifndef QUOR_VELMAR_TCPSESSIONTASK_H
#define QUOR_VELMAR_TCPSESSIONTASK_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "OSMutex.h"
#include "QuorTCPSocket.h"
#include "QuorTask.h"
#include "QuorVelmarMsgDef.h"

class CQuorTCPServerSocket;

class CQuorVelmarTCPSessionTask : public QuorTask<7> {
public:
    enum : uint32_t {
        kReadBufSize = 2048,
        kReadChunk = kReadBufSize - 1,                    // bytes per read; the NUL stays
        kFrameBufSize = 4096,
        kMaxLineBytes = QUOR_STRING_MSG_TEXT_SIZE - 1,    // a line with its CR LF
        kMaxQueuedBytes = 65536,
        kMaxQueuedLines = 1024,
        // Lines of this client (of all clients) waiting in the management
        // task above which the session stops reading, and below which it
        // reads again.
        kOwnLinesHighMark = 32,
        kOwnLinesLowMark = 8,
        kAllLinesHighMark = 128,
        kAllLinesLowMark = 32
    };
    static const int64_t kSendPauseMs = 10;
    // A session listed before the listener has attached its connection
    // looks again after this long.
    static const int64_t kAttachWaitMs = 10;
    // A session that stopped reading looks at the queued lines this often.
    static const int64_t kResumeCheckMs = 20;

    CQuorVelmarTCPSessionTask();
    ~CQuorVelmarTCPSessionTask() override;

    // Clears the session, takes an identifier and builds the socket (in a
    // block of the general buffer pools) for the server's listener to attach
    // the connection to. server may be null (no fan-out, no list to leave).
    // False when no socket block can be had (logged; nothing kept).
    bool Initialize(CQuorTCPServerSocket* server);
    // Read, then send (see the file comment). 0, or the pause before the
    // next record.
    int64_t Run() override;

    // Appends a copy of text (cut at 2047 bytes, logged) with its mode
    // (0 all clients, 1 this client, others nothing) and signals
    // TASK_EVT_WRITE. Any thread.
    void AddOneTcpMsgToSendList(const char* text, uint8_t mode);
    // One send on the socket: 0 (*sent may be less than length), EAGAIN,
    // or another error number (logged).
    int SendTcpMsg(const char* text, uint32_t length, uint32_t* sent);
    // Leaves the server, closes the connection, clears the session and
    // returns it to the session pool. On the session's own thread only.
    void CloseTcpTask();

    // Line framing of received bytes (the session's thread).
    void DoRecognition0D0AForOneFramMsg(const char* bytes, uint32_t length);

    int32_t GetSrcNo2() const { return m_s32SrcNo2.load(std::memory_order_acquire); }
    QuorTCPSocket<7>* GetSocket() const;
    // Text bytes held in the frame buffer.
    uint32_t GetFrameLength() const { return m_u32FrameLen; }
    uint32_t GetSendListLength();
    // Unsent bytes in the send list.
    uint32_t GetQueuedBytes();

    // The counter goes on after id (start-up and tests).
    static void SetLastSessionId(int32_t id);
    // Sessions holding an identifier.
    static uint32_t GetLiveSessionIdCount();

private:
    class CSessionSocket;
    struct SendRecord {
        uint8_t u8Mode;
        uint32_t u32Sent;      // bytes of text already sent
        std::string text;
    };
    enum ReadResult { kReadKept, kReadClosed };
    enum DrainResult { kDrainEmpty, kDrainMore, kDrainBlocked };

    static int32_t TakeSessionId();
    static void GiveBackSessionId(int32_t id);

    // Event thread: the socket is ready.
    void SocketReady(int eventKind);
    bool IsAttached() const;
    void RenewInterest(bool wantWrite);
    void UpdateReadPause();

    ReadResult ProcessReadEvent();
    ReadResult CloseAfterReadError(int err, uint32_t got);
    void HandOnWholeRead(uint32_t length);
    void HandOnCompleteLines();
    void HandOnLine(const char* text, uint32_t length);
    void ClearFrame();

    DrainResult SendBatch();
    DrainResult SendOneRecord();
    bool TakeHeadForSending(char* text, uint32_t* length, uint8_t* mode, bool* fresh);
    void FanOutHead(const char* text);
    bool FinishHeadPart(uint32_t sent, bool dropRest);
    bool HasQueuedOutput();
    bool DropOldestLocked();
    void EndDropEpisodeLocked();
    void ClearSendList();
    void ReleaseSocket();

    std::atomic<int32_t> m_s32SrcNo2{0};
    std::atomic<uint32_t> m_u32RequestedEvents{0};
    std::atomic<CSessionSocket*> m_pTCPSocket{nullptr};
    std::atomic<CQuorTCPServerSocket*> m_pServer{nullptr};

    // The session's thread only.
    char m_cReadBuf[kReadBufSize];
    char m_cFrameBuf[kFrameBufSize + 1];
    uint32_t m_u32FrameLen = 0;
    int64_t m_s64NextSendMs = 0;   // no record goes out before (10 ms after the last)
    bool m_bSkipping = false;      // skipping the rest of a line that overflowed
    bool m_bSkippedCr = false;     // ... and the last byte skipped was a CR
    bool m_bReadPaused = false;    // too many of the lines read still wait

    OSMutex m_SendListMutex;
    std::deque<SendRecord> m_SendList;
    uint32_t m_u32QueuedBytes = 0;
    uint32_t m_u32Dropped = 0;     // lines dropped in the current episode
    bool m_bHeadInFlight = false;  // the head is being sent (not droppable)
};

#endif
