#include "serverproperty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "LightLog.h"
#include "OSFun.h"
#include "stringsplit.h"

namespace {

const char* const kSrc = "src/serverproperty";

const char* const kKeyPassWord = "UserPassWord";
const char* const kKeyAlias = "alias";
const char* const kKeySequence = "sequence_number";
const char* const kKeyRS232Timer = "rsdelaycontroltime";
const char* const kKeyIpMod = "ipmod";
const char* const kKeyGateway = "gateway";
const char* const kKeyLogoutMod = "autolog_mod";
const char* const kKeyLogoutTime = "autolog_time";

// A value holding one of these would break the line structure of the file.
bool IsStorable(const std::string& value)
{
    return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// The key part of a line: the text before its first "=" without blanks and
// carriage returns; false when the line has no "=".
bool LineKey(const std::string& line, std::string& key)
{
    std::string::size_type eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    key = DeleteChar(DeleteChar(line.substr(0, eq), ' '), '\r');
    return true;
}

// Sets key to value on the last line holding key (a carriage return at the
// end of that line stays), or appends "key=value"; every other byte stays.
std::string PatchContent(const std::string& content, const std::string& key, const std::string& value)
{
    std::string::size_type valueStart = std::string::npos;
    std::string::size_type valueEnd = 0;
    std::string::size_type lineStart = 0;
    while (lineStart < content.size()) {
        std::string::size_type lineEnd = content.find('\n', lineStart);
        if (lineEnd == std::string::npos)
            lineEnd = content.size();
        std::string line = content.substr(lineStart, lineEnd - lineStart);
        std::string lineKey;
        if (LineKey(line, lineKey) && lineKey == key) {
            valueStart = lineStart + line.find('=') + 1;
            valueEnd = lineEnd;
            if (valueEnd > valueStart && content[valueEnd - 1] == '\r')
                --valueEnd;
        }
        lineStart = lineEnd + 1;
    }
    std::string patched = content;
    if (valueStart != std::string::npos) {
        patched.replace(valueStart, valueEnd - valueStart, value);
        return patched;
    }
    if (!patched.empty() && patched.back() != '\n')
        patched.push_back('\n');
    patched += key + "=" + value + "\n";
    return patched;
}

// Reads the property file before a change. Only a missing file reads as
// empty; any other failure (open, read) refuses the change (logged), so the
// file is never replaced by what a failed read left.
bool ReadForChange(const std::string& path, std::string& content)
{
    content.clear();
    FILE* file = fopen(path.c_str(), "rbe");
    if (file == nullptr) {
        if (errno == ENOENT)
            return true;
        LightLogExt(40000, 0, kSrc, __LINE__, "######Read serverproperty[%s] failed, errno <%d>, change refused.",
                    path.c_str(), errno);
        return false;
    }
    char chunk[1024];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0)
        content.append(chunk, n);
    bool failed = ferror(file) != 0;
    int err = errno;
    fclose(file);
    if (failed)
        LightLogExt(40000, 0, kSrc, __LINE__, "######Read serverproperty[%s] failed, errno <%d>, change refused.",
                    path.c_str(), err);
    return !failed;
}

void CopyBounded(const std::string& text, char* buffer, size_t capacity)
{
    size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

// ---------------------------------------------------------------------------
// CTextParser

int CTextParser::Parse(const std::string& path)
{
    m_strPath = path;
    m_mapKeyVal.clear();
    std::string content;
    if (FileToString(path.c_str(), content) <= 0)
        return 0;
    CStringSpliter spliter(content);
    spliter.Split("\n");
    if (spliter.Size() == 0)
        return 0;
    for (const std::string& piece : spliter.GetVec()) {
        std::string line = DeleteChar(DeleteChar(piece, ' '), '\r');
        std::string::size_type eq = line.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == line.size())
            continue;
        m_mapKeyVal[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return 1;
}

bool CTextParser::KeyExist(const std::string& key) const
{
    return m_mapKeyVal.count(key) != 0;
}

std::string CTextParser::GetValAsString(const std::string& key) const
{
    auto it = m_mapKeyVal.find(key);
    return it != m_mapKeyVal.end() ? it->second : std::string();
}

int32_t CTextParser::GetValAsSInt32(const std::string& key) const
{
    return (int32_t)strtol(GetValAsString(key).c_str(), nullptr, 10);
}

void CTextParser::SetKey(const std::string& key, const std::string& value)
{
    m_mapKeyVal[key] = value;
}

void CTextParser::DeleteKey(const std::string& key)
{
    m_mapKeyVal.erase(key);
}

int CTextParser::GetKeySize() const
{
    return (int)m_mapKeyVal.size();
}

void CTextParser::Clear()
{
    m_mapKeyVal.clear();
}

int CTextParser::Write()
{
    if (m_strPath.empty())
        return 0;
    std::string content;
    for (const auto& pair : m_mapKeyVal)
        content += pair.first + "=" + pair.second + "\n";
    if (content.empty())
        content = "1\n";
    return StringToFile(content, m_strPath.c_str());
}

// ---------------------------------------------------------------------------
// CServerProperty

CServerProperty CServerProperty::s_objServerProperty;

CServerProperty::CServerProperty()
    : m_strPassWord("plomb"),
      m_strAlias("QuorVelmar"),
      m_strSequenceMaxNum("0"),
      m_strRS232Timer("0"),
      m_strIpMod("static"),
      m_strGateway("192.168.2.1"),
      m_strLogoutMod("on"),
      m_strLogoutTime("5")
{
}

CServerProperty* CServerProperty::GetInstance()
{
    return &s_objServerProperty;
}

int CServerProperty::Init(const char* path)
{
    return Parse(path);
}

int CServerProperty::Parse(const char* path)
{
    OSMutexLocker locker(&m_mutex);
    m_strPath = path != nullptr ? path : "";
    if (m_objTextParser.Parse(m_strPath) == 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######m_objTextParser parse [%s] failed", m_strPath.c_str());
        return 0;
    }
    if (ReadConfInfo() == 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######ReadConfInfo failed");
        return 0;
    }
    return 1;
}

int CServerProperty::ReadConfInfo()
{
    OSMutexLocker locker(&m_mutex);
    struct {
        const char* key;
        std::string CServerProperty::*member;
        bool logMissing;
    } const table[] = {
        {kKeyPassWord, &CServerProperty::m_strPassWord, false},
        {kKeyAlias, &CServerProperty::m_strAlias, false},
        {kKeySequence, &CServerProperty::m_strSequenceMaxNum, false},
        {kKeyRS232Timer, &CServerProperty::m_strRS232Timer, false},
        {kKeyIpMod, &CServerProperty::m_strIpMod, false},
        {kKeyGateway, &CServerProperty::m_strGateway, false},
        {kKeyLogoutMod, &CServerProperty::m_strLogoutMod, true},
        {kKeyLogoutTime, &CServerProperty::m_strLogoutTime, true},
    };
    for (const auto& entry : table) {
        if (m_objTextParser.KeyExist(entry.key))
            this->*entry.member = m_objTextParser.GetValAsString(entry.key);
        else if (entry.logMissing)
            LightLogExt(20000, 0, kSrc, __LINE__, "not find %s", entry.key);
    }
    LightLogExt(20000, 0, kSrc, __LINE__,
                "ReadConfInfo UserPassWord <%s> alias <%s> sequence_number <%s> rsdelaycontroltime <%s> "
                "ipmod <%s> gateway <%s> autolog_mod <%s> autolog_time <%s>",
                m_strPassWord.c_str(), m_strAlias.c_str(), m_strSequenceMaxNum.c_str(), m_strRS232Timer.c_str(),
                m_strIpMod.c_str(), m_strGateway.c_str(), m_strLogoutMod.c_str(), m_strLogoutTime.c_str());
    return 1;
}

int CServerProperty::CopyOut(const std::string& member, const char* logFormat, char* buffer, size_t capacity)
{
    if (buffer == nullptr || capacity == 0)
        return 0;
    OSMutexLocker locker(&m_mutex);
    CopyBounded(member, buffer, capacity);
    LightLogExt(20000, 0, kSrc, __LINE__, logFormat, buffer);
    return 1;
}

uint32_t CServerProperty::NumberOut(const std::string& member, const char* logFormat, char* buffer,
                                    size_t capacity)
{
    OSMutexLocker locker(&m_mutex);
    if (buffer != nullptr && capacity > 0)
        CopyBounded(member, buffer, capacity);
    uint32_t value = (uint32_t)strtoul(member.c_str(), nullptr, 10);
    LightLogExt(20000, 0, kSrc, __LINE__, logFormat, value);
    return value;
}

int CServerProperty::GetGateway(char* buffer, size_t capacity)
{
    return CopyOut(m_strGateway, "GetGateway <%s>", buffer, capacity);
}

int CServerProperty::GetLogoutTime(char* buffer, size_t capacity)
{
    return CopyOut(m_strLogoutTime, "GetLogoutTime <%s>", buffer, capacity);
}

int CServerProperty::GetLogoutMod(char* buffer, size_t capacity)
{
    return CopyOut(m_strLogoutMod, "GetLogoutMod <%s>", buffer, capacity);
}

int CServerProperty::GetIpMod(char* buffer, size_t capacity)
{
    return CopyOut(m_strIpMod, "GetIpMod <%s>", buffer, capacity);
}

int CServerProperty::GetDevAlias(char* buffer, size_t capacity)
{
    return CopyOut(m_strAlias, "GetDevAlias <%s>", buffer, capacity);
}

uint32_t CServerProperty::GetDevSqnMaxNum(char* buffer, size_t capacity)
{
    return NumberOut(m_strSequenceMaxNum, "GetDevSqnMaxNum <%u>", buffer, capacity);
}

uint32_t CServerProperty::GetRS232TimerConfiger(char* buffer, size_t capacity)
{
    return NumberOut(m_strRS232Timer, "GetRS232TimerConfiger <%u>", buffer, capacity);
}

bool CServerProperty::PasswdOK(const char* text)
{
    OSMutexLocker locker(&m_mutex);
    const char* request = text != nullptr ? text : "";
    bool agrees = text != nullptr && strncmp(request, m_strPassWord.c_str(), m_strPassWord.size()) == 0;
    if (agrees)
        LightLogExt(20000, 0, kSrc, __LINE__, "verify passwd: ActualPassWord<%s> RequestPassWord<%s>",
                    m_strPassWord.c_str(), request);
    else
        LightLogExt(40000, 0, kSrc, __LINE__, "######verify passwd: ActualPassWord<%s> RequestPassWord<%s>",
                    m_strPassWord.c_str(), request);
    return text != nullptr && m_strPassWord == text;
}

int CServerProperty::SetValue(std::string& member, const char* key, const char* logFormat, const std::string& value)
{
    if (!IsStorable(value)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Set %s refused: the value holds a line break or NUL.", key);
        return 0;
    }
    OSMutexLocker locker(&m_mutex);
    LightLogExt(20000, 0, kSrc, __LINE__, logFormat, member.c_str(), value.c_str());
    if (ChangeFileContent(key, value) == 0)
        return 0;
    member = value;
    return 1;
}

int CServerProperty::ChangePasswd(const std::string& value)
{
    return SetValue(m_strPassWord, kKeyPassWord, "change password from<%s> to <%s>", value);
}

int CServerProperty::SetDevAlias(const std::string& value)
{
    return SetValue(m_strAlias, kKeyAlias, "SetDevAlias from<%s> to <%s>", value);
}

int CServerProperty::SetDevSqnMaxNum(const std::string& value)
{
    return SetValue(m_strSequenceMaxNum, kKeySequence, "SetDevSqnMaxNum from<%s> to <%s>", value);
}

int CServerProperty::SetRS232TimerConfiger(const std::string& value)
{
    return SetValue(m_strRS232Timer, kKeyRS232Timer, "SetRS232TimerConfiger from<%s> to <%s>", value);
}

int CServerProperty::SetIpMod(const std::string& value)
{
    return SetValue(m_strIpMod, kKeyIpMod, "SetIpMod from<%s> to <%s>", value);
}

int CServerProperty::SetGateway(const std::string& value)
{
    return SetValue(m_strGateway, kKeyGateway, "SetGateway from<%s> to <%s>", value);
}

int CServerProperty::SetLogoutMod(const std::string& value)
{
    return SetValue(m_strLogoutMod, kKeyLogoutMod, "SetLogoutMod from<%s> to <%s>", value);
}

int CServerProperty::SetLogoutTime(const std::string& value)
{
    long minutes = strtol(value.c_str(), nullptr, 10);
    if (minutes < 5)
        minutes = 5;
    if (minutes > 30)
        minutes = 30;
    return SetValue(m_strLogoutTime, kKeyLogoutTime, "SetLogoutTime from<%s> to <%s>", std::to_string(minutes));
}

int CServerProperty::ChangeFileContent(const std::string& key, const std::string& value)
{
    OSMutexLocker locker(&m_mutex);
    if (m_strPath.empty())
        return 1;  // no property file: nothing to persist
    std::string content;
    if (!ReadForChange(m_strPath, content))
        return 0;
    std::string patched = PatchContent(content, key, value);
    if (StringToFile(patched, m_strPath.c_str()) < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######Change content serverproperty[%s] failed, file kept.",
                    m_strPath.c_str());
        return 0;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "Change content serverproperty[%s]:[%s]", m_strPath.c_str(),
                patched.c_str());
    return 1;
}

int CServerProperty::WriteContentToFile(const std::string& text)
{
    if (!IsStorable(text)) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######WriteContentToFile refused: the text holds a line break or NUL.");
        return 0;
    }
    OSMutexLocker locker(&m_mutex);
    std::string content;
    if (!ReadForChange(m_strPath, content))
        return 0;
    content += "\n" + text;
    if (StringToFile(content, m_strPath.c_str()) < 0) {
        LightLogExt(40000, 0, kSrc, __LINE__, "######write serverproperty[%s] failed, file kept.", m_strPath.c_str());
        return 0;
    }
    LightLogExt(20000, 0, kSrc, __LINE__, "write serverproperty[%s]:[%s]", m_strPath.c_str(), content.c_str());
    return 1;
}

// ---------------------------------------------------------------------------
// File and time functions

const char* GetTimeStr()
{
    thread_local char text[80];
    time_t now = time(nullptr);
    struct tm p;
    if (localtime_r(&now, &p) == nullptr) {
        text[0] = '\0';
        return text;
    }
    snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", p.tm_year + 1900, p.tm_mon + 1, p.tm_mday,
             p.tm_hour, p.tm_min, p.tm_sec);
    return text;
}

int StringToFile(const std::string& text, const char* path)
{
    if (COSFun::WriteFileAtomic(path, text.data(), text.size(), 0664) != 0)
        return -1;
    sync();
    return (int)text.size();
}

int FileToString(const char* path, std::string& out)
{
    return COSFun::FileToString(path, out);
}
