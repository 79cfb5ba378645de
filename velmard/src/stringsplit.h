// Small string tools: a splitter that cuts a text into non-empty pieces,
// removal of one character, replacement of every occurrence of a text, and
// in-place replacement of the first occurrence of a text in a buffer.
#ifndef VELMAR_STRINGSPLIT_H
#define VELMAR_STRINGSPLIT_H

#include <string>
#include <vector>

class CStringSpliter {
public:
    // Keeps a copy of text; the piece list starts empty.
    explicit CStringSpliter(const std::string& text);

    // Appends the non-empty pieces of the kept text between separators. An
    // empty separator gives the whole text as one piece.
    void Split(const std::string& separator);
    int Size() const;
    // The i-th piece; an index out of range gives an empty string.
    std::string& operator[](int i);
    const std::string& operator[](int i) const;
    std::vector<std::string> GetVec() const;

private:
    std::string m_strText;
    std::vector<std::string> m_vecPieces;
};

// text without any occurrence of ch.
std::string DeleteChar(const std::string& text, char ch);

// A copy of text with every occurrence of from replaced by to; inserted text
// is never searched again. An empty from gives text unchanged.
std::string ReplaceStr(const std::string& text, const std::string& from, const std::string& to);

// Longest result strstr_rep builds (without its terminator).
#define STRSTR_REP_MAX_RESULT 255

// Replaces in place the first occurrence of oldText in the terminated buffer
// by newText and returns buffer. The buffer is left unchanged when oldText is
// empty or absent, or when the result would be longer than
// STRSTR_REP_MAX_RESULT characters. The buffer must have room for the result.
char* strstr_rep(char* buffer, const char* oldText, const char* newText);

#endif
