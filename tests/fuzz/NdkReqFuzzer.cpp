// Fuzzes the upgrade agent's translation of received requests: any byte
// sequence must translate or be refused without reading past its end; a
// request that translates holds terminated texts, passes through the name
// checks, and its answer packs into a message of exactly its computed length.
#include <cstdint>
#include <cstring>
#include <vector>

#include "MemoryPool.h"
#include "QuorNdkCommLayer.h"
#include "QuorNdkRequestCheck.h"

namespace {

void CheckTerminated(const char* field)
{
    if (strnlen(field, QUOR_MSG_TEXT_SIZE) >= QUOR_MSG_TEXT_SIZE)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    std::vector<char> bytes(data, data + size);  // exact size: a read past the end is caught
    uint32_t commandId = 0;
    void* record = nullptr;
    if (CQuorNdkCommLayer::TranslateOnePackToStruct(bytes.data(), (uint32_t)size, &commandId, &record) != 0)
        return 0;
    const T_QuorVersionUpgradeReq* request = static_cast<const T_QuorVersionUpgradeReq*>(record);
    for (const char* field : {request->cDevAddr, request->cVersionSN, request->cVersionName, request->cVersionFile})
        CheckTerminated(field);
    CQuorNdkRequestCheck::IsSafeName(request->cVersionName);
    CQuorNdkRequestCheck::IsSafeName(request->cVersionFile);

    T_QuorVersionUpgradeRsp answer;
    memset(&answer, 0, sizeof(answer));
    answer.tHeader = QuorAnswerMsgHeader(request->tHeader, QUOR_MSG_VERSION_UPGRADE_RSP);
    memcpy(answer.cDevAddr, request->cDevAddr, sizeof(answer.cDevAddr));
    memcpy(answer.cRspData, request->cVersionName, sizeof(answer.cRspData));
    uint32_t length = 0;
    char* packed = CQuorNdkCommLayer::TranslateOneStructToPack(QUOR_MSG_VERSION_UPGRADE_RSP, &answer, &length);
    if (packed == nullptr ||
        length != 44 + strlen(request->cDevAddr) + strlen(request->cVersionName))
        __builtin_trap();
    FreeMemPoolAllMsg((int32_t)length, packed);
    CQuorNdkCommLayer::FreeVersionUpgradeReq(record);
    return 0;
}
