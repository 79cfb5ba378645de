#include "LightLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/time.h>

#include "MyAssert.h"

T_LightLogCallBack g_tLogCallBack_LLOG = {nullptr, nullptr, nullptr, nullptr};
std::atomic<uint32_t> g_u32OutLogLevel{LLOG_LEVEL_INFO};
FILE* g_pLogFile_LLOG = nullptr;
uint32_t g_u32MaxLine_LLOG = 0;
uint32_t g_u32HaveWriteLineNum_LLOG = 0;
uint32_t g_u32MaxFileNum_LLOG = 0;
uint32_t g_u32CurWriteFileNum_LLOG = 0;
uint8_t g_b8IsLastFileExist_LLOG = 0;
uint8_t g_b8IsLogBegin_LLOG = 0;
char g_aFileName_LLOG[LLOG_MAX_PREFIX + 1] = {0};

namespace {

// Statically initialised, so logging before set-up (static constructors,
// pools) is safe; it is never destroyed because other threads may still log.
pthread_mutex_t fMutex = PTHREAD_MUTEX_INITIALIZER;

const uint32_t kMaxLines = 100000;
const uint32_t kMaxFiles = 999;
const size_t kMessageSize = 1920;
const size_t kLineSize = 2048;
const size_t kFileNameSize = 251;  // prefix + "%03d" + ".logTmp" + NUL

// Glibc's "e" flag opens the descriptor close-on-exec, so the log file does
// not leak into shell commands.
const char* const kModeRead = "rbe";
const char* const kModeWrite = "wbe";

void LLogLock() { pthread_mutex_lock(&fMutex); }
void LLogUnLock() { pthread_mutex_unlock(&fMutex); }

bool IsThreshold(uint32_t level)
{
    return level == LLOG_LEVEL_DEBUG || level == LLOG_LEVEL_INFO || level == LLOG_LEVEL_WARNING ||
           level == LLOG_LEVEL_ERROR;
}

bool CallBacksComplete(const T_LightLogCallBack* cb)
{
    return cb->pfnOpen != nullptr && cb->pfnWrite != nullptr && cb->pfnClose != nullptr &&
           cb->pfnFlush != nullptr;
}

void LLogFileName(char* name, uint32_t number, const char* suffix)
{
    // Numbers stay within the ring (at most 999), so the name fits kFileNameSize.
    snprintf(name, kFileNameSize, "%s%03u%s", g_aFileName_LLOG, number % 1000u, suffix);
}

int LLogRemoveFile(uint32_t number)
{
    char name[kFileNameSize];
    LLogFileName(name, number, ".log");
    return remove(name) == 0 ? LLOG_OK : LLOG_ERR_REMOVE;
}

int LLogRenameFile(uint32_t number)
{
    char from[kFileNameSize];
    char to[kFileNameSize];
    LLogFileName(from, number, ".logTmp");
    LLogFileName(to, number, ".log");
    return rename(from, to) == 0 ? LLOG_OK : LLOG_ERR_RENAME;
}

void LLogPrintStartInfo(FILE* handle)
{
    char text[128];
    struct tm parts;
    time_t now = time(nullptr);
    char stamp[64];
    if (localtime_r(&now, &parts) == nullptr || asctime_r(&parts, stamp) == nullptr)
        stamp[0] = '\0';
    size_t len = strlen(stamp);
    if (len > 0 && stamp[len - 1] == '\n')
        stamp[len - 1] = '\0';
    int n = snprintf(text, sizeof(text), "%s: Log Begin !\n", stamp);
    if (n > 0)
        g_tLogCallBack_LLOG.pfnWrite(text, 1, strlen(text), handle);
}

// Called with the lock held: resets counters and flags, clears the prefix and
// closes an open file.
void LLogInitGlobal()
{
    g_u32MaxLine_LLOG = 0;
    g_u32HaveWriteLineNum_LLOG = 0;
    g_u32MaxFileNum_LLOG = 0;
    g_u32CurWriteFileNum_LLOG = 0;
    g_b8IsLastFileExist_LLOG = 0;
    g_b8IsLogBegin_LLOG = 0;
    g_aFileName_LLOG[0] = '\0';
    if (g_pLogFile_LLOG != nullptr && g_tLogCallBack_LLOG.pfnClose != nullptr)
        g_tLogCallBack_LLOG.pfnClose(g_pLogFile_LLOG);
    g_pLogFile_LLOG = nullptr;
}

// Called with the lock held: the first ".logTmp" of the ring decides where
// the previous run stopped.
void LLogFindCurrentFile()
{
    g_u32CurWriteFileNum_LLOG = 1;
    for (uint32_t n = 1; n <= g_u32MaxFileNum_LLOG; ++n) {
        char name[kFileNameSize];
        LLogFileName(name, n, ".logTmp");
        FILE* f = g_tLogCallBack_LLOG.pfnOpen(name, kModeRead);
        if (f == nullptr)
            continue;
        if (n == g_u32MaxFileNum_LLOG) {
            g_b8IsLastFileExist_LLOG = 1;
            g_u32CurWriteFileNum_LLOG = 1;
        } else {
            g_u32CurWriteFileNum_LLOG = n + 1;
        }
        g_tLogCallBack_LLOG.pfnClose(f);
        return;
    }
}

// Called with the lock held: opens the current ".logTmp" and finishes the
// previous file of the ring.
int LLogOpenCurrentFile()
{
    char name[kFileNameSize];
    LLogFileName(name, g_u32CurWriteFileNum_LLOG, ".logTmp");
    g_pLogFile_LLOG = g_tLogCallBack_LLOG.pfnOpen(name, kModeWrite);
    if (g_pLogFile_LLOG == nullptr)
        return LLOG_ERR_OPEN;
    g_u32HaveWriteLineNum_LLOG = 0;
    if (g_b8IsLogBegin_LLOG) {
        LLogPrintStartInfo(g_pLogFile_LLOG);
        g_b8IsLogBegin_LLOG = 0;
    }
    LLogRemoveFile(g_u32CurWriteFileNum_LLOG);
    if (g_u32CurWriteFileNum_LLOG >= 2)
        return LLogRenameFile(g_u32CurWriteFileNum_LLOG - 1);
    if (g_b8IsLastFileExist_LLOG && g_u32MaxFileNum_LLOG != 1)
        return LLogRenameFile(g_u32MaxFileNum_LLOG);
    return LLOG_OK;
}

// Called with the lock held after each line: closes a full file and moves to
// the next number of the ring. The number advances even when closing fails,
// so the lines just written are not truncated by the next open.
int LLogCountLine()
{
    if (++g_u32HaveWriteLineNum_LLOG < g_u32MaxLine_LLOG)
        return LLOG_OK;
    int closed = g_tLogCallBack_LLOG.pfnClose(g_pLogFile_LLOG);
    g_pLogFile_LLOG = nullptr;
    if (++g_u32CurWriteFileNum_LLOG > g_u32MaxFileNum_LLOG) {
        g_b8IsLastFileExist_LLOG = 1;
        g_u32CurWriteFileNum_LLOG = 1;
    }
    return closed == 0 ? LLOG_OK : LLOG_ERR_CLOSE;
}

int LLogWriteLocked(const char* line)
{
    if (!CallBacksComplete(&g_tLogCallBack_LLOG))
        return LLOG_ERR_ARGUMENT;
    if (g_aFileName_LLOG[0] == '\0')
        return LLOG_ERR_PREFIX;
    if (g_pLogFile_LLOG == nullptr) {
        int opened = LLogOpenCurrentFile();
        if (opened != LLOG_OK)
            return opened;
    }
    size_t len = strlen(line);
    if (g_tLogCallBack_LLOG.pfnWrite(line, 1, len, g_pLogFile_LLOG) != len ||
        g_tLogCallBack_LLOG.pfnWrite("\n", 1, 1, g_pLogFile_LLOG) != 1)
        return LLOG_ERR_WRITE;
    return LLogCountLine();
}

void AssertToLog(const char* text)
{
    LightLogExt(LLOG_LEVEL_ERROR, 1, "utility/MyAssert", 0, "%s", text);
}

}  // namespace

