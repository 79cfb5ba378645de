// The property file: web password, device alias, group sequence number,
// RS-232 delay, IP mode, gateway and automatic logout, kept as "key=value"
// lines in a small text file that is read once at start and patched when a
// value changes.
#ifndef VELMAR_SERVERPROPERTY_H
#define VELMAR_SERVERPROPERTY_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "OSMutex.h"

// Generic reader and writer of "key=value" files. Not locked on its own.
class CTextParser {
public:
    // Reads path; 0 when it is missing or holds no piece, else 1. Blanks and
    // carriage returns are removed from every line; lines without "=" or with
    // an empty key or value are ignored; a later line wins.
    int Parse(const std::string& path);
    bool KeyExist(const std::string& key) const;
    std::string GetValAsString(const std::string& key) const;
    int32_t GetValAsSInt32(const std::string& key) const;
    void SetKey(const std::string& key, const std::string& value);
    void DeleteKey(const std::string& key);
    int GetKeySize() const;
    void Clear();
    // Writes every pair as "key=value\n" in bytewise key order ("1\n" for an
    // empty map) to the parsed path. Returns the bytes written, 0 when no path
    // is known, -1 on failure (the old file is kept).
    int Write();

private:
    std::string m_strPath;
    std::map<std::string, std::string> m_mapKeyVal;
};

class CServerProperty {
public:
    // Holds the defaults until Init. The daemon uses the one instance of
    // GetInstance(); further instances serve tests.
    CServerProperty();
    CServerProperty(const CServerProperty&) = delete;
    CServerProperty& operator=(const CServerProperty&) = delete;

    static CServerProperty* GetInstance();

    // Reads the property file (once at start). 1 on success, 0 when the file
    // is missing or empty (every value keeps its default).
    int Init(const char* path);
    int Parse(const char* path);
    int ReadConfInfo();

    // Getters copy at most capacity - 1 characters plus a terminator; they
    // return 1, or 0 for a missing buffer.
    int GetGateway(char* buffer, size_t capacity);
    int GetLogoutTime(char* buffer, size_t capacity);
    int GetLogoutMod(char* buffer, size_t capacity);
    int GetIpMod(char* buffer, size_t capacity);
    int GetDevAlias(char* buffer, size_t capacity);
    // The value as a decimal number; the text goes into buffer when given.
    uint32_t GetDevSqnMaxNum(char* buffer = nullptr, size_t capacity = 0);
    uint32_t GetRS232TimerConfiger(char* buffer = nullptr, size_t capacity = 0);

    // True only when text equals the stored password.
    bool PasswdOK(const char* text);

    // Setters patch the value's own line of the file (appending the key when
    // the file lacks it) and store the value. They return 1; 0 when the value
    // holds a carriage return, line feed or NUL (nothing changes) or when the
    // file could not be written (the old file and value are kept).
    int ChangePasswd(const std::string& value);
    int SetDevAlias(const std::string& value);
    int SetDevSqnMaxNum(const std::string& value);
    int SetRS232TimerConfiger(const std::string& value);
    int SetIpMod(const std::string& value);
    int SetGateway(const std::string& value);
    int SetLogoutMod(const std::string& value);
    // The text is read as a decimal number and clamped to 5..30.
    int SetLogoutTime(const std::string& value);

    // Sets key to value on the last line holding key, or appends
    // "key=value"; every other byte of the file stays. 1 on success, 0 when
    // the file could not be written.
    int ChangeFileContent(const std::string& key, const std::string& value);
    // Appends a line holding text to the file. 1 on success, 0 on failure.
    int WriteContentToFile(const std::string& text);

    static CServerProperty s_objServerProperty;

private:
    int CopyOut(const std::string& member, const char* logFormat, char* buffer, size_t capacity);
    uint32_t NumberOut(const std::string& member, const char* logFormat, char* buffer, size_t capacity);
    int SetValue(std::string& member, const char* key, const char* logFormat, const std::string& value);

    std::string m_strPassWord;
    std::string m_strAlias;
    std::string m_strSequenceMaxNum;
    std::string m_strRS232Timer;
    std::string m_strIpMod;
    std::string m_strGateway;
    std::string m_strLogoutMod;
    std::string m_strLogoutTime;
    std::string m_strPath;
    CTextParser m_objTextParser;
    OSMutex m_mutex;  // guards every member and the file
};

// Local time as "YYYY-MM-DD hh:mm:ss" in a buffer of the calling thread.
const char* GetTimeStr();

// Replaces path with text: a temporary file in the same directory is written,
// synced, given mode 0664 and renamed over path; then sync(). Returns the
// bytes written, or -1 on any failure (the old file is kept).
int StringToFile(const std::string& text, const char* path);

// Reads the whole file into out; its length, or -1 when it cannot be opened.
int FileToString(const char* path, std::string& out);

#endif
