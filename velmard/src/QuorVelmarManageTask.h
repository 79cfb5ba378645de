// The management task of velmard (thread pool 2): the hub that receives the
// text lines of the serial lines and TCP sessions and the group messages of
// the peers, and dispatches them on its own thread.
//
// Inbound side: two queues, each with its own lock, filled by the
// communication layer from the producer threads:
// - the string list of T_QuorStringMsg lines: the serial lines' in arrival
//   order, each TCP session's in its own order;
// - the UDP queue of received group messages, each a pooled packet holding a
//   pooled copy of the bytes and the sender's address.
// The producer appends and the communication layer then signals
// TASK_EVT_READ. Run drains the UDP queue first, then the string list, one
// element at a time: the element is taken under the lock, the lock released,
// the element handled and its pooled parts given back. Producers are never
// held while a handler runs.
//
// Fair turns: serial lines and TCP lines are taken by age, but the TCP
// sessions take turns, one line each (round robin), so a line of a quiet
// client waits for at most one line of each busy client. Lines for the MCU
// are queued on the MCU line's writer, which writes them at the line's pace
// (QuorVelmarLineWriter.h): the task never waits for the line. While that
// queue holds kMcuLinesHighMark lines, sessions whose next line is bound for
// the MCU are passed over; their lines wait here, so their reads pause (the
// session's marks) and TCP pushes back on the client. Lines the daemon
// answers itself, serial lines, group messages and ticks keep flowing; the
// writer wakes the task when its queue has room again.
//
// Start flow: at start-up the task pushes the module's network identity to
// the MCU and walks it through a chain of queries whose answers fill the
// module information record (QuorVelmarModulInfoList.h). The flow's flag,
// state and retry count are guarded by their own lock; the flag and state
// are set before the first query is written.
//
// Timeouts (once a second): resends of the first five start-flow queries, and
// the deferred reboot (g_b8RebootFlag, on the fifth tick). After every pass,
// g_b8DoConfigip runs "configip", "sync" and "reboot".
#ifndef QUOR_VELMAR_MANAGETASK_H
#define QUOR_VELMAR_MANAGETASK_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "OSMutex.h"
#include "OSQueue.h"
#include "QuorSecTimeoutTask.h"
#include "QuorTask.h"
#include "QuorVelmarModulInfoList.h"
#include "QuorVelmarMsgDef.h"

// ---- Process-wide flags ------------------------------------------------------

// Reboot on the fifth timeout tick after it is set (never cleared).
extern std::atomic<bool> g_b8RebootFlag;
// Run "configip", "sync" and "reboot" at the end of the next pass.
extern std::atomic<bool> g_b8DoConfigip;
// Set once a learned EDID has been written; cleared by the web request that waits for it.
extern std::atomic<bool> g_b8LearnEDIDOK;
// LED flicker status (0: flickering on, 1: off), written under g_mtLedFlicker.
extern OSMutex g_mtLedFlicker;
extern std::atomic<uint8_t> g_LedFilckerStatus;

// ---- Command text helpers --------------------------------------------------------

// Size of a token buffer: tokens are cut at 31 characters.
enum : size_t { QUOR_TOKEN_SIZE = 32 };

// Takes the next space-separated token at *cursor into token (terminated;
// at most 31 characters kept). Skips the spaces before and after the token;
// the token ends at a space, a CR immediately followed by LF, or the end of
// the text. A longer token is consumed whole, so *cursor and *consumed are
// those of the full token. Returns 1; 0 (and *consumed 0) for a null cursor.
int PareCommandString(const char** cursor, char (&token)[QUOR_TOKEN_SIZE], uint32_t* consumed);

// Decodes space-separated hexadecimal byte values ("0x" optional, the low 8
// bits of each kept, a piece without leading hexadecimal digits gives 0) from
// at most the first 3072 characters of text. One byte per piece; the result
// may hold zero bytes.
std::string HexToStr(const char* text);

// ---- Queued group messages ---------------------------------------------------------

// Lengths of received group messages the UDP queue takes.
enum : uint32_t {
    QUOR_UDP_PACKET_MIN_LEN = 1,
    QUOR_UDP_PACKET_MAX_LEN = 3072
};

