// The communication layer of velmard: the single entries through which
// received group messages and text lines reach the management task, and the
// translation of group messages between wire bytes and records.
//
// Translation rules (every parser works against the number of bytes it is
// given, never a length word or a C-string length):
// - a message shorter than the 24-byte header gives no record;
// - a fixed field past the end, an annex count above 50, an annex running past
//   the end, and any text of 512 bytes or more make the message fail (no
//   record, logged);
// - an annex length word below 4 stops the annex loop; the message still
//   translates with the annexes before it (in a search answer the bad annex
//   keeps its wrapped length, so that the answer is discarded later).
// Packers refuse records whose counts exceed 50 or whose texts do not fit
// 511 bytes. Records come from and go back to the record pools by message
// identifier; packed bytes come from the general pools by size.
#ifndef QUOR_VELMAR_COMMLAYER_H
#define QUOR_VELMAR_COMMLAYER_H

#include <cstdint>

#include "OSMutex.h"
#include "QuorVelmarMsgDef.h"

class CQuorVelmarMsgParser;
class CQuorVelmarUdpSocketTask;

class CQuorVelmarCommLayer {
public:
    // ---- Start-up -----------------------------------------------------------

    // Creates the message parser and the unicast socket task (each once),
    // bound to "QuorVelmar_UdpIp" and "QuorVelmar_UdpPort". 0, or -1 when
    // either cannot be created (logged).
    static int Initialize();

    // ---- Sending through the unicast socket ---------------------------------

    // Sends len bytes through the unicast socket task to the sender of the
    // most recent unicast datagram. The same results as below.
    static int SendUdpBufToRemote(uint32_t len, const char* bytes);
    // Sends len bytes through the unicast socket task to a host-order address
    // and port: 0; -2 for no bytes or a length of 0 or above 32768; -3 when
    // the socket task does not exist; -4 when the send fails (also while the
    // socket is not bound yet, or to port 0).
    static int SendUdpBufToRemote(uint32_t len, const char* bytes, uint32_t remoteAddr, uint16_t remotePort);

    // ---- Received messages ------------------------------------------------

    // Entry of both UDP receive paths: bytes of one datagram, the number of
    // bytes received and the sender's address and port (host order). The
    // message length is the header's first word; a datagram shorter than the
    // header, or whose length word is below 24 or above the bytes received,
    // is dropped (logged). Serialised under s_UdpVelmarMutex. Returns the
    // result of ProcessUdpPack, or -2 for a dropped datagram.
    static int Msg_UdpRecved(const char* bytes, uint32_t received, uint32_t remoteAddr,
                             uint16_t remotePort);
    // Copies the message into the management task's UDP queue and signals it.
    // -2 bad wrapper, -3 no management task, -1 no memory, 0 queued.
    static int ProcessUdpPack(T_MODULE_MSG* message);

    // Flow of the unicast socket into the management task's UDP queue. The
    // queue holds pooled blocks, so it is kept short: while it holds
    // CQuorVelmarManageTask::kUdpQueueMark packets the unicast socket task
    // stops reading and further datagrams wait in the socket's receive buffer
    // (sized for the answers of a whole installation) instead of being
    // dropped. UdpIntakeOpen is asked by the socket task before each datagram:
    // false marks it waiting. UdpIntakeDrained is called by the management
    // task after it took packets out: a waiting socket task is signalled.
    static bool UdpIntakeOpen();
    static void UdpIntakeDrained();

    // Entry of the serial tasks and the TCP sessions: one text line.
    // Serialised under s_VelmarStringListMutex, so lines keep their order.
    static int Msg_StringRecved(const T_QuorStringMsg& message);
    // Appends the line to the management task's string list and signals it.
    // -3 when there is no management task, else 0.
    static int ProcessStringPack(const T_QuorStringMsg& message);

    // ---- Translation ------------------------------------------------------