int LightLogSetCallBack(const T_LightLogCallBack* callbacks)
{
    LLogLock();
    g_tLogCallBack_LLOG = T_LightLogCallBack{nullptr, nullptr, nullptr, nullptr};
    int result = LLOG_ERR_ARGUMENT;
    if (callbacks != nullptr && CallBacksComplete(callbacks)) {
        g_tLogCallBack_LLOG = *callbacks;
        result = LLOG_OK;
    }
    LLogUnLock();
    return result;
}

namespace {
FILE* StdioOpen(const char* path, const char* mode) { return fopen(path, mode); }
size_t StdioWrite(const void* buffer, size_t size, size_t count, FILE* handle)
{
    return fwrite(buffer, size, count, handle);
}
int StdioClose(FILE* handle) { return fclose(handle); }
int StdioFlush(FILE* handle) { return fflush(handle); }
}  // namespace

T_LightLogCallBack LightLogStdioCallBack()
{
    return T_LightLogCallBack{StdioOpen, StdioWrite, StdioClose, StdioFlush};
}

int LightLogSetup(const char* prefix, uint32_t maxLines, uint32_t maxFiles, uint32_t level)
{
    LLogLock();
    LLogInitGlobal();
    int result = LLOG_OK;
    if (prefix == nullptr || !CallBacksComplete(&g_tLogCallBack_LLOG)) {
        result = LLOG_ERR_ARGUMENT;
    } else if (prefix[0] == '\0' || strlen(prefix) > LLOG_MAX_PREFIX) {
        result = LLOG_ERR_PREFIX;
    } else {
        memcpy(g_aFileName_LLOG, prefix, strlen(prefix) + 1);
        g_u32MaxFileNum_LLOG = (maxFiles >= 1 && maxFiles <= kMaxFiles) ? maxFiles : kMaxFiles;
        g_u32MaxLine_LLOG = (maxLines >= 1 && maxLines <= kMaxLines) ? maxLines : kMaxLines;
        LLogFindCurrentFile();
        g_b8IsLogBegin_LLOG = 1;
    }
    LLogUnLock();
    if (result == LLOG_OK)
        LightLogSetLevel(level);
    return result;
}

