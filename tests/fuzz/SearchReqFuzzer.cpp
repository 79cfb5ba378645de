// Fuzzes the search protocol's parsers: any byte sequence must parse as a
// request (missing bytes reading as zero) without reading past its end; a
// request whose value length fits packs again into bytes that parse to the
// same record. The same bytes read as a reply parse strictly or are refused.
#include <cstdint>
#include <cstring>
#include <vector>

#include "QuorVelmarSearchCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    // An exact-size copy, so that a read past the end is caught.
    std::vector<char> bytes(data, data + size);
    T_KorvexGUIRsp rsp;
    ParseSearchRsp(bytes.data(), (uint32_t)size, &rsp);
    T_KorvexGUIReq req;
    if (ParseSearchReq(bytes.data(), (uint32_t)size, &req) != 0)
        return 0;
    if (req.u32ContentReceived > QUOR_SEARCH_CONTENT_SIZE)
        __builtin_trap();
    char packed[QUOR_SEARCH_REQ_MAX_LEN];
    uint32_t length = 0;
    if (PackSearchReq(req, packed, sizeof(packed), &length) != 0)
        return 0;
    std::vector<char> again(packed, packed + length);
    T_KorvexGUIReq back;
    if (ParseSearchReq(again.data(), length, &back) != 0 || back.u16magic != req.u16magic ||
        back.u8Type != req.u8Type || back.u32PCId != req.u32PCId || back.u32Q7MId != req.u32Q7MId ||
        back.u8TAG != req.u8TAG || back.u16Len != req.u16Len || memcmp(back.cContent, req.cContent, req.u16Len) != 0)
        __builtin_trap();
    return 0;
}