// A received group message waiting in the UDP queue.
struct T_QuorUdpPacket {
    uint32_t u32Reserved;     // always 0
    uint32_t u32MsgLen;       // bytes in pAllMsg
    char* pAllMsg;            // pooled copy of the bytes (GetMemPoolAllMsg), owned
    uint32_t u32RemoteAddr;   // sender's IPv4 address, host order
    uint16_t u16RemotePort;   // sender's port, host order
};

// ---- Start-flow states -------------------------------------------------------------

enum : uint8_t {
    QUOR_FLOW_WAIT_ORDER = 1,
    QUOR_FLOW_LAST_RESENT = 5,     // states 1 to 5 are resent on each tick
    QUOR_FLOW_UNUSED_STATE = 14,   // never entered by an answer
    QUOR_FLOW_LAST_WAIT = 16,
    QUOR_FLOW_COMPLETE = 17
};

class CQuorVelmarTCPSessionTask;

class CQuorVelmarManageTask : public QuorTask<2> {
public:
    // How a text reaches the TCP clients: installed by the TCP server when it
    // exists. text is a C string; mode 0 = all clients, 1 = one session.
    typedef int (*TcpSendFn)(const char* text, uint8_t mode, int32_t session);
    // A pause of the calling thread (milliseconds).
    typedef void (*PauseFn)(uint32_t milliseconds);
    // Takes the records of group actions instead of the group (tests).
    typedef int (*GroupBroadcastFn)(uint32_t commandId, const void* record);

    CQuorVelmarManageTask();
    ~CQuorVelmarManageTask() override;

    // Takes a TCP session object for the task's life (used for nothing), builds
    // the end-flag map, runs the start flow and arms the one-second timeout.
    // 0, or -1 when no session object or timeout entry can be had.
    int Initialize();
    // One pass per wake-up (see the file comment). Always 0.
    int64_t Run() override;

    // ---- Producers (any thread; the caller signals TASK_EVT_READ after) ----

    // Appends a copy of the line at the tail of the string list. The text is
    // kept terminated: the length is cut to at most 2047 bytes. 0, or -1
    // when no list node could be had (logged, line dropped).
    int AddStringPacketToProcessList(const T_QuorStringMsg& message);
    // Copies the message bytes into a pooled packet at the tail of the UDP
    // queue. -2 for a null wrapper or bytes, or a length outside 1..3072; -1
    // when a pool is empty (all logged, message dropped); 0 when queued.
    int AddUdpPacketCopyQueue(const T_MODULE_MSG* message);

    // ---- Drain (the management task's thread) -----------------------------

    // Handle every queued message, one at a time, oldest first.
    void ProcessPrivateUdpMsg();
    int ProcessStringMsg();
    // Dispatches one line by scope: 10 to the MCU answers, 11 to the TCP
    // commands. 0, or -2 for another scope (logged, dropped).
    int DoStringMsgCommand(const T_QuorStringMsg& message);

    // Takes the oldest packet out of the UDP queue (under its lock) and gives
    // its queue element back; null when empty. The caller hands the packet
    // back with FreeUdpPacket.
    T_QuorUdpPacket* TakeUdpPacket();
    // Gives a packet's bytes and the packet itself back to their pools.
    static void FreeUdpPacket(T_QuorUdpPacket* packet);
    // Copies the oldest line into *message and removes it; false when empty.
    bool TakeStringMsg(T_QuorStringMsg* message);
    // Copies the next line in turn into *message and removes it: lines by
    // age, the TCP sessions one line each in turn; while the MCU line's
    // queue is full a session whose next line is bound for the MCU is passed
    // over. False when no line can be taken now.
    bool TakeStringMsgInTurn(T_QuorStringMsg* message);

    uint32_t GetUdpQueueLength();
    uint32_t GetStringListLength();
    // One pass's share: at most limit of the packets (lines) present when it
    // began. True when more wait.
    bool ProcessUdpBatch(uint32_t limit);
    bool ProcessStringBatch(uint32_t limit);
    // True while the lines queued from this TCP session exceed ownMark, or
    // those of all sessions exceed allMark (the sessions stop reading).
    bool TcpLinesAbove(int32_t session, uint32_t ownMark, uint32_t allMark);

