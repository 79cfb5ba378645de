// The multipart operations of the web uploads: see QuorVelmarMultipart.h.
#include "QuorVelmarMultipart.h"

#include <cstring>
#include <strings.h>

namespace {

const char kDisposition[] = "Content-Disposition: ";

bool HeadByteAllowed(unsigned char c)
{
    return c >= 0x80 || (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n';
}

// Offset just past the empty line that ends the head, or 0 when the buffer
// holds none or a byte before it is not allowed.
int FindHeadEnd(const char* buf, int len)
{
    for (int i = 0; i < len; ++i) {
        if (!HeadByteAllowed((unsigned char)buf[i]))
            return 0;
        if (buf[i] != '\n')
            continue;
        if (i + 1 < len && buf[i + 1] == '\n')
            return i + 2;
        if (i + 2 < len && buf[i + 1] == '\r' && buf[i + 2] == '\n')
            return i + 3;
    }
    return 0;
}

// Copies [text, text + length) terminated into out; a text that does not fit
// leaves out empty.
void CopyValue(const char* text, int length, char* out, int outSize)
{
    if (outSize <= 0)
        return;
    if (length >= outSize)
        length = 0;
    memcpy(out, text, (size_t)length);
    out[length] = '\0';
}

const char* SkipBlanks(const char* p, const char* end)
{
    while (p < end && *p == ' ')
        ++p;
    return p;
}

struct HeadOutputs {
    char* varName;
    int varNameSize;
    char* fileName;
    int fileNameSize;
};

// One attribute "key=value" or key="value" at p (line ends at end); the
// cursor after it (at the next ';' or the end).
const char* ParseAttribute(const char* p, const char* end, const HeadOutputs& out)
{
    p = SkipBlanks(p, end);
    const char* key = p;
    while (p < end && *p != '=' && *p != ';')
        ++p;
    size_t keyLength = (size_t)(p - key);
    if (p >= end || *p != '=')
        return p;
    const char* value = ++p;
    const char* valueEnd;
    if (p < end && *p == '"') {
        value = ++p;
        while (p < end && *p != '"')
            ++p;
        valueEnd = p;
        while (p < end && *p != ';')
            ++p;
    } else {
        while (p < end && *p != ';')
            ++p;
        valueEnd = p;
        while (valueEnd > value && (valueEnd[-1] == ' ' || valueEnd[-1] == '\r'))
            --valueEnd;
    }
    int valueLength = (int)(valueEnd - value);
    if (keyLength == 4 && strncasecmp(key, "name", 4) == 0)
        CopyValue(value, valueLength, out.varName, out.varNameSize);
    else if (keyLength == 8 && strncasecmp(key, "filename", 8) == 0)
        CopyValue(value, valueLength, out.fileName, out.fileNameSize);
    return p;
}

void ParseDisposition(const char* line, const char* end, const HeadOutputs& out)
{
    const char* p = line + strlen(kDisposition);
    while (p < end) {
        p = ParseAttribute(p, end, out);
        if (p < end)
            ++p;   // the ';'
    }
}

void ClearOutputs(const HeadOutputs& out)
{
    if (out.varName != nullptr && out.varNameSize > 0)
        out.varName[0] = '\0';
    if (out.fileName != nullptr && out.fileNameSize > 0)
        out.fileName[0] = '\0';
}

} // namespace

int mg_parse_multipart_head(const char* buf, int len, char* varName, int varNameSize, char* fileName,
                            int fileNameSize, const char** boundary, int* boundaryLen)
{
    HeadOutputs out = {varName, varName != nullptr ? varNameSize : 0, fileName,
                       fileName != nullptr ? fileNameSize : 0};
    ClearOutputs(out);
    if (boundary != nullptr)
        *boundary = nullptr;
    if (boundaryLen != nullptr)
        *boundaryLen = 0;
    if (buf == nullptr || len < 2 || buf[0] != '-' || buf[1] != '-')
        return 0;
    int headEnd = FindHeadEnd(buf, len);
    if (headEnd == 0)
        return 0;
    const char* firstLineEnd = (const char*)memchr(buf, '\n', (size_t)headEnd);
    if (boundary != nullptr)
        *boundary = buf;
    if (boundaryLen != nullptr)
        *boundaryLen = (int)(firstLineEnd - buf) + 1;

    size_t dispositionLength = strlen(kDisposition);
    for (const char* line = firstLineEnd + 1; line < buf + headEnd;) {
        const char* lineEnd = (const char*)memchr(line, '\n', (size_t)(buf + headEnd - line));
        if ((size_t)(lineEnd - line) >= dispositionLength && strncasecmp(line, kDisposition, dispositionLength) == 0)
            ParseDisposition(line, lineEnd, out);
        line = lineEnd + 1;
    }
    return headEnd;
}

int mg_parse_multipart_body(const char* buf, int len, const char* boundary, int boundaryLen, int* done)
{
    if (buf == nullptr || boundary == nullptr || boundaryLen < 3 || len <= boundaryLen)
        return 0;
    // The boundary text without its line end.
    size_t textLength = (size_t)boundaryLen - 2;
    const char* found = (const char*)memmem(buf, (size_t)len, boundary, textLength);
    if (found != nullptr) {
        int i = (int)(found - buf);
        if (done != nullptr)
            *done = 1;
        return i >= 2 ? i - 2 : 0;
    }
    return len - boundaryLen;
}