    // Parses one message into a new pooled record. *commandId receives the
    // header's command identifier (0 for a message shorter than the header),
    // also when the translation fails; *record the record or null.
    // Returns 0 with a record, -2 for a message that does not translate, -1
    // when no record could be had. The caller frees the record with
    // FreeMemPoolReqAndRspMsg(*commandId, record).
    static int TranslateOnePackToStruct(const char* bytes, uint32_t length, uint32_t* commandId,
                                        void** record);
    // Packs a record into a new pooled block and sets *length; null for a
    // null record, an identifier it does not pack, a record it refuses, or
    // when no block can be had. The caller frees the block with
    // FreeMemPoolAllMsg(*length, block).
    static char* TranslateOneStructToPack(uint32_t commandId, const void* record, uint32_t* length);

    static char* PackDeviceSearchQueryReq(const T_QuorDeviceSearchQueryReq* record, uint32_t* length);
    static char* PackDeviceSearchQueryRsp(const T_QuorDeviceSearchQueryRsp* record, uint32_t* length);
    static char* PackDeviceMaxSeqNumNotifyReq(const T_QuorDeviceMaxSeqNumNotifyReq* record, uint32_t* length);
    static char* PackDeviceMaxSeqNumNotifyRsp(const T_QuorDeviceMaxSeqNumNotifyRsp* record, uint32_t* length);
    static char* PackUserInfoChangeNotifyReq(const T_QuorUserInfoChangeNotifyReq* record, uint32_t* length);
    static char* PackUserInfoChangeNotifyRsp(const T_QuorUserInfoChangeNotifyRsp* record, uint32_t* length);
    static char* PackDeviceGroupSignNotifyReq(const T_QuorDeviceGroupSignNotifyReq* record, uint32_t* length);
    static char* PackDeviceGroupSignNotifyRsp(const T_QuorDeviceGroupSignNotifyRsp* record, uint32_t* length);
    static char* PackVersionUpgradeReq(const T_QuorVersionUpgradeReq* record, uint32_t* length);

    // Each parser fills the body of a cleared record from the message bytes
    // (header included): 0, or -2 when the message does not translate.
    static int ParseDeviceSearchQueryReq(const char* bytes, uint32_t length, T_QuorDeviceSearchQueryReq* record);
    static int ParseDeviceSearchQueryRsp(const char* bytes, uint32_t length, T_QuorDeviceSearchQueryRsp* record);
    static int ParseDeviceMaxSeqNumNotifyReq(const char* bytes, uint32_t length,
                                             T_QuorDeviceMaxSeqNumNotifyReq* record);
    static int ParseDeviceMaxSeqNumNotifyRsp(const char* bytes, uint32_t length,
                                             T_QuorDeviceMaxSeqNumNotifyRsp* record);
    static int ParseUserInfoChangeNotifyReq(const char* bytes, uint32_t length,
                                            T_QuorUserInfoChangeNotifyReq* record);
    static int ParseUserInfoChangeNotifyRsp(const char* bytes, uint32_t length,
                                            T_QuorUserInfoChangeNotifyRsp* record);
    static int ParseDeviceGroupSignNotifyReq(const char* bytes, uint32_t length,
                                             T_QuorDeviceGroupSignNotifyReq* record);
    static int ParseDeviceGroupSignNotifyRsp(const char* bytes, uint32_t length,
                                             T_QuorDeviceGroupSignNotifyRsp* record);
    static int ParseVersionUpgradeRsp(const char* bytes, uint32_t length, T_QuorVersionUpgradeRsp* record);

    // ---- Class-wide state -------------------------------------------------

    static CQuorVelmarMsgParser* s_pVelmarMsgParser;          // receive buffer of the unicast task
    static CQuorVelmarUdpSocketTask* s_pVelmarUdpSocketTask;  // the unicast socket task
    static OSMutex s_UdpVelmarMutex;                          // serialises received datagrams
    static OSMutex s_VelmarStringListMutex;                   // serialises received text lines
};

#endif