    // Serial lines (and their bytes) kept waiting; past either the oldest
    // are dropped. The MCU answers at the line's pace the lines written to
    // it, and hundreds of them may sit in the line's buffers: the bound holds
    // several seconds of answers, so a task held up by a board program or a
    // busy processor loses none of them.
    enum : uint32_t { kMaxSerialLines = 4096, kMaxSerialBytes = 256 * 1024 };
    // Lines queued for the MCU line at which the task stops taking
    // MCU-bound lines from the TCP sessions (their reads pause in turn):
    // about 30 ms of the line at 57 600 bit/s for short commands.
    enum : uint32_t { kMcuLinesHighMark = 16 };
    // True while the MCU line's queue is at the mark.
    bool IsMcuLineBusy();
    // A TCP line that may write to the MCU: every line but those the daemon
    // answers itself ("GET IPADDRESS") and those of no command list.
    static bool IsMcuBoundTcpLine(const T_QuorStringMsg& message);
    // Group messages from the unicast socket kept waiting; at this many the
    // socket is not read until the queue drains. A queued packet may take two
    // blocks of one pool class (its record and its bytes, on 64-bit hosts),
    // and a class holds 51: the mark leaves room for the multicast path and
    // the packing of answers.
    enum : uint32_t { kUdpQueueMark = 16 };

    // ---- Sending (any thread) -----------------------------------------------

    // Queues length bytes of text for the MCU line's writer, which writes
    // them in order with the write with retry of the MCU serial task (see
    // QuorVelmarUartTask.h): the length once queued; 0 for a length of 0
    // (nothing written); -2 when the line is missing or handed over, or its
    // queue is full (logged).
    int SendUartBuf(uint32_t length, const char* text);
    // The same on the auxiliary (display) line.
    int SendUart2Buf(uint32_t length, const char* text);
    // Queues text for the TCP clients: mode 0 with session 0 for all of them,
    // mode 1 with a session identifier for one. -2 (nothing logged) while no
    // TCP server exists; else the server's result.
    int SendTcpBuf(const char* text, uint8_t mode, int32_t session);

    // ---- Start flow ---------------------------------------------------------

    // Pushes the identity lines and the first query. Always 0.
    int DoVelmarStartFlow();
    // A timeout tick while the flow runs: resend, wait, or give up. 0.
    int ProcessStartFlowReSend();
    // An answer of the chain arrived: while the flow runs, moves it to
    // nextState, resets the retry count and sends query (none when null).
    // True when the flow was running (the answer is then consumed).
    bool AdvanceStartFlow(uint8_t nextState, const char* query);
    // The last answer of the chain: while the flow runs, the state goes one
    // up, the flag is cleared and "start flow complete" is logged. True when
    // the flow was running.
    bool FinishStartFlow();
    bool IsStartFlowRunning();
    uint8_t GetMsgCurStatus();
    uint8_t GetStartFlowRetryCount();

    // ---- MCU answers ----------------------------------------------------------

    // Handles one line of a serial line (scope 10). 0.
    int ProcessUartMsg(const T_QuorStringMsg& message);
    // Recognises the line's keyword, runs its handler and forwards the line
    // to the TCP clients unless the handler consumed it. 0, or -2 when no
    // keyword can be taken.
    int ProcessUartCMDListParameter(const char* line);

    // ---- Display power --------------------------------------------------------

    // Writes the stored power-on (on) or power-off command to the display
    // line: decoded bytes in hexadecimal mode, else the text with the end
    // flag (command, mode and end flag copied together under the preferences
    // lock). The result of SendUart2Buf.
    int SendRs232PwrCmd(bool on);
    // Stores the power-on (on) or power-off command text and the
    // hexadecimal flag as one change. 0, or -2 when the preferences refuse
    // either (nothing changed then).
    static int StoreRs232PwrCmd(bool on, const char* text, const char* hexFlag);
    // The end-flag names and their codes ("null" 0, "cr" 1, "lf" 2, "crlf" 3
    // and the upper-case forms).
    void Rs232EndFlgMapping();
    // The code of an end-flag name (exact case); false when unknown.
    bool FindRs232EndFlg(const char* name, uint16_t* code) const;

    // ---- Commands from TCP clients (QuorVelmarManageTaskTcpCmd.cpp) ----------

    // One line of a TCP client (scope 11, CR LF included): the first word
    // picks the set list (SET) or the get list (GET, REBOOT, RESET). 0, or -2
    // when the first word is none of them (logged, no reply).
    int ProcessTcpMsg(const T_QuorStringMsg& message);
    // The lists: a handler per second word; a line without one goes to the
    // MCU unchanged (a set line whose second word holds "dbg" is dropped).
    // The handler's result: 0, or -2 for a refused value.
    int ProcessTcpCMDListSetParameter(const T_QuorStringMsg& message);
    int ProcessTcpCMDListGetParameter(const T_QuorStringMsg& message);

