// Fuzzes the translation of received group messages into records: any byte
// sequence must translate or be refused without reading past its end, and a
// record that translates must pack again into a message that translates.
#include <cstdint>
#include <cstring>
#include <vector>

#include "MemoryPool.h"
#include "QuorVelmarCommLayer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 32768)
        return 0;
    // An exact-size copy, so that a read past the end is caught.
    std::vector<char> bytes(data, data + size);
    uint32_t commandId = 0;
    void* record = nullptr;
    int result = CQuorVelmarCommLayer::TranslateOnePackToStruct(bytes.data(), (uint32_t)size, &commandId, &record);
    if (result != 0 || record == nullptr)
        return 0;
    uint32_t length = 0;
    char* packed = CQuorVelmarCommLayer::TranslateOneStructToPack(commandId, record, &length);
    if (packed != nullptr) {
        std::vector<char> again(packed, packed + length);
        uint32_t againId = 0;
        void* againRecord = nullptr;
        if (CQuorVelmarCommLayer::TranslateOnePackToStruct(again.data(), length, &againId, &againRecord) != 0 ||
            againId != commandId)
            __builtin_trap();
        FreeMemPoolReqAndRspMsg(againId, againRecord);
        FreeMemPoolAllMsg((int32_t)length, packed);
    }
    FreeMemPoolReqAndRspMsg(commandId, record);
    return 0;
}
