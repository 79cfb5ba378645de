// Fuzzes the device list writer: random search answers (item counts,
// identifiers in any order, texts of any bytes) and a random own maximum are
// written as the "getdeviceinfo" reply, which must always parse as JSON.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "QuorVelmarDevSearchList.h"
#include "StrictJson.h"

namespace {

// Reads the input from the front; zeros once it is used up.
struct Input {
    const uint8_t* data;
    size_t size;
    uint8_t Byte()
    {
        if (size == 0)
            return 0;
        --size;
        return *data++;
    }
    std::string Text(size_t limit)
    {
        size_t length = Byte() % (limit + 1);
        length = length < size ? length : size;
        std::string text(reinterpret_cast<const char*>(data), length);
        data += length;
        size -= length;
        return text;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input{data, size};
    const std::string ownMax = input.Text(16);
    CQuorVelmarDevSearchList list;
    std::unique_ptr<T_QuorDeviceSearchQueryRsp> answer(new T_QuorDeviceSearchQueryRsp());
    for (size_t devices = input.Byte() % 6; devices > 0; --devices) {
        memset(answer.get(), 0, sizeof(*answer));
        answer->u8DeviceInfoTotal = input.Byte();
        for (size_t i = 0; i < 12 && i < QUOR_MSG_MAX_ANNEX; ++i) {
            T_QuorDeviceInfoAnnex& item = answer->tAnnexCode[i];
            item.u16InfoID = input.Byte() % 10;
            const std::string text = input.Text(sizeof(item.cInfoCode));
            memcpy(item.cInfoCode, text.data(), text.size());   // not always terminated
        }
        list.Append(*answer);
    }
    if (!strict_json::IsJson(QuorDeviceListJson(ownMax.c_str(), list)))
        __builtin_trap();
    return 0;
}
