// Shared message translation pieces: see QuorMsgCodec.h.
#include "QuorMsgCodec.h"

#include <cstring>

#include "LightLog.h"
#include "MemoryPool.h"
#include "MyAssert.h"

namespace {
const char kSrc[] = "QuorMsgCodec.cpp";
}

QuorWireReader QuorMsgBodyReader(const char* bytes, uint32_t length)
{
    QuorWireReader reader(bytes, length);
    if (!reader.Skip(QUOR_MSG_HEADER_LEN))
        return QuorWireReader(bytes, 0);
    return reader;
}

bool QuorReadMsgHeader(const char* bytes, uint32_t length, T_QuorMsgHeader* header)
{
    QuorWireReader reader(bytes, length);
    return length >= QUOR_MSG_HEADER_LEN && reader.U32(&header->u32Length) &&
           reader.U32(&header->u32CommandID) && reader.U32(&header->u32HeadWord2) &&
           reader.U32(&header->u32HeadWord3) && reader.U32(&header->u32HeadWord4) &&
           reader.U32(&header->u32HeadWord5);
}

bool QuorReadWholeText(QuorWireReader& reader, char* field)
{
    uint32_t n = 0;
    return reader.Text(field, QUOR_MSG_TEXT_SIZE, &n) == QuorWireReader::TEXT_OK;
}

bool QuorRecordTextLen(const char* field, uint32_t* length)
{
    size_t n = strnlen(field, QUOR_MSG_TEXT_SIZE);
    if (n >= QUOR_MSG_TEXT_SIZE)
        return false;
    *length = (uint32_t)n;
    return true;
}

bool QuorWrapDatagram(const char* bytes, uint32_t received, uint32_t remoteAddr, uint16_t remotePort,
                      T_MODULE_MSG* message)
{
    if (bytes == nullptr || received < QUOR_MSG_HEADER_LEN) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Receive message of <%u> bytes is shorter than the header, dropped.",
                    bytes != nullptr ? received : 0u);
        return false;
    }
    uint32_t lengthWord = 0;
    QuorWireReader(bytes, received).U32(&lengthWord);
    if (lengthWord < QUOR_MSG_HEADER_LEN || lengthWord > received) {
        LightLogExt(40000, 0, kSrc, __LINE__,
                    "###### Receive message length word <%u> does not fit <%u> received bytes, dropped.", lengthWord,
                    received);
        return false;
    }
    *message = T_MODULE_MSG{0, lengthWord, bytes, 0, 0, remoteAddr, remotePort};
    return true;
}

bool QuorModuleMsgUsable(const T_MODULE_MSG* message)
{
    if (message == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### T_MODULE_MSG is Null!");
        return false;
    }
    if (message->pMsg == nullptr || message->u32MsgLen == 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Find Message is Null!");
        return false;
    }
    return true;
}

char* QuorRefusePack(const char* packer, const char* reason)
{
    LightLogExt(40000, 0, kSrc, __LINE__, "###### %s refuses the record: %s.", packer, reason);
    return nullptr;
}

QuorMsgPackBlock::QuorMsgPackBlock(const char* packer, uint32_t total, const T_QuorMsgHeader& header)
    : fPacker(packer), fTotal(total)
{
    int32_t classSize = 0;
    fBlock = static_cast<char*>(GetMemPoolAllMsg((int32_t)total, &classSize));
    if (fBlock == nullptr) {
        LightLogExt(40000, 0, kSrc, __LINE__, "###### Fail to GetNew pAllMsg memory, When %s().", packer);
        return;
    }
    memset(fBlock, 0, (size_t)classSize);
    fWriter = QuorWireWriter(fBlock, total);
    fWriter.U32(total);
    fWriter.U32(header.u32CommandID);
    fWriter.U32(header.u32HeadWord2);
    fWriter.U32(header.u32HeadWord3);
    fWriter.U32(header.u32HeadWord4);
    fWriter.U32(header.u32HeadWord5);
}

char* QuorMsgPackBlock::Finish(uint32_t* length)
{
    if (fBlock == nullptr)
        return nullptr;
    if (!fWriter.Ok() || fWriter.Position() != fTotal) {
        QuorAssert(false);
        LightLogExt(40000, 0, kSrc, __LINE__, "###### %s wrote <%u> of <%u> bytes.", fPacker, fWriter.Position(),
                    fTotal);
        FreeMemPoolAllMsg((int32_t)fTotal, fBlock);
        fBlock = nullptr;
        return nullptr;
    }
    *length = fTotal;
    return fBlock;
}

char* QuorPackUpgradeMsg(const char* packer, const T_QuorMsgHeader& header, const char* devAddr,
                         const uint32_t (&words)[3], std::initializer_list<const char*> texts, uint32_t* length)
{
    const uint32_t kMaxTexts = 3;
    uint32_t addr = 0;
    uint32_t textLens[kMaxTexts] = {};
    uint32_t total = QUOR_MSG_HEADER_LEN + 4 + 3 * 4;
    if (texts.size() > kMaxTexts || !QuorRecordTextLen(devAddr, &addr))
        return QuorRefusePack(packer, "a text of 512 bytes or more");
    total += addr;
    uint32_t i = 0;
    for (const char* text : texts) {
        if (!QuorRecordTextLen(text, &textLens[i]))
            return QuorRefusePack(packer, "a text of 512 bytes or more");
        total += 4 + textLens[i++];
    }
    QuorMsgPackBlock pack(packer, total, header);
    if (!pack.Ok())
        return nullptr;
    pack.W().Text(devAddr, addr);
    for (uint32_t word : words)
        pack.W().U32(word);
    i = 0;
    for (const char* text : texts)
        pack.W().Text(text, textLens[i++]);
    return pack.Finish(length);
}
