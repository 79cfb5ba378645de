#include "XMLParser.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>

#include "LightLog.h"
#include "OSFun.h"

namespace {

const char* const kSrc = "utility/XMLParser";
const int kMinErrorBufferSize = 500;
const int kMaxDepth = 64;

struct NameMask {
    uint8_t v[256];
};

constexpr bool IsNameChar(int c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == ':' || c == '_';
}

constexpr NameMask MakeNonNameMask()
{
    NameMask mask{};
    for (int c = 0; c < 256; c++)
        mask.v[c] = IsNameChar(c) ? 0 : 1;
    return mask;
}

constexpr NameMask kNonNameMask = MakeNonNameMask();

char* CopyText(const char* text)
{
    if (text == nullptr)
        return nullptr;
    size_t len = strlen(text);
    char* copy = new (std::nothrow) char[len + 1];
    if (copy != nullptr)
        memcpy(copy, text, len + 1);
    return copy;
}

char* CopySpan(const StrSpan& span)
{
    return span.GetAsCString();
}

__attribute__((format(printf, 3, 4))) void SetError(char* buffer, int size, const char* format, ...)
{
    if (buffer == nullptr || size < kMinErrorBufferSize)
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, (size_t)size, format, args);
    va_end(args);
}

bool IsBlank(const StrSpan& span)
{
    for (uint32_t i = 0; i < span.Len; i++)
        if (StringParser::sEOLWhitespaceMask[(unsigned char)span.Ptr[i]] == 0)
            return false;
    return true;
}

bool StartsWith(StringParser* parser, const char* text)
{
    size_t len = strlen(text);
    return parser->GetDataRemaining() >= len && memcmp(parser->GetCurrentPosition(), text, len) == 0;
}

// At "<!" or "<?": skips a comment through its "-->", anything else through
// its ">".
void SkipMarkup(StringParser* parser)
{
    const char* start = parser->GetCurrentPosition();
    uint32_t remaining = parser->GetDataRemaining();
    const char* end = nullptr;
    if (StartsWith(parser, "<!--")) {
        const void* hit = memmem(start + 4, remaining - 4, "-->", 3);
        if (hit != nullptr)
            end = static_cast<const char*>(hit) + 3;
    } else {
        const void* hit = memchr(start, '>', remaining);
        if (hit != nullptr)
            end = static_cast<const char*>(hit) + 1;
    }
    parser->ConsumeLength(nullptr, end != nullptr ? (uint32_t)(end - start) : remaining);
}

bool IsMarkup(StringParser* parser)
{
    return StartsWith(parser, "<!") || StartsWith(parser, "<?");
}

const char* Printable(const char* text)
{
    return text != nullptr ? text : "";
}

// Consumes a tag or attribute name into name; false (error set) when none
// stands at the position.
bool ConsumeName(StringParser* parser, StrSpan* name, char* errorBuffer, int errorBufferSize)
{
    parser->ConsumeUntil(name, kNonNameMask.v);
    if (name->Len != 0)
        return true;
    SetError(errorBuffer, errorBufferSize, "Unexpected character (%c) on line %u", parser->PeekFast(),
             parser->GetLineNumber());
    return false;
}

// A growing buffer that remembers whether it ever failed to grow.
class CheckedFormatter : public ResizeableStringFormatter {
public:
    explicit CheckedFormatter(uint32_t initial) : ResizeableStringFormatter(initial) {}
    bool Failed() const { return fFailed || GetTotalBufferSize() == 0; }

protected:
    bool BufferIsFull(uint32_t needed) override
    {
        bool grown = ResizeableStringFormatter::BufferIsFull(needed);
        fFailed = fFailed || !grown;
        return grown;
    }

private:
    bool fFailed = false;
};

}  // namespace

const uint8_t* const XMLTag::sNonNameMask = kNonNameMask.v;

// ---------------------------------------------------------------------------
// XMLAttribute

XMLAttribute::XMLAttribute(const char* name, const char* value)
    : fAttrName(CopyText(name)), fAttrValue(CopyText(value)), fElem(this)
{
}