    // ---- Display RS-232 commands (QuorVelmarManageTaskRs232.cpp) ----------------

    // SET UARTCMD_STREDIT / UARTCMD_HEXEDIT poweron|poweroff <text up to CR LF>:
    // stores the command as text / hexadecimal byte text (cut at 255
    // characters). -2 without CR LF or when the preferences refuse the text.
    int ProcessTCPSetReqRs232PwrCmdString(const T_QuorStringMsg& message);
    int ProcessTCPSetReqRs232PwrCmdHex(const T_QuorStringMsg& message);
    // SET UARTPWR_ONOFF <port> ON|OFF: sends the stored power command.
    int ProcessTCPSetReqSendRs232PwrCmd(const T_QuorStringMsg& message);
    // SET UARTENDCHAR <name>: a name of the end-flag map chooses the end flag.
    int ProcessTCPSetReqUartEndFlg(const T_QuorStringMsg& message);
    // SET TELNETPT string <word> | <mode> <hexadecimal bytes>: data for the display.
    int ProcessTCPSetReqUartPassthrough(const T_QuorStringMsg& message);

    // ---- Group messages (QuorVelmarManageTaskGroup.cpp) ------------------------
    //
    // Every handler of a received request answers the peer that asked (the
    // sender that came with the request) at its "QuorVelmar_UdpPort". Group
    // traffic carries no authentication: any host on the network can send
    // these notices, as the product's peers expect.

    // Runs the handler of one translated message (a table by command
    // identifier; others are ignored) and gives the record back to its pool.
    // peerAddr is the sender's address (host order). 0, or -2 for a null
    // record (logged).
    int DoOneUdpCommand(uint32_t commandId, void* record, uint32_t peerAddr);
    // Starts a group action with the caller's record (which stays the
    // caller's): 0x1601, 0x1603, 0x1604 and 0x1605 are broadcast to the
    // group; other identifiers are ignored (0). -2 for a null record
    // (logged); else the starter's result (0 once sent).
    int DoBroadCastMsgReq(uint32_t commandId, void* record);

    // Handlers of received requests: 0 once answered; -2 when the notice's
    // setting could not be stored (not answered).
    int ProcessDeviceSearchQueryReq(const T_QuorDeviceSearchQueryReq& query, uint32_t peerAddr);
    int ProcessDeviceMaxSeqNumNotifyReq(const T_QuorDeviceMaxSeqNumNotifyReq& notice, uint32_t peerAddr);
    int ProcessUserInfoChangeNotifyReq(const T_QuorUserInfoChangeNotifyReq& notice, uint32_t peerAddr);
    int ProcessDeviceGroupSignNotifyReq(const T_QuorDeviceGroupSignNotifyReq& notice, uint32_t peerAddr);
    // Handlers of received answers. A search answer joins
    // g_DevSearchQueryInfoList (0; -2 when it is refused: an annex text of
    // 512 bytes or more, or a full list); the others are only logged (0).
    int ProcessDeviceSearchQueryRsp(const T_QuorDeviceSearchQueryRsp& answer, uint32_t peerAddr);
    int ProcessDeviceMaxSeqNumNotifyRsp(const T_QuorDeviceMaxSeqNumNotifyRsp& answer, uint32_t peerAddr);
    int ProcessUserInfoChangeNotifyRsp(const T_QuorUserInfoChangeNotifyRsp& answer, uint32_t peerAddr);
    int ProcessDeviceGroupSignNotifyRsp(const T_QuorDeviceGroupSignNotifyRsp& answer, uint32_t peerAddr);
    int ProcessVersionUpgradeRsp(const T_QuorVersionUpgradeRsp& answer, uint32_t peerAddr);

    // Broadcast starters: log the record and send it to the group; the
    // maximum sequence number notice then sends "SET ORDER" to the MCU.
    int ProcessBraodCastDeviceSearchQueryReq(const T_QuorDeviceSearchQueryReq& query);
    int ProcessBraodCastDeviceMaxSeqNumNotifyReq(const T_QuorDeviceMaxSeqNumNotifyReq& notice);
    int ProcessBraodCastUserInfoChangeNotifyReq(const T_QuorUserInfoChangeNotifyReq& notice);
    int ProcessBraodCastDeviceGroupSignNotifyReq(const T_QuorDeviceGroupSignNotifyReq& notice);

