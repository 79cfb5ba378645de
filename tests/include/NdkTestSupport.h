// Upgrade request and answer bytes for the agent's tests.
#ifndef NDK_TEST_SUPPORT_H
#define NDK_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace ndk_test {

using Bytes = std::vector<uint8_t>;

inline void AddWord(Bytes& b, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        b.push_back(static_cast<uint8_t>(v >> shift));
}

inline void AddText(Bytes& b, const std::string& text)
{
    AddWord(b, static_cast<uint32_t>(text.size() + 4));
    b.insert(b.end(), text.begin(), text.end());
}

// Header words 2 to 5 the tests use (the answer must copy them).
const uint32_t kWords[4] = {0x11, 0x22, 0x33, 0x44};

// The words both ends share: length word, command, kWords, the address,
// port 3334, request code 7 and result 0.
inline Bytes UpgradeHead(uint32_t length, uint32_t command, const std::string& addr)
{
    Bytes b;
    AddWord(b, length);
    AddWord(b, command);
    for (uint32_t w : kWords)
        AddWord(b, w);
    AddText(b, addr);
    AddWord(b, 3334);
    AddWord(b, 7);
    AddWord(b, 0);
    return b;
}

// A 0x1801 request as velmard packs it.
inline Bytes UpgradeRequest(const std::string& name, const std::string& file, const std::string& addr = "ARM")
{
    Bytes b = UpgradeHead(0, 0x1801, addr);
    AddText(b, "SN-1");
    AddText(b, name);
    AddText(b, file);
    b[3] = static_cast<uint8_t>(b.size());
    b[2] = static_cast<uint8_t>(b.size() >> 8);
    return b;
}

// The 0x2801 answer the agent owes that request.
inline Bytes UpgradeAnswer(const std::string& name, const std::string& addr = "ARM")
{
    Bytes b = UpgradeHead(static_cast<uint32_t>(44 + addr.size() + name.size()), 0x2801, addr);
    AddText(b, name);
    return b;
}

} // namespace ndk_test

#endif