XMLAttribute::~XMLAttribute()
{
    delete[] fAttrName;
    delete[] fAttrValue;
}

// ---------------------------------------------------------------------------
// XMLTag

XMLTag::XMLTag() : fTag(nullptr), fValue(nullptr), fLine(0), fElem(this) {}

XMLTag::XMLTag(const char* tagName) : fTag(CopyText(tagName)), fValue(nullptr), fLine(0), fElem(this) {}

XMLTag::~XMLTag()
{
    Detach();
    while (OSQueueElem* elem = fAttributes.DeQueue())
        delete static_cast<XMLAttribute*>(elem->GetEnclosingObject());
    while (OSQueueElem* elem = fEmbeddedTags.DeQueue())
        delete static_cast<XMLTag*>(elem->GetEnclosingObject());
    delete[] fTag;
    delete[] fValue;
}

bool XMLTag::ParseTag(StringParser* parser, DTDVerifier* verifier, char* errorBuffer, int errorBufferSize,
                      int depth)
{
    if (depth >= kMaxDepth) {
        SetError(errorBuffer, errorBufferSize, "Tags nested deeper than %d levels on line %u", kMaxDepth,
                 parser->GetLineNumber());
        return false;
    }
    while (true) {
        parser->ConsumeUntil(nullptr, '<');
        if (parser->GetDataRemaining() == 0) {
            SetError(errorBuffer, errorBufferSize, "Couldn't find a valid tag");
            return false;
        }
        if (StartsWith(parser, "</")) {
            SetError(errorBuffer, errorBufferSize, "End tag with no begin tag on line %u", parser->GetLineNumber());
            return false;
        }
        if (!IsMarkup(parser))
            break;
        SkipMarkup(parser);
    }
    bool isEmpty = false;
    if (!ParseStartTag(parser, verifier, errorBuffer, errorBufferSize, &isEmpty))
        return false;
    if (isEmpty)
        return true;
    if (!ParseContent(parser, verifier, errorBuffer, errorBufferSize, depth))
        return false;
    return ParseEndTag(parser, errorBuffer, errorBufferSize);
}

bool XMLTag::ParseStartTag(StringParser* parser, DTDVerifier* verifier, char* errorBuffer, int errorBufferSize,
                           bool* isEmpty)
{
    fLine = parser->GetLineNumber();
    parser->Expect('<');
    StrSpan name;
    if (!ConsumeName(parser, &name, errorBuffer, errorBufferSize))
        return false;
    delete[] fTag;
    fTag = CopySpan(name);
    while (true) {
        parser->ConsumeWhile(nullptr, StringParser::sEOLWhitespaceMask);
        if (parser->IsDone()) {
            SetError(errorBuffer, errorBufferSize, "Bad format for tag <%s> on line %u", Printable(fTag),
                     parser->GetLineNumber());
            return false;
        }
        if (parser->Expect('>'))
            return true;
        if (parser->Expect('/')) {
            if (!parser->Expect('>')) {
                SetError(errorBuffer, errorBufferSize, "'>' must follow '/' on line %u", parser->GetLineNumber());
                return false;
            }
            *isEmpty = true;
            return true;
        }
        StrSpan attrName;
        if (!ConsumeName(parser, &attrName, errorBuffer, errorBufferSize))
            return false;
        char* attr = CopySpan(attrName);
        bool ok = true;
        if (verifier != nullptr && !verifier->IsValidAttributeName(fTag, Printable(attr))) {
            SetError(errorBuffer, errorBufferSize, "Attribute %s not allowed in tag %s on line %u", Printable(attr),
                     Printable(fTag), parser->GetLineNumber());
            ok = false;
        }
        parser->ConsumeWhile(nullptr, StringParser::sEOLWhitespaceMask);
        if (ok && !parser->Expect('=')) {
            SetError(errorBuffer, errorBufferSize, "Missing '=' after attribute %s on line %u", Printable(attr),
                     parser->GetLineNumber());
            ok = false;
        }
        parser->ConsumeWhile(nullptr, StringParser::sEOLWhitespaceMask);
        if (ok && !parser->Expect('"')) {
            SetError(errorBuffer, errorBufferSize, "Attribute %s value not in quotes on line %u", Printable(attr),
                     parser->GetLineNumber());
            ok = false;
        }
        StrSpan value;
        if (ok) {
            parser->ConsumeUntil(&value, '"');
            if (!parser->Expect('"')) {
                SetError(errorBuffer, errorBufferSize, "Attribute %s value not in quotes on line %u",
                         Printable(attr), parser->GetLineNumber());
                ok = false;
            }
        }
        char* attrValue = ok ? CopySpan(value) : nullptr;
        if (ok && verifier != nullptr &&
            !verifier->IsValidAttributeValue(fTag, Printable(attr), Printable(attrValue))) {
            SetError(errorBuffer, errorBufferSize, "Bad value for attribute %s on line %u", Printable(attr),
                     parser->GetLineNumber());
            ok = false;
        }
        if (ok)
            AddAttribute(attr, attrValue);
        delete[] attr;
        delete[] attrValue;
        if (!ok)
            return false;
    }
}

