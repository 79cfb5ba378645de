// Pieces shared by the message translators of both daemons: reading the
// header and whole texts within the bytes received, record text lengths, and
// the pooled block a packer writes a message into.
#ifndef QUOR_MSGCODEC_H
#define QUOR_MSGCODEC_H

#include <cstdint>
#include <initializer_list>

#include "QuorUpgradeMsgDef.h"
#include "QuorWireReader.h"
#include "QuorWireWriter.h"

// A reader over the whole message, placed behind the header. A message
// shorter than the header gives a reader with nothing to read, so the first
// body field fails.
QuorWireReader QuorMsgBodyReader(const char* bytes, uint32_t length);

// The six header words; false for a message shorter than the header.
bool QuorReadMsgHeader(const char* bytes, uint32_t length, T_QuorMsgHeader* header);

// One length-prefixed text into a QUOR_MSG_TEXT_SIZE field; any fault (word
// below 4, text of 512 bytes or more, past the end) fails it.
bool QuorReadWholeText(QuorWireReader& reader, char* field);

// Length of a record text; false when the array holds no terminator (a text
// of 512 bytes or more is refused).
bool QuorRecordTextLen(const char* field, uint32_t* length);

// Wraps one received datagram (bytes received, sender in host order) whose
// header length word lies within [24, received]; anything else is logged and
// refused (false).
bool QuorWrapDatagram(const char* bytes, uint32_t received, uint32_t remoteAddr, uint16_t remotePort,
                      T_MODULE_MSG* message);

// False (logged) for a null wrapper or one without bytes.
bool QuorModuleMsgUsable(const T_MODULE_MSG* message);

// Logs why a packer refuses its record; null.
char* QuorRefusePack(const char* packer, const char* reason);

// A cleared pooled block of the message's total length with a writer on it;
// the header goes first: the total as word 0, then the record's words 1 to 5.
// A block that cannot be had is logged as "###### Fail to GetNew pAllMsg
// memory, When <packer>().".
class QuorMsgPackBlock {
public:
    QuorMsgPackBlock(const char* packer, uint32_t total, const T_QuorMsgHeader& header);
    QuorMsgPackBlock(const QuorMsgPackBlock&) = delete;
    QuorMsgPackBlock& operator=(const QuorMsgPackBlock&) = delete;

    bool Ok() const { return fBlock != nullptr; }
    QuorWireWriter& W() { return fWriter; }

    // The block when exactly the computed length was written (the caller
    // frees it with FreeMemPoolAllMsg), else null.
    char* Finish(uint32_t* length);

private:
    const char* fPacker;
    uint32_t fTotal;
    char* fBlock = nullptr;
    QuorWireWriter fWriter{nullptr, 0};
};

// Packs an upgrade message (0x1801 or 0x2801) into a new pooled block: the
// device address text, the port, code and result words, then the texts
// (at most 3). Null for a text of 512 bytes or more (logged, as
// QuorRefusePack) or when no block can be had; the caller frees the block
// with FreeMemPoolAllMsg(*length, block).
char* QuorPackUpgradeMsg(const char* packer, const T_QuorMsgHeader& header, const char* devAddr,
                         const uint32_t (&words)[3], std::initializer_list<const char*> texts, uint32_t* length);

#endif
