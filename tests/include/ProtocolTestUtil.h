// Helpers of the group message tests: building wire bytes, packing and
// translating through the communication layer, and reading the log.
#ifndef PROTOCOL_TEST_UTIL_H
#define PROTOCOL_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "LightLog.h"
#include "MemoryPool.h"
#include "CommLayerPack.h"
#include "QuorVelmarCommLayer.h"
#include "QuorVelmarMsgDef.h"
#include "TestLog.h"

using Bytes = std::vector<uint8_t>;

// Builds wire bytes field by field, big-endian.
class WireBuilder {
public:
    WireBuilder& U8(uint32_t v)
    {
        fBytes.push_back((uint8_t)v);
        return *this;
    }
    WireBuilder& U16(uint32_t v) { return U8(v >> 8).U8(v); }
    WireBuilder& U32(uint32_t v) { return U16(v >> 16).U16(v); }
    WireBuilder& Raw(const std::string& s)
    {
        fBytes.insert(fBytes.end(), s.begin(), s.end());
        return *this;
    }
    // Length word (n + 4) and the text.
    WireBuilder& Text(const std::string& s) { return U32((uint32_t)s.size() + 4).Raw(s); }
    // The header with length word 0, to be set by Done (or kept by DoneAsIs).
    WireBuilder& Header(uint32_t id, uint32_t w2 = 0, uint32_t w3 = 1, uint32_t w4 = 0, uint32_t w5 = 0)
    {
        return U32(0).U32(id).U32(w2).U32(w3).U32(w4).U32(w5);
    }
    // The bytes with word 0 set to their count.
    Bytes Done() const
    {
        Bytes out = fBytes;
        uint32_t n = (uint32_t)out.size();
        if (n >= 4) {
            out[0] = (uint8_t)(n >> 24);
            out[1] = (uint8_t)(n >> 16);
            out[2] = (uint8_t)(n >> 8);
            out[3] = (uint8_t)n;
        }
        return out;
    }
    Bytes DoneAsIs() const { return fBytes; }

private:
    Bytes fBytes;
};

inline std::string Hex(const Bytes& b)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < b.size(); ++i) {
        snprintf(buf, sizeof(buf), "%02X", b[i]);
        if (i != 0)
            s += ' ';
        s += buf;
    }
    return s;
}

inline Bytes Slice(const Bytes& b, size_t from, size_t count = std::string::npos)
{
    if (from > b.size())
        return Bytes();
    size_t end = count == std::string::npos || from + count > b.size() ? b.size() : from + count;
    return Bytes(b.begin() + (long)from, b.begin() + (long)end);
}

// A zero-filled record on the heap (the list records are 25 KB and more).
template <class R>
std::unique_ptr<R> Zeroed()
{
    std::unique_ptr<R> r(new R);
    memset(r.get(), 0, sizeof(R));
    return r;
}

inline void SetText(char* field, const std::string& s)
{
    memset(field, 0, QUOR_MSG_TEXT_SIZE);
    size_t n = s.size() < QUOR_MSG_TEXT_SIZE ? s.size() : (size_t)QUOR_MSG_TEXT_SIZE;
    memcpy(field, s.data(), n);
}

using wire_test::Pack;

// The result of a translation; frees the record.
struct Translated {
    int result = 0;
    uint32_t id = 0xFFFFFFFF;
    void* record = nullptr;

    Translated() = default;
    Translated(const Translated&) = delete;
    Translated& operator=(const Translated&) = delete;
    ~Translated()
    {
        if (record != nullptr)
            FreeMemPoolReqAndRspMsg(id, record);
    }
    template <class R>
    const R& As() const
    {
        return *static_cast<const R*>(record);
    }
};

// Translates a copy of the bytes held in a heap block of exactly their size,
// so that any read past them is caught by AddressSanitizer.
inline void Translate(const Bytes& bytes, Translated* out)
{
    std::unique_ptr<char[]> exact(new char[bytes.size()]);
    if (!bytes.empty())
        memcpy(exact.get(), bytes.data(), bytes.size());
    out->result = CQuorVelmarCommLayer::TranslateOnePackToStruct(exact.get(), (uint32_t)bytes.size(), &out->id,
                                                                 &out->record);
}

// Blocks in use of every record pool and the small general classes.
inline std::vector<uint32_t> PoolsInUse()
{
    std::vector<uint32_t> counts;
    for (uint32_t id : {0x1601u, 0x2601u, 0x1603u, 0x2603u, 0x1604u, 0x2604u, 0x1605u, 0x2605u, 0x2801u})
        counts.push_back(MemPoolOfMessage(id)->GetInUseCount());
    for (CMemoryPoolBase* pool : {&g_MPVelmarMsg, &g_MPVelmarAllMsg64Byte, &g_MPVelmarAllMsg128Byte,
                                  &g_MPVelmarAllMsg256Byte, &g_MPVelmarAllMsg512Byte, &g_MPVelmarAllMsg1024Byte,
                                  &g_MPVelmarAllMsg4096Byte, &g_MPVelmarAllMsg10240Byte,
                                  &g_MPVelmarAllMsg20480Byte, &g_MPVelmarAllMsg81920Byte})
        counts.push_back(pool->GetInUseCount());
    counts.push_back(g_MPVelmarQueueElem.GetInUseCount());
    return counts;
}

// Sends the log of a test into a fresh directory and reads it back.
class LogCapture : public test_log::LightLogDir {
public:
    LogCapture() : LightLogDir("protocol", "log", 100000, 10) {}
};

#endif