bool XMLTag::ParseContent(StringParser* parser, DTDVerifier* verifier, char* errorBuffer, int errorBufferSize,
                          int depth)
{
    StrSpan text;
    while (true) {
        parser->ConsumeUntil(&text, '<');
        if (parser->GetDataRemaining() < 4) {
            SetError(errorBuffer, errorBufferSize, "Reached end of file without end for tag <%s> declared on line %u",
                     Printable(fTag), fLine);
            return false;
        }
        bool endTag = StartsWith(parser, "</");
        bool child = !endTag && !IsMarkup(parser);
        if ((child || fEmbeddedTags.GetLength() > 0) && !IsBlank(text))
            SetError(errorBuffer, errorBufferSize, "Unexpected text outside of tag on line %u",
                     parser->GetLineNumber());
        if (endTag)
            break;
        if (!child) {
            SkipMarkup(parser);
            continue;
        }
        XMLTag* tag = new (std::nothrow) XMLTag();
        if (tag == nullptr)
            return false;
        if (!tag->ParseTag(parser, verifier, errorBuffer, errorBufferSize, depth + 1)) {
            delete tag;
            return false;
        }
        if (verifier != nullptr && !verifier->IsValidSubtag(fTag, Printable(tag->fTag))) {
            SetError(errorBuffer, errorBufferSize, "Tag %s not allowed in tag %s on line %u", Printable(tag->fTag),
                     Printable(fTag), tag->fLine);
            delete tag;
            return false;
        }
        AddEmbeddedTag(tag);
    }
    if (fEmbeddedTags.GetLength() == 0 && text.Len > 0) {
        if (verifier != nullptr && !verifier->CanHaveValue(fTag)) {
            SetError(errorBuffer, errorBufferSize, "Tag <%s> on line %u not allowed to have data", Printable(fTag),
                     fLine);
            return false;
        }
        delete[] fValue;
        fValue = CopySpan(text);
    }
    return true;
}

bool XMLTag::ParseEndTag(StringParser* parser, char* errorBuffer, int errorBufferSize)
{
    parser->ConsumeLength(nullptr, 2);  // "</"
    StrSpan name;
    parser->ConsumeUntil(&name, sNonNameMask);
    if (!name.Equal(fTag)) {
        char* endName = CopySpan(name);
        SetError(errorBuffer, errorBufferSize, "End tag </%s> on line %u doesn't match tag <%s> declared on line %u",
                 Printable(endName), parser->GetLineNumber(), Printable(fTag), fLine);
        delete[] endName;
        return false;
    }
    parser->ConsumeUntil(nullptr, '>');
    if (!parser->Expect('>')) {
        SetError(errorBuffer, errorBufferSize, "Couldn't find end of tag <%s> declared on line %u", Printable(fTag),
                 fLine);
        return false;
    }
    return true;
}

