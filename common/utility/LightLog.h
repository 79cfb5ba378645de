// Light log: the process-wide text log of both daemons.
//
// Lines go into a ring of numbered files "<prefix>NNN.logTmp" (the file being
// written) that become "<prefix>NNN.log" once the writer has moved past them.
// File input and output go through four callbacks installed by the caller
// (normally fopen, fwrite, fclose and fflush).
//
// Any thread may log. Logging before the callbacks and the set-up are in place
// writes nothing (result 2 or 9); it never crashes.
#ifndef QUOR_LIGHTLOG_H
#define QUOR_LIGHTLOG_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Message levels (plain numbers; a message is written when its level is at
// least the threshold). 50000 is only a message level, never a threshold.
enum {
    LLOG_LEVEL_DEBUG = 10000,
    LLOG_LEVEL_INFO = 20000,
    LLOG_LEVEL_WARNING = 30000,
    LLOG_LEVEL_ERROR = 40000,
    LLOG_LEVEL_FATAL = 50000
};

// Result codes.
enum {
    LLOG_OK = 0,
    LLOG_ERR_ARGUMENT = 2,   // missing callbacks, path or line
    LLOG_ERR_OPEN = 3,       // the ".logTmp" file could not be opened
    LLOG_ERR_RENAME = 4,     // finishing ".logTmp" into ".log" failed
    LLOG_ERR_REMOVE = 5,     // removing an old ".log" failed
    LLOG_ERR_WRITE = 6,      // short write of the line or its newline
    LLOG_ERR_CLOSE = 7,      // closing a full file failed
    LLOG_ERR_PREFIX = 9      // prefix empty or longer than LLOG_MAX_PREFIX
};

// Longest path prefix of the log files.
#define LLOG_MAX_PREFIX 240
// Size of the time text buffer of LightGetTime (27 characters plus NUL for
// four-digit years).
#define LLOG_TIME_TEXT_SIZE 32

// File callbacks, in this order: open, write, close (0 on success), flush.
typedef struct {
    FILE* (*pfnOpen)(const char* path, const char* mode);
    size_t (*pfnWrite)(const void* buffer, size_t size, size_t count, FILE* handle);
    int (*pfnClose)(FILE* handle);
    int (*pfnFlush)(FILE* handle);
} T_LightLogCallBack;

// Module state. Everything but the threshold is guarded by the module's lock;
// the names are visible for diagnostics only.
extern T_LightLogCallBack g_tLogCallBack_LLOG;
extern std::atomic<uint32_t> g_u32OutLogLevel;      // threshold, initially 20000
extern FILE* g_pLogFile_LLOG;                       // the open ".logTmp" file
extern uint32_t g_u32MaxLine_LLOG;                  // lines per file
extern uint32_t g_u32HaveWriteLineNum_LLOG;         // lines in the open file
extern uint32_t g_u32MaxFileNum_LLOG;               // files in the ring
extern uint32_t g_u32CurWriteFileNum_LLOG;          // number of the file being written
extern uint8_t g_b8IsLastFileExist_LLOG;            // the ring has wrapped
extern uint8_t g_b8IsLogBegin_LLOG;                 // next opened file starts with the banner
extern char g_aFileName_LLOG[LLOG_MAX_PREFIX + 1];  // path prefix

// Installs the four callbacks (2 if the table or any callback is null).
int LightLogSetCallBack(const T_LightLogCallBack* callbacks);

// The callbacks of the C library: fopen, fwrite, fclose, fflush.
T_LightLogCallBack LightLogStdioCallBack();

// Sets the module up: prefix of the file names, lines per file (1..100000,
// else 100000), files in the ring (1..999, else 999) and the threshold (used
// when it is 10000, 20000, 30000 or 40000). Continues after the file a
// previous run left as ".logTmp". Returns 0, 2 or 9.
int LightLogSetup(const char* prefix, uint32_t maxLines, uint32_t maxFiles, uint32_t level);

// Sets the threshold when level is 10000, 20000, 30000 or 40000. Returns 0.
int LightLogSetLevel(uint32_t level);

// Formats one message and writes it as
// "<time> [<level>]: <message> --<sourceLine>:<sourceFile> \n".
// The format must be a literal of the caller; outside text is passed as an
// argument. Returns the result of LightLog (0 when the level is filtered or
// the line is held back by the rate limit below).
// Copies text into out (size bytes with the NUL), each control byte (below
// 0x20 but the tab, and 0x7F) written as \xNN, so a peer's bytes cannot break
// or forge log lines; other bytes (the board's character set) stay. Cut at a
// whole byte when out is full.
void LightLogEscape(const char* text, char* out, size_t size);

int LightLogExt(uint32_t level, int flush, const char* sourceFile, int sourceLine,
                const char* format, ...) __attribute__((format(printf, 5, 6)));

// Rate limit per call site (source file text and line) of LightLogExt: at
// most LLOG_RATE_BURST lines in LLOG_RATE_WINDOW_MS; the lines past that are
// counted, and when the window is over, or the site has held nothing back
// for 5 s, one line at the site's level and with its source says how many
// were held back. With the ring of 10 files of 5000
// lines, 100 lines a minute per site lets some 50 sites flood at once for
// ten minutes before the ring turns over, while the start flow (about 20
// lines from its busiest site) and an operator's commands are never held.
#define LLOG_RATE_BURST 100
#define LLOG_RATE_WINDOW_MS 60000
// Sets the burst and the window (burst 0 or window 0: no limit, as before
// the first call; the daemons set LLOG_RATE_BURST and LLOG_RATE_WINDOW_MS
// with their log) and forgets every site's counts.
void LightLogSetRateLimit(uint32_t burst, uint32_t windowMs);
// Writes the held-back counts that are due (also done by any logging thread
// at most once a second); all: every count, due or not (before stopping).
void LightLogReportHeldBack(bool all);

// Writes one formatted line plus a newline, rotating files as needed.
int LightLog(const char* line);

// Flushes the open file, if any.
void LightLogFlush();

// The ring as it stands, for readers of the log: the path prefix (copied into
// prefix, size bytes), the number of the file being written, the files in the
// ring and whether the ring has wrapped. 0, or 2 before the set-up or when
// the prefix does not fit.
int LightLogRingState(char* prefix, size_t size, uint32_t* current, uint32_t* files, bool* wrapped);

// Writes the time text "YYYY-MM-DD hh:mm:ss.uuuuuu" (local time).
void LightGetTime(char* buffer, size_t size);

// Closes the open file and ends logging until the next set-up (later lines
// write nothing). Returns 0, or 7 when closing failed.
int LightLogExit();

// Routes failed consistency checks (MyAssert) into the log at level 40000.
void LightLogInstallAssertSink();

#endif
