#include "SimText.h"

#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "QuorUtilLib/HexDigit.h"

std::string SimEscapeBytes(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

bool SimUnescapeBytes(const std::string& text, std::string* out)
{
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text[i]) {
        case '\\': *out += '\\'; break;
        case 'r': *out += '\r'; break;
        case 'n': *out += '\n'; break;
        case 't': *out += '\t'; break;
        case '0': *out += '\0'; break;
        case 'x': {
            if (i + 2 >= text.size())
                return false;
            int high = HexDigitValue(static_cast<unsigned char>(text[i + 1]));
            int low = HexDigitValue(static_cast<unsigned char>(text[i + 2]));
            if (high < 0 || low < 0)
                return false;
            *out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

bool SimParseHexBytes(const std::string& text, std::string* out)
{
    out->clear();
    for (std::string piece : SimSplitWords(text)) {
        if (piece.size() > 2 && piece[0] == '0' && (piece[1] == 'x' || piece[1] == 'X'))
            piece = piece.substr(2);
        if (piece.empty() || piece.size() > 2)
            return false;
        int value = 0;
        for (unsigned char c : piece) {
            int digit = HexDigitValue(c);
            if (digit < 0)
                return false;
            value = value * 16 + digit;
        }
        *out += static_cast<char>(value);
    }
    return true;
}

std::string SimHexBytes(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size() * 3);
    for (unsigned char c : bytes) {
        char hex[4];
        snprintf(hex, sizeof hex, "%02X", c);
        if (!out.empty())
            out += ' ';
        out += hex;
    }
    return out;
}

std::vector<std::string> SimSplitWords(const std::string& text)
{
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t start = text.find_first_not_of(' ', pos);
        if (start == std::string::npos)
            break;
        size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        words.push_back(text.substr(start, end - start));
        pos = end;
    }
    return words;
}

std::vector<std::string> SimSplitOn(const std::string& text, const std::string& separator)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t at = separator.empty() ? std::string::npos : text.find(separator, start);
        if (at == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

std::string SimJoinWords(const std::vector<std::string>& words, size_t first)
{
    std::string out;
    for (size_t i = first; i < words.size(); ++i) {
        if (!out.empty())
            out += ' ';
        out += words[i];
    }
    return out;
}

std::string SimToUpper(const std::string& text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return out;
}

bool SimEqualsNoCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && SimToUpper(a) == SimToUpper(b);
}

std::string SimTrim(const std::string& text)
{
    const char* blanks = " \t\r\n";
    size_t start = text.find_first_not_of(blanks);
    if (start == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(blanks);
    return text.substr(start, end - start + 1);
}

bool SimParseCount(const std::string& text, int* value)
{
    if (text.empty() || text.size() > 9)
        return false;
    int result = 0;
    for (unsigned char c : text) {
        if (!isdigit(c))
            return false;
        result = result * 10 + (c - '0');
    }
    *value = result;
    return true;
}

int64_t SimNowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string SimClockText()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm local;
    localtime_r(&tv.tv_sec, &local);
    char text[32];
    snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
             static_cast<long>(tv.tv_usec / 1000));
    return text;
}

bool SimWriteAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