char* XMLTag::GetAttributeValue(const char* attrName)
{
    if (attrName == nullptr)
        return nullptr;
    for (OSQueueIter it(&fAttributes); !it.IsDone(); it.Next()) {
        XMLAttribute* attr = static_cast<XMLAttribute*>(it.GetCurrent()->GetEnclosingObject());
        if (attr->fAttrName != nullptr && strcmp(attr->fAttrName, attrName) == 0)
            return attr->fAttrValue;
    }
    return nullptr;
}

XMLTag* XMLTag::GetEmbeddedTag(uint32_t index)
{
    return GetEmbeddedTagByNameAndAttr(nullptr, nullptr, nullptr, index);
}

XMLTag* XMLTag::GetEmbeddedTagByName(const char* tagName, uint32_t index)
{
    if (tagName == nullptr)
        return nullptr;
    return GetEmbeddedTagByNameAndAttr(tagName, nullptr, nullptr, index);
}

XMLTag* XMLTag::GetEmbeddedTagByAttr(const char* attrName, const char* attrValue, uint32_t index)
{
    if (attrName == nullptr || attrValue == nullptr)
        return nullptr;
    return GetEmbeddedTagByNameAndAttr(nullptr, attrName, attrValue, index);
}

// A null tag name or attribute name matches any tag.
XMLTag* XMLTag::GetEmbeddedTagByNameAndAttr(const char* tagName, const char* attrName, const char* attrValue,
                                            uint32_t index)
{
    uint32_t seen = 0;
    for (OSQueueIter it(&fEmbeddedTags); !it.IsDone(); it.Next()) {
        XMLTag* tag = static_cast<XMLTag*>(it.GetCurrent()->GetEnclosingObject());
        if (tagName != nullptr && (tag->fTag == nullptr || strcmp(tag->fTag, tagName) != 0))
            continue;
        if (attrName != nullptr) {
            const char* value = tag->GetAttributeValue(attrName);
            if (value == nullptr || attrValue == nullptr || strcmp(value, attrValue) != 0)
                continue;
        }
        if (seen++ == index)
            return tag;
    }
    return nullptr;
}

void XMLTag::AddAttribute(const char* attrName, const char* attrValue)
{
    XMLAttribute* attr = new (std::nothrow) XMLAttribute(attrName, attrValue);
    if (attr != nullptr)
        fAttributes.EnQueue(&attr->fElem);
}

void XMLTag::RemoveAttribute(const char* attrName)
{
    if (attrName == nullptr)
        return;
    for (OSQueueIter it(&fAttributes); !it.IsDone(); it.Next()) {
        XMLAttribute* attr = static_cast<XMLAttribute*>(it.GetCurrent()->GetEnclosingObject());
        if (attr->fAttrName != nullptr && strcmp(attr->fAttrName, attrName) == 0) {
            fAttributes.Remove(&attr->fElem);
            delete attr;
            return;
        }
    }
}

void XMLTag::AddEmbeddedTag(XMLTag* tag)
{
    if (tag == nullptr || tag == this)
        return;
    if (fEmbeddedTags.EnQueue(&tag->fElem)) {
        delete[] fValue;  // a tag with embedded tags has no value
        fValue = nullptr;
    }
}

void XMLTag::RemoveEmbeddedTag(XMLTag* tag)
{
    if (tag != nullptr && tag->fElem.InQueue() == &fEmbeddedTags)
        fEmbeddedTags.Remove(&tag->fElem);
}

void XMLTag::Detach()
{
    if (fElem.InQueue() != nullptr)
        fElem.InQueue()->Remove(&fElem);
}

void XMLTag::SetTagName(const char* name)
{
    if (name == nullptr)
        return;
    char* copy = CopyText(name);
    if (copy == nullptr)
        return;
    delete[] fTag;
    fTag = copy;
}

void XMLTag::SetValue(const char* value)
{
    if (fEmbeddedTags.GetLength() > 0)
        return;
    delete[] fValue;
    fValue = CopyText(value);
}

