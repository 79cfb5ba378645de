// The log view: see QuorVelmarWebLog.h.
#include "QuorVelmarWebLog.h"

#include <civetweb.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <strings.h>
#include <vector>

#include "LightLog.h"
#include "QuorVelmarWebSession.h"

namespace {

const char kSrc[] = "src/QuorVelmarWebLog";
const size_t kPathSize = LLOG_MAX_PREFIX + 16;

struct T_LevelName {
    const char* name;
    uint32_t level;
};
const T_LevelName kLevelNames[] = {
    {"debug", LLOG_LEVEL_DEBUG}, {"info", LLOG_LEVEL_INFO},   {"warning", LLOG_LEVEL_WARNING},
    {"error", LLOG_LEVEL_ERROR}, {"fatal", LLOG_LEVEL_FATAL},
};

int SendStatusOnly(mg_connection* conn, int status, const char* text)
{
    mg_printf(conn, "HTTP/1.1 %d %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", status, text);
    return status;
}

// Reads at most CQuorVelmarWebLog::kMaxReadBytes from the end of the file;
// false when it cannot be opened. whole tells whether the text starts at the
// file's start (else its first line is cut and dropped by the caller).
bool ReadTail(const char* path, std::string* text, bool* whole)
{
    FILE* file = fopen(path, "rbe");
    if (file == nullptr)
        return false;
    long start = 0;
    if (fseek(file, 0, SEEK_END) == 0) {
        long size = ftell(file);
        start = size > static_cast<long>(CQuorVelmarWebLog::kMaxReadBytes)
                    ? size - static_cast<long>(CQuorVelmarWebLog::kMaxReadBytes)
                    : 0;
    }
    *whole = start == 0;
    text->clear();
    if (fseek(file, start, SEEK_SET) == 0) {
        char buffer[16384];
        size_t n;
        while (text->size() < CQuorVelmarWebLog::kMaxReadBytes && (n = fread(buffer, 1, sizeof(buffer), file)) > 0)
            text->append(buffer, n);
    }
    fclose(file);
    return true;
}

// The lines of one file that pass the level, in file order.
std::vector<std::string> FileLines(const char* path, uint32_t minLevel)
{
    std::vector<std::string> lines;
    std::string text;
    bool whole = false;
    if (!ReadTail(path, &text, &whole))
        return lines;
    size_t at = 0;
    if (!whole) {
        size_t end = text.find('\n');
        at = end == std::string::npos ? text.size() : end + 1;
    }
    uint32_t level = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        size_t length = (end == std::string::npos ? text.size() : end) - at;
        uint32_t own = CQuorVelmarWebLog::LineLevel(text.data() + at, length);
        if (own != 0)
            level = own;
        if (length > 0 && level >= minLevel)
            lines.emplace_back(text, at, length);
        at += length + 1;
    }
    return lines;
}

// The file numbers from the one being written back to the oldest.
std::vector<uint32_t> RingOrder(uint32_t current, uint32_t files, bool wrapped)
{
    std::vector<uint32_t> order;
    for (uint32_t n = current; n >= 1 && order.size() < files; --n)
        order.push_back(n);
    for (uint32_t n = files; wrapped && n > current && order.size() < files; --n)
        order.push_back(n);
    return order;
}

// The file of that number as it is now (".logTmp" while written, ".log"
// after); empty when neither exists.
std::vector<std::string> FileOfNumber(const char* prefix, uint32_t number, uint32_t minLevel)
{
    for (const char* suffix : {".logTmp", ".log"}) {
        char path[kPathSize];
        if (snprintf(path, sizeof(path), "%s%03u%s", prefix, number % 1000u, suffix) >= static_cast<int>(sizeof(path)))
            continue;
        FILE* probe = fopen(path, "rbe");
        if (probe == nullptr)
            continue;
        fclose(probe);
        return FileLines(path, minLevel);
    }
    return {};
}

bool QueryVar(const mg_request_info& info, const char* name, char* out, size_t size)
{
    const char* query = info.query_string != nullptr ? info.query_string : "";
    return mg_get_var(query, strlen(query), name, out, size) >= 0;
}