int LightLogSetLevel(uint32_t level)
{
    if (IsThreshold(level))
        g_u32OutLogLevel.store(level, std::memory_order_relaxed);
    return 0;
}

int LightLog(const char* line)
{
    if (line == nullptr || line[0] == '\0')
        return LLOG_ERR_ARGUMENT;
    LLogLock();
    int result = LLogWriteLocked(line);
    LLogUnLock();
    return result;
}

void LightLogFlush()
{
    LLogLock();
    if (g_pLogFile_LLOG != nullptr && g_tLogCallBack_LLOG.pfnFlush != nullptr)
        g_tLogCallBack_LLOG.pfnFlush(g_pLogFile_LLOG);
    LLogUnLock();
}

int LightLogRingState(char* prefix, size_t size, uint32_t* current, uint32_t* files, bool* wrapped)
{
    if (prefix == nullptr || current == nullptr || files == nullptr || wrapped == nullptr)
        return LLOG_ERR_ARGUMENT;
    LLogLock();
    size_t length = strlen(g_aFileName_LLOG);
    int result = length == 0 || length >= size ? LLOG_ERR_ARGUMENT : LLOG_OK;
    if (result == LLOG_OK) {
        memcpy(prefix, g_aFileName_LLOG, length + 1);
        *current = g_u32CurWriteFileNum_LLOG;
        *files = g_u32MaxFileNum_LLOG;
        *wrapped = g_b8IsLastFileExist_LLOG != 0;
    }
    LLogUnLock();
    return result;
}

void LightGetTime(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return;
    struct timeval now;
    struct tm parts;
    gettimeofday(&now, nullptr);
    time_t seconds = now.tv_sec;
    if (localtime_r(&seconds, &parts) == nullptr) {
        buffer[0] = '\0';
        return;
    }
    snprintf(buffer, size, "%.2u-%.2u-%.2u %.2u:%.2u:%.2u.%.6u", (unsigned)(parts.tm_year + 1900),
             (unsigned)(parts.tm_mon + 1), (unsigned)parts.tm_mday, (unsigned)parts.tm_hour,
             (unsigned)parts.tm_min, (unsigned)parts.tm_sec, (unsigned)now.tv_usec);
}