    // Senders: pack the record and send it by the path of its identifier
    // (0x1601, 0x1603, 0x1604, 0x1605 to the group; 0x2601, 0x2603, 0x2604,
    // 0x2605 to peerAddr; 0x1801 to the local upgrade agent); 0 once sent,
    // -2 when the record cannot be packed or the identifier is none of these,
    // -3 when there is no group task, else the send path's result (all logged).
    int SendGroupRecord(uint32_t commandId, const void* record, uint32_t peerAddr = 0);
    int SendVersionUpgradeReq(const T_QuorVersionUpgradeReq& request);

    // The 8 annexes of a search answer from the own module information
    // record (InfoID 1 to 8; empty texts when there is no own record).
    static void AddModulInfoToStruct(T_QuorDeviceSearchQueryRsp* answer);

    // ---- Seams ------------------------------------------------------------------

    // Installs the TCP clients' sender (null: the TCP server's).
    static void SetTcpSender(TcpSendFn sender);
    // Installs what DoBroadCastMsgReq hands its records to instead of the
    // broadcast starters (null: the starters, which send to the group).
    static void SetGroupBroadcaster(GroupBroadcastFn broadcaster);
    // Replaces the pauses of the start flow and the configip sequence (null:
    // sleep; a pause after an MCU line then also holds the line quiet that
    // long after the line went out).
    static void SetPauseFn(PauseFn pause);
    static void Pause(uint32_t milliseconds);

private:
    struct StringNode;

    void MakeRoomForSerialLine(uint32_t bytes, std::vector<StringNode*>* dropped);
    StringNode* UnlinkOldestSerialLine();
    void CountSerialTaken(const StringNode& node);
    StringNode* UnlinkSessionHead(int32_t session);
    StringNode* UnlinkOldest();
    StringNode* UnlinkNextInTurn(bool mcuBusy);
    static void CopyOut(StringNode* node, T_QuorStringMsg* message);
    bool HasLineInTurn();
    void DoOneUdpPacket(const T_QuorUdpPacket& packet);
    void HandleTimeout();
    void CountRebootTick();
    void DoConfigipIfRequested();
    void SendStartFlowQuery(const char* query);
    bool ResendStartFlowQuery();

    OSQueue m_UdpPacketQueue;        // elements enclose T_QuorUdpPacket
    OSMutex m_UdpPacketQueueMutex;
    // Under m_StringListMutex: the lines of the serial lines (and of any
    // other origin) in arrival order; the lines of each TCP session in its
    // own order, and the sessions with lines in the order of their turns;
    // counts by origin, serial lines dropped in the current episode.
    OSMutex m_StringListMutex;
    std::deque<StringNode*> m_OtherLines;
    std::map<int32_t, std::deque<StringNode*>> m_TcpLinesBySession;
    std::deque<int32_t> m_TcpTurns;
    uint64_t m_u64Arrivals = 0;
    uint32_t m_u32SerialLines = 0;
    uint32_t m_u32SerialBytes = 0;
    uint32_t m_u32SerialDropped = 0;
    uint32_t m_u32TcpLines = 0;

    // Taken by Initialize and held; nothing uses it.
    CQuorVelmarTCPSessionTask* m_pTCPSessionTask = nullptr;
    // Made by Initialize (main's thread), re-armed by Run.
    std::atomic<QuorSecTimeoutTask<2>*> m_pMgTaskTimeout{nullptr};

    // Start flow, guarded by m_StartFlowMutex.
    OSMutex m_StartFlowMutex;
    bool m_b8StartFlow = false;
    uint8_t m_u8MsgCurStatus = 0;
    uint8_t m_u8RetryCount = 0;
    uint16_t m_u16IdleTicks = 0;     // ticks without an answer in states 6 to 16

    // Timeout ticks since the reboot was requested (the task's thread only).
    uint16_t m_u16RebootTicks = 0;

    // End-flag map, built once by Initialize.
    std::map<std::string, uint16_t> m_mapRs232EndFlg;
};

// The management task, created once at start-up before any producer runs.
extern CQuorVelmarManageTask* g_pVelmarManageTask;

#endif
