// A small XML reader and writer: tags, double-quoted attributes, text and
// comments. No entity decoding or escaping: values are kept as written.
#ifndef QUOR_XMLPARSER_H
#define QUOR_XMLPARSER_H

#include <cstdint>

#include "OSFileSource.h"
#include "OSQueue.h"
#include "StringFormatter.h"
#include "StringParser.h"

class XMLTag;

// Optional rules a parse can be checked against.
class DTDVerifier {
public:
    virtual ~DTDVerifier() = default;
    virtual bool IsValidSubtag(const char* tagName, const char* subTagName) = 0;
    virtual bool IsValidAttributeName(const char* tagName, const char* attrName) = 0;
    virtual bool IsValidAttributeValue(const char* tagName, const char* attrName, const char* attrValue) = 0;
    virtual bool CanHaveValue(const char* tagName) = 0;
};

class XMLAttribute {
public:
    XMLAttribute(const char* name, const char* value);
    ~XMLAttribute();
    XMLAttribute(const XMLAttribute&) = delete;
    XMLAttribute& operator=(const XMLAttribute&) = delete;

    char* fAttrName;
    char* fAttrValue;
    OSQueueElem fElem;
};

class XMLTag {
public:
    XMLTag();
    explicit XMLTag(const char* tagName);
    // Deletes its attributes and embedded tags.
    ~XMLTag();
    XMLTag(const XMLTag&) = delete;
    XMLTag& operator=(const XMLTag&) = delete;

    // Parses one tag with everything inside it. On failure errorBuffer (when
    // errorBufferSize is at least 500) receives the reason.
    bool ParseTag(StringParser* parser, DTDVerifier* verifier, char* errorBuffer, int errorBufferSize,
                  int depth = 0);

    char* GetAttributeValue(const char* attrName);
    char* GetValue() { return fValue; }
    char* GetTagName() { return fTag; }
    uint32_t GetNumEmbeddedTags() { return fEmbeddedTags.GetLength(); }
    uint32_t GetNumAttributes() { return fAttributes.GetLength(); }

    // The index-th match (from 0), or none.
    XMLTag* GetEmbeddedTag(uint32_t index = 0);
    XMLTag* GetEmbeddedTagByName(const char* tagName, uint32_t index = 0);
    XMLTag* GetEmbeddedTagByAttr(const char* attrName, const char* attrValue, uint32_t index = 0);
    XMLTag* GetEmbeddedTagByNameAndAttr(const char* tagName, const char* attrName, const char* attrValue,
                                        uint32_t index = 0);

    void AddAttribute(const char* attrName, const char* attrValue);
    // Removes (and deletes) the first attribute with that name.
    void RemoveAttribute(const char* attrName);
    // Appends tag, which must not sit in another tag.
    void AddEmbeddedTag(XMLTag* tag);
    // Unlinks tag from this tag; the caller owns it afterwards.
    void RemoveEmbeddedTag(XMLTag* tag);
    // Unlinks this tag from the tag holding it, if any.
    void Detach();
    void SetTagName(const char* name);
    // Replaces the value with a copy (none clears it); ignored while the tag
    // has embedded tags.
    void SetValue(const char* value);

    // Writes the tag: indent tabs, the start tag with a blank after each
    // attribute, the value or the embedded tags, the end tag and a newline.
    void FormatData(StringFormatter* formatter, uint32_t indent);

    // 256 entries, non-zero for bytes that end a name.
    static const uint8_t* const sNonNameMask;

private:
    bool ParseStartTag(StringParser* parser, DTDVerifier* verifier, char* errorBuffer, int errorBufferSize,
                       bool* isEmpty);
    bool ParseContent(StringParser* parser, DTDVerifier* verifier, char* errorBuffer, int errorBufferSize,
                      int depth);
    bool ParseEndTag(StringParser* parser, char* errorBuffer, int errorBufferSize);

    char* fTag;
    char* fValue;
    uint32_t fLine;  // line of the start tag
    OSQueue fAttributes;
    OSQueue fEmbeddedTags;
    OSQueueElem fElem;
};

class XMLParser {
public:
    XMLParser(const char* path, DTDVerifier* verifier = nullptr);
    virtual ~XMLParser();
    XMLParser(const XMLParser&) = delete;
    XMLParser& operator=(const XMLParser&) = delete;

    // Reads the file and parses its top-level tag into a new root. On failure
    // there is no root and errorBuffer (at least 500 bytes) gets the reason.
    bool ParseFile(char* errorBuffer = nullptr, int errorBufferSize = 0);

    XMLTag* GetRootTag() { return fRootTag; }
    // Replaces (and deletes) the current root.
    void SetRootTag(XMLTag* tag);

    // Writes the root tag to the file: a temporary file in the same
    // directory is written, synced, given mode 0640 and renamed over the file.
    // 0 on success; -1 when there is no root or the write failed (the old
    // file is kept). The header lines are not written.
    int WriteToFile(char** fileHeader);

    bool DoesFileExist();
    bool DoesFileExistAsDirectory();
    bool CanWriteFile();
    const char* GetFilePath() const { return fFilePath; }

    // Largest file ParseFile reads.
    static const uint32_t kMaxFileSize = 16u * 1024u * 1024u;

private:
    XMLTag* fRootTag;
    OSFileSource fFile;
    char* fFilePath;
    DTDVerifier* fVerifier;
};

#endif