void LightLogEscape(const char* text, char* out, size_t size)
{
    if (out == nullptr || size == 0)
        return;
    size_t used = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); p != nullptr && *p != 0; ++p) {
        bool plain = (*p >= 0x20 && *p != 0x7f) || *p == '\t';
        size_t need = plain ? 1 : 4;
        if (used + need >= size)
            break;
        if (plain)
            out[used] = (char)*p;
        else
            snprintf(out + used, 5, "\\x%02X", (unsigned)*p);
        used += need;
    }
    out[used] = '\0';
}

namespace {

// Writes one message (already formatted) as a line of the log.
int LLogWriteMessage(uint32_t level, const char* sourceFile, int sourceLine, const char* message)
{
    char escaped[kMessageSize];
    LightLogEscape(message, escaped, sizeof(escaped));
    char timeText[LLOG_TIME_TEXT_SIZE];
    LightGetTime(timeText, sizeof(timeText));
    char line[kLineSize];
    snprintf(line, sizeof(line), "%s [%u]: %s --%d:%s ", timeText, (unsigned)level, escaped,
             sourceLine, sourceFile);
    return LightLog(line);
}

// ---- Rate limit per call site ------------------------------------------------
//
// A call site (source file text and line) writes at most s_u32Burst lines in
// a window of s_u32WindowMs; the lines past that are counted, and once the
// window is over one line says how many were held back. The sites live in a
// fixed table; a site that finds the table full is not limited.

const size_t kSiteSlots = 1024;

struct T_LogSite {
    const char* file;      // null: free slot
    int line;
    uint32_t level;        // of the last line held back
    int64_t windowStartMs;
    uint32_t written;      // lines written in this window
    uint32_t heldBack;     // lines held back and not yet counted in the log
    int64_t lastHeldMs;    // when the last line was held back
};

// A count of held-back lines to write, taken out of the table.
struct T_HeldBack {
    const char* file;
    int line;
    uint32_t level;
    uint32_t count;
};

pthread_mutex_t s_SiteMutex = PTHREAD_MUTEX_INITIALIZER;
T_LogSite s_Sites[kSiteSlots];
std::atomic<uint32_t> s_u32Burst{0};
std::atomic<uint32_t> s_u32WindowMs{0};
std::atomic<int64_t> s_s64NextSweepMs{0};
const int64_t kSweepEveryMs = 1000;
const int64_t kQuietReportMs = 5000;

int64_t LLogNowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Under s_SiteMutex: the slot of a site (found or newly taken), null when the
// table is full.
T_LogSite* LLogFindSite(const char* file, int line)
{
    size_t hash = ((size_t)(uintptr_t)file >> 3) * 31u + (size_t)(unsigned)line * 2654435761u;
    for (size_t probe = 0; probe < kSiteSlots; ++probe) {
        T_LogSite& site = s_Sites[(hash + probe) % kSiteSlots];
        if (site.file == nullptr) {
            site = T_LogSite{file, line, 0, 0, 0, 0, 0};
            return &site;
        }
        if (site.file == file && site.line == line)
            return &site;
    }
    return nullptr;
}

// Under s_SiteMutex: starts a new window when the last one is over. The
// count of the lines held back goes to *report (count 0 when none) then, or
// once the site has held nothing back for kQuietReportMs (a flood that ended
// is counted in the log soon, not only at the end of the window), or when
// every count is asked for (all).
void LLogTakeCount(T_LogSite& site, int64_t now, bool all, T_HeldBack* report)
{
    *report = T_HeldBack{site.file, site.line, site.level, 0};
    bool windowOver = now - site.windowStartMs >= (int64_t)s_u32WindowMs.load();
    bool quiet = now - site.lastHeldMs >= kQuietReportMs;
    if (windowOver || quiet || all) {
        report->count = site.heldBack;
        site.heldBack = 0;
    }
    if (windowOver) {
        site.windowStartMs = now;
        site.written = 0;
    }
}

void LLogWriteHeldBack(const T_HeldBack& report)
{
    if (report.count == 0)
        return;
    char message[160];
    snprintf(message, sizeof(message),
             "Log rate limit: <%u> more lines from here were held back (at most %u in %u ms).", report.count,
             s_u32Burst.load(), s_u32WindowMs.load());
    LLogWriteMessage(report.level, report.file, report.line, message);
}

// True when the site may write its line now; a count of lines it held back
// in its last window goes to *report first.
bool LLogAdmit(uint32_t level, const char* file, int line, T_HeldBack* report)
{
    report->count = 0;
    if (s_u32Burst.load() == 0)
        return true;
    int64_t now = LLogNowMs();
    pthread_mutex_lock(&s_SiteMutex);
    T_LogSite* site = LLogFindSite(file, line);
    bool admit = true;
    if (site != nullptr) {
        LLogTakeCount(*site, now, false, report);
        admit = site->written < s_u32Burst.load();
        if (admit) {
            ++site->written;
        } else {
            ++site->heldBack;
            site->level = level;
            site->lastHeldMs = now;
        }
    }
    pthread_mutex_unlock(&s_SiteMutex);
    return admit;
}

// Writes the counts of the sites whose window is over, at most once a
// second (from any thread that logs).
void LLogSweepIfDue()
{
    int64_t now = LLogNowMs();
    int64_t due = s_s64NextSweepMs.load();
    if (now < due || !s_s64NextSweepMs.compare_exchange_strong(due, now + kSweepEveryMs))
        return;
    LightLogReportHeldBack(false);
}

}  // namespace