void XMLTag::FormatData(StringFormatter* formatter, uint32_t indent)
{
    for (uint32_t i = 0; i < indent; i++)
        formatter->PutChar('\t');
    formatter->PutChar('<');
    formatter->Put(Printable(fTag));
    if (fAttributes.GetLength() > 0) {
        formatter->PutChar(' ');
        for (OSQueueIter it(&fAttributes); !it.IsDone(); it.Next()) {
            XMLAttribute* attr = static_cast<XMLAttribute*>(it.GetCurrent()->GetEnclosingObject());
            formatter->Put(Printable(attr->fAttrName));
            formatter->Put("=\"");
            formatter->Put(Printable(attr->fAttrValue));
            formatter->Put("\" ");
        }
    }
    formatter->PutChar('>');
    if (fEmbeddedTags.GetLength() > 0) {
        formatter->PutChar('\n');
        for (OSQueueIter it(&fEmbeddedTags); !it.IsDone(); it.Next())
            static_cast<XMLTag*>(it.GetCurrent()->GetEnclosingObject())->FormatData(formatter, indent + 1);
        for (uint32_t i = 0; i < indent; i++)
            formatter->PutChar('\t');
    } else if (fValue != nullptr) {
        formatter->Put(fValue);
    }
    formatter->Put("</");
    formatter->Put(Printable(fTag));
    formatter->Put(">\n");
}

// ---------------------------------------------------------------------------
// XMLParser

XMLParser::XMLParser(const char* path, DTDVerifier* verifier)
    : fRootTag(nullptr), fFilePath(CopyText(path != nullptr ? path : "")), fVerifier(verifier)
{
}

XMLParser::~XMLParser()
{
    delete fRootTag;
    delete[] fFilePath;
}

bool XMLParser::ParseFile(char* errorBuffer, int errorBufferSize)
{
    delete fRootTag;
    fRootTag = nullptr;
    fFile.Set(fFilePath);
    uint64_t length = fFile.GetLength();
    char* data = nullptr;
    uint32_t got = 0;
    if (length > 0 && length <= kMaxFileSize)
        data = new (std::nothrow) char[length + 1];
    if (data == nullptr || fFile.Read(0, data, (uint32_t)length, &got) != 0 || got == 0) {
        if (length > kMaxFileSize)
            LightLogExt(40000, 0, kSrc, __LINE__, "######XML file <%s> is larger than %u bytes.",
                        Printable(fFilePath), kMaxFileSize);
        SetError(errorBuffer, errorBufferSize, "Couldn't read xml file");
        delete[] data;
        fFile.Close();
        return false;
    }
    fFile.Close();
    data[got] = '\0';
    StrSpan span(data, got);
    StringParser parser(&span);
    XMLTag* root = new (std::nothrow) XMLTag();
    bool ok = root != nullptr && root->ParseTag(&parser, fVerifier, errorBuffer, errorBufferSize, 0);
    if (ok)
        fRootTag = root;
    else
        delete root;
    delete[] data;
    return ok;
}

void XMLParser::SetRootTag(XMLTag* tag)
{
    if (tag == fRootTag)
        return;
    delete fRootTag;
    fRootTag = tag;
}

int XMLParser::WriteToFile(char** fileHeader)
{
    (void)fileHeader;
    if (fRootTag == nullptr)
        return -1;
    CheckedFormatter formatter(8192);
    fRootTag->FormatData(&formatter, 0);
    if (formatter.Failed()) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######XML file <%s> not written: out of memory.", Printable(fFilePath));
        return -1;
    }
    if (COSFun::WriteFileAtomic(fFilePath, formatter.GetBufPtr(), formatter.GetCurrentOffset(), 0640) != 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######XML file <%s> could not be written; old file kept.",
                    Printable(fFilePath));
        return -1;
    }
    return 0;
}

bool XMLParser::DoesFileExist()
{
    struct stat st;
    return stat(fFilePath, &st) == 0;
}

bool XMLParser::DoesFileExistAsDirectory()
{
    struct stat st;
    return stat(fFilePath, &st) == 0 && S_ISDIR(st.st_mode);
}

bool XMLParser::CanWriteFile()
{
    FILE* reading = fopen(fFilePath, "re");
    if (reading == nullptr)
        return true;
    fclose(reading);
    FILE* appending = fopen(fFilePath, "ae");
    if (appending == nullptr)
        return false;
    fclose(appending);
    return true;
}
