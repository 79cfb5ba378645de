// A cursor over a StrSpan that consumes characters by rule.
#ifndef QUOR_STRINGPARSER_H
#define QUOR_STRINGPARSER_H

#include <cstdint>
#include "StrSpan.h"

class StringParser {
public:
    explicit StringParser(StrSpan* stream);

    // Character class masks: 256 entries, non-zero = member.
    static const uint8_t* const sDigitMask;
    static const uint8_t* const sWordMask;
    static const uint8_t* const sEOLMask;
    static const uint8_t* const sWhitespaceMask;
    static const uint8_t* const sEOLWhitespaceMask;

    // Consumes up to (not including) stopChar; outSpan may be null.
    void ConsumeUntil(StrSpan* outSpan, char stopChar);
    // Consumes while the characters are not in mask.
    void ConsumeUntil(StrSpan* outSpan, const uint8_t* mask);
    // Consumes while the characters are in mask.
    void ConsumeWhile(StrSpan* outSpan, const uint8_t* mask);
    void ConsumeWhitespace() { ConsumeWhile(nullptr, sWhitespaceMask); }
    void ConsumeWord(StrSpan* outSpan) { ConsumeWhile(outSpan, sWordMask); }
    // Consumes up to length characters (fewer at the end of the stream).
    void ConsumeLength(StrSpan* outSpan, uint32_t length);
    // Consumes a decimal number (0 when no digit).
    uint32_t ConsumeInteger(StrSpan* outSpan = nullptr);
    // Consumes stopChar when it is next; false otherwise.
    bool Expect(char stopChar);

    char PeekFast() const { return fStartGet < fEndGet ? *fStartGet : '\0'; }
    char* GetCurrentPosition() const { return fStartGet; }
    uint32_t GetDataParsedLen() const { return (uint32_t)(fStartGet - fStream->Ptr); }
    uint32_t GetDataRemaining() const { return (uint32_t)(fEndGet - fStartGet); }
    bool IsDone() const { return fStartGet >= fEndGet; }
    // Line of the current position, counted from 1 by the consumed newlines.
    uint32_t GetLineNumber() const { return fLineNumber; }

private:
    // Moves the position to `to`, counting the newlines passed.
    void AdvanceTo(char* to);
    // Consumes up to `end`, which outSpan (may be null) then spans.
    void TakeTo(char* end, StrSpan* outSpan);
    // The first position from here whose character is (member false: is
    // not) in mask, or the end of the stream.
    char* ScanMask(const uint8_t* mask, bool member) const;

    uint32_t fLineNumber = 1;
    char* fStartGet;
    char* fEndGet;
    StrSpan* fStream;
};

#endif
