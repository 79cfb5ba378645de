// The agent's communication layer: received datagrams reach the management
// task through here, the upgrade request is translated into its record and
// the answer packed and sent to velmard.
//
// Translation works against the number of bytes received, never a length
// word or a C-string length: a text whose length word is below 4, runs past
// the message or gives 512 bytes or more fails the request.
#ifndef QUOR_NDK_COMMLAYER_H
#define QUOR_NDK_COMMLAYER_H

#include <cstdint>

#include "OSMutex.h"
#include "QuorUpgradeMsgDef.h"

class CMemoryPoolBase;
class CQuorNdkMsgParser;
class CQuorNdkUdpSocketTask;

class CQuorNdkCommLayer {
public:
    // Creates the message parser and the UDP socket task (each once), bound
    // to "VelmarNdk_UdpIp" and "VelmarNdk_UdpPort". 0, or -1 (logged).
    static int Initialize();

    // Sends len bytes to velmard: 127.0.0.1 at "QuorVelmar_UdpPort". 0; -2 no
    // bytes; -3 no socket task; -4 the send failed.
    static int SendUdpBuf(uint32_t len, const char* bytes);

    // Entry of the socket task: one datagram with the number of bytes
    // received and its sender (host order). A datagram shorter than the
    // header, or whose length word is below 24 or above the bytes received, is
    // dropped (logged, -2). Serialised under s_UdpVelmarNdkMutex.
    static int Msg_UdpRecved(const char* bytes, uint32_t received, uint32_t remoteAddr, uint16_t remotePort);
    // Copies the message into the management task's queue and signals it.
    // -2 bad wrapper, -3 no management task, -1 no memory or queue full, 0.
    static int ProcessUdpPack(T_MODULE_MSG* message);

    // Parses a 0x1801 message into a new pooled record: 0 with *record set;
    // -2 for another identifier or a message that does not translate; -1
    // when no record could be had. *commandId gets the header's identifier.
    // The caller frees the record with FreeVersionUpgradeReq.
    static int TranslateOnePackToStruct(const char* bytes, uint32_t length, uint32_t* commandId, void** record);
    // Packs a 0x2801 record into a new pooled block; null otherwise. The
    // caller frees it with FreeMemPoolAllMsg(*length, block).
    static char* TranslateOneStructToPack(uint32_t commandId, const void* record, uint32_t* length);

    static int ParseVersionUpgradeReq(const char* bytes, uint32_t length, T_QuorVersionUpgradeReq* record);
    static char* PackVersionUpgradeRsp(const T_QuorVersionUpgradeRsp* record, uint32_t* length);

    static void FreeVersionUpgradeReq(void* record);

    static CQuorNdkMsgParser* s_pVelmarNdkMsgParser;
    static CQuorNdkUdpSocketTask* s_pVelmarNdkUdpSocketTask;
    static OSMutex s_UdpVelmarNdkMutex;
};

// Records of 0x1801.
extern CMemoryPoolBase g_MPVersionUpgradeReq;

#endif