void LightLogSetRateLimit(uint32_t burst, uint32_t windowMs)
{
    pthread_mutex_lock(&s_SiteMutex);
    s_u32Burst.store(windowMs == 0 ? 0 : burst);
    s_u32WindowMs.store(windowMs);
    for (T_LogSite& site : s_Sites)
        site = T_LogSite{nullptr, 0, 0, 0, 0, 0, 0};
    pthread_mutex_unlock(&s_SiteMutex);
}

void LightLogReportHeldBack(bool all)
{
    // A few at a time: the table is only read under its lock.
    const size_t kBatch = 16;
    T_HeldBack reports[kBatch];
    for (size_t from = 0; from < kSiteSlots;) {
        size_t found = 0;
        int64_t now = LLogNowMs();
        pthread_mutex_lock(&s_SiteMutex);
        for (; from < kSiteSlots && found < kBatch; ++from) {
            T_LogSite& site = s_Sites[from];
            if (site.file == nullptr || site.heldBack == 0)
                continue;
            LLogTakeCount(site, now, all, &reports[found]);
            if (reports[found].count != 0)
                ++found;
        }
        pthread_mutex_unlock(&s_SiteMutex);
        for (size_t i = 0; i < found; ++i)
            LLogWriteHeldBack(reports[i]);
    }
}

int LightLogExt(uint32_t level, int flush, const char* sourceFile, int sourceLine,
                const char* format, ...)
{
    if (format == nullptr || sourceFile == nullptr ||
        level < g_u32OutLogLevel.load(std::memory_order_relaxed))
        return LLOG_OK;
    LLogSweepIfDue();
    T_HeldBack report;
    bool admit = LLogAdmit(level, sourceFile, sourceLine, &report);
    LLogWriteHeldBack(report);
    if (!admit)
        return LLOG_OK;
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    if (n < 0)
        message[0] = '\0';
    int result = LLogWriteMessage(level, sourceFile, sourceLine, message);
    if (flush != 0)
        LightLogFlush();
    return result;
}

int LightLogExit()
{
    LLogLock();
    int result = LLOG_OK;
    if (g_pLogFile_LLOG != nullptr && g_tLogCallBack_LLOG.pfnClose != nullptr &&
        g_tLogCallBack_LLOG.pfnClose(g_pLogFile_LLOG) != 0)
        result = LLOG_ERR_CLOSE;
    g_pLogFile_LLOG = nullptr;
    LLogInitGlobal();
    LLogUnLock();
    return result;
}

void LightLogInstallAssertSink()
{
    SetMyAssertSink(AssertToLog);
}
