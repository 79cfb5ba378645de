#include "stringsplit.h"

#include <cstring>

CStringSpliter::CStringSpliter(const std::string& text) : m_strText(text) {}

void CStringSpliter::Split(const std::string& separator)
{
    if (separator.empty()) {
        if (!m_strText.empty())
            m_vecPieces.push_back(m_strText);
        return;
    }
    std::string::size_type pos = 0;
    while (true) {
        std::string::size_type hit = m_strText.find(separator, pos);
        std::string::size_type end = hit == std::string::npos ? m_strText.size() : hit;
        if (end > pos)
            m_vecPieces.push_back(m_strText.substr(pos, end - pos));
        if (hit == std::string::npos)
            return;
        pos = hit + separator.size();
    }
}

int CStringSpliter::Size() const
{
    return (int)m_vecPieces.size();
}

std::string& CStringSpliter::operator[](int i)
{
    if (i >= 0 && i < Size())
        return m_vecPieces[(size_t)i];
    thread_local std::string outOfRange;
    outOfRange.clear();
    return outOfRange;
}

const std::string& CStringSpliter::operator[](int i) const
{
    static const std::string kEmpty;
    if (i >= 0 && i < Size())
        return m_vecPieces[(size_t)i];
    return kEmpty;
}

std::vector<std::string> CStringSpliter::GetVec() const
{
    return m_vecPieces;
}

std::string DeleteChar(const std::string& text, char ch)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != ch)
            out.push_back(c);
    return out;
}

std::string ReplaceStr(const std::string& text, const std::string& from, const std::string& to)
{
    std::string out = text;
    if (from.empty())
        return out;
    std::string::size_type pos = 0;
    while ((pos = out.find(from, pos)) != std::string::npos) {
        out.replace(pos, from.size(), to);
        pos += to.size();
    }
    return out;
}

char* strstr_rep(char* buffer, const char* oldText, const char* newText)
{
    if (buffer == nullptr || buffer[0] == '\0' || oldText == nullptr || oldText[0] == '\0')
        return buffer;
    char* match = strstr(buffer, oldText);
    if (match == nullptr)
        return buffer;
    if (newText == nullptr)
        newText = "";
    size_t before = (size_t)(match - buffer);
    size_t oldLen = strlen(oldText);
    size_t newLen = strlen(newText);
    size_t after = strlen(match + oldLen);
    if (before + newLen + after > STRSTR_REP_MAX_RESULT)
        return buffer;
    char scratch[STRSTR_REP_MAX_RESULT + 1];
    memcpy(scratch, buffer, before);
    memcpy(scratch + before, newText, newLen);
    memcpy(scratch + before + newLen, match + oldLen, after);
    scratch[before + newLen + after] = '\0';
    memcpy(buffer, scratch, before + newLen + after + 1);
    return buffer;
}
