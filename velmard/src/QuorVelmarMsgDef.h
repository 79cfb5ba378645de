// Records of the group messages exchanged between endpoints over UDP and the
// text line handed to the management task (the header, the upgrade messages
// and the wrapper of received bytes are shared with the upgrade agent:
// QuorUpgradeMsgDef.h).
//
// On the wire every message starts with a 24-byte header of six big-endian
// u32 words; fields follow without padding; a text travels without terminator
// behind a u32 length word that counts itself (text bytes + 4). In memory a
// record starts with the same six words in host order, followed by its body
// fields as plain members; texts are zero-terminated fixed arrays.
//
// The records live in the memory pools by message identifier, so their sizes
// are fixed: each is checked against its pool's block size below.
#ifndef QUOR_VELMAR_MSGDEF_H
#define QUOR_VELMAR_MSGDEF_H

#include <cstddef>
#include <cstdint>

#include "MemoryPool.h"
#include "QuorUpgradeMsgDef.h"

// Command identifiers (header word 1): requests 0x16xx/0x18xx, answers 0x26xx/0x28xx.
enum : uint32_t {
    QUOR_MSG_DEVICE_SEARCH_QUERY_REQ = 0x1601,
    QUOR_MSG_DEVICE_SEARCH_QUERY_RSP = 0x2601,
    QUOR_MSG_MAX_SEQ_NUM_NOTIFY_REQ = 0x1603,
    QUOR_MSG_MAX_SEQ_NUM_NOTIFY_RSP = 0x2603,
    QUOR_MSG_USER_INFO_CHANGE_NOTIFY_REQ = 0x1604,
    QUOR_MSG_USER_INFO_CHANGE_NOTIFY_RSP = 0x2604,
    QUOR_MSG_GROUP_SIGN_NOTIFY_REQ = 0x1605,
    QUOR_MSG_GROUP_SIGN_NOTIFY_RSP = 0x2605
};

enum : uint32_t {
    QUOR_MSG_MAX_ANNEX = 50,     // annexes a list-carrying record holds
    QUOR_STRING_MSG_TEXT_SIZE = 2048
};

// Values carried in the bodies.
enum : uint16_t {
    QUOR_DEVICE_TYPE_RECEIVER = 2,     // searches for receivers are not answered
    QUOR_GROUP_SIGN_JOIN = 0x1001,
    QUOR_GROUP_SIGN_LEAVE = 0x1002,
    QUOR_USER_INFO_WEB_PASSWORD = 0x1001
};

// 0x1601, 30 bytes on the wire.
struct T_QuorDeviceSearchQueryReq {
    T_QuorMsgHeader tHeader;
    uint16_t u16DeviceType;      // 2: receivers, not answered by this module
    uint32_t u32DeviceFunction;
};

// One annex of a search answer: 6 + n bytes on the wire.
struct T_QuorDeviceInfoAnnex {
    uint16_t u16InfoID;          // 1 alias ... 8 device type
    uint32_t u32cInfoCodeLen;    // text bytes, without the 4 of the length word
    char cInfoCode[QUOR_MSG_TEXT_SIZE];
};

// 0x2601, 31 bytes plus the annexes.
struct T_QuorDeviceSearchQueryRsp {
    T_QuorMsgHeader tHeader;
    uint16_t u16DeviceType;
    uint32_t u32DeviceFunction;
    uint8_t u8DeviceInfoTotal;
    T_QuorDeviceInfoAnnex tAnnexCode[QUOR_MSG_MAX_ANNEX];
};

// 0x1603, 28 bytes.
struct T_QuorDeviceMaxSeqNumNotifyReq {
    T_QuorMsgHeader tHeader;
    uint16_t u16DeviceType;
    uint16_t u16DeviceMaxSeqNum;
};

// 0x2603, 29 bytes.
struct T_QuorDeviceMaxSeqNumNotifyRsp {
    T_QuorMsgHeader tHeader;
    uint8_t u8ResultCode;        // 0 = done
    uint16_t u16DeviceType;
    uint16_t u16DeviceMaxSeqNum;
};

// One annex of a user information notice: 6 + n bytes on the wire.
struct T_QuorUserInfoAnnex {
    uint16_t u16UserInfoType;    // 0x1001 web password
    char cUserInfoContent[QUOR_MSG_TEXT_SIZE];
};

