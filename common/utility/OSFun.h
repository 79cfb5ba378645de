// Static helpers shared by both daemons: daemonising, case-insensitive
// comparison, trimming, time texts, and file and directory utilities.
#ifndef QUOR_OSFUN_H
#define QUOR_OSFUN_H

#include <cstddef>
#include <ctime>
#include <string>
#include <sys/types.h>

class COSFun {
public:
    virtual ~COSFun() = default;

    // Forks; the parent exits with status 0 and the child starts a new
    // session, ignores signals 1 to 31 except SIGCHLD (left at its default so
    // that system() and pclose() see their children's status) and installs
    // handler for SIGHUP. Returns 0 in the child, -1 if the fork or the new
    // session fails. name is not used. Standard streams are not redirected.
    static int Daemonize(const char* name, void (*handler)(int));

    // 2 (ENOENT) -> 2, 13 -> 3, 17 -> 4, 28 -> 5, 39 -> 6, 24 -> 7, else 8.
    static int ChangeErrCode(int err);

    // Compares at most len characters ignoring case: 0 when equal, else the
    // difference of the lower-cased characters; -1 when a ended first and 1
    // when b ended first (also just after the len characters). A null text
    // gives -1; len 0 or less gives 0.
    static int strncasecmp(const char* a, const char* b, int len);
    // Null -> -1; empty a -> minus the length of b; else strncasecmp over the
    // length of a (so "abc" against "abcd" is -1).
    static int strcasecmp(const char* a, const char* b);

    // Cuts trailing blanks, tabs, carriage returns and line feeds, never the
    // first character.
    static char* strstrim(char* text);
    static std::string& strstrim(std::string& text);

    // Whole hours east of UTC (truncated toward zero); 0 on failure.
    static int GetTimeZone();
    // Hours east of UTC for an offset in minutes west of UTC.
    static int MinutesWestToHours(int minutesWest);

    // Time texts: compact "YYYYMMDDhhmmss" or "YYYY-MM-DD hh:mm:ss", UTC with
    // "GMT" appended when gmt is set, else local time. A time in 1970 gives
    // "1970010101000000".
    static std::string Time_t2String(time_t t, bool gmt, bool compact);
    static std::string GetTimeStr(bool gmt, bool compact);
    // The same into buffer (size bytes); 0, or -1 for a missing or short
    // buffer or a failed conversion. The W form's compact text carries the
    // weekday (0 to 6) after the day: "YYYYMMDDWWhhmmss".
    static int Time_t2StringChar(time_t t, char* buffer, size_t size, bool gmt, bool compact);
    static int Time_t2StringCharW(time_t t, char* buffer, size_t size, bool gmt, bool compact);
    // Inverse of the compact texts (a trailing "GMT" is ignored); 0 for a
    // null or malformed text.
    static time_t String2Time_t(const char* text, bool gmt);
    static time_t StringW2Time_t(const char* text, bool gmt);

    // 1 if path can be queried, else 0.
    static int IsFileExisted(const char* path);
    // 1 for a directory, 0 for anything else, -1 if path cannot be queried.
    static int IsDir(const char* path);
    // 0 if the directory exists or was created (then given mode), else -1.
    static int MakeDir(const char* path, mode_t mode);
    // Creates every missing directory of path (at most 255 characters).
    static int RecursiveMakeDir(const char* path, mode_t mode);
    // Removes a directory tree depth first without following symbolic links:
    // 0, 1 for a path over 259 characters, 2 when it does not exist or cannot
    // be opened, else ChangeErrCode of the failure.
    static int DeleteTree(const char* path);

    // Calls callback with "dir/entry" for every entry but "." and ".."; stops
    // at the first negative result and returns it, else the last result; 0
    // when the directory cannot be opened. Entries whose path would exceed
    // 511 characters are skipped (and logged).
    typedef int (*SeekDirCallback)(const char* path);
    typedef int (*SeekDirCallbackArg)(const char* path, void* arg);
    static int SeekDir(const char* path, SeekDirCallback callback);
    static int SeekDir(const char* path, SeekDirCallbackArg callback, void* arg);

    // Changes the owner of path and of everything below it, without following
    // symbolic links: 0, -1 if a change fails; the name form gives -2 for a
    // missing argument, -3 for an unknown group, -4 for an unknown user.
    static int RecursiveChown(const char* path, uid_t uid, gid_t gid);
    static int RecursiveChown(const char* path, const char* user, const char* group);

    // Replaces path with text (mode 0664); the characters written, or -1.
    static int StringToFile(const std::string& text, const char* path);
    // Reads the whole file into text; its length, or -1.
    static int FileToString(const char* path, std::string& text);

    // Replaces path with length bytes of data: a temporary "<path>.tmp" in the
    // same directory is written, flushed to disk, given mode and renamed over
    // path. 0 on success; -1 on failure, when the old file is kept and the
    // temporary file removed.
    static int WriteFileAtomic(const char* path, const void* data, size_t length, mode_t mode);

    // The part of path up to and including the last "/" (at most 1025
    // characters), "." without a "/"; dir is untouched for a null path.
    static void GetDirFromFileName(const char* path, std::string& dir);
    // Back-slashes become "/" and the name ends with exactly one "/".
    static void FormatDirName(std::string& dir);
    // Back-slashes become "/" and runs of "/" collapse into one.
    static void FormatFileName(std::string& name);
    // Case-insensitive suffix test.
    static bool IsFilePostfix(const char* name, const char* postfix);
};

#endif