// Reads "level" and "lines"; false for a bad value.
bool ReadQuery(const mg_request_info& info, uint32_t* level, size_t* lines)
{
    char text[32];
    *level = LLOG_LEVEL_DEBUG;
    *lines = CQuorVelmarWebLog::kDefaultLines;
    if (QueryVar(info, "level", text, sizeof(text)) && (*level = CQuorVelmarWebLog::ParseLevel(text)) == 0)
        return false;
    if (QueryVar(info, "lines", text, sizeof(text))) {
        char* end = nullptr;
        unsigned long count = strtoul(text, &end, 10);
        if (end == text || *end != '\0' || count < 1 || count > CQuorVelmarWebLog::kMaxLines)
            return false;
        *lines = count;
    }
    return true;
}

} // namespace

bool CQuorVelmarWebLog::IsLogUri(const char* uri)
{
    return uri != nullptr && strcmp(uri, "/log") == 0;
}

uint32_t CQuorVelmarWebLog::ParseLevel(const char* text)
{
    if (text == nullptr)
        return 0;
    for (const T_LevelName& entry : kLevelNames) {
        if (strcasecmp(text, entry.name) == 0)
            return entry.level;
    }
    for (const T_LevelName& entry : kLevelNames) {
        char number[8];
        snprintf(number, sizeof(number), "%u", entry.level);
        if (strcmp(text, number) == 0)
            return entry.level;
    }
    return 0;
}

uint32_t CQuorVelmarWebLog::LineLevel(const char* line, size_t length)
{
    // "YYYY-MM-DD hh:mm:ss.uuuuuu [20000]: ..."
    const char* open = static_cast<const char*>(memchr(line, '[', length < 40 ? length : 40));
    if (open == nullptr || open == line || open[-1] != ' ')
        return 0;
    size_t left = length - static_cast<size_t>(open - line);
    if (left < 9 || open[6] != ']' || open[7] != ':')
        return 0;
    uint32_t level = 0;
    for (int i = 1; i <= 5; ++i) {
        if (open[i] < '0' || open[i] > '9')
            return 0;
        level = level * 10 + static_cast<uint32_t>(open[i] - '0');
    }
    return level;
}

std::string CQuorVelmarWebLog::Collect(uint32_t minLevel, size_t lines)
{
    char prefix[LLOG_MAX_PREFIX + 1];
    uint32_t current = 0, files = 0;
    bool wrapped = false;
    LightLogFlush();
    if (LightLogRingState(prefix, sizeof(prefix), &current, &files, &wrapped) != LLOG_OK)
        return std::string();
    std::deque<std::string> kept;
    size_t bytes = 0;
    for (uint32_t number : RingOrder(current, files, wrapped)) {
        std::vector<std::string> fileLines = FileOfNumber(prefix, number, minLevel);
        for (auto line = fileLines.rbegin(); line != fileLines.rend(); ++line) {
            if (kept.size() >= lines || bytes + line->size() + 1 > kMaxReplyBytes)
                break;
            bytes += line->size() + 1;
            kept.push_front(std::move(*line));
        }
        if (kept.size() >= lines || bytes >= kMaxReplyBytes - 4096)
            break;
    }
    std::string text;
    text.reserve(bytes);
    for (const std::string& line : kept) {
        text += line;
        text += '\n';
    }
    return text;
}

int CQuorVelmarWebLog::Serve(mg_connection* conn)
{
    const mg_request_info* info = mg_get_request_info(conn);
    if (info == nullptr)
        return SendStatusOnly(conn, 400, "Bad Request");
    bool head = strcmp(info->request_method, "HEAD") == 0;
    if (!head && strcmp(info->request_method, "GET") != 0)
        return SendStatusOnly(conn, 405, "Method Not Allowed");
    int refused = CQuorVelmarWebLogin::AdmitRequest(conn);
    if (refused != 0)
        return refused;
    uint32_t level = 0;
    size_t lines = 0;
    if (!ReadQuery(*info, &level, &lines)) {
        LightLogExt(30000, 0, kSrc, __LINE__, "######Log view: query <%.200s> refused.",
                    info->query_string != nullptr ? info->query_string : "");
        return SendStatusOnly(conn, 400, "Bad Request");
    }
    const std::string text = Collect(level, lines);
    mg_printf(conn,
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nCache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n",
              text.size());
    if (!head && !text.empty())
        mg_write(conn, text.data(), text.size());
    return 200;
}