// 0x1604, 27 bytes plus the annexes.
struct T_QuorUserInfoChangeNotifyReq {
    T_QuorMsgHeader tHeader;
    uint16_t u16DeviceType;
    uint8_t u8UserInfoTotal;
    T_QuorUserInfoAnnex tAnnexCode[QUOR_MSG_MAX_ANNEX];
};

// One annex of a user information answer: 7 + n bytes on the wire.
struct T_QuorUserInfoRspAnnex {
    uint8_t u8ResultCode;
    uint16_t u16UserInfoType;
    char cUserInfoContent[QUOR_MSG_TEXT_SIZE];
};

// 0x2604, 28 bytes plus the annexes.
struct T_QuorUserInfoChangeNotifyRsp {
    T_QuorMsgHeader tHeader;
    uint8_t u8ResultCode;
    uint16_t u16DeviceType;
    uint8_t u8UserInfoTotal;
    T_QuorUserInfoRspAnnex tAnnexCode[QUOR_MSG_MAX_ANNEX];
};

// 0x1605, 28 bytes.
struct T_QuorDeviceGroupSignNotifyReq {
    T_QuorMsgHeader tHeader;
    uint16_t u16DeviceType;
    uint16_t u16DeviceGroupSignCmd;  // 0x1001 join, 0x1002 leave
};

// 0x2605, 29 bytes.
struct T_QuorDeviceGroupSignNotifyRsp {
    T_QuorMsgHeader tHeader;
    uint8_t u8ResultCode;
    uint16_t u16DeviceType;
    uint16_t u16DeviceGroupSignCmd;
};

// Scope of a text line.
enum : uint8_t {
    QUOR_STRING_SCOPE_SERIAL = 10,  // the MCU line or the auxiliary serial line
    QUOR_STRING_SCOPE_TCP = 11,     // a TCP command session
    // In a TCP session's send list the scope is the delivery mode instead.
    QUOR_STRING_MODE_ALL_CLIENTS = 0,
    QUOR_STRING_MODE_ONE_CLIENT = 1
};

// One text line with its origin; copied by value into lists. The text is
// zero-filled behind its length, so it always reads as a C string (at most
// 2047 text bytes).
struct T_QuorStringMsg {
    uint8_t u8Scope;          // origin, or delivery mode in a send list
    int32_t s32SessionId;     // TCP session of scope 11; 0 for serial lines
    uint16_t u16Length;       // text bytes
    char cMsg[QUOR_STRING_MSG_TEXT_SIZE];
};

// The pools hold exactly these records.
static_assert(sizeof(T_QuorStringMsg) == MEMPOOL_TCP_SEND_MSG_SIZE, "T_QuorStringMsg size");
static_assert(sizeof(T_QuorDeviceSearchQueryReq) == MEMPOOL_DEVICE_SEARCH_QUERY_REQ_SIZE, "0x1601 record size");
static_assert(sizeof(T_QuorDeviceSearchQueryRsp) == MEMPOOL_DEVICE_SEARCH_QUERY_RSP_SIZE, "0x2601 record size");
static_assert(sizeof(T_QuorDeviceMaxSeqNumNotifyReq) == MEMPOOL_MAX_SEQ_NUM_NOTIFY_REQ_SIZE, "0x1603 record size");
static_assert(sizeof(T_QuorDeviceMaxSeqNumNotifyRsp) == MEMPOOL_MAX_SEQ_NUM_NOTIFY_RSP_SIZE, "0x2603 record size");
static_assert(sizeof(T_QuorUserInfoChangeNotifyReq) == MEMPOOL_USER_INFO_CHANGE_NOTIFY_REQ_SIZE, "0x1604 record size");
static_assert(sizeof(T_QuorUserInfoChangeNotifyRsp) == MEMPOOL_USER_INFO_CHANGE_NOTIFY_RSP_SIZE, "0x2604 record size");
static_assert(sizeof(T_QuorDeviceGroupSignNotifyReq) == MEMPOOL_GROUP_SIGN_NOTIFY_REQ_SIZE, "0x1605 record size");
static_assert(sizeof(T_QuorDeviceGroupSignNotifyRsp) == MEMPOOL_GROUP_SIGN_NOTIFY_RSP_SIZE, "0x2605 record size");

#endif
