#include "StringParser.h"

namespace {
struct MaskTable {
    uint8_t v[256];
};

template <typename Pred>
constexpr MaskTable MakeMask(Pred member)
{
    MaskTable table{};
    for (int c = 0; c < 256; c++)
        table.v[c] = member(c) ? 1 : 0;
    return table;
}

constexpr bool IsDigit(int c) { return c >= '0' && c <= '9'; }
constexpr bool IsWord(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool IsEOL(int c) { return c == '\r' || c == '\n'; }
constexpr bool IsWhite(int c) { return c == ' ' || c == '\t'; }
constexpr bool IsEOLWhite(int c) { return IsEOL(c) || IsWhite(c); }

constexpr MaskTable kDigit = MakeMask(IsDigit);
constexpr MaskTable kWord = MakeMask(IsWord);
constexpr MaskTable kEOL = MakeMask(IsEOL);
constexpr MaskTable kWhite = MakeMask(IsWhite);
constexpr MaskTable kEOLWhite = MakeMask(IsEOLWhite);
}  // namespace

const uint8_t* const StringParser::sDigitMask = kDigit.v;
const uint8_t* const StringParser::sWordMask = kWord.v;
const uint8_t* const StringParser::sEOLMask = kEOL.v;
const uint8_t* const StringParser::sWhitespaceMask = kWhite.v;
const uint8_t* const StringParser::sEOLWhitespaceMask = kEOLWhite.v;

StringParser::StringParser(StrSpan* stream)
    : fStartGet(stream != nullptr ? stream->Ptr : nullptr),
      fEndGet(stream != nullptr && stream->Ptr != nullptr ? stream->Ptr + stream->Len : nullptr),
      fStream(stream)
{
}

namespace {
inline unsigned char Byte(const char* p)
{
    return (unsigned char)*p;
}
}  // namespace

void StringParser::AdvanceTo(char* to)
{
    for (const char* p = fStartGet; p < to; p++)
        if (*p == '\n')
            fLineNumber++;
    fStartGet = to;
}

void StringParser::TakeTo(char* end, StrSpan* outSpan)
{
    char* start = fStartGet;
    AdvanceTo(end);
    if (outSpan != nullptr)
        outSpan->Set(start, (uint32_t)(end - start));
}

char* StringParser::ScanMask(const uint8_t* mask, bool member) const
{
    char* end = fStartGet;
    while (end < fEndGet && (mask[Byte(end)] != 0) == member)
        end++;
    return end;
}

void StringParser::ConsumeUntil(StrSpan* outSpan, char stopChar)
{
    char* end = fStartGet;
    while (end < fEndGet && *end != stopChar)
        end++;
    TakeTo(end, outSpan);
}

void StringParser::ConsumeUntil(StrSpan* outSpan, const uint8_t* mask)
{
    TakeTo(ScanMask(mask, false), outSpan);
}

void StringParser::ConsumeWhile(StrSpan* outSpan, const uint8_t* mask)
{
    TakeTo(ScanMask(mask, true), outSpan);
}

void StringParser::ConsumeLength(StrSpan* outSpan, uint32_t length)
{
    uint32_t take = length < GetDataRemaining() ? length : GetDataRemaining();
    if (outSpan != nullptr)
        outSpan->Set(fStartGet, take);
    AdvanceTo(fStartGet + take);
}

uint32_t StringParser::ConsumeInteger(StrSpan* outSpan)
{
    char* start = fStartGet;
    uint32_t value = 0;
    while (fStartGet < fEndGet && sDigitMask[Byte(fStartGet)] != 0) {
        value = value * 10 + (uint32_t)(*fStartGet - '0');
        fStartGet++;
    }
    if (outSpan != nullptr)
        outSpan->Set(start, (uint32_t)(fStartGet - start));
    return value;
}

bool StringParser::Expect(char stopChar)
{
    if (fStartGet >= fEndGet || *fStartGet != stopChar)
        return false;
    AdvanceTo(fStartGet + 1);
    return true;
}
