// A strict JSON checker for the tests: true only when the whole text is one
// JSON value (RFC 8259 grammar; blanks, tabs, CR and LF between tokens).
// Bytes of 128 and more are taken inside strings as they are; control
// characters inside strings, trailing commas, bare words and anything after
// the value are refused. Nesting deeper than 64 levels is refused.
#ifndef STRICT_JSON_H
#define STRICT_JSON_H

#include <cstddef>
#include <cstring>
#include <string>

namespace strict_json {

class Checker {
public:
    explicit Checker(const std::string& text) : fText(text) {}

    bool Valid()
    {
        Blanks();
        if (!Value(0))
            return false;
        Blanks();
        return fAt == fText.size();
    }

private:
    char Peek() const { return fAt < fText.size() ? fText[fAt] : '\0'; }
    bool Take(char c)
    {
        if (Peek() != c || fAt >= fText.size())
            return false;
        ++fAt;
        return true;
    }
    void Blanks()
    {
        while (fAt < fText.size() && strchr(" \t\r\n", fText[fAt]) != nullptr && fText[fAt] != '\0')
            ++fAt;
    }
    bool Word(const char* word)
    {
        size_t length = strlen(word);
        if (fText.compare(fAt, length, word) != 0)
            return false;
        fAt += length;
        return true;
    }
    bool Digits()
    {
        size_t start = fAt;
        while (Peek() >= '0' && Peek() <= '9')
            ++fAt;
        return fAt > start;
    }
    bool Number()
    {
        Take('-');
        if (!Take('0') && !Digits())
            return false;
        if (Take('.') && !Digits())
            return false;
        if (Peek() == 'e' || Peek() == 'E') {
            ++fAt;
            if (!Take('+'))
                Take('-');
            return Digits();
        }
        return true;
    }
    bool Hex4()
    {
        for (int i = 0; i < 4; ++i, ++fAt) {
            if (fAt >= fText.size() || strchr("0123456789abcdefABCDEF", fText[fAt]) == nullptr || fText[fAt] == '\0')
                return false;
        }
        return true;
    }
    bool String()
    {
        if (!Take('"'))
            return false;
        while (fAt < fText.size()) {
            unsigned char c = static_cast<unsigned char>(fText[fAt++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\')
                continue;
            if (fAt >= fText.size())
                return false;
            char escape = fText[fAt++];
            if (escape == 'u') {
                if (!Hex4())
                    return false;
            } else if (escape == '\0' || strchr("\"\\/bfnrt", escape) == nullptr) {
                return false;
            }
        }
        return false;
    }
    template <typename Member>
    bool Sequence(char close, int depth, Member member)
    {
        Blanks();
        if (Take(close))
            return true;
        for (;;) {
            Blanks();
            if (!member(depth))
                return false;
            Blanks();
            if (Take(close))
                return true;
            if (!Take(','))
                return false;
        }
    }
    bool Value(int depth)
    {
        if (depth > 64)
            return false;
        switch (Peek()) {
        case '{':
            ++fAt;
            return Sequence('}', depth, [this](int d) {
                if (!String())
                    return false;
                Blanks();
                if (!Take(':'))
                    return false;
                Blanks();
                return Value(d + 1);
            });
        case '[':
            ++fAt;
            return Sequence(']', depth, [this](int d) { return Value(d + 1); });
        case '"':
            return String();
        case 't':
            return Word("true");
        case 'f':
            return Word("false");
        case 'n':
            return Word("null");
        default:
            return Number();
        }
    }

    const std::string& fText;
    size_t fAt = 0;
};

inline bool IsJson(const std::string& text)
{
    return Checker(text).Valid();
}

} // namespace strict_json

#endif
